// tofimage reconstruction engine: time-of-flight delay-and-sum on a square
// pixel grid in the plane z = 0.
//
// The engine owns no memory of the caller: it reads the input arrays in place
// and writes the output image in place. It builds and runs without MATLAB.
#ifndef TOFIMAGE_RECON_H
#define TOFIMAGE_RECON_H

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "recon_exact.h"

// No contraction into fused multiply-adds in any source that includes this
// header. GCC and Clang get -ffp-contract=off from the build; MSVC before
// Visual Studio 2022 contracts under /fp:precise unless told otherwise.
#if defined(_MSC_VER) && !defined(__clang__)
#pragma fp_contract(off)
#endif

// One reconstruction request. All arrays are column-major and owned by the
// caller; lengths are in elements.
struct ReconInput {
    const double* sigMat = nullptr;   // rows x cols, element (i, s) at i + s*rows
    int32_t rows = 0;                 // time samples per sensor
    int32_t cols = 0;                 // sensors
    int32_t n = 0;                    // image is n x n pixels
    const double* x_sensor = nullptr; // at least cols elements each
    const double* y_sensor = nullptr;
    const double* z_sensor = nullptr;
    double c = 0.0;                   // speed of sound
    double image_select = 0.0;        // 1: signal, 2: t * d(signal)/dt, other: signal - t * d/dt
    const double* t = nullptr;        // sample times, at least rows (>= 2) elements
    double fs = 0.0;                  // sampling rate
    double image_width = 0.0;         // side length of the image
    int32_t numCores = 0;             // requested threads; <= 0 means the runtime default
    double* Recon = nullptr;          // n x n output, pixel (K, L) at K + L*n; added into
};

// Values derived once per call and shared by every pixel.
struct ReconGeometry {
    double dx;     // pixel pitch: image_width / n
    double half;   // (double)(n / 2), integer division
    double k;      // samples per unit of distance: fs / c
    double q;      // position offset: fs * t[0] - 1
    double dt;     // t[1] - t[0]
    double invDt;  // 1 / dt
};

// Element counts of the arrays behind a ReconInput, for checkReconInput.
struct ReconExtents {
    int64_t sigMat = 0;
    int64_t x_sensor = 0;
    int64_t y_sensor = 0;
    int64_t z_sensor = 0;
    int64_t t = 0;
    int64_t Recon = 0;
};

// Which pixel kernel doRecon runs. Every kernel gives the same image bit for bit.
enum class ReconKernel {
    Best,    // the kernel expected to be fastest for this request on this CPU
    Scalar,  // the plain per-pixel loop: the reference definition
    Vector,  // the vector kernel whenever this CPU has one, even where the
             // scalar kernel would be faster (for tests)
};

// Instruction set a kernel runs with on this CPU: "scalar", or for the vector
// kernel Highway's name of the target it dispatches to ("AVX3", "AVX2",
// "NEON", ...).
const char* reconKernelName(ReconKernel kernel);

ReconGeometry reconGeometry(const ReconInput& in);

// Fills in.Recon. No error path: the caller guarantees the limits that
// checkReconInput verifies.
void doRecon(const ReconInput& in);
void doRecon(const ReconInput& in, ReconKernel kernel);

// Stacks of frames. A stack is `frames` signal matrices of rows x cols that
// share everything else of a request (sensors, times, grid, term): frame f's
// samples start at sigMat + f*rows*cols (MATLAB's rows x cols x frames
// layout), and its image at Recon + f*n*n. Frame f's image is, bit for bit,
// the one doRecon gives for frame f alone: the stack only finds each sample
// index once for all its frames.
//
// A plan holds a request's geometry and the tables its kernel needs, built
// once; run() then reconstructs any number of stacks (a recording, or frames
// as a scanner delivers them) without that set-up. It copies the sensor
// coordinates and sample times, so the caller's arrays need not outlive it.
//
// A long run can report its progress and be stopped: run() with a
// ReconProgress calls it on the calling thread after each batch of frames,
// with no worker thread running, and stops when it returns false.
using ReconProgress = std::function<bool(int64_t done, int64_t total)>;

class ReconPlan {
public:
    // The request without its samples and image: in.sigMat and in.Recon are
    // not read. The caller guarantees the limits that checkReconInput
    // verifies for one frame. `frames`: about how many frames one run()
    // will take, against which the plan weighs the cost of its tables.
    explicit ReconPlan(const ReconInput& in, ReconKernel kernel = ReconKernel::Best,
                       int64_t frames = 1);
    ~ReconPlan();
    ReconPlan(const ReconPlan&) = delete;
    ReconPlan& operator=(const ReconPlan&) = delete;

    // Adds the images of `frames` frames of samples at sigMat into Recon
    // (each image starts from what Recon holds). Several threads may run
    // one plan at once.
    void run(const double* sigMat, int64_t frames, double* Recon) const;

    // The same, one batch of frames (batchFrames()) at a time, calling
    // progress(frames done, frames) after each batch, the last one included.
    // Returns the number of leading frames whose images are complete: all of
    // them, or fewer when progress returned false. The images of the frames
    // after those hold what they held on entry. Images are bit for bit those
    // of the run without progress. An empty progress runs as run() above.
    int64_t run(const double* sigMat, int64_t frames, double* Recon,
                const ReconProgress& progress) const;

    // Frames the kernel reconstructs at once: converting a stack of another
    // type this many frames at a time costs no speed.
    int64_t batchFrames() const;

    // The instruction set run() uses: as reconKernelName.
    const char* kernelName() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// doRecon on a stack of `frames` frames: a plan made and run once.
void doReconFrames(const ReconInput& in, int64_t frames);
void doReconFrames(const ReconInput& in, int64_t frames, ReconKernel kernel);

// Checks a request against the engine's limits before any computation.
// Returns an empty string when the request is safe, otherwise a message that
// names the offending argument.
std::string checkReconInput(const ReconInput& in, const ReconExtents& extents);

// The same for a stack of `frames` frames: extents.sigMat and extents.Recon
// count the whole stack's elements. With no frames, sigMat and Recon may be
// null.
std::string checkReconFrames(const ReconInput& in, const ReconExtents& extents, int64_t frames);

// The checks every request makes first, of its signals: the frame count,
// sigMat's rows and columns, its elements (`sigMatCount` counts the whole
// stack) and t. `frameLimit` bounds frames * rows * cols: callers that keep
// per-sample work arrays pass a smaller limit than INT64_MAX. An empty string,
// or the message.
std::string checkSignals(const double* sigMat, int32_t rows, int32_t cols, int64_t sigMatCount,
                         const double* t, int64_t tCount, int64_t frames, int64_t frameLimit);

// The hosts' rules on their arguments, one definition for all of them.
// sigMat's rows and columns (its first two dimensions) must each fit the
// engine's 32-bit sizes: an empty string, or the message.
std::string checkSigMatSize(int64_t rows, int64_t cols);

// A count given as a number (n, numCores): truncated toward zero (64.9 -> 64,
// -0.5 -> 0) and saturated to the 32-bit range, so that no conversion is out
// of range; the engine's checks then reject what it cannot use. NaN gives 0
// (for numCores, the default team); a host rejects a NaN n before.
int32_t reconCount(double v);

// Team size actually used for a requested numCores: the runtime default for
// numCores <= 0, and never more than a small multiple of the processors.
int reconTeamSize(int32_t numCores);

#endif
