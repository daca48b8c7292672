// The stand-in library of tests/mex/standin/mex.h (with libut's interrupt
// query): every function aborts, since the modules linked against it are
// only inspected, never loaded.
#include <cstdio>
#include <cstdlib>

#include "mex.h"

namespace {
[[noreturn]] void notMatlab(const char* name) {
    std::fprintf(stderr, "%s: the MEX API stand-in cannot run a module\n", name);
    std::abort();
}
}  // namespace

#define STANDIN(ret, name, ...) \
    ret name(__VA_ARGS__) { notMatlab(#name); }

extern "C" {
STANDIN(bool, mxIsDouble, const mxArray*)
STANDIN(bool, mxIsSingle, const mxArray*)
STANDIN(bool, mxIsInt16, const mxArray*)
STANDIN(bool, mxIsChar, const mxArray*)
STANDIN(bool, mxIsLogical, const mxArray*)
STANDIN(bool, mxIsNumeric, const mxArray*)
STANDIN(bool, mxIsComplex, const mxArray*)
STANDIN(bool, mxIsSparse, const mxArray*)
STANDIN(mxClassID, mxGetClassID, const mxArray*)
STANDIN(const mwSize*, mxGetDimensions, const mxArray*)
STANDIN(mwSize, mxGetNumberOfDimensions, const mxArray*)
STANDIN(std::size_t, mxGetNumberOfElements, const mxArray*)
STANDIN(double*, mxGetPr, const mxArray*)
STANDIN(void*, mxGetData, const mxArray*)
STANDIN(double, mxGetScalar, const mxArray*)
STANDIN(int, mxGetString, const mxArray*, char*, mwSize)
STANDIN(mxArray*, mxCreateNumericArray, mwSize, const mwSize*, mxClassID, mxComplexity)
STANDIN(mxArray*, mxCreateDoubleMatrix, mwSize, mwSize, mxComplexity)
STANDIN(mxArray*, mxCreateDoubleScalar, double)
STANDIN(mxArray*, mxCreateLogicalScalar, mxLogical)
STANDIN(mxArray*, mxCreateString, const char*)
STANDIN(mxArray*, mxCreateCellMatrix, mwSize, mwSize)
STANDIN(mxArray*, mxCreateStructMatrix, mwSize, mwSize, int, const char**)
STANDIN(void, mxSetCell, mxArray*, mwIndex, mxArray*)
STANDIN(void, mxSetField, mxArray*, mwIndex, const char*, mxArray*)
STANDIN(void, mxDestroyArray, mxArray*)
STANDIN(bool, mxIsEmpty, const mxArray*)
STANDIN(std::size_t, mxGetM, const mxArray*)
STANDIN(std::size_t, mxGetN, const mxArray*)
STANDIN(void, mxSetN, mxArray*, mwSize)
STANDIN(double*, mxGetPi, const mxArray*)
STANDIN(mxArray*, mxGetProperty, const mxArray*, mwIndex, const char*)
STANDIN(mxArray*, mexCallMATLABWithTrap, int, mxArray**, int, mxArray**, const char*)
STANDIN(void, mexErrMsgTxt, const char*)
STANDIN(void, mexErrMsgIdAndTxt, const char*, const char*, ...)
STANDIN(void, mexWarnMsgIdAndTxt, const char*, const char*, ...)
STANDIN(int, mexPrintf, const char*, ...)
STANDIN(int, mexEvalString, const char*)
STANDIN(void, mexLock, void)
STANDIN(bool, mexIsLocked, void)
STANDIN(bool, utIsInterruptPending, void)
STANDIN(bool, utSetInterruptPending, bool)
}
