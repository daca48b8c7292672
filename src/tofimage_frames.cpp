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
#include "recon.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <new>
#include <vector>

#ifdef HAVE_OCTAVE  // defined by Octave's mex.h
#include <octave/quit.h>
#else
// MATLAB's interrupt query and its reset, from libut. Not part of the
// documented MEX API, but for many years the only way a MEX function can
// see Ctrl-C.
extern "C" bool utIsInterruptPending(void);
extern "C" bool utSetInterruptPending(bool);
#endif

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

bool equalsIgnoringCase(const char* a, const char* b) {
    for (; *a != '\0' && *b != '\0'; ++a, ++b)
        if (std::tolower((unsigned char)*a) != std::tolower((unsigned char)*b)) return false;
    return *a == *b;
}

// Ctrl-C pressed since the call began. MATLAB and Octave deliver it to a
// MEX function only when it asks.
bool interruptPending() {
#ifdef HAVE_OCTAVE
    // Octave's signal handler only notes the signal; octave_quit() acts on
    // it, throwing octave::interrupt_exception for Ctrl-C. Caught here, the
    // interrupt becomes this function's error.
    if (!octave_signal_caught) return false;
    try {
        octave_quit();
    } catch (const octave::interrupt_exception&) {
        return true;
    }
    return false;
#else
    // Taken, like Octave's: the call's own error reports it.
    if (!utIsInterruptPending()) return false;
    utSetInterruptPending(false);
    return true;
#endif
}

// Between batches of frames, on the calling thread: the progress line and
// Ctrl-C. The line appears once the call is expected to last longer than
// kShowAfter seconds, is rewritten in place (backspaces work in MATLAB's
// command window, in Octave's and in terminals, unlike \r), and ends with
// the total time.
class Monitor {
public:
    using Clock = std::chrono::steady_clock;

    // start: when the call began, so that the times include making the
    // output and the plan.
    Monitor(bool show, int64_t frames, Clock::time_point start)
        : show_(show), frames_(frames), start_(start) {}

    // False when the call is to stop: Ctrl-C was pressed.
    bool operator()(int64_t done) {
        if (show_ && done < frames_) showProgress(done);
        if (interrupted_ || interruptPending()) {
            interrupted_ = true;
            if (shown_) mexPrintf("\n");
            return false;
        }
        return true;
    }

    // The end of the line, after the last frame.
    void finish() {
        if (!shown_) return;
        const double elapsed = seconds();
        char line[120];
        std::snprintf(line, sizeof line, "tofimage_frames: %lld frames in %.1f s (%.1f frames/s)",
                      (long long)frames_, elapsed, (double)frames_ / elapsed);
        rewrite(line);
        mexPrintf("\n");
        flush();
    }

    bool interrupted() const { return interrupted_; }

private:
    static constexpr double kShowAfter = 2.0;  // seconds
    static constexpr double kRefresh = 0.25;   // seconds between updates

    void showProgress(int64_t done) {
        const double elapsed = seconds();
        if (!shown_ && elapsed / (double)done * (double)frames_ <= kShowAfter) return;
        if (shown_ && elapsed - lastShown_ < kRefresh) return;
        const double rate = (double)done / elapsed;
        char line[120];
        std::snprintf(line, sizeof line,
                      "tofimage_frames: %lld of %lld frames, %.1f frames/s, %.0f s left",
                      (long long)done, (long long)frames_, rate, (double)(frames_ - done) / rate);
        rewrite(line);
        lastShown_ = elapsed;
    }

    double seconds() const { return std::chrono::duration<double>(Clock::now() - start_).count(); }

    // Replaces the line shown so far: back to its start, then the new one,
    // padded to the longest line so far.
    void rewrite(const char* line) {
        char text[256];
        std::memset(text, '\b', (std::size_t)shownLength_);
        std::snprintf(text + shownLength_, sizeof text - (std::size_t)shownLength_, "%-*s",
                      shownLength_, line);
        shownLength_ = std::max(shownLength_, (int)std::strlen(line));
        shown_ = true;
        mexPrintf("%s", text);
        flush();
    }

    // mexPrintf's output reaches the command window only when the host
    // flushes it. Octave may act on a pending Ctrl-C while it evaluates the
    // flush, throwing its interrupt exception: caught here, it stops the
    // call as the query would.
    void flush() {
#ifdef HAVE_OCTAVE
        try {
            mexEvalString("fflush(stdout);");
        } catch (const octave::interrupt_exception&) {
            interrupted_ = true;
        }
#else
        mexEvalString("drawnow;");
#endif
    }

    bool show_;
    int64_t frames_;
    Clock::time_point start_;
    bool shown_ = false, interrupted_ = false;
    int shownLength_ = 0;
    double lastShown_ = 0.0;
};

// Runs the plan on a stack of T, converted to double `batch` frames at a
// time into scratch. Returns the frames done: all, or fewer on Ctrl-C.
template <typename T>
int64_t runConverted(const ReconPlan& plan, const T* sigMat, int64_t frameElements,
                     int64_t pixels, int64_t frames, int64_t batch, std::vector<double>& scratch,
                     double* Recon, Monitor& monitor) {
    for (int64_t f0 = 0; f0 < frames; f0 += batch) {
        const int64_t count = std::min(batch, frames - f0);
        const T* from = sigMat + f0 * frameElements;
        std::copy(from, from + count * frameElements, scratch.begin());
        plan.run(scratch.data(), count, Recon + f0 * pixels);
        if (!monitor(f0 + count)) return f0 + count;
    }
    return frames;
}

// Reconstructs the checked request; Recon exists and holds zeros. Returns
// the identifier of the error to raise, with its message in msg (memory
// that ran out, Ctrl-C), or nullptr. The error is raised by the caller,
// after every object here is gone.
const char* reconstruct(const ReconInput& in, const mxArray* sigMat, int64_t frames,
                        Monitor& monitor, char* msg) {
    if (in.n <= 0 || frames <= 0) return nullptr;
    const int64_t frameElements = (int64_t)in.rows * in.cols;
    const int64_t pixels = (int64_t)in.n * in.n;
    const char* step = "the reconstruction plan";
    int64_t done = 0;
    try {
        const ReconPlan plan(in, ReconKernel::Best, frames);
        // A single or int16 stack is converted as many frames at a time as
        // the kernel takes at once, which costs no speed.
        step = "the buffer that converts a batch of frames to double";
        const int64_t batch = std::max<int64_t>(1, std::min(plan.batchFrames(), frames));
        std::vector<double> scratch(mxIsDouble(sigMat) ? 0 : (std::size_t)(batch * frameElements));
        step = "the working memory of the reconstruction";
        switch (mxGetClassID(sigMat)) {
            case mxSINGLE_CLASS:
                done = runConverted(plan, static_cast<const float*>(mxGetData(sigMat)),
                                    frameElements, pixels, frames, batch, scratch, in.Recon,
                                    monitor);
                break;
            case mxINT16_CLASS:
                done = runConverted(plan, static_cast<const int16_t*>(mxGetData(sigMat)),
                                    frameElements, pixels, frames, batch, scratch, in.Recon,
                                    monitor);
                break;
            default:
                done = plan.run(in.sigMat, frames, in.Recon,
                                [&](int64_t d, int64_t) { return monitor(d); });
                break;
        }
    } catch (const std::bad_alloc&) {
        char what[160];
        std::snprintf(what, sizeof what, "%s (%lld frames of %d x %d samples, %d x %d images)",
                      step, (long long)frames, in.rows, in.cols, in.n, in.n);
        namedMessage(msg, "tofimage_frames", "out of memory: could not allocate %s", what);
        return "tofimage_frames:outOfMemory";
    }
    if (monitor.interrupted()) {
        namedMessage(msg, "tofimage_frames", "interrupted (Ctrl-C) after %lld of %lld frames",
                     (long long)done, (long long)frames);
        return "tofimage_frames:interrupted";
    }
    monitor.finish();
    return nullptr;
}

// Elements of n x n x frames images; a product beyond 64 bits, which the
// engine's check rejects, saturates.
int64_t imageElements(int32_t n, int64_t frames) {
    const int64_t pixels = (int64_t)n * n;
    if (pixels > 0 && frames > std::numeric_limits<int64_t>::max() / pixels)
        return std::numeric_limits<int64_t>::max();
    return pixels * frames;
}

// The options after the eleven arguments: name-value pairs, names in any
// case. Returns false and fills msg on the first fault.
bool readOptions(int nrhs, const mxArray* prhs[], bool* progress, char* msg) {
    for (int a = 11; a < nrhs; a += 2) {
        char name[32] = "";
        if (!mxIsChar(prhs[a]) || mxGetString(prhs[a], name, sizeof name) != 0 ||
            !equalsIgnoringCase(name, "Progress")) {
            std::snprintf(msg, kMsgSize,
                          "argument %d: the options after numCores are name-value pairs, and the "
                          "only name is 'Progress'",
                          a + 1);
            return false;
        }
        const mxArray* value = a + 1 < nrhs ? prhs[a + 1] : nullptr;
        if (value == nullptr || !(mxIsLogical(value) || mxIsNumeric(value)) ||
            mxGetNumberOfElements(value) != 1 || mxIsComplex(value) ||
            std::isnan(mxGetScalar(value))) {
            std::snprintf(msg, kMsgSize, "the value of 'Progress' must be true or false");
            return false;
        }
        *progress = mxGetScalar(value) != 0.0;
    }
    return true;
}

}  // namespace

void mexFunction(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
    const Monitor::Clock::time_point start = Monitor::Clock::now();
    if (!mexIsLocked()) mexLock();
    checkFixedArguments(nlhs, nrhs, prhs, kMessages, sigMatOk);

    char msg[kMsgSize] = "";
    if (soundArguments(prhs, msg)) mexErrMsgTxt(msg);
    const mwSize ndims = mxGetNumberOfDimensions(prhs[0]);
    if (ndims > 3)
        mexErrMsgTxt("sigMat must have at most three dimensions (samples x sensors x frames)");
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
    ext.Recon = imageElements(in.n, frames);
    if (takeMessage(checkReconFrames(in, ext, frames), msg)) mexErrMsgTxt(msg);

    const mwSize dims[3] = {(mwSize)in.n, (mwSize)in.n, (mwSize)frames};
    plhs[0] = mxCreateNumericArray(3, dims, mxDOUBLE_CLASS, mxREAL);
    in.Recon = mxGetPr(plhs[0]);
    Monitor monitor(progress, frames, start);
    const char* failure = reconstruct(in, prhs[0], frames, monitor, msg);
    if (failure != nullptr) mexErrMsgIdAndTxt(failure, msg);
}
