// MATLAB / GNU Octave entry point of tofimage_frames, tofimage on a stack of
// frames that share one scan geometry:
//
//   Recon = tofimage_frames(sigMat, n, x_sensor, y_sensor, z_sensor, c,
//                           image_select, t, fs, image_width, numCores)
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
// Like tofimage, the module locks itself into the host at its first call
// (see tofimage.cpp for why); `munlock tofimage_frames` releases the lock.
#include "mex.h"

#include "mex_gateway.h"
#include "recon.h"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <new>
#include <vector>

using namespace tofimage_mex;

namespace {

const GatewayMessages kMessages = {
    "Wrong number of input arguments for Recon = tofimage_frames(sigMat, n,  x_sensor, y_sensor, "
    "z_sensor, c, image_select, t, fs, image_width, numCores)",
    "Wrong number of output arguments for Recon = tofimage_frames(sigMat, n,  x_sensor, y_sensor, "
    "z_sensor, c, image_select, t, fs, image_width, numCores )",
    "All input arguments must be double (sigMat may also be single or int16) for fcn "
    "Recon = tofimage_frames(...)"};

bool sigMatOk(const mxArray* sigMat) {
    return mxIsDouble(sigMat) || mxIsSingle(sigMat) || mxIsInt16(sigMat);
}

// Runs the plan on a stack of T, converted to double one batch of frames at
// a time (as many as the kernel takes at once) into one batch of scratch.
template <typename T>
void runConverted(const ReconPlan& plan, const T* sigMat, int64_t frameElements, int64_t pixels,
                  int64_t frames, double* Recon) {
    const int64_t batch = std::max<int64_t>(1, std::min(plan.batchFrames(), frames));
    std::vector<double> scratch((std::size_t)(batch * frameElements));
    for (int64_t f0 = 0; f0 < frames; f0 += batch) {
        const int64_t count = std::min(batch, frames - f0);
        const T* from = sigMat + f0 * frameElements;
        std::copy(from, from + count * frameElements, scratch.begin());
        plan.run(scratch.data(), count, Recon + f0 * pixels);
    }
}

// Reconstructs the checked request; Recon exists and holds zeros. Returns
// true and fills msg when the memory for the plan or the scratch buffer
// could not be had: the error is raised by the caller, after every object
// here is gone.
bool reconstruct(const ReconInput& in, const mxArray* sigMat, int64_t frames, char* msg) {
    if (in.n <= 0 || frames <= 0) return false;
    const int64_t frameElements = (int64_t)in.rows * in.cols;
    const int64_t pixels = (int64_t)in.n * in.n;
    try {
        const ReconPlan plan(in, ReconKernel::Best, frames);
        switch (mxGetClassID(sigMat)) {
            case mxSINGLE_CLASS:
                runConverted(plan, static_cast<const float*>(mxGetData(sigMat)), frameElements,
                             pixels, frames, in.Recon);
                break;
            case mxINT16_CLASS:
                runConverted(plan, static_cast<const int16_t*>(mxGetData(sigMat)), frameElements,
                             pixels, frames, in.Recon);
                break;
            default:
                plan.run(in.sigMat, frames, in.Recon);
                break;
        }
    } catch (const std::bad_alloc&) {
        return takeMessage("out of memory for the reconstruction of the stack", msg);
    }
    return false;
}

// Elements of n x n x frames images; a product beyond 64 bits, which the
// engine's check rejects, saturates.
int64_t imageElements(int32_t n, int64_t frames) {
    const int64_t pixels = (int64_t)n * n;
    if (pixels > 0 && frames > std::numeric_limits<int64_t>::max() / pixels)
        return std::numeric_limits<int64_t>::max();
    return pixels * frames;
}

}  // namespace

void mexFunction(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
    if (!mexIsLocked()) mexLock();
    checkFixedArguments(nlhs, nrhs, prhs, kMessages, sigMatOk);

    char msg[kMsgSize] = "";
    if (soundArguments(prhs, msg)) mexErrMsgTxt(msg);
    const mwSize ndims = mxGetNumberOfDimensions(prhs[0]);
    if (ndims > 3)
        mexErrMsgTxt("sigMat must have at most three dimensions (samples x sensors x frames)");
    const int64_t frames = ndims == 3 ? (int64_t)mxGetDimensions(prhs[0])[2] : 1;

    ReconInput in;
    ReconExtents ext;
    readRequest(prhs, in, ext);
    // Only a double stack is read in place; another is checked by its
    // element count, with this stand-in for its data.
    double standIn = 0.0;
    in.sigMat = mxIsDouble(prhs[0]) ? mxGetPr(prhs[0]) : &standIn;
    in.Recon = &standIn;
    ext.Recon = imageElements(in.n, frames);
    if (takeMessage(checkReconFrames(in, ext, frames), msg)) mexErrMsgTxt(msg);

    const mwSize dims[3] = {(mwSize)in.n, (mwSize)in.n, (mwSize)frames};
    plhs[0] = mxCreateNumericArray(3, dims, mxDOUBLE_CLASS, mxREAL);
    in.Recon = mxGetPr(plhs[0]);
    if (reconstruct(in, prhs[0], frames, msg)) mexErrMsgTxt(msg);
}
