// Per-call plan of the vector kernel: threshold table, coverage tests and
// derivative terms, shared by every instruction set.
#include "recon_simd_plan.h"

#include "recon_simd.h"

#include <algorithm>
#include <cmath>
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

// Squared distances between a sensor at (xs, ys) with ez * ez = ez2 and
// every point of [xlo, xhi] x [ylo, yhi]. Rounding is monotonic, so
// ex = xs - x lies in [xs - xhi, xs - xlo] for every such x, and d2 lies
// between the same operations on the smallest and on the largest |ex| and
// |ey|.
void squaredRange(double xs, double ys, double ez2, double xlo, double xhi, double ylo,
                  double yhi, double* d2min, double* d2max) {
    const double exlo = xs - xhi, exhi = xs - xlo;
    const double eylo = ys - yhi, eyhi = ys - ylo;
    const double axmin =
        (exlo <= 0.0 && exhi >= 0.0) ? 0.0 : std::min(std::fabs(exlo), std::fabs(exhi));
    const double axmax = std::max(std::fabs(exlo), std::fabs(exhi));
    const double aymin =
        (eylo <= 0.0 && eyhi >= 0.0) ? 0.0 : std::min(std::fabs(eylo), std::fabs(eyhi));
    const double aymax = std::max(std::fabs(eylo), std::fabs(eyhi));
    using A = ScalarArith;
    *d2min = SquaredDistance<A>(Square<A>(axmin), Square<A>(aymin), ez2);
    *d2max = SquaredDistance<A>(Square<A>(axmax), Square<A>(aymax), ez2);
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

bool rangeCovers(const Plan& p, double xs, double ys, double ez2, const TileBounds& tile,
                 SensorReach* reach) {
    if (!(tile.finite && std::isfinite(xs) && std::isfinite(ys) && std::isfinite(ez2)))
        return false;
    *reach = SensorReach{xs, ys, 0.0, 0.0};
    squaredRange(xs, ys, ez2, tile.xlo, tile.xhi, tile.ylo, tile.yhi, &reach->d2min,
                 &reach->d2max);
    return reach->d2min >= p.d2Lo && reach->d2max <= p.d2Hi;
}

// A distance changes along the way from lane 0 to another lane by the
// gradient (x - xs, y - ys) / d times the offset, the gradient bounded over
// the tile.
bool windowCovers(const Plan& p, const LaneSpan& lanes, int spread, const TileBounds& tile,
                  const SensorReach& sensor, int64_t* off) {
    struct Range {
        double lo, hi;
    };
    auto times = [](Range a, Range b) {
        const double v[4] = {a.lo * b.lo, a.lo * b.hi, a.hi * b.lo, a.hi * b.hi};
        return Range{std::min(std::min(v[0], v[1]), std::min(v[2], v[3])),
                     std::max(std::max(v[0], v[1]), std::max(v[2], v[3]))};
    };
    auto over = [](Range a, Range d) {  // a / d with d > 0
        return Range{a.lo >= 0.0 ? a.lo / d.hi : a.lo / d.lo,
                     a.hi >= 0.0 ? a.hi / d.lo : a.hi / d.hi};
    };
    const Range d{std::sqrt(sensor.d2min), std::sqrt(sensor.d2max)};
    const Range gx = over(Range{tile.xlo - sensor.x, tile.xhi - sensor.x}, d);
    const Range gy = over(Range{tile.ylo - sensor.y, tile.yhi - sensor.y}, d);
    // Moving down a row decreases y by dx; across a column increases x by dx.
    const double c0 = lanes.colLo * p.dx, c1 = lanes.colHi * p.dx;
    const double r0 = -lanes.rowLo * p.dx, r1 = -lanes.rowHi * p.dx;
    const Range dxs{std::min(c0, c1), std::max(c0, c1)};
    const Range dys{std::min(r0, r1), std::max(r0, r1)};
    const Range ax = times(dxs, gx), ay = times(dys, gy);
    // Nor does a distance change by more than the offset itself (triangle
    // inequality), which is the tighter bound where the gradient turns
    // across the tile (a sensor next to it). The offset's length is
    // hypot(c, r) to a few ulps, without the library call; scaled, so that
    // no square underflows.
    const double c = std::max(std::fabs(c0), std::fabs(c1));
    const double r = std::max(std::fabs(r0), std::fabs(r1));
    const double big = std::max(c, r), ratio = big > 0.0 ? std::min(c, r) / big : 0.0;
    const double reach = big * std::sqrt(1.0 + ratio * ratio);
    const double lo = p.k * std::max(ax.lo + ay.lo, -reach);
    const double hi = p.k * std::min(ax.hi + ay.hi, reach);
    // Guess errors of both lanes, floor, and rounding of everything above.
    const double slack = 2.0 * p.guessError + 1.0 + 1e-6 + (std::fabs(lo) + std::fabs(hi)) * 1e-9;
    const double gmin = std::floor(lo - slack) + 1.0, gmax = std::ceil(hi + slack) - 1.0;
    if (!(gmax - gmin <= (double)spread)) return false;
    *off = (int64_t)-gmin;
    return true;
}

TileSensor classifySensor(const Plan& p, const LaneSpan& lanes, int window, int wideWindow,
                          int64_t s, const TileBounds& tile) {
    TileSensor ts{kSqrtGathers, false, 0, 0, 0};
    SensorReach reach;
    if (!rangeCovers(p, p.xs[s], p.ys[s], Square<ScalarArith>(p.zs[s]), tile, &reach)) return ts;
    ts.bounded = true;
    ts.first = indexOf(p, reach.d2min);
    ts.final = indexOf(p, reach.d2max);
    if (p.guess == kNoGuess || window == 0) return ts;
    // Whether windows of w rows are covered: every vector's guesses fit
    // one, and it lies inside sigMat. Lane 0's guess is at least first - 1
    // and at most final; with w rows or more, a window of any row of a
    // sensor other than the first and the last lies inside sigMat.
    const int64_t colOff = s * p.rows;
    auto covers = [&](int w) {
        if (!windowCovers(p, lanes, w - 2, tile, reach, &ts.off))
            return false;
        const bool ends = p.rows < w || s == 0 || s == p.cols - 1;
        return !ends || (colOff + ts.first - 1 - ts.off >= 0 &&
                         colOff + ts.final - ts.off + w <= p.last);
    };
    ts.mode = wideWindow > 0 ? kCheckedWideWindows : kCheckedWindows;
    if (ts.first >= 1 && ts.final <= p.rows - 2) {
        if (covers(window))
            ts.mode = kCoveredWindows;
        else if (wideWindow > 0 && covers(wideWindow))
            ts.mode = kCoveredWideWindows;
    }
    if (ts.mode != kCoveredWindows && ts.mode != kCoveredWideWindows) ts.off = 0;
    return ts;
}

namespace {

// The mean of |cos| + |sin| over the directions: the extent, averaged over
// the directions to a sensor, of a vector's lanes spanning a rows and b
// columns is (a + b) times this, in pixels.
constexpr double kTwoOverPi = 0.63661977236758134;

// The time of one batch of `count` frames (count >= 2): its indices found
// once, and applied to its frames, padded.
double batchNs(const StackCosts& c, int64_t count) {
    return c.index + c.apply * (double)paddedFrames(count, c.lanes, c.parts);
}

}  // namespace

int64_t batchFor(const VectorPlan& vp, int64_t frames) {
    const int64_t batch = std::min(vp.batch, frames);
    if (batch <= 1) return 1;
    // Never a batch whose modelled time per frame exceeds a frame's on its
    // own: a short stack padded to a whole vector of frames, or a family
    // whose costs (estimates) make batches dear, runs frame by frame.
    if ((double)batch * vp.stack.frame < batchNs(vp.stack, batch)) return 1;
    return batch;
}

bool chooseVectorPlan(const ReconInput& in, const ReconGeometry& g, const FamilyModel& f,
                      int team, bool always, int64_t frames, VectorPlan* vp) {
    const PathCosts& cost = f.costs;
    const int term = reconTerm(in.image_select);
    // The vector kernel computes whole cells (groups of vectors), and sets
    // up each sensor for each tile of up to kMaxTile pixels a side.
    const double cells =
        std::ceil((double)in.n / f.cellRows) * std::ceil((double)in.n / f.cellCols);
    const double perFrame = cells * f.cellRows * f.cellCols * (double)in.cols;
    const double tiles = std::ceil((double)in.n / kMaxTile) * std::ceil((double)in.n / kMaxTile);
    const double setupNs = tiles * (double)in.cols * kSensorSetupCost;
    const double scalarNs = (double)in.n * (double)in.n * (double)in.cols * cost.scalar;

    // Whether a vector's samples of one sensor fit one window on a grid this
    // fine: its lanes lie within `reach` samples of each other whatever the
    // direction to the sensor, or within `typical` samples averaged over the
    // directions.
    const double spanDown = f.lanes.rowHi - f.lanes.rowLo;
    const double spanAcross = f.lanes.colHi - f.lanes.colLo;
    const double pitch = std::fabs(g.k * g.dx);  // samples between neighbouring pixels
    const double reach = pitch * std::hypot(spanDown, spanAcross);
    const double typical = pitch * (spanDown + spanAcross) * kTwoOverPi;
    auto fits = [](double extent, int w) { return extent + 2.0 <= (double)(w - 2); };
    // A gather path of the derivative terms fetches two or three values
    // where term 1 fetches one.
    const double gatherFactor = term == 1 ? 1.0 : 2.0;
    KernelTraits traits;
    traits.windows = f.windows;
    traits.table = f.table;
    traits.estimateError = f.estimateError;
    traits.refinedError = f.refinedError;
    // Narrow windows are chosen per sensor and tile: they pay where most
    // directions fit; wide ones where every direction does.
    traits.tableCost = cost.gather * gatherFactor;
    if (fits(typical, f.window))
        traits.tableCost = cost.table;
    else if (f.wideWindows && fits(reach, f.wideWindow))
        traits.tableCost = cost.wide;
    traits.sqrtCost = cost.sqrt * gatherFactor;
    traits.evaluations = perFrame * (double)frames;
    traits.always = always;
    // Windows need more elements of sigMat than the widest window; smaller
    // matrices take the square root path.
    if ((int64_t)in.rows * in.cols <= std::max(f.window, f.wideWindow))
        traits.windows = traits.table = false;

    // Before any set-up: the scalar kernel where even the cheapest path
    // would cost more.
    const double cheapest = traits.windows ? std::min(traits.sqrtCost, traits.tableCost)
                                           : traits.sqrtCost;
    if (!always && scalarNs < setupNs + perFrame * cheapest) return false;
    Plan& p = vp->plan;
    if (!makePlan(in, g, traits, &p, &vp->tables)) return false;
    const double frameNs =
        setupNs + perFrame * (p.guess != kNoGuess ? traits.tableCost : traits.sqrtCost);
    const double tableNs = p.E != nullptr ? (double)(p.mHi - p.mLo + 1) * kThresholdCost : 0.0;

    // A stack's batch: the largest whose staged rows of a sensor block
    // (every row a tile's pixels can select, for each of its frames) stay
    // in cache, but at least 8 frames, or the family's vector of frames.
    const double tileSide = std::min<double>(in.n, kMaxTile);
    const double tileRows =
        std::min((double)in.rows, pitch * tileSide * std::sqrt(2.0) + 2.0 * f.window);
    const double copies = term == 1 ? 1.0 : 2.0;
    int64_t batch = kMaxBatch;
    while (batch > std::max(8, f.laneCount) &&
           kSensorBlock * tileRows * (double)batch * copies * sizeof(double) > kStageCacheBytes)
        batch /= 2;
    vp->batch = batch;
    vp->stack = StackCosts{frameNs, setupNs + perFrame * cost.stackIndex,
                           perFrame * cost.stackApply, f.laneCount, f.parts};
    const int64_t runBatch = batchFor(*vp, frames);
    const double perFrameNs =
        runBatch == 1 ? frameNs : batchNs(vp->stack, runBatch) / (double)runBatch;
    const double vectorNs = tableNs + (double)frames * perFrameNs;
    if (!always && scalarNs * (double)frames < vectorNs) return false;
    if (p.E != nullptr) {
#pragma omp parallel num_threads(team)
        fillThresholds(p);
    }
    vp->wide = !fits(reach, f.window);
    return true;
}

}  // namespace tofimage_simd

void VectorPlanDelete::operator()(VectorPlan* plan) const { delete plan; }
