// The speed of sound that brings a scan into focus, searched once here for
// every host (tofimage_autofocus in MATLAB/Octave, tofimage.autofocus in
// Python). Every candidate image is formed by the general beamformer
// (recon_beamform.h) on one grid, the search grid, and scored.
//
// The search, coarse to fine: level 0 tries kAutofocusCoarse + 1 speeds
// across [c_min, c_max]; each next level the 2 kAutofocusSplit + 1 around the
// best of the level before, at 1 / kAutofocusSplit of its step, down to a
// step of at most `resolution`. Each level first smooths the signals in time
// (a Gaussian, zero outside the record) by as much as one step of c moves a
// feature at the sensors' median distance (at least one search pixel), so
// that a coarse level sees a focus between its candidates. The candidates of
// a level share those signals, and only they are compared.
//
// Scores:
//   coherence    the beamformer's coherence factor CF = S^2 / (|K| sum a^2)
//                averaged over the pixels, weighted by the image's energy
//                S^2: sum S^2 CF / sum S^2. With the analytic signal it
//                scores the derivative term (BeamTerm::Derivative) whatever
//                term the image sums, and after level 0 averages
//                CF^kAutofocusPower: sum S^2 CF^1.5 / sum S^2;
//   subaperture  the correlation of images made by disjoint parts of the
//                array (see autofocusSubapertures);
//   sharpness    the normalised Brenner gradient: the sum of squared
//                differences two pixels apart over the image's energy.
#ifndef TOFIMAGE_RECON_AUTOFOCUS_H
#define TOFIMAGE_RECON_AUTOFOCUS_H

#include <cstdint>
#include <string>
#include <vector>

#include "recon_beamform.h"

constexpr int kAutofocusCoarse = 16;  // intervals of level 0
constexpr int kAutofocusSplit = 4;    // each level divides the step by this
constexpr int kAutofocusMaxLevel = 20;  // finest level: a step of (c_max - c_min) / 2^44
// A tail score beyond this many standard errors means 2-D waves (see
// AutofocusResult::tail_score).
constexpr double kAutofocusTail = 5.0;
// The analytic coherence's power of CF after level 0: above 1 it favours
// the most coherent pixels, and curved edges, which focus a little apart
// from the true c, weigh less. Level 0 keeps CF itself: with the power, a
// line's caustics at a c far off can outscore its focus there.
constexpr double kAutofocusPower = 1.5;

enum class AutofocusMethod { Coherence, Subaperture, Sharpness };

// The pixel centres of tofimage's n x n grid of side image_width: column L
// at x[L], row K at y[K] (rows run toward decreasing y). The one definition
// of the grid that the hosts ask for.
void reconPixelCoordinates(int32_t n, double image_width, double* x, double* y);

// The largest n of that grid: n*n pixels stay below 2^31, as the engine
// requires of tofimage's image.
constexpr int32_t kReconMaxN = 46340;

// The message when n (a whole number) is no grid's size, or an empty string.
std::string checkGridSize(double n);

// The region the pixels of that grid cover, [x_min x_max y_min y_max]: the
// default region of the search.
void reconImageField(int32_t n, double image_width, double roi[4]);

struct AutofocusInput {
    const double* sigMat = nullptr;  // rows x cols, column-major
    // Score the analytic signal: each column with its Hilbert transform
    // (analyticSignal, through the host's fft), whose magnitude does not
    // change when a phase shift (2-D propagation, a sensor's response)
    // turns the pulse's shape.
    bool analytic = false;
    int32_t rows = 0, cols = 0;
    const double* x_sensor = nullptr;
    const double* y_sensor = nullptr;
    const double* z_sensor = nullptr;
    const double* t = nullptr;  // rows sample times
    double fs = 0.0;
    double c_min = 0.0, c_max = 0.0;
    BeamTerm term = BeamTerm::Difference;  // what the images sum
    double roi[4] = {0, 0, 0, 0};          // [x_min x_max y_min y_max]
    // Where the sources may lie (tofimage's image field), [x_min x_max y_min
    // y_max]: with the region, it bounds when waves can arrive (tail_score).
    // All 0: the region alone.
    double field[4] = {0, 0, 0, 0};
    int32_t search_n = 128;                // pixels on each side of the search grid
    AutofocusMethod method = AutofocusMethod::Coherence;
    double resolution = 0.0;  // finest step; <= 0: (c_min + c_max) / 2 / 1500
    BeamInterp interp = BeamInterp::Linear;
    int32_t numCores = 0;
};

struct AutofocusResult {
    double c = 0.0;
    std::vector<double> candidates;  // level by level, increasing within a level
    std::vector<double> scores;
    std::vector<int32_t> levels;     // 0 the coarsest
    double resolution = 0.0;         // the finest step used
    bool edge = false;               // best at c_min or c_max
    double view_angle = 0.0;         // degrees the sensors span around the region's centre
    bool limited_view = false;       // view_angle below 270
    std::string subapertures;        // how the array was divided
    // How far the signals stay off their baseline once every wavefront
    // from the region has passed: per sensor, the mean after the last
    // possible arrival (at c_min) less the mean before the first (at
    // c_max), in standard errors of the noise before it; summed over the
    // sensors and divided by the square root of their number. A standard
    // normal value for 3-D waves, which leave nothing behind, in
    // independent noise; large for the tails of 2-D (cylindrical) waves.
    // 0 when the record has too few samples on either side.
    double tail_score = 0.0;
    // 2-D waves (|tail_score| > kAutofocusTail, with the analytic score):
    // the search scored the signals made 3-D-like, their spectrum times
    // sqrt(i omega).
    bool two_d = false;
    std::vector<std::string> notes;  // warnings in words
    bool fft_failed = false;         // the analytic signal's fft failed (or none was
                                     // given): nothing else is set
};

// A bad request: the argument at fault, as the hosts name it (MATLAB's
// identifier tofimage_autofocus:<argument>), and the message of the table
// (recon_messages.h); both empty for a good request.
struct AutofocusProblem {
    std::string argument, message;
};
AutofocusProblem checkAutofocusInput(const AutofocusInput& in);

// The search. The caller guarantees what checkAutofocusInput verifies.
// `fft` is the host's (as BeamformPlan::run takes it), needed when
// in.analytic is set. Throws std::bad_alloc when short of memory.
AutofocusResult autofocus(const AutofocusInput& in, const BeamformFFT& fft = {});

// The most candidates a search of `in` tries (levels at the edges of
// c_range try fewer), so that a host can make its outputs first.
int64_t autofocusMaxCandidates(const AutofocusInput& in);

// The hosts' name of a method, case-insensitive: sets it and returns an
// empty string, or returns the message.
std::string setAutofocusMethod(AutofocusInput& in, const std::string& name);
const char* autofocusMethodName(AutofocusMethod method);

#endif
