// The vector kernel's per-call plan, tested directly: every threshold is the
// exact squared distance at which the scalar kernel's index steps, and the
// table gives the scalar kernel's index for every squared distance it claims
// to cover.
#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "problem.h"
#include "recon_simd_plan.h"

namespace {

using namespace tofimage_simd;

// Index from the table: the thresholds at or below d2, counted from mLo.
int64_t tableIndex(const Plan& p, double d2) {
    int64_t i = p.mLo - 1;
    for (int64_t m = p.mLo; m <= p.mHi; ++m) i += p.E[m - p.eOrigin] <= d2;
    return i;
}

// Returns how the plan guesses (kNoGuess where a check failed).
Guess expectExactTable(const Problem& problem, std::mt19937_64& rng) {
    std::vector<double> image((size_t)problem.n * problem.n, 0.0);
    const ReconInput in = problem.input(image.data());
    KernelTraits traits;
    traits.windows = traits.table = true;
    traits.estimateError = 0x1p-14;
    traits.refinedError = 0x1p-26;
    traits.always = true;
    Plan p;
    PlanTables tables;
    EXPECT_TRUE(makePlan(in, reconGeometry(in), traits, &p, &tables));
    EXPECT_NE(p.guess, kNoGuess) << "the table applies to this request";
    if (p.guess == kNoGuess) return kNoGuess;
    // The estimate is within its bound, at most 1/4 or 1/2 sample, for
    // every position the table covers.
    const double reach = p.k * std::sqrt(p.d2Hi) + std::fabs(p.q);
    EXPECT_GE(p.guessError,
              reach * (p.guess == kEstimate ? traits.estimateError : traits.refinedError));
    EXPECT_LE(p.guessError, p.guess == kEstimate ? 0.25 : 0.5);
    fillThresholds(p);
    for (int64_t m = p.mLo; m <= p.mHi; ++m) {
        const double E = p.E[m - p.eOrigin];
        if (E >= p.Tbig) continue;  // m is never reached below Tbig
        EXPECT_GE(indexOf(p, E), m) << "threshold " << m;
        if (E > 0.0) EXPECT_LT(indexOf(p, std::nextafter(E, 0.0)), m) << "threshold " << m;
    }
    std::uniform_real_distribution<double> u(0.0, 1.0);
    for (int k = 0; k < 2000; ++k) {
        double d2 = p.d2Lo + (p.d2Hi - p.d2Lo) * u(rng);
        if (k % 3 == 0) {  // right at a threshold, or one double below
            const double E = p.E[p.mLo + (int64_t)(rng() % (p.mHi - p.mLo + 1)) - p.eOrigin];
            d2 = k % 2 ? E : std::nextafter(E, 0.0);
            if (!(d2 >= p.d2Lo && d2 <= p.d2Hi)) continue;
        }
        EXPECT_EQ(tableIndex(p, d2), indexOf(p, d2)) << "d2 = " << d2;
        if (tableIndex(p, d2) != indexOf(p, d2)) return kNoGuess;
    }
    return p.guess;
}

TEST(Plan, ThresholdsAreExactOnRingScans) {
    std::mt19937_64 rng(11);
    for (int32_t rows : {100, 2030, 8192}) {
        Problem p = ringProblem(64, 32, rows, (unsigned)rows);
        // The samples reached (below 1600) decide, not the recording's
        // length: no Newton step.
        EXPECT_EQ(expectExactTable(p, rng), kEstimate) << rows << " rows";
        p.fs = 40e6 * 3.7;  // positions beyond the recording: clamped indices
        expectExactTable(p, rng);
    }
}

TEST(Plan, ThresholdsAreExactOnIntegerGeometry) {
    // c = fs = 1 and t[0] = 1/2 put the half-sample steps on squared
    // distances that are sums of squares of integers: exact rounding ties.
    std::mt19937_64 rng(12);
    for (int trial = 0; trial < 20; ++trial) {
        Problem p;
        p.rows = 20 + (int32_t)(rng() % 200);
        p.cols = 1 + (int32_t)(rng() % 8);
        p.n = 2 + (int32_t)(rng() % 30);
        p.image_width = p.n;
        for (int32_t s = 0; s < p.cols; ++s) {
            p.x.push_back((double)(int)(rng() % 61) - 30.0);
            p.y.push_back((double)(int)(rng() % 61) - 30.0);
            p.z.push_back((double)(int)(rng() % 3));
        }
        for (int32_t i = 0; i < p.rows; ++i) p.t.push_back(0.5 + i);
        p.sigMat.assign((size_t)p.rows * p.cols, 1.0);
        expectExactTable(p, rng);
    }
}

TEST(Plan, WindowsCoverTilesNextToTheirSensor) {
    // A linear array 0.5 mm above a 64 x 64 tile of 0.1 mm pixels: the
    // gradient turns by almost half a circle across the tile, but no
    // distance changes by more than a lane's offset, so the 16-sample
    // windows of AVX-512 vectors (4 x 2 pixels) still hold every guess.
    Plan p{};
    p.k = 40e6 / 1540.0;
    p.q = 0.0;
    p.dx = 1e-4;
    p.guessError = 0.25;
    p.d2Lo = 0.0;
    p.d2Hi = 1.0;
    const LaneSpan lanes{-1, 2, 0, 1};
    const int spread = 14;
    const double xs = 0.3e-3, ys = 0.5e-3, xlo = -3.2e-3, ylo = -6.3e-3;
    const double xhi = xlo + 63 * p.dx, yhi = ylo + 63 * p.dx;
    double d2min, d2max;
    ASSERT_TRUE(rangeCovers(p, xs, ys, 0.0, xlo, xhi, ylo, yhi, &d2min, &d2max));
    int64_t off = -1;
    ASSERT_TRUE(windowCovers(p, lanes, spread, xs, ys, xlo, xhi, ylo, yhi, d2min, d2max, &off));
    // Every pair of lanes, anywhere in the tile, with guesses up to
    // guessError either side of the exact positions.
    auto pos = [&](int row, int col) {
        const double ex = xs - (xlo + col * p.dx), ey = ys - (yhi - row * p.dx);
        return positionOf(p, ex * ex + ey * ey);
    };
    int outside = 0;
    for (int row = 0; row < 64; ++row)
        for (int col = 0; col < 64; ++col)
            for (int dr = lanes.rowLo; dr <= lanes.rowHi; ++dr)
                for (int dc = lanes.colLo; dc <= lanes.colHi; ++dc) {
                    if (row + dr < 0 || row + dr > 63 || col + dc > 63) continue;
                    const double p0 = pos(row, col), pl = pos(row + dr, col + dc);
                    const double e = p.guessError;
                    outside += std::floor(pl - e) - std::floor(p0 + e) + (double)off < 0.0 ||
                               std::floor(pl + e) - std::floor(p0 - e) + (double)off > spread;
                }
    EXPECT_EQ(outside, 0) << "lane pairs whose guesses fall outside the window";
}

}  // namespace
