// MATLAB / GNU Octave entry point of tofimage:
//
//   Recon = tofimage(sigMat, n, x_sensor, y_sensor, z_sensor, c,
//                    image_select, t, fs, image_width, numCores)
//
// Checks the arguments, creates the n x n output and hands pointers into the
// caller's arrays to doRecon. Nothing is copied and nothing is kept between
// calls. Every error is raised before the output exists and before any
// computation, except one: memory that runs out for the engine's working
// memory (its plan: copies of the sensors and times, and tables) is an
// error naming tofimage, not a C++ exception escaping into the host.
//
// The module locks itself into the host at its first call (mexLock), so
// `clear mex`, `clear all` and `clear tofimage` leave it loaded. Unloading a
// module while the OpenMP runtime's idle worker threads live can crash the
// host: on Windows with MinGW the runtime is linked into the module, and
// elsewhere it may leave memory together with the module. `munlock tofimage`
// releases the lock; Linux builds also stay mapped after that (-z nodelete).
//
// The checks are those of every gateway of the module (mex_gateway.h).
#include "mex.h"

#include "mex_gateway.h"
#include "recon.h"

#include <new>

using namespace tofimage_mex;

namespace {

const GatewayMessages kMessages = {ReconMsg::TofimageInputs, ReconMsg::TofimageOutputs,
                                   ReconMsg::TofimageTypes};

bool sigMatOk(const mxArray* sigMat) { return mxIsDouble(sigMat); }

// doRecon on the checked request. Returns true and fills msg when memory
// ran out; the error is raised by the caller, after the plan is gone.
bool reconstruct(const ReconInput& in, char* msg) {
    try {
        doRecon(in);
    } catch (const std::bad_alloc&) {
        const MessageNumber n(in.n);
        namedMessage(msg, "tofimage", ReconMsg::PlanMemory,
                     {MessageNumber(in.cols), MessageNumber(in.rows), n, n});
        return true;
    }
    return false;
}

}  // namespace

void mexFunction(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
    if (!mexIsLocked()) mexLock();
    checkFixedArguments(nlhs, nrhs, prhs, kMessages, sigMatOk);

    char msg[kMsgSize] = "";
    if (soundArguments(prhs, msg)) mexErrMsgTxt(msg);

    // Request, pointing into the caller's arrays. A 3-D sigMat gives its
    // first rows*cols elements: its first frame (with a warning below).
    ReconInput in;
    ReconExtents ext;
    readRequest(prhs, in, ext);
    in.sigMat = mxGetPr(prhs[0]);
    // The output does not exist yet: it is checked as what will be created,
    // n*n elements, which replaces this stand-in before doRecon runs.
    double standIn = 0.0;
    in.Recon = &standIn;
    ext.Recon = (int64_t)in.n * in.n;
    if (takeMessage(checkReconInput(in, ext), msg)) mexErrMsgTxt(msg);
    // A stack given here is almost always meant for tofimage_frames: say so,
    // but keep the image (callers may rely on the first frame). Raised after
    // every check and before the output exists, so that a warning turned
    // into an error (warning('error', ...)) leaves nothing behind.
    if (mxGetNumberOfDimensions(prhs[0]) > 2)
        mexWarnMsgIdAndTxt("tofimage:firstFrameOnly", messageText(ReconMsg::FirstFrameOnly));

    const mwSize dims[2] = {(mwSize)in.n, (mwSize)in.n};
    plhs[0] = mxCreateNumericArray(2, dims, mxDOUBLE_CLASS, mxREAL);
    in.Recon = mxGetPr(plhs[0]);
    if (reconstruct(in, msg)) mexErrMsgIdAndTxt("tofimage:outOfMemory", msg);
}
