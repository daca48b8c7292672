// The vector kernel against the scalar kernel, bit for bit (any NaN matching
// any NaN), for every instruction set compiled into the engine that this CPU
// can run, or those named in TOFIMAGE_TEST_TARGETS: random requests (wild
// ones with special values mixed in, and tie-heavy ones), crafted rounding
// ties, the edges of the sample window and of the signal matrix, and the
// worked example.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <limits>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "problem.h"
#include "recon.h"
#include "recon_simd.h"
#include "recon_simd_plan.h"
#include "targets.h"

namespace {

const double kInf = std::numeric_limits<double>::infinity();
const double kNaN = std::numeric_limits<double>::quiet_NaN();

// A problem (with a non-zero image on entry, as a rule) and its name.
struct Case {
    Problem p;
    std::string name;
};

// Expects the vector kernel to reproduce the scalar kernel on 1 thread, on
// every given thread count: for the case itself, and for a stack of frames
// (frame 0 the case's own signals, a frame count that varies from case to
// case), against the scalar kernel on each frame alone. Both kernels' stacks
// are checked.
void expectSameAsScalar(Case c, const std::vector<int32_t>& threads) {
    c.p.numCores = 1;
    const std::vector<double> want = c.p.run(ReconKernel::Scalar);
    const unsigned seed = (unsigned)std::hash<std::string>()(c.name);
    const int frameCounts[] = {1, 2, 3, 5, 9, 4, 11};
    const int frames = frameCounts[seed % 7];
    const std::vector<double> stack = frameStack(c.p, frames, seed);
    const std::vector<double> wantStack = runStack(c.p, stack, frames, ReconKernel::Scalar, true);
    std::string why;
    EXPECT_TRUE(sameImage(wantStack, runStack(c.p, stack, frames, ReconKernel::Scalar), &why))
        << c.name << ", scalar kernel, stack of " << frames << ": " << why;
    for (int32_t t : threads) {
        // Under an OpenMP thread limit (OMP_THREAD_LIMIT=1 where teams
        // cannot run, as under qemu-user) a larger count would only repeat
        // a smaller one.
        if (t > 1 && reconTeamSize(t) < t) continue;
        c.p.numCores = t;
        EXPECT_TRUE(sameImage(want, c.p.run(ReconKernel::Vector), &why))
            << c.name << ", " << t << " thread(s): " << why;
        EXPECT_TRUE(sameImage(wantStack, runStack(c.p, stack, frames, ReconKernel::Vector), &why))
            << c.name << ", " << t << " thread(s), stack of " << frames << ": " << why;
    }
}

// Sensors on a circle around the image centre, in the image plane or at
// height z; the realistic case the fast path is built for.
void ringSensors(Problem& p, double radius, double z, std::mt19937_64& rng) {
    std::uniform_real_distribution<double> jitter(-1e-4, 1e-4);
    for (int32_t s = 0; s < p.cols; ++s) {
        const double a = 2.0 * kPi * s / p.cols;
        p.x.push_back(radius * std::cos(a) + jitter(rng) * radius);
        p.y.push_back(radius * std::sin(a) + jitter(rng) * radius);
        p.z.push_back(z);
    }
}

void randomSignals(Problem& p, std::mt19937_64& rng, double specialShare) {
    std::normal_distribution<double> normal;
    std::uniform_real_distribution<double> u(0.0, 1.0);
    const double specials[] = {kNaN, kInf, -kInf, 0.0, -0.0, 1e308, -1e308, 5e-324};
    p.sigMat.resize((size_t)p.rows * p.cols);
    for (double& v : p.sigMat) v = u(rng) < specialShare ? specials[rng() % 8] : normal(rng);
}

std::vector<double> randomStart(int32_t n, std::mt19937_64& rng) {
    std::normal_distribution<double> normal;
    std::vector<double> v((size_t)n * n);
    for (double& e : v) e = normal(rng);
    return v;
}

const double kSelects[] = {1.0, 2.0, 3.0, kNaN, 1.01, 0.0};

// A ring scan like the real ones: sampling rate, speed of sound and image
// width chosen so that the sample positions cover part of the window.
Case ringCase(std::mt19937_64& rng, int32_t n, int32_t cols, int32_t rows, double image_select) {
    Case c;
    Problem& p = c.p;
    p.n = n;
    p.cols = cols;
    p.rows = rows;
    p.c = 1500.0;
    std::uniform_real_distribution<double> u(0.0, 1.0);
    p.fs = 20e6 + 30e6 * u(rng);
    p.image_width = 0.01 + 0.02 * u(rng);
    const double radius = p.image_width * (0.8 + 1.2 * u(rng));
    ringSensors(p, radius, u(rng) < 0.3 ? 0.002 * u(rng) : 0.0, rng);
    regularTimes(p, 1e-6 * u(rng));
    randomSignals(p, rng, 0.0);
    p.image_select = image_select;
    c.p.start = randomStart(n, rng);
    c.name = "ring n=" + std::to_string(n) + " cols=" + std::to_string(cols) +
             " rows=" + std::to_string(rows);
    return c;
}

// Anything goes: sensors anywhere (on top of pixels, far away, non-finite),
// odd sizes, special parameters and signals.
Case wildCase(std::mt19937_64& rng, int index) {
    Case c;
    Problem& p = c.p;
    std::uniform_real_distribution<double> u(0.0, 1.0);
    const int32_t sizes[] = {1, 2, 3, 5, 7, 8, 9, 13, 16, 17, 31, 33, 40};
    const int32_t colCounts[] = {0, 1, 2, 3, 5, 16, 17, 40};
    const int32_t rowCounts[] = {2, 3, 5, 16, 17, 30, 100, 300};
    p.n = sizes[rng() % 13];
    p.cols = colCounts[rng() % 8];
    p.rows = rowCounts[rng() % 8];
    p.c = u(rng) < 0.9 ? 1.0 + 3.0 * u(rng) : (u(rng) < 0.5 ? 0.0 : -1.0);
    p.fs = u(rng) < 0.95 ? 1.0 + 4.0 * u(rng) : kInf;
    p.image_width = u(rng) < 0.95 ? p.n * (0.2 + 2.0 * u(rng)) : (u(rng) < 0.5 ? kNaN : 0.0);
    const double reach = p.image_width == p.image_width ? p.image_width : 1.0;
    for (int32_t s = 0; s < p.cols; ++s) {
        const double r = u(rng);
        if (r < 0.03) {
            p.x.push_back(kNaN);
        } else if (r < 0.05) {
            p.x.push_back(kInf);
        } else if (r < 0.15) {  // exactly on a pixel centre's coordinate
            const double dx = reach / p.n;
            const double half = (double)(p.n / 2);
            p.x.push_back(((double)(int32_t)(rng() % p.n) - (half - 1.0)) * dx);
        } else {
            p.x.push_back((u(rng) * 3.0 - 1.0) * reach);
        }
        p.y.push_back(r < 0.15 && r >= 0.05 ? -(p.x.back()) : (u(rng) * 3.0 - 1.5) * reach);
        p.z.push_back(u(rng) < 0.7 ? 0.0 : (u(rng) < 0.9 ? reach * u(rng) : -reach));
    }
    const double t0 = u(rng) < 0.8 ? 4.0 * u(rng) - 1.0 : (u(rng) < 0.5 ? kNaN : 1e9);
    regularTimes(p, t0);
    if (u(rng) < 0.15) p.t[1] = p.t[0];  // infinite 1 / dt
    if (u(rng) < 0.15) p.t[rng() % p.rows] = u(rng) < 0.5 ? kNaN : kInf;
    randomSignals(p, rng, u(rng) < 0.3 ? 0.02 : 0.0);
    p.image_select = kSelects[rng() % 6];
    c.p.start = randomStart(p.n, rng);
    c.name = "wild case " + std::to_string(index);
    return c;
}

// Rounding ties by the thousand: with c = fs = 1 and t[0] = 0.5 a sample
// position is the distance plus 0.5, so every whole distance lies exactly
// on a tie. Pixels sit on a grid of pitch 1/2, 1 or 2, sensors on its lines
// or on whole and half coordinates, so whole distances are everywhere: along
// rows and columns, and wherever the offsets form a Pythagorean triple.
Case tieCase(std::mt19937_64& rng, int index) {
    Case c;
    Problem& p = c.p;
    std::uniform_real_distribution<double> u(0.0, 1.0);
    const double pitches[] = {0.5, 1.0, 2.0};
    const double dx = pitches[rng() % 3];
    p.n = 1 + (int32_t)(rng() % 40);
    p.cols = (int32_t)(rng() % 41);
    p.rows = 2 + (int32_t)(rng() % 119);
    p.c = 1.0;
    p.fs = 1.0;
    p.image_width = p.n * dx;
    regularTimes(p, 0.5);
    // A pixel row or column (mostly), or a whole or half coordinate,
    // within a margin of the image.
    const int32_t reach = (int32_t)(p.image_width + 8.0);
    auto coordinate = [&] {
        const double v = (double)((int32_t)(rng() % (2 * reach + 1)) - reach);
        const double r = u(rng);
        return r < 0.5 ? v * dx : r < 0.8 ? v : v + 0.5;
    };
    for (int32_t s = 0; s < p.cols; ++s) {
        p.x.push_back(coordinate());
        p.y.push_back(coordinate());
        p.z.push_back(u(rng) < 0.8 ? 0.0 : 0.5 * (double)(rng() % 9));
    }
    randomSignals(p, rng, u(rng) < 0.2 ? 0.02 : 0.0);
    p.image_select = 1.0 + (double)(rng() % 3);
    p.start = randomStart(p.n, rng);
    c.name = "tie case " + std::to_string(index);
    return c;
}

class VectorKernel : public ::testing::TestWithParam<int64_t> {
protected:
    void SetUp() override { hwy::SetSupportedTargetsForTest(GetParam()); }
    void TearDown() override { hwy::SetSupportedTargetsForTest(0); }
};

// The kernel actually dispatches to the target under test.
TEST_P(VectorKernel, RunsTheTargetUnderTest) {
    const int64_t target = GetParam();
    const std::string name = reconKernelName(ReconKernel::Best);
    if (target == HWY_SCALAR || target == HWY_EMU128)
        EXPECT_EQ(name, "scalar");
    else
        EXPECT_EQ(name, hwy::TargetName(target));
    EXPECT_STREQ(reconKernelName(ReconKernel::Scalar), "scalar");
}

// Which family of lane primitives serves each Highway target ("": none, the
// scalar kernel), for every target Highway may compile: a family's line
// misplaced in recon_simd_families-inl.h, or a target new to Highway that
// this table does not know, fails here rather than run another family, or
// none, unnoticed.
const char* familyServing(const std::string& target) {
    static const std::map<std::string, const char*> kFamilies = {
        {"AVX3_SPR", "avx3"}, {"AVX3_ZEN4", "avx3"},        {"AVX3_DL", "avx3"},
        {"AVX3", "avx3"},     {"AVX2", "avx2"},             {"SSE4", "generic"},
        {"SSSE3", "generic"}, {"SSE2", "generic"},          {"NEON", "neon"},
        {"NEON_BF16", "neon"}, {"NEON_WITHOUT_AES", "neon"}, {"SVE", "neon"},
        {"SVE2", "neon"},     {"SVE_256", "neon"},          {"SVE2_128", "neon"},
        {"EMU128", ""},       {"SCALAR", ""}};
    const auto it = kFamilies.find(target);
    return it == kFamilies.end() ? nullptr : it->second;
}

TEST_P(VectorKernel, ServedByItsFamily) {
    const std::string target = hwy::TargetName(GetParam());
    const char* want = familyServing(target);
    ASSERT_NE(want, nullptr) << target << " is missing from the table of families";
    const char* family = reconVectorFamily();
    EXPECT_STREQ(family ? family : "", want) << target << " is served by the wrong family";
}

TEST_P(VectorKernel, WorkedExample) {
    for (double select : {1.0, 2.0, 3.0}) {
        Problem p = workedExample(select);
        for (int32_t threads : {1, 3}) {
            p.numCores = threads;
            EXPECT_EQ(p.run(ReconKernel::Vector), workedExampleImage(select))
                << "image_select " << select;
        }
    }
}

// Realistic ring scans of several sizes: the threshold table, the windows
// and tile remainders (n not a multiple of the tile or vector block).
TEST_P(VectorKernel, RingScans) {
    std::mt19937_64 rng(17);
    const int32_t sizes[][3] = {{40, 32, 300}, {37, 24, 400}, {64, 16, 500},
                                {33, 40, 200}, {21, 64, 150}, {48, 20, 1000}};
    int k = 0;
    for (const auto& s : sizes)
        for (double select : {1.0, 2.0, 3.0})
            expectSameAsScalar(ringCase(rng, s[0], s[1], s[2], select), {1, k++ % 3 == 0 ? 3 : 2});
    // More threads than tiles: some threads get none.
    expectSameAsScalar(ringCase(rng, 20, 16, 200, 3.0), {8});
}

// Every batch size a stack can take, whichever the cost model would choose
// for it: batches of 2 to 16 frames forced on the plan (quarter and half
// vectors of frames, whole ones, and padded ones), the last frames of a
// stack in a shorter batch.
TEST_P(VectorKernel, EveryBatchSize) {
    std::mt19937_64 rng(23);
    for (double select : {1.0, 3.0}) {
        const Problem p = ringCase(rng, 37, 24, 400, select).p;
        const int frames = 17;
        const std::vector<double> stack = frameStack(p, frames, 5);
        const std::vector<double> want = runStack(p, stack, frames, ReconKernel::Scalar, true);
        const ReconInput in = p.input(nullptr);
        for (int batch = 2; batch <= tofimage_simd::kMaxBatch; ++batch) {
            VectorPlanPtr plan = makeVectorPlan(in, reconGeometry(in), 1, true, batch);
            if (!plan) GTEST_SKIP() << "no vector kernel for this target";
            plan->batch = batch;
            plan->stack.frame = std::numeric_limits<double>::infinity();  // never frame by frame
            std::vector<double> got = startImages(p, frames);
            ASSERT_TRUE(runVectorPlan(*plan, stack.data(), frames, got.data(), 1));
            std::string why;
            EXPECT_TRUE(sameImage(want, got, &why)) << "batches of " << batch << ": " << why;
        }
    }
}

// The differential harness proper: random requests of both kinds.
TEST_P(VectorKernel, RandomRequests) {
    std::mt19937_64 rng(4242);
    for (int i = 0; i < 150; ++i) expectSameAsScalar(wildCase(rng, i), {1, 2});
    std::mt19937_64 tieRng(2718);
    for (int i = 0; i < 150; ++i) expectSameAsScalar(tieCase(tieRng, i), {1, 2});
}

// Exact rounding ties and their neighbours: with c = fs = 1 and t[0] = 1 the
// position is the distance itself; a sensor on a pixel row at x = 1/2 (plus
// a small offset) puts every pixel of that row at a distance of exactly
// m + 1/2 (or just beside it), and half-integer coordinates elsewhere give
// further exact half-integer distances (3-4-5 triangles and the like).
TEST_P(VectorKernel, RoundingTies) {
    const double offsets[] = {0.0, 0x1p-40, -0x1p-40, 0x1p-52, -0x1p-52, 1e-9, -1e-9};
    int k = 0;
    for (double off : offsets)
        for (double select : {1.0, 3.0}) {
            Case c;
            Problem& p = c.p;
            p.n = 24;
            p.cols = 40;
            p.rows = 60;
            p.c = 1.0;
            p.fs = 1.0;
            p.image_width = 24.0;  // dx = 1, x = L - 11, y = 11 - K
            regularTimes(p, 1.0);
            for (int32_t s = 0; s < p.cols; ++s) {
                p.x.push_back(s % 4 == 0 ? 0.5 + off : 0.5 * (s % 9) - 15.0 + off);
                p.y.push_back(s % 4 == 0 ? (double)(11 - s % 24) : 0.5 * (s % 7) + 12.5);
                p.z.push_back(s % 5 == 0 ? 1.5 : 0.0);
            }
            std::mt19937_64 rng(k);
            randomSignals(p, rng, 0.0);
            p.image_select = select;
            c.name = "ties, offset " + std::to_string(off);
            expectSameAsScalar(c, {1, 2});
            ++k;
        }
}

// Smallest squared distance whose sample index is at least m, found by
// bisection over the doubles with the scalar kernel's own operations.
double indexThreshold(double k, double q, int32_t rows, int32_t m) {
    uint64_t lo = 0, hi = 0x7FF0000000000000ull;  // index(lo) < m unknown, index(hi) >= m
    auto reaches = [&](uint64_t bits) {
        double d2;
        std::memcpy(&d2, &bits, sizeof d2);
        return reconSampleIndex((k * std::sqrt(d2)) - q, rows) >= m;
    };
    if (reaches(0)) return 0.0;
    while (hi - lo > 1) {
        const uint64_t mid = lo + (hi - lo) / 2;
        (reaches(mid) ? hi : lo) = mid;
    }
    double d2;
    std::memcpy(&d2, &hi, sizeof d2);
    return d2;
}

// Offsets (ex, ey) with (ex*ex + ey*ey) == d2 exactly in doubles.
bool offsetsFor(double d2, double* ex, double* ey) {
    double x = std::sqrt(d2);
    for (int tries = 0; tries < 64; ++tries) {
        x = std::nextafter(x, 0.0);
        const double xx = x * x;
        if (!(xx < d2)) continue;
        double y = std::sqrt(d2 - xx);
        for (int j = 0; j < 128; ++j) {
            const double s = xx + y * y;
            if (s == d2) {
                *ex = x;
                *ey = y;
                return true;
            }
            y = s < d2 ? std::nextafter(y, kInf) : std::nextafter(y, 0.0);
        }
    }
    return false;
}

// Squared distances exactly at, one below and one above the boundary between
// two sample indices: pixel (0, 0) of a 2 x 2 image sits at the origin, so a
// sensor at (ex, ey, 0) is at squared distance ex*ex + ey*ey from it.
TEST_P(VectorKernel, IndexBoundariesToTheLastBit) {
    Case c;
    Problem& p = c.p;
    p.n = 2;
    p.rows = 60;
    p.c = 1500.0;
    p.fs = 40e6;
    p.image_width = 1e-6;
    regularTimes(p, 1e-6);
    const double k = p.fs / p.c, q = (p.fs * p.t[0]) - 1.0;
    for (int32_t m = 1; m < p.rows; ++m) {
        const double T = indexThreshold(k, q, p.rows, m);
        for (double d2 : {std::nextafter(T, 0.0), T, std::nextafter(T, kInf)}) {
            double ex, ey;
            ASSERT_TRUE(offsetsFor(d2, &ex, &ey)) << "m=" << m;
            p.x.push_back(ex);
            p.y.push_back(ey);
            p.z.push_back(0.0);
        }
    }
    // Enough sensors for the threshold table to pay off (n*n*cols >= 64*rows).
    while ((int64_t)p.x.size() * 4 < 64 * p.rows) {
        const size_t i = p.x.size() % 177;
        p.x.push_back(p.x[i]);
        p.y.push_back(p.y[i]);
        p.z.push_back(0.0);
    }
    p.cols = (int32_t)p.x.size();
    p.sigMat.resize((size_t)p.rows * p.cols);
    for (size_t i = 0; i < p.sigMat.size(); ++i)
        p.sigMat[i] = (double)(i % p.rows);  // the index itself
    for (double select : {1.0, 3.0}) {
        p.image_select = select;
        c.name = "index boundaries";
        expectSameAsScalar(c, {1});
    }
}

// Positions beyond both ends of the window, near 2^31 - 0.5 (which selects
// sample 0), and lookups on the very last element of the matrix.
TEST_P(VectorKernel, WindowEdgesAndHugePositions) {
    std::mt19937_64 rng(99);
    // Far sensors: positions beyond the last sample (clamped to rows - 1),
    // the last sensor's last sample being the matrix's last element.
    for (double select : {1.0, 2.0, 3.0}) {
        Case c = ringCase(rng, 30, 24, 120, select);
        c.p.x.back() = 0.5;  // far from the image: clamped to the last sample
        c.p.y.back() = 0.0;
        c.p.x[0] = 0.0;  // on top of the image: before the first sample
        c.p.y[0] = 0.0;
        c.name = "window edges, image_select " + std::to_string(select);
        expectSameAsScalar(c, {1, 2});
    }
    // Distances around 2^31 - 0.5 samples: with c = fs = 1 and t[0] = 1 the
    // position is the distance, so pixels 0.25 apart straddle 2^31 - 0.5.
    for (double select : {1.0, 3.0}) {
        Case c;
        Problem& p = c.p;
        p.n = 12;
        p.cols = 3;
        p.rows = 50;
        p.c = 1.0;
        p.fs = 1.0;
        p.image_width = 3.0;  // dx = 0.25
        regularTimes(p, 1.0);
        const double edge = 2147483647.5;
        p.x = {edge + 1.0, -(edge - 1.5), edge + 0.125};
        p.y = {0.0, 0.0, 0.0};
        p.z = {0.0, 0.0, 0.0};
        randomSignals(p, rng, 0.0);
        p.image_select = select;
        c.p.start = randomStart(p.n, rng);
        c.name = "positions around 2^31 - 0.5";
        expectSameAsScalar(c, {1, 3});
    }
}

// A grid so coarse that one pixel block's samples do not fit one window
// (the gather fallback), and a sampling rate so high that the threshold
// table needs the refined estimate (positions of more than 4096 samples).
TEST_P(VectorKernel, CoarseGridsAndLongWindows) {
    std::mt19937_64 rng(7);
    for (double select : {1.0, 3.0}) {
        Case coarse = ringCase(rng, 40, 24, 3000, select);
        coarse.p.fs = 400e6;  // about 27 samples per pixel
        regularTimes(coarse.p, 0.0);
        coarse.name = "coarse grid";
        expectSameAsScalar(coarse, {1, 2});

        Case longer = ringCase(rng, 40, 200, 5000, select);
        longer.p.fs = 100e6;
        regularTimes(longer.p, 20e-6);  // q = 1999: span over 4096
        longer.name = "long window";
        expectSameAsScalar(longer, {1, 2});
    }
}

// Per-call conditions under which the threshold table is not used: c <= 0,
// an infinite or NaN fs or t[0], and positions too long for the estimate.
TEST_P(VectorKernel, UnusualParameters) {
    std::mt19937_64 rng(3);
    const struct {
        double c, fs, t0;
    } params[] = {{0.0, 40e6, 1e-6},    {-1500.0, 40e6, 1e-6}, {1500.0, kInf, 1e-6},
                  {1500.0, 40e6, kNaN}, {1500.0, 40e6, 1.0},   {kNaN, 40e6, 1e-6},
                  {1500.0, 1e-3, 0.0}};
    for (const auto& prm : params)
        for (double select : {1.0, 2.0, 3.0}) {
            Case c = ringCase(rng, 24, 20, 100, select);
            c.p.c = prm.c;
            c.p.fs = prm.fs;
            regularTimes(c.p, prm.t0);
            if (std::isnan(prm.t0)) c.p.t[0] = kNaN;
            c.name = "c=" + std::to_string(prm.c) + " fs=" + std::to_string(prm.fs) +
                     " t0=" + std::to_string(prm.t0);
            expectSameAsScalar(c, {1, 2});
        }
}

TEST(Targets, NamedTargetsAreUnderTest) { expectNamedTargetsUnderTest(); }

INSTANTIATE_TEST_SUITE_P(Targets, VectorKernel, ::testing::ValuesIn(compiledTargets()), targetName);

}  // namespace
