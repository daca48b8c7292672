// Fuzz target for the engine: every input becomes a small, valid request
// (see fuzz_case.h), which must pass checkReconInput, and every kernel on
// every thread count must give the image of the scalar kernel on one thread,
// bit for bit. Two NaNs count as equal whatever their sign and payload; every
// other value, the sign of zero included, must match exactly. The arrays are
// allocated at their exact sizes, so a sanitizer sees any read or write
// outside them.
//
// Built with libFuzzer (clang, -fsanitize=fuzzer) this is a coverage-guided
// fuzzer; built with any compiler and fuzz_replay.cpp it replays the seed
// corpus and a stream of random inputs.
#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "fuzz_case.h"
#include "fuzz_kernels.h"
#include "recon.h"

namespace {

// A heap copy of exactly v.size() elements (no storage for an empty vector):
// a std::vector may hold spare capacity behind its last element, where a
// read past the end would go unnoticed.
std::unique_ptr<double[]> exactCopy(const std::vector<double>& v) {
    if (v.empty()) return nullptr;
    std::unique_ptr<double[]> a(new double[v.size()]);
    std::copy(v.begin(), v.end(), a.get());
    return a;
}

// The request of a fuzz case, every array at its exact size.
struct ExactRequest {
    explicit ExactRequest(const FuzzCase& fc)
        : sigMat(exactCopy(fc.sigMat)), x(exactCopy(fc.x)), y(exactCopy(fc.y)),
          z(exactCopy(fc.z)), t(exactCopy(fc.t)), image(exactCopy(fc.start)),
          in(fc.inputOver(sigMat.get(), x.get(), y.get(), z.get(), t.get(), image.get())) {}
    std::unique_ptr<double[]> sigMat, x, y, z, t, image;
    ReconInput in;
};

std::vector<double> runKernel(const FuzzCase& fc, const FuzzKernel& kernel, int32_t numCores) {
    ExactRequest req(fc);
    req.in.numCores = numCores;
    kernel.run(req.in);
    return std::vector<double>(req.image.get(), req.image.get() + fc.start.size());
}

void printValues(const char* name, const std::vector<double>& v) {
    std::fprintf(stderr, "  %s =", name);
    for (double e : v) std::fprintf(stderr, " %a", e);
    std::fprintf(stderr, "\n");
}

[[noreturn]] void reportMismatch(const FuzzCase& fc, const std::string& kernel, int32_t numCores,
                                 const std::vector<double>& want, const std::vector<double>& got) {
    std::fprintf(stderr,
                 "recon_fuzz: kernel %s on %d thread(s) differs from the scalar kernel\n"
                 "  n=%d rows=%d cols=%d c=%a fs=%a image_width=%a image_select=%a\n",
                 kernel.c_str(), (int)numCores, (int)fc.n, (int)fc.rows, (int)fc.cols, fc.c, fc.fs,
                 fc.image_width, fc.image_select);
    printValues("t", fc.t);
    printValues("x_sensor", fc.x);
    printValues("y_sensor", fc.y);
    printValues("z_sensor", fc.z);
    printValues("sigMat", fc.sigMat);
    printValues("image on entry", fc.start);
    for (size_t p = 0; p < want.size(); ++p)
        if (!samePixel(want[p], got[p]))
            std::fprintf(stderr, "  pixel %zu (K=%d, L=%d): scalar %a, %s %a\n", p,
                         (int)(p % fc.n), (int)(p / fc.n), want[p], kernel.c_str(), got[p]);
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const FuzzCase fc = fuzzcase::decode(data, size);

    ExactRequest req(fc);
    const std::string problem = checkReconInput(req.in, fc.extents());
    if (!problem.empty()) {
        std::fprintf(stderr, "recon_fuzz: checkReconInput rejects a valid request: %s\n",
                     problem.c_str());
        std::abort();
    }

    // Reference: the scalar kernel on one thread. Every kernel then runs on
    // one thread and on the case's thread count.
    const std::vector<FuzzKernel>& kernels = fuzzKernels();
    const std::vector<double> want = runKernel(fc, kernels.front(), 1);
    std::vector<int32_t> threadCounts = {1};
    if (fc.numCores > 1) threadCounts.push_back(fc.numCores);
    for (const FuzzKernel& kernel : kernels)
        for (int32_t threads : threadCounts) {
            if (&kernel == &kernels.front() && threads == 1) continue;
            const std::vector<double> got = runKernel(fc, kernel, threads);
            if (!sameImage(want, got)) reportMismatch(fc, kernel.name, threads, want, got);
        }
    return 0;
}
