// What the stack gateways (tofimage_frames, tofimage_beamform) share to run
// a plan on a stack of frames inside the host: double, single and int16
// stacks (the last two converted to double a batch of frames at a time), a
// progress line for long calls, Ctrl-C between batches, and options given
// as name-value pairs.
//
// As in mex_gateway.h, nothing here raises an error: the caller does, once
// every object with a destructor is gone.
#ifndef TOFIMAGE_MEX_STACK_H
#define TOFIMAGE_MEX_STACK_H

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

namespace tofimage_mex {

inline bool equalsIgnoringCase(const char* a, const char* b) {
    for (; *a != '\0' && *b != '\0'; ++a, ++b)
        if (std::tolower((unsigned char)*a) != std::tolower((unsigned char)*b)) return false;
    return *a == *b;
}

// The classes a stack of frames may have.
inline bool stackClassOk(const mxArray* sigMat) {
    return mxIsDouble(sigMat) || mxIsSingle(sigMat) || mxIsInt16(sigMat);
}

// A scalar option's value that is true or false: a real logical or numeric
// scalar that is not NaN.
inline bool readSwitch(const mxArray* value, bool* on) {
    if (value == nullptr || !(mxIsLogical(value) || mxIsNumeric(value)) ||
        mxGetNumberOfElements(value) != 1 || mxIsComplex(value) || std::isnan(mxGetScalar(value)))
        return false;
    *on = mxGetScalar(value) != 0.0;
    return true;
}

// Ctrl-C pressed since the call began. MATLAB and Octave deliver it to a
// MEX function only when it asks.
inline bool interruptPending() {
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
// the total time. It begins with the function's name.
class Monitor {
public:
    using Clock = std::chrono::steady_clock;

    // start: when the call began, so that the times include making the
    // output and the plan.
    Monitor(const char* name, bool show, int64_t frames, Clock::time_point start)
        : name_(name), show_(show), frames_(frames), start_(start) {}

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
        char line[160];
        std::snprintf(line, sizeof line, "%s: %lld frames in %.1f s (%.1f frames/s)", name_,
                      (long long)frames_, elapsed, (double)frames_ / elapsed);
        rewrite(line);
        mexPrintf("\n");
        flush();
    }

    // Ctrl-C seen elsewhere (during a call into the host).
    void interrupt() { interrupted_ = true; }
    bool interrupted() const { return interrupted_; }

private:
    static constexpr double kShowAfter = 2.0;  // seconds
    static constexpr double kRefresh = 0.25;   // seconds between updates

    void showProgress(int64_t done) {
        const double elapsed = seconds();
        if (!shown_ && elapsed / (double)done * (double)frames_ <= kShowAfter) return;
        if (shown_ && elapsed - lastShown_ < kRefresh) return;
        const double rate = (double)done / elapsed;
        char line[160];
        std::snprintf(line, sizeof line, "%s: %lld of %lld frames, %.1f frames/s, %.0f s left",
                      name_, (long long)done, (long long)frames_, rate,
                      (double)(frames_ - done) / rate);
        rewrite(line);
        lastShown_ = elapsed;
    }

    double seconds() const { return std::chrono::duration<double>(Clock::now() - start_).count(); }

    // Replaces the line shown so far: back to its start, then the new one,
    // padded to the longest line so far.
    void rewrite(const char* line) {
        char text[400];
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

    const char* name_;
    bool show_;
    int64_t frames_;
    Clock::time_point start_;
    bool shown_ = false, interrupted_ = false;
    int shownLength_ = 0;
    double lastShown_ = 0.0;
};

// points * frames, the elements of a stack's images; a product beyond 64
// bits, which the engines' checks reject, saturates.
inline int64_t imageElements(int64_t points, int64_t frames) {
    if (points > 0 && frames > std::numeric_limits<int64_t>::max() / points)
        return std::numeric_limits<int64_t>::max();
    return points * frames;
}

// The error that ends a stack run once it has begun, "<name>:<kind>" with
// its message; the caller raises it after every object of the run is gone.
struct StackError {
    char id[64] = "";
    char msg[kMsgSize] = "";

    bool raised() const { return id[0] != '\0'; }

    void set(const char* name, const char* kind) {
        std::snprintf(id, sizeof id, "%s:%s", name, kind);
    }

    // Memory ran out while allocating `step`; `request` gives the sizes.
    void outOfMemory(const char* name, const char* step, const char* request) {
        set(name, "outOfMemory");
        namedMessage(msg, name, ReconMsg::StackMemory, {step, request});
    }

    // Ctrl-C stopped the run after `done` frames. False when it did not.
    bool interrupted(const char* name, const Monitor& monitor, int64_t done, int64_t frames) {
        if (!monitor.interrupted()) return false;
        set(name, "interrupted");
        namedMessage(msg, name, ReconMsg::Interrupted,
                     {MessageNumber(done), MessageNumber(frames)});
        return true;
    }
};

// runStack's way with a single or int16 stack: `batch` frames at a time,
// converted into one scratch buffer.
template <typename T, typename Run>
int64_t runConverted(const T* sigMat, int64_t frameElements, int64_t frames, int64_t batch,
                     Monitor& monitor, const char** step, Run& run) {
    *step = "the buffer that converts a batch of frames to double";
    std::vector<double> scratch((std::size_t)(batch * frameElements));
    *step = "the working memory of the reconstruction";
    for (int64_t f0 = 0; f0 < frames; f0 += batch) {
        const int64_t count = std::min(batch, frames - f0);
        const T* from = sigMat + f0 * frameElements;
        std::copy(from, from + count * frameElements, scratch.begin());
        const int64_t done = run(scratch.data(), f0, count, ReconProgress{});
        if (done < count) return f0 + done;
        if (!monitor(f0 + count)) return f0 + count;
    }
    return frames;
}

// Runs a plan on the stack sigMat (double, single or int16, frameElements
// samples per frame) through run(samples, first, count, progress), which
// forms the images of frames first .. first+count-1, whose samples start
// at `samples`, and returns how many of them it completed. A double stack
// is run in place, whole, with the monitor as its progress; another is
// converted `batch` frames at a time into a scratch buffer (both
// conversions are exact). Returns the frames done: all, or fewer after
// Ctrl-C or when run stopped early. *step names what is being allocated,
// for a std::bad_alloc the caller catches.
template <typename Run>
int64_t runStack(const mxArray* sigMat, int64_t frameElements, int64_t frames, int64_t batch,
                 Monitor& monitor, const char** step, Run run) {
    batch = std::max<int64_t>(1, std::min(batch, frames));
    switch (mxGetClassID(sigMat)) {
        case mxSINGLE_CLASS:
            return runConverted(static_cast<const float*>(mxGetData(sigMat)), frameElements,
                                frames, batch, monitor, step, run);
        case mxINT16_CLASS:
            return runConverted(static_cast<const int16_t*>(mxGetData(sigMat)), frameElements,
                                frames, batch, monitor, step, run);
        default:
            *step = "the working memory of the reconstruction";
            return run(mxGetPr(sigMat), 0, frames,
                       [&](int64_t done, int64_t) { return monitor(done); });
    }
}

}  // namespace tofimage_mex

#endif
