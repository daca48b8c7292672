// Argument checking shared by the MEX gateways tofimage (one frame) and
// tofimage_frames (a stack of frames). Both take the same eleven arguments
// and check them in the same order; each names itself in its own messages.
//
// mexErrMsgTxt does not return (the host unwinds or jumps out of the call),
// so no object with a destructor is alive in a function of this header when
// it raises an error: messages built as std::string are copied into a plain
// buffer first, and the caller raises them.
#ifndef TOFIMAGE_MEX_GATEWAY_H
#define TOFIMAGE_MEX_GATEWAY_H

#include "mex.h"

#include "recon.h"
#include "recon_messages.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

namespace tofimage_mex {

// The fixed messages of a gateway, which name its function.
struct GatewayMessages {
    ReconMsg inputs;   // fewer than 11 inputs
    ReconMsg outputs;  // more than one output
    ReconMsg types;    // an argument of a class the gateway does not take
};

// Argument names in call order, as users see them in the messages.
inline const char* const kArgName[11] = {"sigMat", "n",            "x_sensor", "y_sensor",
                                         "z_sensor", "c",          "image_select", "t",
                                         "fs",     "image_width", "numCores"};

// Positions of the arguments that are read as scalars.
inline const int kScalarArg[6] = {1, 5, 6, 8, 9, 10};

constexpr std::size_t kMsgSize = 256;

// The engine's rule on sigMat's rows and columns. MATLAB's mwSize is
// unsigned, Octave's signed and never negative: sizes beyond 2^63 - 1
// count as 2^63 - 1, which is too large.
inline std::string checkDims(const mxArray* sigMat) {
    const mwSize* dims = mxGetDimensions(sigMat);
    const auto size = [](mwSize d) {
        return (uint64_t)d > (uint64_t)INT64_MAX ? INT64_MAX : (int64_t)d;
    };
    return checkSigMatSize(size(dims[0]), size(dims[1]));
}

// Copies a message into the caller's buffer; returns true when there is one.
inline bool takeMessage(const std::string& m, char* buf) {
    if (m.empty()) return false;
    std::strncpy(buf, m.c_str(), kMsgSize - 1);
    buf[kMsgSize - 1] = '\0';
    return true;
}

// The fixed checks, in their order: the input count, the output count, the
// classes (all double; sigMatOk decides for sigMat), and the first dimension
// of t against the rows of sigMat. Raises the first that fails.
inline void checkFixedArguments(int nlhs, int nrhs, const mxArray* prhs[],
                                const GatewayMessages& messages,
                                bool (*sigMatOk)(const mxArray*)) {
    if (nrhs < 11) mexErrMsgTxt(messageText(messages.inputs));
    if (nlhs > 1) mexErrMsgTxt(messageText(messages.outputs));
    if (!sigMatOk(prhs[0])) mexErrMsgTxt(messageText(messages.types));
    for (int a = 1; a < 11; ++a)
        if (!mxIsDouble(prhs[a])) mexErrMsgTxt(messageText(messages.types));
    if (mxGetDimensions(prhs[0])[0] != mxGetDimensions(prhs[7])[0])
        mexErrMsgTxt(messageText(ReconMsg::TimeRows));
}

// Everything beyond the fixed checks that a request must satisfy before any
// array is read: full storage, scalars that exist, sizes the engine can index,
// an n that is a number. Returns false and fills msg on the first failure.
inline bool soundArguments(const mxArray* prhs[], char* msg) {
    for (int a = 0; a < 11; ++a)
        if (mxIsSparse(prhs[a])) return takeMessage(message(ReconMsg::Sparse, {kArgName[a]}), msg);
    for (int a : kScalarArg)
        if (mxGetNumberOfElements(prhs[a]) == 0)
            return takeMessage(message(ReconMsg::Empty, {kArgName[a]}), msg);
    if (takeMessage(checkDims(prhs[0]), msg)) return true;
    if (std::isnan(mxGetScalar(prhs[1]))) return takeMessage(message(ReconMsg::NaNCount, {"n"}), msg);
    return false;
}

// The request of the arguments, pointing into the caller's arrays, and the
// element counts of those arrays. Complex arrays contribute their real part
// (mxGetPr, mxGetScalar); a non-scalar array for a scalar its first element.
// in.sigMat is left to the gateway, which knows sigMat's class; in.Recon and
// extents.Recon are left to it too (the output does not exist yet).
inline void readRequest(const mxArray* prhs[], ReconInput& in, ReconExtents& ext) {
    in.rows = (int32_t)mxGetDimensions(prhs[0])[0];
    in.cols = (int32_t)mxGetDimensions(prhs[0])[1];
    in.n = reconCount(mxGetScalar(prhs[1]));
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
    in.numCores = reconCount(mxGetScalar(prhs[10]));

    ext.sigMat = (int64_t)mxGetNumberOfElements(prhs[0]);
    ext.x_sensor = (int64_t)mxGetNumberOfElements(prhs[2]);
    ext.y_sensor = (int64_t)mxGetNumberOfElements(prhs[3]);
    ext.z_sensor = (int64_t)mxGetNumberOfElements(prhs[4]);
    ext.t = (int64_t)mxGetNumberOfElements(prhs[7]);
}

// Fills msg with message m that names its function: "name: " and the text.
// Octave puts "name: " before every error of a MEX function itself; MATLAB
// shows the name beside the error but not in its message. Either way the
// message reads "name: ...". Allocates nothing, so it also serves when
// memory ran out.
inline void namedMessage(char* msg, const char* name, ReconMsg m,
                         std::initializer_list<const char*> args = {}) {
#ifdef HAVE_OCTAVE
    (void)name;
    int used = 0;
#else
    int used = std::snprintf(msg, kMsgSize, "%s: ", name);
    if (used < 0 || used >= (int)kMsgSize) used = 0;
#endif
    formatMessage(msg + used, kMsgSize - (std::size_t)used, m, args);
}

}  // namespace tofimage_mex

#endif
