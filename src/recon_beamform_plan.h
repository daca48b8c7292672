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
// that the vector kernel reads whole units of two vectors of any width (up
// to 32 lanes); the images of padding points are never written.
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

// A ball holding a group of points (centre cx, cy, cz, radius r), from
// which the vector kernel skips the group's pairs with a sensor the ball
// lies outside the acceptance cone of, with no per-pair work.
struct BeamBall {
    double cx, cy, cz, r;
};

// The ball of points [begin, end) of the visiting order: the centre of their
// box, and a radius that is at least the exact distance of every point from
// that centre. Each computed distance is within a few units in the last
// place of the exact one, which the factor 1 + 1e-12 covers; the term 1e-100
// covers differences so small that their squares underflow (below 1e-154).
// NaN or infinite coordinates give a NaN or infinite radius, which
// beamBallRejected never skips.
inline BeamBall beamBallOf(const BeamformTables& b, int64_t begin, int64_t end) {
    double lo[3], hi[3];
    const std::vector<double>* axes[3] = {&b.X, &b.Y, &b.Z};
    for (int a = 0; a < 3; ++a) {
        const std::vector<double>& v = *axes[a];
        lo[a] = hi[a] = v[(size_t)begin];
        for (int64_t p = begin + 1; p < end; ++p) {
            lo[a] = std::fmin(lo[a], v[(size_t)p]);
            hi[a] = std::fmax(hi[a], v[(size_t)p]);
        }
    }
    BeamBall ball;
    ball.cx = 0.5 * lo[0] + 0.5 * hi[0];
    ball.cy = 0.5 * lo[1] + 0.5 * hi[1];
    ball.cz = 0.5 * lo[2] + 0.5 * hi[2];
    double r2 = 0.0;
    for (int64_t p = begin; p < end; ++p) {
        const double dx = b.X[(size_t)p] - ball.cx, dy = b.Y[(size_t)p] - ball.cy,
                     dz = b.Z[(size_t)p] - ball.cz;
        const double e2 = (dx * dx + dy * dy) + dz * dz;
        r2 = e2 > r2 || std::isnan(e2) ? e2 : r2;
    }
    ball.r = std::sqrt(r2) * (1.0 + 1e-12) + 1e-100;
    return ball;
}

// Whether every pair of sensor s with a point of the ball is rejected by
// the angle test (cos(theta) >= cosMax, computed as the scalar definition
// computes it). With e = S - C, d = |e| and m = -n (|m| = 1 within 2 units
// in the last place), a point P = C + u with |u| <= r has
// m . (S - P) <= m . e + |m| r and |S - P| >= d - r > 0, so its exact
// cos(theta) is at most (m . e + |m| r) / (d - r). The definition's
// cos(theta), from rounded differences, products, sums, sqrt and a
// division, lies within 20 units in the last place (2.3e-15) of the exact
// one, and this test's own rounding is as small relative to d + r: the
// margin 1e-9 (d + r) covers both many times over. A point at or near the
// sensor (d - r not above 1e-100, far above any distance whose square
// underflows) is never skipped: the definition accepts a pair at distance 0.
inline bool beamBallRejected(const BeamformTables& b, const BeamBall& ball, int32_t s) {
    const double ex = b.xs[s] - ball.cx, ey = b.ys[s] - ball.cy, ez = b.zs[s] - ball.cz;
    const double d = std::sqrt((ex * ex + ey * ey) + ez * ez);
    const double dot = (b.mx[s] * ex + b.my[s] * ey) + b.mz[s] * ez;
    const double near = d - ball.r;
    return near > 1e-100 && dot + ball.r + 1e-9 * (d + ball.r) < b.cosMax * near;
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
