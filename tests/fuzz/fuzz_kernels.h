// The kernels the fuzz target compares: the scalar kernel first (the
// reference), then every other kernel this machine can run: the best one as
// doRecon picks it and, where the engine has the Highway vector kernel, that
// kernel on each instruction set this CPU supports, one at a time.
#ifndef TOFIMAGE_TESTS_FUZZ_KERNELS_H
#define TOFIMAGE_TESTS_FUZZ_KERNELS_H

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "recon.h"

#ifdef TOFIMAGE_FUZZ_HWY
#include <hwy/targets.h>
#endif

struct FuzzKernel {
    std::string name;
    std::function<void(const ReconInput&)> run;
};

inline const std::vector<FuzzKernel>& fuzzKernels() {
    static const std::vector<FuzzKernel> kernels = [] {
        std::vector<FuzzKernel> k;
        k.push_back({"Scalar", [](const ReconInput& in) { doRecon(in, ReconKernel::Scalar); }});
        k.push_back({"Best", [](const ReconInput& in) { doRecon(in, ReconKernel::Best); }});
#ifdef TOFIMAGE_FUZZ_HWY
        // Highway dispatches to the best target among those it believes the
        // CPU supports; restricting that set to one target runs the vector
        // kernel compiled for it. The list is the targets both compiled in
        // (the engine uses Highway's default choice, as this file does) and
        // supported here.
        // The name says which kernel doRecon then runs, when that is not
        // the vector kernel for the target (Highway's one-lane SCALAR target
        // leaves the work to the scalar kernel).
        for (int64_t target : hwy::SupportedAndGeneratedTargets()) {
            hwy::SetSupportedTargetsForTest(target);
            std::string name = hwy::TargetName(target);
            const std::string runs = reconKernelName(ReconKernel::Best);
            hwy::SetSupportedTargetsForTest(0);
            if (runs != name) name += "->" + runs;
            k.push_back({name, [target](const ReconInput& in) {
                             hwy::SetSupportedTargetsForTest(target);
                             doRecon(in, ReconKernel::Vector);
                             hwy::SetSupportedTargetsForTest(0);
                         }});
        }
#endif
        std::string names;
        for (const FuzzKernel& e : k) names += " " + e.name;
        std::fprintf(stderr, "recon_fuzz: kernels compared:%s (Best runs %s)\n", names.c_str(),
                     reconKernelName(ReconKernel::Best));
        return k;
    }();
    return kernels;
}

#endif
