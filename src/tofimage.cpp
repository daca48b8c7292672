// MATLAB / GNU Octave entry point of tofimage:
//
//   Recon = tofimage(sigMat, n, x_sensor, y_sensor, z_sensor, c,
//                    image_select, t, fs, image_width, numCores)
//
// Checks the arguments, creates the n x n output and hands pointers into the
// caller's arrays to doRecon. Nothing is copied and nothing is kept between
// calls. Every error is raised before the output exists and before any
// computation.
//
// The module locks itself into the host at its first call (mexLock), so
// `clear mex`, `clear all` and `clear tofimage` leave it loaded. Unloading a
// module while the OpenMP runtime's idle worker threads live can crash the
// host: on Windows with MinGW the runtime is linked into the module, and
// elsewhere it may leave memory together with the module. `munlock tofimage`
// releases the lock; Linux builds also stay mapped after that (-z nodelete).
//
// mexErrMsgTxt does not return (the host unwinds or jumps out of this call),
// so no object with a destructor is alive in mexFunction when it is called:
// messages built as std::string are copied into a plain buffer first.
#include "mex.h"

#include "recon.h"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>

namespace {

// Argument names in call order, as users see them in the messages.
const char* const kArgName[11] = {"sigMat", "n",            "x_sensor", "y_sensor",
                                  "z_sensor", "c",          "image_select", "t",
                                  "fs",     "image_width", "numCores"};

// Positions of the arguments that are read as scalars.
const int kScalarArg[6] = {1, 5, 6, 8, 9, 10};

constexpr std::size_t kMsgSize = 256;

// The mwSize of MATLAB's large-array interface is unsigned, Octave's is
// signed; both are never negative.
bool fitsInt32(mwSize d) { return (uint64_t)d <= (uint64_t)std::numeric_limits<int32_t>::max(); }

// double -> int32, truncating toward zero and saturating at the ends of the
// range, so no conversion is ever out of range. NaN must be handled by the
// caller.
int32_t truncSaturate(double v) {
    const double t = std::trunc(v);
    if (t <= (double)std::numeric_limits<int32_t>::min()) return std::numeric_limits<int32_t>::min();
    if (t >= (double)std::numeric_limits<int32_t>::max()) return std::numeric_limits<int32_t>::max();
    return (int32_t)t;
}

// Copies a message into the caller's buffer; returns true when there is one.
bool takeMessage(const std::string& m, char* buf) {
    if (m.empty()) return false;
    std::strncpy(buf, m.c_str(), kMsgSize - 1);
    buf[kMsgSize - 1] = '\0';
    return true;
}

// Everything beyond the fixed checks that a request must satisfy before any
// array is read: full storage, scalars that exist, sizes the engine can index,
// an n that is a number. Returns false and fills msg on the first failure.
bool soundArguments(const mxArray* prhs[], char* msg) {
    for (int a = 0; a < 11; ++a)
        if (mxIsSparse(prhs[a]))
            return takeMessage(std::string(kArgName[a]) + " must be a full array, not sparse", msg);
    for (int a : kScalarArg)
        if (mxGetNumberOfElements(prhs[a]) == 0)
            return takeMessage(std::string(kArgName[a]) + " must not be empty", msg);
    const mwSize* dims = mxGetDimensions(prhs[0]);
    if (!fitsInt32(dims[0]) || !fitsInt32(dims[1]))
        return takeMessage("sigMat is too large: its rows and columns must each number less than 2^31",
                           msg);
    if (std::isnan(mxGetScalar(prhs[1]))) return takeMessage("n must be a number, not NaN", msg);
    return false;
}

}  // namespace

void mexFunction(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
    if (!mexIsLocked()) mexLock();
    if (nrhs < 11)
        mexErrMsgTxt(
            "Wrong number of input arguments for Recon = tofimage(sigMat, n,  x_sensor, y_sensor, "
            "z_sensor, c, image_select, t, fs, image_width, numCores)");
    if (nlhs > 1)
        mexErrMsgTxt(
            "Wrong number of output arguments for Recon = tofimage(sigMat, n,  x_sensor, y_sensor, "
            "z_sensor, c, image_select, t, fs, image_width, numCores )");
    for (int a = 0; a < 11; ++a)
        if (!mxIsDouble(prhs[a]))
            mexErrMsgTxt("All input arguments must be double for fcn Recon = tofimage(...)");
    const mwSize sigRows = mxGetDimensions(prhs[0])[0];
    const mwSize sigCols = mxGetDimensions(prhs[0])[1];
    if (sigRows != mxGetDimensions(prhs[7])[0])
        mexErrMsgTxt("t must have the same number of elements as sigMat has rows");

    char msg[kMsgSize] = "";
    if (soundArguments(prhs, msg)) mexErrMsgTxt(msg);

    // Request, pointing into the caller's arrays. Complex arrays contribute
    // their real part (mxGetPr, mxGetScalar); a 3-D sigMat its first
    // rows*cols elements; a non-scalar array for a scalar its first element.
    ReconInput in;
    in.sigMat = mxGetPr(prhs[0]);
    in.rows = (int32_t)sigRows;
    in.cols = (int32_t)sigCols;
    in.n = truncSaturate(mxGetScalar(prhs[1]));
    in.x_sensor = mxGetPr(prhs[2]);
    in.y_sensor = mxGetPr(prhs[3]);
    in.z_sensor = mxGetPr(prhs[4]);
    in.c = mxGetScalar(prhs[5]);
    in.image_select = mxGetScalar(prhs[6]);
    in.t = mxGetPr(prhs[7]);
    in.fs = mxGetScalar(prhs[8]);
    in.image_width = mxGetScalar(prhs[9]);
    // NaN and anything below 1 ask for the runtime's default team; the engine
    // caps large requests.
    const double cores = mxGetScalar(prhs[10]);
    in.numCores = std::isnan(cores) ? 0 : truncSaturate(cores);

    ReconExtents ext;
    ext.sigMat = (int64_t)mxGetNumberOfElements(prhs[0]);
    ext.x_sensor = (int64_t)mxGetNumberOfElements(prhs[2]);
    ext.y_sensor = (int64_t)mxGetNumberOfElements(prhs[3]);
    ext.z_sensor = (int64_t)mxGetNumberOfElements(prhs[4]);
    ext.t = (int64_t)mxGetNumberOfElements(prhs[7]);
    // The output does not exist yet: it is checked as what will be created,
    // n*n elements, which replaces this stand-in before doRecon runs.
    double standIn = 0.0;
    in.Recon = &standIn;
    ext.Recon = (int64_t)in.n * in.n;
    if (takeMessage(checkReconInput(in, ext), msg)) mexErrMsgTxt(msg);

    const mwSize dims[2] = {(mwSize)in.n, (mwSize)in.n};
    plhs[0] = mxCreateNumericArray(2, dims, mxDOUBLE_CLASS, mxREAL);
    in.Recon = mxGetPr(plhs[0]);
    doRecon(in);
}
