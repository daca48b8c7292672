// The vector kernel's plan for one call and its threshold table: the range
// of squared distances over which the sample index is a step function of
// the squared distance alone, and each index's smallest squared distance
// (recon_simd_plan.h has the argument).
#include "recon_simd_plan.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <new>

namespace tofimage_simd {
namespace {

constexpr uint64_t kInfBits = 0x7FF0000000000000ull;

// Covers the roundings of the products that bound an estimate's error.
constexpr double kBoundSlack = 1.000001;

double fromBits(uint64_t b) {
    double x;
    std::memcpy(&x, &b, sizeof x);
    return x;
}

uint64_t toBits(double x) {
    uint64_t b;
    std::memcpy(&b, &x, sizeof b);
    return b;
}

// Smallest b in [0, hi] with pred(b), for a predicate that is false up to
// some point and true from there on, and true at hi. Steps out from `start`
// one double, then two, four, ... (a good start makes the search two or three
// evaluations), then bisects.
template <class Pred>
uint64_t firstTrue(Pred pred, uint64_t start, uint64_t hi) {
    start = std::min(start, hi);
    int64_t lo = -1;  // pred(lo) is false; -1: nothing known to be false
    int64_t up = (int64_t)hi;
    if (pred(start)) {
        up = (int64_t)start;
        for (int64_t step = 1; step <= up; step *= 2) {
            if (pred((uint64_t)(up - step))) {
                up -= step;
            } else {
                lo = up - step;
                break;
            }
        }
    } else {
        lo = (int64_t)start;
        for (int64_t step = 1; step < (int64_t)hi - lo; step *= 2) {
            if (pred((uint64_t)(lo + step))) {
                up = lo + step;
                break;
            }
            lo += step;
        }
    }
    while (up - lo > 1) {
        const int64_t mid = lo + (up - lo) / 2;
        if (pred((uint64_t)mid))
            up = mid;
        else
            lo = mid;
    }
    return (uint64_t)up;
}

// The position of d2 rounded up: truncated, its sample index, where that
// lies in 0 .. rows - 1.
double roundedUp(const Plan& p, double d2) { return RoundedUpPosition<ScalarArith>(p.k, p.q, d2); }

// Bits of the squared distance at which the position is about `pos`, from
// the closed form: the starting point of firstTrue.
uint64_t estimateBits(const Plan& p, double pos) {
    const double d = (pos + p.q) / p.k;
    if (!(d > 0.0)) return 0;
    const double d2 = d * d;
    return std::isfinite(d2) ? toBits(d2) : kInfBits;
}

// E[m] for one m in 1 .. rows-1: the smallest d2 whose sample index is at
// least m, or Tbig when no smaller d2 reaches m. Below Tbig the rounded-up
// position (recon_exact.h) lies under 2^31, where the index (at most
// rows - 1) reaches m exactly when the rounded-up position does.
double threshold(const Plan& p, int64_t m) {
    const uint64_t bigBits = toBits(p.Tbig);
    const uint64_t b = firstTrue(
        [&](uint64_t bits) {
            return bits >= bigBits || roundedUp(p, fromBits(bits)) >= (double)m;
        },
        estimateBits(p, (double)m - 0.5), bigBits);
    return fromBits(b);
}

}  // namespace

double positionOf(const Plan& p, double d2) { return SamplePosition<ScalarArith>(p.k, p.q, d2); }

int32_t indexOf(const Plan& p, double d2) {
    return reconSampleIndex(positionOf(p, d2), (int32_t)p.rows);
}

bool makePlan(const ReconInput& in, const ReconGeometry& g, const KernelTraits& traits, Plan* pp,
              PlanTables* tables) {
    Plan& p = *pp;
    p.rows = in.rows;
    p.cols = in.cols;
    p.n = in.n;
    p.last = (int64_t)in.rows * in.cols - 1;
    p.xs = in.x_sensor;
    p.ys = in.y_sensor;
    p.zs = in.z_sensor;
    p.t = in.t;
    p.dx = g.dx;
    p.half1 = g.half - 1.0;
    p.k = g.k;
    p.q = g.q;
    p.invDt = g.invDt;
    p.term = reconTerm(in.image_select);
    p.hasZ = false;
    for (int64_t s = 0; s < p.cols; ++s)
        if (Square<ScalarArith>(in.z_sensor[s]) != 0.0) p.hasZ = true;
    p.guess = kNoGuess;
    p.Tbig = 0.0;
    p.guessError = 0.0;
    p.E = nullptr;
    p.mLo = 1;
    p.mHi = 0;
    p.eOrigin = 0;
    p.d2Lo = std::numeric_limits<double>::infinity();
    p.d2Hi = -p.d2Lo;

    if (!(p.k > 0.0 && std::isfinite(p.k) && std::isfinite(p.q))) return true;

    // The squared distances between the image's pixel centres and the
    // sensors of finite position.
    const double x0 = pixelX(0, p.half1, p.dx), x1 = pixelX(p.n - 1, p.half1, p.dx);
    const double y0 = pixelY(0, p.half1, p.dx), y1 = pixelY(p.n - 1, p.half1, p.dx);
    if (!(std::isfinite(x0) && std::isfinite(x1) && std::isfinite(y0) && std::isfinite(y1)))
        return true;
    const double xlo = std::min(x0, x1), xhi = std::max(x0, x1);
    const double ylo = std::min(y0, y1), yhi = std::max(y0, y1);
    double lo = std::numeric_limits<double>::infinity(), hi = -lo;
    for (int64_t s = 0; s < p.cols; ++s) {
        const double ez2 = Square<ScalarArith>(p.zs[s]);
        if (!(std::isfinite(p.xs[s]) && std::isfinite(p.ys[s]) && std::isfinite(ez2))) continue;
        double d2min, d2max;
        squaredRange(p.xs[s], p.ys[s], ez2, xlo, xhi, ylo, yhi, &d2min, &d2max);
        lo = std::min(lo, d2min);
        hi = std::max(hi, d2max);
    }
    if (!(lo <= hi)) return true;

    p.Tbig = fromBits(firstTrue(
        [&](uint64_t bits) { return !(roundedUp(p, fromBits(bits)) < kIndexLimit); },
        estimateBits(p, kIndexLimit - 0.5), kInfBits));
    // Squared distances below kTinySquare (a sensor on top of a pixel) and
    // from Tbig on take the square root path.
    lo = std::max(lo, kTinySquare);
    hi = std::min(hi, std::nextafter(p.Tbig, 0.0));
    if (!(lo <= hi)) return true;
    p.d2Lo = lo;
    p.d2Hi = hi;
    if (!traits.windows) return true;
    if (!traits.table) {
        p.guess = kSqrtOnly;
        return true;
    }

    // The estimate is accurate enough when k * sqrt(d2) + |q| stays below
    // span for every d2 the table covers: what the geometry reaches, not
    // the length of the recording.
    const double span = p.k * std::sqrt(hi) + std::fabs(p.q) + 2.0;
    Guess guess = kNoGuess;
    if (span * traits.estimateError * kBoundSlack <= 0.25)
        guess = kEstimate;
    else if (span * traits.refinedError * kBoundSlack <= 0.5)
        guess = kRefined;
    if (guess == kNoGuess) return true;

    // Thresholds for every guess a covered d2 can give: the index lies in
    // iLo .. iHi, a guess g in iLo - 1 .. iHi (clamped to 0 .. rows-2), and
    // the comparison reads E[g + 1].
    const int64_t iLo = indexOf(p, lo);
    const int64_t iHi = indexOf(p, hi);
    const int64_t mLo = std::max<int64_t>(1, iLo), mHi = std::min<int64_t>(p.rows - 1, iHi + 1);

    // The table pays for itself when it costs less than the square roots it
    // saves.
    const double entries = (double)std::max<int64_t>(0, mHi - mLo + 1);
    if (!traits.always &&
        entries * kThresholdCost > traits.evaluations * (traits.sqrtCost - traits.tableCost))
        return true;

    const int64_t size = std::max<int64_t>(0, mHi - mLo + 1) + 2 * kTablePad;
    tables->E.reset(new (std::nothrow) double[size]);
    if (!tables->E) return false;
    std::fill(tables->E.get(), tables->E.get() + size, 0.0);
    p.E = tables->E.get();
    p.eOrigin = mLo - kTablePad;
    p.mLo = mLo;
    p.mHi = mHi;
    p.guess = guess;
    p.guessError =
        span * (guess == kEstimate ? traits.estimateError : traits.refinedError) * kBoundSlack;
    return true;
}

void fillThresholds(const Plan& p) {
    if (p.E == nullptr) return;
#pragma omp for schedule(static)
    for (int64_t m = p.mLo; m <= p.mHi; ++m) p.E[m - p.eOrigin] = threshold(p, m);
}

}  // namespace tofimage_simd
