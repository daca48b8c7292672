// The kernels the fuzz target compares: the scalar kernel first (the
// reference), then every other kernel this machine can run: the best one as
// doRecon picks it and, where the engine has the Highway vector kernel, that
// kernel on each instruction set this CPU supports, one at a time, on the
// request alone and as the middle frame of a stack of three.
#ifndef TOFIMAGE_TESTS_FUZZ_KERNELS_H
#define TOFIMAGE_TESTS_FUZZ_KERNELS_H

#include <cstdint>
#include <cstdio>
#include <algorithm>
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

// Runs the request as frame 1 of a stack of three whose other frames hold
// its samples reversed, and leaves that frame's image in in.Recon.
inline void runAsMiddleFrame(const ReconInput& in, ReconKernel kernel) {
    const size_t samples = in.rows > 0 && in.cols > 0 ? (size_t)in.rows * (size_t)in.cols : 0;
    const size_t pixels = (size_t)in.n * (size_t)in.n;
    std::vector<double> stack(3 * samples);
    for (size_t i = 0; i < samples; ++i) {
        stack[samples + i] = in.sigMat[i];
        stack[i] = stack[2 * samples + i] = in.sigMat[samples - 1 - i];
    }
    std::vector<double> images(3 * pixels);
    for (size_t f = 0; f < 3; ++f)
        std::copy(in.Recon, in.Recon + pixels, images.begin() + f * pixels);
    ReconInput stackIn = in;
    stackIn.sigMat = stack.data();
    stackIn.Recon = images.data();
    doReconFrames(stackIn, 3, kernel);
    std::copy(images.begin() + pixels, images.begin() + 2 * pixels, in.Recon);
}

inline const std::vector<FuzzKernel>& fuzzKernels() {
    static const std::vector<FuzzKernel> kernels = [] {
        std::vector<FuzzKernel> k;
        k.push_back({"Scalar", [](const ReconInput& in) { doRecon(in, ReconKernel::Scalar); }});
        k.push_back({"Best", [](const ReconInput& in) { doRecon(in, ReconKernel::Best); }});
        k.push_back({"Scalar stack",
                     [](const ReconInput& in) { runAsMiddleFrame(in, ReconKernel::Scalar); }});
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
            k.push_back({name + " stack", [target](const ReconInput& in) {
                             hwy::SetSupportedTargetsForTest(target);
                             runAsMiddleFrame(in, ReconKernel::Vector);
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
