// The general beamformer's plan data and the arithmetic every one of its
// kernels shares (internal header): the scalar definition (recon_beamform.cpp)
// and the vector kernel (recon_simd_beamform.cpp) read the same tables and
// call the same window function, so the only thing a faster kernel may
// change is how many pairs it looks at together, never a value.
#ifndef TOFIMAGE_RECON_BEAMFORM_PLAN_H
#define TOFIMAGE_RECON_BEAMFORM_PLAN_H

#include <cmath>
#include <cstdint>
#include <vector>

#include "recon_beamform.h"

// The point arrays have this many points more (the last one repeated), so
// that a vector of any width reads whole vectors; the images of padding
// points are never written.
constexpr int64_t kBeamPointPad = 64;

// Points a thread takes at a time: neighbouring points share a thread.
constexpr int64_t kBeamChunk = 256;

// Everything a kernel reads, made once by the plan.
struct BeamformTables {
    int32_t rows = 0, cols = 0;
    int64_t points = 0;
    std::vector<double> X, Y, Z;      // points in visiting order, then kBeamPointPad padding
    std::vector<int64_t> order;       // the point visited p-th (empty: p itself)
    std::vector<double> xs, ys, zs;   // sensor positions
    bool flatZ = false;               // every zs is the same number
    std::vector<double> w;            // per-sensor weights (1 where none were given)
    std::vector<double> mx, my, mz;   // minus the normalised normals: m . e = n . (P - S)
    std::vector<int32_t> active;      // the sensors of weight not 0, increasing
    double k = 0.0;                   // fs / c
    double q = 0.0;                   // fs * t_1 - sample_offset
    double invDt = 0.0;               // 1 / (t_2 - t_1)
    double rowsD = 0.0, lastD = 0.0;  // rows, rows - 1
    bool angle = false;               // an f-number: test cos(theta) >= cosMax
    double cosMax = 0.0;              // 2F / sqrt(4F^2 + 1)
    double thetaMax = 0.0;            // beamAcos(cosMax)
    BeamWindow window = BeamWindow::Box;
    BeamInterp interp = BeamInterp::Linear;
    Beamformer beamformer = Beamformer::Das;
    bool envelope = false;
    int team = 1;
    int64_t pointAt(int64_t p) const { return order.empty() ? p : order[(size_t)p]; }
};

// The term columns of a batch of frames: frame f's column s at
// re + f*frameStep + s*rows, and with an envelope the imaginary parts at im
// (null otherwise).
struct BeamColumns {
    const double* re = nullptr;
    const double* im = nullptr;
    int64_t frameStep = 0;
};

// The angle and its window, from +, -, *, / and sqrt only, evaluated in one
// fixed order: libm's acos and cos differ between machines in the last bits,
// these do not. Both are accurate to a few units in the last place.

// acos(c) for 0 <= c <= 1. With theta = acos(c), sin(theta/2) = sqrt((1-c)/2)
// and cos(theta/2) = sqrt((1+c)/2), so v = sin(theta/4) =
// sin(theta/2) / sqrt(2 + 2 cos(theta/2)) lies in [0, sin(pi/8)], where the
// Taylor series of asin converges fast: 18 terms leave less than 2^-55.
// 1 - c is exact near c = 1, where small angles need it.
double beamAcos(double c);

// cos(a) for 0 <= a <= pi/2: the Taylor series of cos up to pi/4, and that
// of sin at pi/2 - a above.
double beamCos(double a);

// The window's value at x = theta / theta_max in [0, 1]: box 1, hann
// 0.5 (1 + cos(pi x)) = cos(pi x / 2)^2, tukey (alpha 0.5) 1 up to x = 0.5
// and cos(pi (x - 0.5))^2 beyond. The squared cosine keeps the relative
// accuracy near x = 1, and is 0 exactly at x = 1.
double beamWindowAt(BeamWindow window, double x);

// The apodization factor A of a pair whose cos(theta) is cosT (accepted:
// cosT >= cosMax): the window at theta / theta_max, x clamped to [0, 1].
inline double beamApodization(const BeamformTables& b, double cosT) {
    if (b.window == BeamWindow::Box) return 1.0;
    const double theta = beamAcos(cosT < 1.0 ? cosT : 1.0);
    const double x = theta / b.thetaMax;
    return beamWindowAt(b.window, x < 1.0 ? x : 1.0);
}

// h = sign(a) sqrt(|a|), the root DMAS sums.
inline double beamSignedRoot(double a) { return std::copysign(std::sqrt(std::fabs(a)), a); }

// A point's value from its sums over the contributing sensors: s0 the sum
// of a_s (DAS; the real parts with an envelope), s1 the sum of a_s^2 (CF),
// of h (DMAS) or of the imaginary parts (envelope), s2 the sum of h^2, and
// count |K|.
inline double beamOutput(const BeamformTables& b, double s0, double s1, double s2, double count) {
    if (b.envelope) return std::sqrt(s0 * s0 + s1 * s1);
    switch (b.beamformer) {
        case Beamformer::Das:
            return s0;
        case Beamformer::Cf:
        case Beamformer::DasCf: {
            const double den = count * s1;
            const double cf = den == 0.0 ? 0.0 : (s0 * s0) / den;
            return b.beamformer == Beamformer::Cf ? cf : s0 * cf;
        }
        case Beamformer::Dmas:
        case Beamformer::Sdmas: {
            const double dmas = (s1 * s1 - s2) * 0.5;
            if (b.beamformer == Beamformer::Dmas) return dmas;
            // sign(S) * DMAS, with sign(NaN) NaN.
            return s0 > 0.0 ? dmas : s0 < 0.0 ? -dmas : s0 == 0.0 ? 0.0 : s0;
        }
    }
    return s0;
}

#ifdef TOFIMAGE_HAVE_HWY
// The vector kernel (recon_simd_beamform.cpp): the images of `frames` frames
// of term columns, point range shared out on b.team threads, bit for bit
// those of the scalar definition. False when this CPU has no vector
// instruction set for it; nothing is written then.
bool beamformVector(const BeamformTables& b, const BeamColumns& g, int64_t frames, double* image);
// Highway's name of the instruction set beamformVector runs, or nullptr.
const char* beamformVectorTarget();
#endif

#endif
