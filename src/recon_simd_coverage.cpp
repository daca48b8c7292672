// Tile coverage: which squared distances, sample indices and windows a
// sensor's samples for the pixels of one tile can take, and so which path
// (gathers, checked or covered windows) the tile fetches them by.
#include "recon_simd_plan.h"

#include <algorithm>
#include <cmath>
#include <cstdint>

namespace tofimage_simd {

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

}  // namespace tofimage_simd
