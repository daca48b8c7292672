// Loads and unloads the tofimage MEX module the way a host without an OpenMP
// runtime of its own does (MATLAB ships a different one), calling it with
// several threads in between, many times over.
//
// The module brings its OpenMP runtime in as a dependency. If unloading the
// module also unmapped that runtime, its idle worker threads would be left
// without code and the process would crash (at the next call or at exit).
// The test passes when every cycle gives the right image, the module has
// locked itself (mexLock) at its first call, and the process ends normally.
// This host unloads the module regardless of the lock, as MATLAB does after
// `munlock tofimage; clear mex`.
//
// This program plays the host: it defines the few MEX API functions the
// module calls, over a minimal array type. Being part of the executable,
// they take precedence over any other definition the module's own
// dependencies carry.
//
// Usage: mex_unload_host <path to tofimage.mex> [cycles]
#include <dlfcn.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "problem.h"

extern "C" {

struct mxArray {
    int64_t dims[2];
    std::vector<double> data;
    bool isDouble;
};
typedef int64_t mwSize;
enum mxClassID { mxDOUBLE_CLASS = 6 };
enum mxComplexity { mxREAL = 0 };

__attribute__((visibility("default"))) bool mxIsDouble(const mxArray* a) { return a->isDouble; }
__attribute__((visibility("default"))) bool mxIsSparse(const mxArray*) { return false; }
__attribute__((visibility("default"))) const mwSize* mxGetDimensions(const mxArray* a) {
    return a->dims;
}
__attribute__((visibility("default"))) size_t mxGetNumberOfElements(const mxArray* a) {
    return (size_t)(a->dims[0] * a->dims[1]);
}
__attribute__((visibility("default"))) double* mxGetPr(const mxArray* a) {
    return const_cast<double*>(a->data.data());
}
__attribute__((visibility("default"))) double mxGetScalar(const mxArray* a) { return a->data.at(0); }
__attribute__((visibility("default"))) mxArray* mxCreateNumericArray(mwSize ndim, const mwSize* dims,
                                                                     mxClassID, mxComplexity) {
    if (ndim != 2) std::abort();
    mxArray* a = new mxArray;
    a->dims[0] = dims[0];
    a->dims[1] = dims[1];
    a->data.assign((size_t)(dims[0] * dims[1]), 0.0);
    a->isDouble = true;
    return a;
}
// Lock state of the loaded module: set by mexLock, reset at each unload.
static bool moduleLocked = false;
__attribute__((visibility("default"))) void mexLock(void) { moduleLocked = true; }
__attribute__((visibility("default"))) int mexIsLocked(void) { return moduleLocked ? 1 : 0; }
__attribute__((visibility("default"))) void mexErrMsgTxt(const char* msg) {
    std::fprintf(stderr, "unexpected error from the module: %s\n", msg);
    std::exit(3);
}

}  // extern "C"

namespace {

mxArray* matrix(int64_t m, int64_t n, std::vector<double> v) {
    mxArray* a = new mxArray;
    a->dims[0] = m;
    a->dims[1] = n;
    a->data = std::move(v);
    a->isDouble = true;
    return a;
}

typedef void (*MexFunction)(int, mxArray**, int, const mxArray**);

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s module [cycles]\n", argv[0]);
        return 2;
    }
    const int cycles = argc > 2 ? std::atoi(argv[2]) : 20;

    // The worked example: two sensors, six samples, a 2 x 2 image, on two
    // threads.
    const Problem p = workedExample(1.0);
    std::vector<mxArray*> args = {
        matrix(p.rows, p.cols, p.sigMat), matrix(1, 1, {(double)p.n}),
        matrix(1, p.cols, p.x),           matrix(1, p.cols, p.y),
        matrix(1, p.cols, p.z),           matrix(1, 1, {p.c}),
        matrix(1, 1, {p.image_select}),   matrix(p.rows, 1, p.t),
        matrix(1, 1, {p.fs}),             matrix(1, 1, {p.image_width}),
        matrix(1, 1, {2}),  // numCores
    };
    const std::vector<double> expected = workedExampleImage(p.image_select);

    for (int k = 0; k < cycles; ++k) {
        void* module = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
        if (!module) {
            std::fprintf(stderr, "cannot load %s: %s\n", argv[1], dlerror());
            return 2;
        }
        MexFunction f = (MexFunction)dlsym(module, "mexFunction");
        if (!f) {
            std::fprintf(stderr, "no mexFunction in %s\n", argv[1]);
            return 2;
        }
        mxArray* out[1] = {nullptr};
        f(1, out, (int)args.size(), const_cast<const mxArray**>(args.data()));
        if (!out[0] || !sameBits(out[0]->data, expected)) {
            std::fprintf(stderr, "cycle %d: wrong image\n", k);
            return 1;
        }
        delete out[0];
        if (!moduleLocked) {
            std::fprintf(stderr, "cycle %d: the module did not lock itself\n", k);
            return 1;
        }
        moduleLocked = false;
        if (dlclose(module) != 0) {
            std::fprintf(stderr, "cannot unload: %s\n", dlerror());
            return 2;
        }
        usleep(2000);  // let the runtime's idle workers go back to sleep
    }
    for (mxArray* a : args) delete a;
    std::printf("%d load/call/unload cycles passed\n", cycles);
    return 0;
}
