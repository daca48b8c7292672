// A stand-in for MATLAB's mex.h, for building the modules exactly as the
// MATLAB-on-Linux recipe links them where MATLAB is absent: the functions of
// MATLAB's C MEX API that the gateways call, declared with MATLAB's names,
// C linkage and types (the -R2017b API: 64-bit mwSize, mxGetPr). The
// stand-in library (mex_standin.cpp) defines them, so that the modules link
// with unresolved symbols refused, as mex links them against libmx and
// libmex. Only the link and the modules' symbol tables are checked
// (tests/mex/check_symbol_versions.py): nothing here runs a module.
#ifndef TOFIMAGE_MEX_STANDIN_H
#define TOFIMAGE_MEX_STANDIN_H

#include <cstddef>

typedef struct mxArray_tag mxArray;
typedef std::size_t mwSize;
typedef std::size_t mwIndex;
typedef bool mxLogical;
typedef enum {
    mxUNKNOWN_CLASS, mxCELL_CLASS, mxSTRUCT_CLASS, mxLOGICAL_CLASS, mxCHAR_CLASS, mxVOID_CLASS,
    mxDOUBLE_CLASS, mxSINGLE_CLASS, mxINT8_CLASS, mxUINT8_CLASS, mxINT16_CLASS, mxUINT16_CLASS,
    mxINT32_CLASS, mxUINT32_CLASS, mxINT64_CLASS, mxUINT64_CLASS, mxFUNCTION_CLASS
} mxClassID;
typedef enum { mxREAL, mxCOMPLEX } mxComplexity;

extern "C" {
bool mxIsDouble(const mxArray* a);
bool mxIsSingle(const mxArray* a);
bool mxIsInt16(const mxArray* a);
bool mxIsChar(const mxArray* a);
bool mxIsLogical(const mxArray* a);
bool mxIsNumeric(const mxArray* a);
bool mxIsComplex(const mxArray* a);
bool mxIsSparse(const mxArray* a);
mxClassID mxGetClassID(const mxArray* a);
const mwSize* mxGetDimensions(const mxArray* a);
mwSize mxGetNumberOfDimensions(const mxArray* a);
std::size_t mxGetNumberOfElements(const mxArray* a);
double* mxGetPr(const mxArray* a);
void* mxGetData(const mxArray* a);
double mxGetScalar(const mxArray* a);
int mxGetString(const mxArray* a, char* buf, mwSize len);
mxArray* mxCreateNumericArray(mwSize ndim, const mwSize* dims, mxClassID id, mxComplexity c);
mxArray* mxCreateDoubleMatrix(mwSize m, mwSize n, mxComplexity c);
mxArray* mxCreateDoubleScalar(double value);
mxArray* mxCreateLogicalScalar(mxLogical value);
mxArray* mxCreateString(const char* text);
mxArray* mxCreateCellMatrix(mwSize m, mwSize n);
mxArray* mxCreateStructMatrix(mwSize m, mwSize n, int nfields, const char** names);
void mxSetCell(mxArray* a, mwIndex i, mxArray* value);
void mxSetField(mxArray* a, mwIndex i, const char* name, mxArray* value);
void mxDestroyArray(mxArray* a);
bool mxIsEmpty(const mxArray* a);
std::size_t mxGetM(const mxArray* a);
std::size_t mxGetN(const mxArray* a);
void mxSetN(mxArray* a, mwSize n);
double* mxGetPi(const mxArray* a);
mxArray* mxGetProperty(const mxArray* a, mwIndex i, const char* name);
mxArray* mexCallMATLABWithTrap(int nlhs, mxArray* plhs[], int nrhs, mxArray* prhs[],
                               const char* name);
void mexErrMsgTxt(const char* msg);
void mexErrMsgIdAndTxt(const char* id, const char* fmt, ...);
void mexWarnMsgIdAndTxt(const char* id, const char* fmt, ...);
int mexPrintf(const char* fmt, ...);
int mexEvalString(const char* command);
void mexLock(void);
bool mexIsLocked(void);
void mexFunction(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]);
}

#endif
