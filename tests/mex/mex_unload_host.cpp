// Loads a tofimage MEX module (tofimage, or tofimage_frames, which takes the
// same arguments and makes a matrix one frame, or tofimage_beamform, called
// with its own arguments), calls it with several threads and clears it,
// many times over, the way a host without an OpenMP
// runtime of its own does (MATLAB ships a different one). Two ways of
// clearing:
//
//   unload  (Linux) the module is unloaded regardless of its lock, as MATLAB
//           does after `munlock tofimage; clear mex`. The module brings its
//           OpenMP runtime in as a dependency; if unloading the module also
//           unmapped that runtime, its idle worker threads would be left
//           without code and the process would crash (at the next call or
//           at exit). -z nodelete keeps both mapped.
//   clear   (Windows) `clear mex`: the host frees a module only when it has
//           not locked itself. With MinGW the OpenMP runtime is linked into
//           the module, so the lock (mexLock) is all that keeps its threads'
//           code mapped: after each clear the module must still be mapped,
//           and the next call must go to the same copy.
//
// Either way every call must give the right image and the module must lock
// itself at its first call; the test passes when the process ends normally.
//
// This program plays the host: it defines the few MEX API functions the
// module calls, over a minimal array type. On Linux, being part of the
// executable, they take precedence over any other definition the module's
// own dependencies carry; on Windows the executable exports them and the
// module is linked against its import library, as against libmex.dll.
//
// Usage: mex_unload_host <path to the module> [cycles] [unload|clear]
#ifdef _WIN32
#include <windows.h>
#define HOST_API __declspec(dllexport)
#else
#include <dlfcn.h>
#define HOST_API __attribute__((visibility("default")))
#endif

#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
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

HOST_API bool mxIsDouble(const mxArray* a) { return a->isDouble; }
HOST_API bool mxIsSparse(const mxArray*) { return false; }
HOST_API const mwSize* mxGetDimensions(const mxArray* a) {
    return a->dims;
}
HOST_API size_t mxGetNumberOfElements(const mxArray* a) {
    return (size_t)(a->dims[0] * a->dims[1]);
}
HOST_API double* mxGetPr(const mxArray* a) {
    return const_cast<double*>(a->data.data());
}
HOST_API double mxGetScalar(const mxArray* a) { return a->data.at(0); }
// Only doubles here: the class questions of tofimage_frames have one answer.
HOST_API mxClassID mxGetClassID(const mxArray*) { return mxDOUBLE_CLASS; }
HOST_API bool mxIsSingle(const mxArray*) { return false; }
HOST_API bool mxIsInt16(const mxArray*) { return false; }
HOST_API void* mxGetData(const mxArray* a) { return const_cast<double*>(a->data.data()); }
HOST_API mwSize mxGetNumberOfDimensions(const mxArray*) { return 2; }
HOST_API mxArray* mxCreateNumericArray(mwSize ndim, const mwSize* dims,
                                                                     mxClassID, mxComplexity) {
    // A matrix, or one frame of a stack (n x n x 1).
    if (ndim != 2 && !(ndim == 3 && dims[2] == 1)) std::abort();
    mxArray* a = new mxArray;
    a->dims[0] = dims[0];
    a->dims[1] = dims[1];
    a->data.assign((size_t)(dims[0] * dims[1]), 0.0);
    a->isDouble = true;
    return a;
}
// Lock state of the loaded module: set by mexLock, reset at each unload.
static bool moduleLocked = false;
HOST_API void mexLock(void) { moduleLocked = true; }
HOST_API int mexIsLocked(void) { return moduleLocked ? 1 : 0; }
// Only a stack given to tofimage warns; the host passes matrices.
HOST_API void mexWarnMsgIdAndTxt(const char*, const char* msg, ...) {
    std::fprintf(stderr, "unexpected warning from the module: %s\n", msg);
    std::exit(3);
}
HOST_API void mexErrMsgTxt(const char* msg) {
    std::fprintf(stderr, "unexpected error from the module: %s\n", msg);
    std::exit(3);
}
HOST_API void mexErrMsgIdAndTxt(const char* id, const char* msg, ...) {
    std::fprintf(stderr, "unexpected error from the module: %s: %s\n", id, msg);
    std::exit(3);
}
HOST_API bool mxIsEmpty(const mxArray* a) { return a->data.empty(); }
HOST_API size_t mxGetM(const mxArray* a) { return (size_t)a->dims[0]; }
HOST_API size_t mxGetN(const mxArray* a) { return (size_t)a->dims[1]; }
// What the stack gateways call only for options, long calls and the
// envelope, never here.
HOST_API bool mxIsChar(const mxArray*) { return false; }
HOST_API double* mxGetPi(const mxArray*) { return nullptr; }
HOST_API mxArray* mxCreateDoubleScalar(double) { std::abort(); }
HOST_API mxArray* mxCreateDoubleMatrix(mwSize, mwSize, mxComplexity) { std::abort(); }
HOST_API void mxDestroyArray(mxArray*) { std::abort(); }
HOST_API const mxArray* mxGetField(const mxArray*, mwSize, const char*) { std::abort(); }
HOST_API mxArray* mexCallMATLABWithTrap(int, mxArray**, int, mxArray**, const char*) {
    std::abort();
}
HOST_API bool mxIsLogical(const mxArray*) { return false; }
HOST_API bool mxIsNumeric(const mxArray*) { return true; }
HOST_API bool mxIsComplex(const mxArray*) { return false; }
HOST_API int mxGetString(const mxArray*, char*, mwSize) { return 1; }
HOST_API int mexPrintf(const char*, ...) { return 0; }
HOST_API int mexEvalString(const char*) { return 0; }
// Octave's Ctrl-C flag and handler (the module is built against Octave's
// headers): no signal arrives here.
HOST_API volatile sig_atomic_t octave_signal_caught = 0;
HOST_API void octave_handle_signal(void) {}

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

// tofimage_beamform's arguments over the worked example's signals and
// sensors, at five points (the last one out of the record), with its
// defaults (linear interpolation, delay-and-sum, no sample offset), and the
// image by the contract: per sensor in order, position = (fs/c) d - fs t_1,
// v = g[i0] + f (g[i0+1] - g[i0]) where 0 <= position <= rows-1.
void beamformCall(const Problem& p, std::vector<mxArray*>& args, std::vector<double>& image) {
    const std::vector<double> X = {3, 4.5, 0, -1, 10}, Y = {0, 1, 6, -1, 10}, Z = {0, 0, 0, 1, 0};
    args = {matrix(p.rows, p.cols, p.sigMat), matrix(1, p.cols, p.x),
            matrix(1, p.cols, p.y),           matrix(1, p.cols, p.z),
            matrix(1, 1, {p.c}),              matrix(p.rows, 1, p.t),
            matrix(1, 1, {p.fs}),             matrix(1, 5, X),
            matrix(1, 5, Y),                  matrix(1, 5, Z)};
    image.assign(5, 0.0);
    for (int k = 0; k < 5; ++k) {
        for (int s = 0; s < p.cols; ++s) {
            const double ex = p.x[s] - X[k], ey = p.y[s] - Y[k], ez = p.z[s] - Z[k];
            const double d = std::sqrt((ex * ex + ey * ey) + ez * ez);
            const double position = (p.fs / p.c) * d - (p.fs * p.t[0] - 0.0);
            if (!(position >= 0.0 && position <= p.rows - 1)) continue;
            const double* g = &p.sigMat[(size_t)s * p.rows];
            const int i0 = (int)std::floor(position);
            const double f = position - i0;
            const double next = i0 + 1 < p.rows ? g[i0 + 1] : g[i0];
            image[k] = image[k] + (g[i0] + f * (next - g[i0]));
        }
    }
}

typedef void (*MexFunction)(int, mxArray**, int, const mxArray**);

// The platform's loader: load (or find the loaded copy), look up, unload,
// and whether the module at a path is mapped.
#ifdef _WIN32
// The module's folder is searched for its DLLs (hwy.dll beside it), as
// MATLAB does; that needs a full path with backslashes.
void* loadModule(const char* path) {
    std::string p = path;
    for (char& ch : p)
        if (ch == '/') ch = '\\';
    char full[MAX_PATH];
    if (GetFullPathNameA(p.c_str(), MAX_PATH, full, nullptr) == 0) return nullptr;
    return (void*)LoadLibraryExA(full, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}
MexFunction findMexFunction(void* module) {
    return (MexFunction)(void*)GetProcAddress((HMODULE)module, "mexFunction");
}
bool unloadModule(void* module) { return FreeLibrary((HMODULE)module) != 0; }
bool isMapped(MexFunction f) {
    HMODULE h = nullptr;
    return GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                                  GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                              (LPCSTR)(void*)f, &h) != 0;
}
std::string loadError() { return "error " + std::to_string(GetLastError()); }
#else
void* loadModule(const char* path) { return dlopen(path, RTLD_NOW | RTLD_LOCAL); }
MexFunction findMexFunction(void* module) { return (MexFunction)dlsym(module, "mexFunction"); }
bool unloadModule(void* module) { return dlclose(module) == 0; }
std::string loadError() {
    const char* e = dlerror();
    return e ? e : "unknown error";
}
#endif

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s module [cycles] [unload|clear]\n", argv[0]);
        return 2;
    }
    const int cycles = argc > 2 ? std::atoi(argv[2]) : 20;
    const bool honourLock = argc > 3 && std::strcmp(argv[3], "clear") == 0;
#ifndef _WIN32
    if (honourLock) {
        std::fprintf(stderr, "clear: Windows only\n");
        return 2;
    }
#endif

    // The worked example: two sensors, six samples, a 2 x 2 image, on two
    // threads.
    const Problem p = workedExample(1.0);
    std::vector<mxArray*> args;
    std::vector<double> expected;
    if (std::strstr(argv[1], "tofimage_beamform") != nullptr) {
        beamformCall(p, args, expected);
    } else {
        args = {
            matrix(p.rows, p.cols, p.sigMat), matrix(1, 1, {(double)p.n}),
            matrix(1, p.cols, p.x),           matrix(1, p.cols, p.y),
            matrix(1, p.cols, p.z),           matrix(1, 1, {p.c}),
            matrix(1, 1, {p.image_select}),   matrix(p.rows, 1, p.t),
            matrix(1, 1, {p.fs}),             matrix(1, 1, {p.image_width}),
            matrix(1, 1, {2}),  // numCores
        };
        expected = workedExampleImage(p.image_select);
    }

    void* module = nullptr;  // the host's handle while it holds the module
    MexFunction first = nullptr;
    for (int k = 0; k < cycles; ++k) {
        if (!module) {
            module = loadModule(argv[1]);
            if (!module) {
                std::fprintf(stderr, "cannot load %s: %s\n", argv[1], loadError().c_str());
                return 2;
            }
        }
        MexFunction f = findMexFunction(module);
        if (!f) {
            std::fprintf(stderr, "no mexFunction in %s\n", argv[1]);
            return 2;
        }
        if (honourLock && first && f != first) {
            std::fprintf(stderr, "cycle %d: the module was mapped again\n", k);
            return 1;
        }
        first = f;
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
        if (!honourLock) {
            // munlock, then clear mex: the module goes, and with it its lock.
            moduleLocked = false;
            if (!unloadModule(module)) {
                std::fprintf(stderr, "cannot unload: %s\n", loadError().c_str());
                return 2;
            }
            module = nullptr;
        } else if (!mexIsLocked()) {
            unloadModule(module);  // clear mex frees what is not locked
            module = nullptr;
        }
#ifdef _WIN32
        if (honourLock && !isMapped(f)) {
            std::fprintf(stderr, "cycle %d: the module is gone after clear\n", k);
            return 1;
        }
#endif
        // Let the runtime's idle workers go back to sleep.
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    for (mxArray* a : args) delete a;
    std::printf("%d load/call/%s cycles passed\n", cycles, honourLock ? "clear" : "unload");
    return 0;
}
