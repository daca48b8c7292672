// tofimage's general beamformer: delay-and-sum and its coherence-based
// relatives at any points in 3-D, with nearest or linear interpolation,
// apodization and an optional envelope. It runs on the same engine as
// tofimage (recon.h) and shares its exactness: every sum runs over the
// sensors in increasing order, one IEEE operation at a time without
// contraction, so an image is the same bit for bit on every kernel,
// instruction set, thread count and frame batch.
//
// For point P and sensor s (at S_s), with the term g of sensor s's column:
//   1. term: g = s (signal), D (derivative) or s - D (difference), with
//      D_i = (t_i * invDt) * (s_{i+1} - s_i), invDt = 1 / (t_2 - t_1), and
//      D = 0 at a column's last sample;
//   2. envelope (optional): g is replaced by its analytic signal
//      (fft, multiplied by 1, 2, ..., 2, [1], 0, ..., 0, ifft), whose real
//      and imaginary parts are summed apart; the output is |S|;
//   3. position: e = S_s - P, d = sqrt((ex*ex + ey*ey) + ez*ez),
//      position = (fs / c) * d - (fs * t_1 - sample_offset);
//   4. interpolation: nearest (rounded half away from zero, used where it
//      lies in 0 .. rows-1) or linear (g[i0] + f * (g[i0+1] - g[i0]),
//      i0 = floor(position), f = position - i0, used where
//      0 <= position <= rows-1; at rows-1 exactly g[i0+1] is g[i0]).
//      Positions outside the record are left out, not clamped;
//   5. apodization: weight w_s times A(theta), theta the angle between
//      sensor s's normal and P - S_s, A = window(theta / theta_max) up to
//      theta_max = atan(1 / (2F)) and 0 beyond; pairs of weight 0 are
//      skipped;
//   6. beamformer over the contributing sensors K, a_s = weight * v:
//      das S = sum a_s; cf S^2 / (|K| sum a_s^2) (0 where that denominator
//      is 0); das-cf S * CF; dmas ((sum h)^2 - sum h^2) / 2 with
//      h = sign(a) sqrt(|a|); sdmas sign(S) * DMAS.
#ifndef TOFIMAGE_RECON_BEAMFORM_H
#define TOFIMAGE_RECON_BEAMFORM_H

#include <complex>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "recon.h"

enum class BeamTerm { Signal = 1, Derivative = 2, Difference = 3 };
enum class BeamInterp { Nearest, Linear };
enum class BeamWindow { Box, Hann, Tukey };
enum class Beamformer { Das, Cf, DasCf, Dmas, Sdmas };

// How to form the image: one field per option, every host fills it.
struct BeamformOptions {
    BeamTerm term = BeamTerm::Signal;
    BeamInterp interp = BeamInterp::Linear;
    Beamformer beamformer = Beamformer::Das;
    double fnumber = 0.0;             // > 0: acceptance angle atan(1 / (2F)); 0: none
    const double* normals = nullptr;  // cols x 3, column-major: sensor s faces
                                      // (n[s], n[s + cols], n[s + 2*cols]); any length
    BeamWindow window = BeamWindow::Box;
    const double* weights = nullptr;  // cols per-sensor weights; null: all 1
    bool envelope = false;            // analytic signal, |S| out ('das' only)
    double sample_offset = 0.0;       // 0: physical time of flight; 1: tofimage's
    int32_t numCores = 0;             // <= 0: the runtime's default team
};

// One request. Arrays are column-major and owned by the caller; nothing is
// changed but `image`.
struct BeamformInput {
    const double* sigMat = nullptr;  // rows x cols (x frames)
    int32_t rows = 0;                // time samples per sensor, >= 2
    int32_t cols = 0;                // sensors
    const double* x_sensor = nullptr;
    const double* y_sensor = nullptr;
    const double* z_sensor = nullptr;
    double c = 0.0;
    const double* t = nullptr;  // rows sample times
    double fs = 0.0;
    const double* X = nullptr;  // the points: points elements each, any
    const double* Y = nullptr;  // arrangement (the plan chooses the order in
    const double* Z = nullptr;  // which it visits them)
    int64_t points = 0;
    BeamformOptions opts;
    double* image = nullptr;  // points (x frames); written, not added into
};

// Element counts of the arrays behind a BeamformInput (normals: all three
// columns together), for checkBeamformInput.
struct BeamformExtents {
    int64_t sigMat = 0;
    int64_t x_sensor = 0, y_sensor = 0, z_sensor = 0;
    int64_t t = 0;
    int64_t X = 0, Y = 0, Z = 0;
    int64_t normals = 0;
    int64_t weights = 0;
    int64_t image = 0;
};

// The host's discrete Fourier transform, for the envelope: `count`
// contiguous sequences of `length` values, transformed in place. Forward
// unnormalised (sum x_j e^{-2 pi i jk / length}), inverse with the factor
// 1 / length, as MATLAB's, Octave's and NumPy's fft and ifft. Called on the
// thread that called run(), never inside a parallel region. Returns false
// when it failed (out of memory); the run then stops.
using BeamformFFT =
    std::function<bool(std::complex<double>* data, int64_t length, int64_t count, bool inverse)>;

// The analytic signal of `columns` columns of `length` values each, in
// place: `data` holds their real values on entry. Their spectrum (fft) is
// multiplied by 1, 2, ..., 2, [1], 0, ..., 0 (the 1 at length/2 for an even
// length) and transformed back, on `team` threads between the two calls:
// the real parts are the values again, the imaginary parts their Hilbert
// transform. The one definition the envelope and the speed-of-sound search
// use. With `filter` (length/2 + 1 values), bin k of the positive half is
// multiplied by filter[k] too. False when fft failed.
bool analyticSignal(std::complex<double>* data, int64_t length, int64_t columns,
                    const BeamformFFT& fft, int team = 1,
                    const std::complex<double>* filter = nullptr);

// A request's geometry and tables, made once; run() then forms the images
// of any number of stacks that share it. It copies what it keeps (sensors,
// times, points, normals, weights), so the caller's arrays need not outlive
// it. Several threads may run one plan at once.
class BeamformPlan {
public:
    // in.sigMat and in.image are not read. The caller guarantees what
    // checkBeamformInput verifies. `frames`: about how many frames one run
    // will take.
    explicit BeamformPlan(const BeamformInput& in, ReconKernel kernel = ReconKernel::Best,
                          int64_t frames = 1);
    ~BeamformPlan();
    BeamformPlan(const BeamformPlan&) = delete;
    BeamformPlan& operator=(const BeamformPlan&) = delete;

    // Writes the images of `frames` frames (frame f's samples at
    // sigMat + f*rows*cols, its image at image + f*points). With a progress,
    // calls progress(frames done, frames) on the calling thread after each
    // batch and stops when it returns false; returns the number of leading
    // frames whose images are complete (all of them, or fewer when stopped or
    // when fft failed). An envelope needs fft: without one, nothing is
    // written and run returns 0. The plan and run() throw std::bad_alloc
    // when their memory (the copies; a batch's term columns) cannot be had.
    int64_t run(const double* sigMat, int64_t frames, double* image,
                const ReconProgress& progress = {}, const BeamformFFT& fft = {}) const;

    int64_t batchFrames() const;
    const char* kernelName() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// The term g (derivative or difference) of one column s of `rows` samples
// at times t into out, with invDt = 1 / (t_2 - t_1): the one definition the
// beamformer and the speed-of-sound search use.
void termColumn(const double* s, const double* t, double invDt, int32_t rows, BeamTerm term,
                double* out);

// Checks a request of `frames` frames before any computation: an empty
// string when it is safe, otherwise the message (naming the argument).
std::string checkBeamformInput(const BeamformInput& in, const BeamformExtents& extents,
                               int64_t frames);

// A plan made and run once on in.sigMat into in.image.
int64_t doBeamform(const BeamformInput& in, int64_t frames,
                   ReconKernel kernel = ReconKernel::Best, const BeamformFFT& fft = {});

// The hosts' names of the choices, case-insensitive: option "interp"
// ("nearest", "linear"), "beamformer" ("das", "cf", "das-cf", "dmas",
// "sdmas"), "term" ("signal", "derivative", "difference", or "1", "2", "3"),
// "window" ("box", "hann", "tukey"). Sets the field and returns an empty
// string, or returns the message naming the option and its values.
std::string setBeamformChoice(BeamformOptions& opts, const std::string& option,
                              const std::string& value);

#endif
