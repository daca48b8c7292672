// MATLAB / GNU Octave entry point of tofimage_frames, tofimage on a stack of
// frames that share one scan geometry:
//
//   Recon = tofimage_frames(sigMat, n, x_sensor, y_sensor, z_sensor, c,
//                           image_select, t, fs, image_width, numCores)
//   Recon = tofimage_frames(..., numCores, 'Progress', false)
//
// sigMat is samples x sensors x frames (a matrix is one frame) and Recon
// n x n x frames; frame f's image is tofimage's image of sigMat(:, :, f),
// bit for bit. The arguments are checked as tofimage checks them
// (mex_gateway.h), except that sigMat may also be single or int16, and may
// not have more than three dimensions.
//
// One plan is made per call and run on the stack, so each pixel's sample
// indices are found once for a batch of frames. A double stack is read in
// place. A single or int16 stack is converted to double one batch of frames
// at a time, into a scratch buffer of one batch: both conversions are exact,
// so the images are those of double(sigMat), and memory does not grow with
// the number of frames.
//
// Between batches, on the calling thread with no worker busy, the gateway
// shows a progress line for a call expected to last more than 2 s (unless
// 'Progress' is false) and asks the host whether Ctrl-C was pressed; if so,
// the call ends with an error that counts the frames done. Memory that runs
// out is an error too, naming what could not be allocated.
//
// Like tofimage, the module locks itself into the host at its first call
// (see tofimage.cpp for why); `munlock tofimage_frames` releases the lock.
#include "mex.h"

#include "mex_gateway.h"
#include "mex_stack.h"
#include "recon.h"

#include <cstdint>
#include <cstdio>
#include <new>

using namespace tofimage_mex;

namespace {

const char kName[] = "tofimage_frames";

const GatewayMessages kMessages = {ReconMsg::FramesInputs, ReconMsg::FramesOutputs,
                                   ReconMsg::FramesTypes};

// Reconstructs the checked request; Recon exists and holds zeros. A failure
// (memory that ran out, Ctrl-C) fills `error`, which the caller raises
// after every object here is gone.
void reconstruct(const ReconInput& in, const mxArray* sigMat, int64_t frames, Monitor& monitor,
                 StackError& error) {
    if (in.n <= 0 || frames <= 0) return;
    const int64_t frameElements = (int64_t)in.rows * in.cols;
    const int64_t pixels = (int64_t)in.n * in.n;
    const char* step = "the reconstruction plan";
    int64_t done = 0;
    try {
        const ReconPlan plan(in, ReconKernel::Best, frames);
        // A single or int16 stack is converted as many frames at a time as
        // the kernel takes at once, which costs no speed.
        done = runStack(sigMat, frameElements, frames, plan.batchFrames(), monitor, &step,
                        [&](const double* samples, int64_t first, int64_t count,
                            const ReconProgress& progress) {
                            return plan.run(samples, count, in.Recon + first * pixels, progress);
                        });
    } catch (const std::bad_alloc&) {
        char request[120];
        std::snprintf(request, sizeof request, "%lld frames of %d x %d samples, %d x %d images",
                      (long long)frames, in.rows, in.cols, in.n, in.n);
        error.outOfMemory(kName, step, request);
        return;
    }
    if (!error.interrupted(kName, monitor, done, frames)) monitor.finish();
}

// The options after the eleven arguments: name-value pairs, names in any
// case. Returns false and fills msg on the first fault.
bool readOptions(int nrhs, const mxArray* prhs[], bool* progress, char* msg) {
    for (int a = 11; a < nrhs; a += 2) {
        char name[32] = "";
        if (!mxIsChar(prhs[a]) || mxGetString(prhs[a], name, sizeof name) != 0 ||
            !equalsIgnoringCase(name, "Progress")) {
            formatMessage(msg, kMsgSize, ReconMsg::FramesOptionName, {MessageNumber(a + 1)});
            return false;
        }
        if (!readSwitch(a + 1 < nrhs ? prhs[a + 1] : nullptr, progress)) {
            formatMessage(msg, kMsgSize, ReconMsg::OptionValue, {"Progress", "true or false"});
            return false;
        }
    }
    return true;
}

}  // namespace

void mexFunction(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
    const Monitor::Clock::time_point start = Monitor::Clock::now();
    if (!mexIsLocked()) mexLock();
    checkFixedArguments(nlhs, nrhs, prhs, kMessages, stackClassOk);

    char msg[kMsgSize] = "";
    if (soundArguments(prhs, msg)) mexErrMsgTxt(msg);
    const mwSize ndims = mxGetNumberOfDimensions(prhs[0]);
    if (ndims > 3)
        mexErrMsgTxt(messageText(ReconMsg::StackDims));
    const int64_t frames = ndims == 3 ? (int64_t)mxGetDimensions(prhs[0])[2] : 1;
    bool progress = true;
    if (!readOptions(nrhs, prhs, &progress, msg)) mexErrMsgTxt(msg);

    ReconInput in;
    ReconExtents ext;
    readRequest(prhs, in, ext);
    // Only a double stack is read in place; another is checked by its
    // element count, with this stand-in for its data.
    double standIn = 0.0;
    in.sigMat = mxIsDouble(prhs[0]) ? mxGetPr(prhs[0]) : &standIn;
    in.Recon = &standIn;
    ext.Recon = imageElements((int64_t)in.n * in.n, frames);
    if (takeMessage(checkReconFrames(in, ext, frames), msg)) mexErrMsgTxt(msg);

    const mwSize dims[3] = {(mwSize)in.n, (mwSize)in.n, (mwSize)frames};
    plhs[0] = mxCreateNumericArray(3, dims, mxDOUBLE_CLASS, mxREAL);
    in.Recon = mxGetPr(plhs[0]);
    Monitor monitor(kName, progress, frames, start);
    StackError error;
    reconstruct(in, prhs[0], frames, monitor, error);
    if (error.raised()) mexErrMsgIdAndTxt(error.id, error.msg);
}
