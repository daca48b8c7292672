// The vector kernel's per-call plan, tested directly: every threshold is the
// exact squared distance at which the scalar kernel's index steps, and the
// table gives the scalar kernel's index for every squared distance it claims
// to cover.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <map>
#include <sstream>
#include <string>

#include "problem.h"
#include "recon_simd.h"
#include "recon_simd_plan.h"
#include "targets.h"

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

TEST(Plan, FewPixelsManySensorsTakeTheScalarKernel) {
    // The cost model weighs the set-up of every sensor for every tile: a
    // handful of pixels of 4096 sensors does not repay it, and runs the
    // scalar kernel; the standard workload repays it many times over.
    if (std::string(reconKernelName(ReconKernel::Vector)) == "scalar")
        GTEST_SKIP() << "no vector kernel on this CPU";
    Problem few = ringProblem(2, 4096, 2030, 1), standard = ringProblem(256, 256, 2030, 1);
    for (double term : {1.0, 2.0, 3.0}) {
        few.image_select = standard.image_select = term;
        EXPECT_STREQ(ReconPlan(few.input(nullptr)).kernelName(), "scalar") << "term " << term;
        EXPECT_STRNE(ReconPlan(standard.input(nullptr)).kernelName(), "scalar") << "term " << term;
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
    const TileBounds tile{xlo, xhi, ylo, yhi, true};
    SensorReach reach;
    ASSERT_TRUE(rangeCovers(p, xs, ys, 0.0, tile, &reach));
    int64_t off = -1;
    ASSERT_TRUE(windowCovers(p, lanes, spread, tile, reach, &off));
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

TEST(Plan, TileSensorsAreClassifiedSoundly) {
    // Every sensor over tiles of several sizes, for the lane shapes of the
    // AVX-512, AVX2 and NEON families with their windows, on ring scans
    // whose first samples lie a few rows from the nearest pixels (windows
    // then reach before row 0 of the first sensor) or far from every pixel,
    // some with their last rows inside the image: a bounded sensor's indices lie in
    // first .. final, and a covered one's every vector fits one window of
    // the family's width that lies inside sigMat, away from the first and
    // last rows.
    struct Shape {
        LaneSpan lanes;
        int window, wideWindow;
    };
    const Shape shapes[] = {{{-1, 2, 0, 1}, 16, 32}, {{0, 1, 0, 1}, 8, 0}, {{0, 1, 0, 0}, 16, 0}};
    std::mt19937_64 rng(13);
    int covered = 0, bounded = 0;
    for (int32_t rows : {60, 2030, 700}) {
        Problem problem = ringProblem(96, 24, rows, (unsigned)rows);
        if (rows != 2030) regularTimes(problem, 731.0 / problem.fs);  // 3 rows from sensor 0
        std::vector<double> image((size_t)problem.n * problem.n, 0.0);
        const ReconInput in = problem.input(image.data());
        KernelTraits traits;
        traits.windows = true;  // indices from the square root
        Plan p;
        PlanTables tables;
        ASSERT_TRUE(makePlan(in, reconGeometry(in), traits, &p, &tables));
        ASSERT_EQ(p.guess, kSqrtOnly);
        auto index = [&](int64_t s, int64_t K, int64_t L) {
            using A = ScalarArith;
            const double ex = p.xs[s] - pixelX(L, p.half1, p.dx);
            const double ey = p.ys[s] - pixelY(K, p.half1, p.dx);
            return (int64_t)indexOf(
                p, SquaredDistance<A>(Square<A>(ex), Square<A>(ey), Square<A>(p.zs[s])));
        };
        for (int trial = 0; trial < 21; ++trial) {
            // The 9 tiles of 32 pixels, and 12 others of 8 to 64 anywhere.
            const int64_t size = trial < 9 ? 32 : 8 << (trial % 4);
            const int64_t K0 = trial < 9 ? trial % 3 * 32 : (int64_t)(rng() % (p.n - size + 1));
            const int64_t L0 = trial < 9 ? trial / 3 * 32 : (int64_t)(rng() % (p.n - size + 1));
            const TileBounds tile{pixelX(L0, p.half1, p.dx), pixelX(L0 + size - 1, p.half1, p.dx),
                                  pixelY(K0 + size - 1, p.half1, p.dx),
                                  pixelY(K0, p.half1, p.dx), true};
            for (const Shape& shape : shapes)
                for (int64_t s = 0; s < p.cols; ++s) {
                    const TileSensor ts =
                        classifySensor(p, shape.lanes, shape.window, shape.wideWindow, s, tile);
                    if (!ts.bounded) continue;
                    ++bounded;
                    const bool wide = ts.mode == kCoveredWideWindows;
                    if (!wide && ts.mode != kCoveredWindows) continue;
                    ++covered;
                    const int64_t w = wide ? shape.wideWindow : shape.window;
                    int64_t bad = 0;
                    for (int64_t K = K0; K < K0 + size; ++K)
                        for (int64_t L = L0; L < L0 + size; ++L) {
                            const int64_t i0 = index(s, K, L), base = i0 - ts.off;
                            bad += i0 < ts.first || i0 > ts.final || i0 < 1 || i0 > p.rows - 2;
                            bad += s * p.rows + base < 0 || s * p.rows + base + w > p.last;
                            for (int dr = shape.lanes.rowLo; dr <= shape.lanes.rowHi; ++dr)
                                for (int dc = shape.lanes.colLo; dc <= shape.lanes.colHi; ++dc) {
                                    if (K + dr < K0 || K + dr >= K0 + size || L + dc >= L0 + size)
                                        continue;
                                    const int64_t rel = index(s, K + dr, L + dc) - base;
                                    bad += rel < 0 || rel >= w;
                                }
                        }
                    EXPECT_EQ(bad, 0) << "sensor " << s << ", tile at " << K0 << ", " << L0
                                      << ", " << size << " pixels, window " << w;
                }
        }
    }
    EXPECT_GT(covered, bounded / 4) << "covered windows are what the test is about";
}


// What the cost model chooses, per family, for ring scans (256 sensors,
// 2030 samples) of n x n pixels and for 4 x 4 pixels of 4096 sensors, terms
// 1 and 3: the path of one frame ("scalar", or the guess level, with
// " wide" for wide windows), then for stacks of 1, 2, 3, 8, 16 and 64
// frames the frames a batch takes (1: frame by frame; 0: the scalar
// kernel). The choices follow from the policy's costs; a cost re-measured
// that changes one fails here, and the table is updated with the new
// choice after the stacks it concerns have been timed (recon_bench
// --benchmark_filter='^stack/').
struct ExpectedChoice {
    const char* family;
    int32_t n, sensors;
    int term;
    const char* choice;
};

constexpr ExpectedChoice kExpectedChoices[] = {
    {"avx3", 64, 256, 1, "table wide: 1 2 3 8 8 8"},
    {"avx3", 64, 256, 3, "table wide: 1 2 3 8 8 8"},
    {"avx3", 128, 256, 1, "table wide: 1 2 3 8 8 8"},
    {"avx3", 128, 256, 3, "table wide: 1 2 3 8 8 8"},
    {"avx3", 256, 256, 1, "table: 1 1 3 8 16 16"},
    {"avx3", 256, 256, 3, "table: 1 1 3 8 8 8"},
    {"avx3", 4, 4096, 1, "scalar: 0 0 0 0 0 0"},
    {"avx3", 4, 4096, 3, "scalar: 0 0 0 0 0 0"},
    {"avx2", 64, 256, 1, "sqrt windows: 1 2 3 8 8 8"},
    {"avx2", 64, 256, 3, "sqrt windows: 1 2 3 8 8 8"},
    {"avx2", 128, 256, 1, "sqrt windows: 1 2 3 8 8 8"},
    {"avx2", 128, 256, 3, "sqrt windows: 1 2 3 8 8 8"},
    {"avx2", 256, 256, 1, "sqrt windows: 1 2 3 8 16 16"},
    {"avx2", 256, 256, 3, "sqrt windows: 1 2 3 8 8 8"},
    {"avx2", 4, 4096, 1, "sqrt windows: 1 2 3 8 8 8"},
    {"avx2", 4, 4096, 3, "sqrt windows: 1 2 3 8 8 8"},
    {"neon", 64, 256, 1, "table: 1 2 3 8 8 8"},
    {"neon", 64, 256, 3, "table: 1 2 3 8 8 8"},
    {"neon", 128, 256, 1, "table: 1 2 3 8 8 8"},
    {"neon", 128, 256, 3, "table: 1 2 3 8 8 8"},
    {"neon", 256, 256, 1, "table: 1 2 3 8 16 16"},
    {"neon", 256, 256, 3, "table: 1 2 3 8 8 8"},
    {"neon", 4, 4096, 1, "table: 1 2 3 8 8 8"},
    {"neon", 4, 4096, 3, "table: 1 2 3 8 8 8"},
    {"generic", 64, 256, 1, "gathers: 1 2 3 8 8 8"},
    {"generic", 64, 256, 3, "gathers: 1 2 3 8 8 8"},
    {"generic", 128, 256, 1, "gathers: 1 2 3 8 8 8"},
    {"generic", 128, 256, 3, "gathers: 1 2 3 8 8 8"},
    {"generic", 256, 256, 1, "gathers: 1 2 3 8 16 16"},
    {"generic", 256, 256, 3, "gathers: 1 2 3 8 8 8"},
    {"generic", 4, 4096, 1, "gathers: 1 2 3 8 8 8"},
    {"generic", 4, 4096, 3, "scalar: 0 0 0 0 0 0"},
};

std::string planChoice(const FamilyModel& model, const Problem& p) {
    const ReconInput in = p.input(nullptr);
    const ReconGeometry g = reconGeometry(in);
    std::ostringstream out;
    for (int64_t frames : {1, 2, 3, 8, 16, 64}) {
        VectorPlan vp;
        const bool vector = chooseVectorPlan(in, g, model, 1, false, frames, &vp);
        if (frames == 1) {
            static const char* const kGuesses[] = {"gathers", "table", "refined", "sqrt windows"};
            out << (vector ? kGuesses[vp.plan.guess] : "scalar")
                << (vector && model.wideWindows && vp.wide ? " wide" : "") << ":";
        }
        out << " " << (vector ? batchFor(vp, frames) : 0);
    }
    return out.str();
}

TEST(Plan, ChoosesTheExpectedPathsAndBatches) {
    // The families of the targets under test, each once.
    std::map<std::string, FamilyModel> families;
    for (int64_t target : compiledTargets()) {
        hwy::SetSupportedTargetsForTest(target);
        if (const char* family = reconVectorFamily()) families.emplace(family, reconVectorModel());
        hwy::SetSupportedTargetsForTest(0);
    }
    if (families.empty()) GTEST_SKIP() << "no vector kernel on this CPU";
    std::map<std::pair<int32_t, int32_t>, Problem> scans;  // by n and sensors
    std::map<std::string, int> rows;
    for (const ExpectedChoice& e : kExpectedChoices) {
        const auto family = families.find(e.family);
        if (family == families.end()) continue;
        ++rows[e.family];
        auto scan = scans.find({e.n, e.sensors});
        if (scan == scans.end())
            scan = scans.emplace(std::make_pair(e.n, e.sensors), ringProblem(e.n, e.sensors, 2030, 1))
                       .first;
        Problem& p = scan->second;
        p.image_select = e.term;
        EXPECT_EQ(planChoice(family->second, p), e.choice)
            << e.family << ", n = " << e.n << ", " << e.sensors << " sensors, term " << e.term;
    }
    for (const auto& f : families)
        EXPECT_GT(rows[f.first], 0) << "no expected choices for the family " << f.first;
}

}  // namespace
