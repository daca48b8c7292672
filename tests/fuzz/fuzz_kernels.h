// The kernels the fuzz target compares: the scalar kernel first (the
// reference), then every other kernel this machine can run.
#ifndef TOFIMAGE_TESTS_FUZZ_KERNELS_H
#define TOFIMAGE_TESTS_FUZZ_KERNELS_H

#include <functional>
#include <string>
#include <vector>

#include "recon.h"

struct FuzzKernel {
    std::string name;
    std::function<void(const ReconInput&)> run;
};

inline const std::vector<FuzzKernel>& fuzzKernels() {
    static const std::vector<FuzzKernel> kernels = [] {
        std::vector<FuzzKernel> k;
        k.push_back({"Scalar", [](const ReconInput& in) { doRecon(in, ReconKernel::Scalar); }});
        k.push_back({"Best", [](const ReconInput& in) { doRecon(in, ReconKernel::Best); }});
        return k;
    }();
    return kernels;
}

#endif
