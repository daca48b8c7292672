// Engine tests: grid, rounding and clamping, the three terms, the edges of
// the signal matrix, non-finite input, thread-count independence and the
// request checks.
#include <gtest/gtest.h>

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#else
#include <sys/mman.h>
#endif

#include <chrono>
#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "problem.h"
#include "recon.h"
#include "recon_messages.h"

namespace {

const double kInf = std::numeric_limits<double>::infinity();
const double kNaN = std::numeric_limits<double>::quiet_NaN();

// Zero-filled memory backed by pages only as they are touched (Linux: no
// swap reserved either; Windows: committed, but demand-zero), or nullptr.
void* lazyZeroed(size_t bytes) {
#ifdef _WIN32
    return VirtualAlloc(nullptr, bytes, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
#else
    void* mem = mmap(nullptr, bytes, PROT_READ | PROT_WRITE,
                     MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    return mem == MAP_FAILED ? nullptr : mem;
#endif
}

void releaseLazy(void* mem, size_t bytes) {
#ifdef _WIN32
    (void)bytes;
    VirtualFree(mem, 0, MEM_RELEASE);
#else
    munmap(mem, bytes);
#endif
}

// Column-major 2 x 2 matrix written row by row, as it reads on paper.
std::vector<double> mat2(double a, double b, double c, double d) { return {a, c, b, d}; }

TEST(Geometry, DerivedValues) {
    std::vector<double> t = {0.5, 0.75, 1.0};
    ReconInput in;
    in.t = t.data();
    in.fs = 4.0;
    in.c = 2.0;
    in.n = 5;
    in.image_width = 10.0;
    const ReconGeometry g = reconGeometry(in);
    EXPECT_EQ(g.q, 1.0);
    EXPECT_EQ(g.dt, 0.25);
    EXPECT_EQ(g.invDt, 4.0);
    EXPECT_EQ(g.k, 2.0);
    EXPECT_EQ(g.half, 2.0);
    EXPECT_EQ(g.dx, 2.0);
}

// Reads the pixel centres back through the image: a far sensor on the +x
// (or +y) axis sees pixel (K, L) at distance 1000 - x (or 1000 - y), and a
// ramp signal turns that distance into the pixel value.
std::vector<double> farSensorImage(int32_t n, double sx, double sy) {
    Problem p;
    p.rows = 2100;
    p.cols = 1;
    p.n = n;
    p.image_width = n;  // dx = 1
    p.c = 1.0;
    p.fs = 1.0;
    for (int i = 0; i < p.rows; ++i) {
        p.t.push_back(1.0 + i);  // q = 0, so the position is the distance
        p.sigMat.push_back(i);
    }
    p.x = {sx};
    p.y = {sy};
    p.z = {0.0};
    return p.run();
}

TEST(Geometry, PixelCentresForSmallGrids) {
    // x of columns and y of rows, in units of dx: the origin sits at column
    // and row half - 1, rows run toward decreasing y.
    const std::vector<std::vector<double>> xs = {
        {1}, {0, 1}, {0, 1, 2}, {-1, 0, 1, 2}, {-1, 0, 1, 2, 3}};
    const std::vector<std::vector<double>> ys = {
        {-1}, {0, -1}, {0, -1, -2}, {1, 0, -1, -2}, {1, 0, -1, -2, -3}};
    for (int32_t n = 1; n <= 5; ++n) {
        const auto fromX = farSensorImage(n, 1000.0, 0.0);
        const auto fromY = farSensorImage(n, 0.0, 1000.0);
        for (int32_t L = 0; L < n; ++L)
            for (int32_t K = 0; K < n; ++K) {
                EXPECT_EQ(1000.0 - fromX[K + L * n], xs[n - 1][L]) << "n=" << n << " L=" << L;
                EXPECT_EQ(1000.0 - fromY[K + L * n], ys[n - 1][K]) << "n=" << n << " K=" << K;
            }
    }
}

TEST(SampleIndex, RoundsHalfAwayFromZero) {
    EXPECT_EQ(reconSampleIndex(2.5, 10), 3);
    EXPECT_EQ(reconSampleIndex(6.5, 10), 7);  // not ties-to-even
    EXPECT_EQ(reconSampleIndex(0.5, 10), 1);
    EXPECT_EQ(reconSampleIndex(1.49, 10), 1);
    EXPECT_EQ(reconSampleIndex(0.49999999999999994, 10), 0);  // floor(Y + 0.5) gives 1
    EXPECT_EQ(reconSampleIndex(4.499999999999999, 10), 4);
    EXPECT_EQ(reconSampleIndex(2.0, 10), 2);
    EXPECT_EQ(reconSampleIndex(-0.4, 10), 0);
    EXPECT_EQ(reconSampleIndex(-0.0, 10), 0);
    EXPECT_EQ(reconSampleIndex(4503599627370497.0, std::numeric_limits<int32_t>::max()),
              0);  // integral beyond 2^31
}

TEST(SampleIndex, ClampsLowFirstThenHigh) {
    EXPECT_EQ(reconSampleIndex(-0.5, 10), 0);
    EXPECT_EQ(reconSampleIndex(-2.5, 10), 0);
    EXPECT_EQ(reconSampleIndex(-1e300, 10), 0);
    EXPECT_EQ(reconSampleIndex(8.5, 10), 9);
    EXPECT_EQ(reconSampleIndex(9.49, 10), 9);
    EXPECT_EQ(reconSampleIndex(9.5, 10), 9);
    EXPECT_EQ(reconSampleIndex(1e6, 10), 9);
    EXPECT_EQ(reconSampleIndex(2.0, 2), 1);
    EXPECT_EQ(reconSampleIndex(1.0, 2), 1);
}

TEST(SampleIndex, NonFiniteAndBeyond32BitsSelectSampleZero) {
    EXPECT_EQ(reconSampleIndex(kNaN, 10), 0);
    EXPECT_EQ(reconSampleIndex(kInf, 10), 0);
    EXPECT_EQ(reconSampleIndex(-kInf, 10), 0);
    EXPECT_EQ(reconSampleIndex(3e9, 10), 0);
    EXPECT_EQ(reconSampleIndex(2147483647.5, 10), 0);  // 2^31 - 0.5 rounds to 2^31
    EXPECT_EQ(reconSampleIndex(2147483647.4, 10), 9);  // 2^31 - 0.6 stays in range
    const int32_t big = std::numeric_limits<int32_t>::max();
    EXPECT_EQ(reconSampleIndex(2147483646.5, big), big - 1);  // rounds to 2^31 - 1, clamped
    EXPECT_EQ(reconSampleIndex(2147483646.4, big), 2147483646);
    EXPECT_EQ(reconSampleIndex(-2147483648.4, 10), 0);
    EXPECT_EQ(reconSampleIndex(-2147483649.0, 10), 0);
}

TEST(Kernel, WorkedExampleAllThreeTerms) {
    for (double sel : {1.0, 2.0, 3.0})
        EXPECT_EQ(workedExample(sel).run(), workedExampleImage(sel)) << "image_select=" << sel;
}

TEST(Kernel, OnlyExactlyOneAndTwoSelectTheirTerms) {
    const auto third = workedExample(3.0).run();
    for (double v : {1.01, 0.0, -1.0, 3.0, 2.0000000000000004, 0.9999999999999999, kNaN, kInf})
        EXPECT_EQ(workedExample(v).run(), third) << "image_select=" << v;
}

TEST(Kernel, OutputIsAddedTo) {
    Problem p = workedExample(1.0);
    std::vector<double> image = {100, 100, 100, 100};
    doRecon(p.input(image.data()));
    EXPECT_EQ(image, mat2(114, 111, 129, 124));
}

// Both sensors far away: every lookup is clamped to the last sample.
Problem lastSampleProblem(double image_select) {
    Problem p;
    p.rows = 3;
    p.cols = 2;
    p.n = 3;
    p.t = {1, 2, 3};  // invDt = 1, t[2] = 3
    p.x = {100, -100};
    p.y = {0, 0};
    p.z = {0, 0};
    p.sigMat = {1, 2, 3, 100, 200, 300};
    p.image_select = image_select;
    return p;
}

TEST(Kernel, ForwardDifferenceAtTheEndsOfColumns) {
    // Sensor 0's last sample steps into sensor 1's first: 3 * (100 - 3).
    // Sensor 1's last sample is the end of the matrix: difference zero.
    const std::vector<double> ones(9, 1.0);
    auto scaled = [&](double v) {
        std::vector<double> r(ones);
        for (double& e : r) e *= v;
        return r;
    };
    EXPECT_EQ(lastSampleProblem(1.0).run(), scaled(303));
    EXPECT_EQ(lastSampleProblem(2.0).run(), scaled(291));
    EXPECT_EQ(lastSampleProblem(3.0).run(), scaled(12));  // ((0 + 3) - 291 + 300) - 0
}

TEST(Kernel, ZeroSpeedOfSoundSelectsSampleZero) {
    // k = inf: a positive distance gives Y = inf, a zero distance NaN.
    Problem p = workedExample(1.0);
    p.c = 0.0;
    p.x = {0.0, 2.0};
    p.y = {0.0, 2.0};  // sensor 0 sits on pixel 0
    EXPECT_EQ(p.run(), std::vector<double>(4, 10.0));
}

TEST(Kernel, NonFiniteCoordinatesSelectSampleZero) {
    Problem p = workedExample(1.0);
    p.x = {kNaN, kInf};
    EXPECT_EQ(p.run(), std::vector<double>(4, 10.0));
    p = workedExample(1.0);
    p.t[0] = kInf;  // q infinite: every position non-finite
    EXPECT_EQ(p.run(), std::vector<double>(4, 10.0));
}

TEST(Kernel, NonFiniteSignalPropagates) {
    Problem p = workedExample(1.0);
    p.sigMat[0] = kNaN;  // pixels 0 and 2 read sample 0 of sensor 0
    auto image = p.run();
    EXPECT_TRUE(std::isnan(image[0]));
    EXPECT_TRUE(std::isnan(image[2]));
    EXPECT_EQ(image[1], 29.0);
    EXPECT_EQ(image[3], 24.0);

    p.image_select = 2.0;
    p.sigMat[0] = 10.0;
    p.sigMat[2] = kInf;  // pixels 1 and 3 take sample 1 of sensor 0, which looks ahead to it
    image = p.run();
    EXPECT_EQ(image, std::vector<double>({40.0, kInf, 29.0, kInf}));
}

TEST(Kernel, NonFiniteTimesEnterOnlyTheDerivativeTerms) {
    for (double sel : {1.0, 2.0, 3.0}) {
        Problem p = workedExample(sel);
        p.t[1] = p.t[0];  // dt = 0, invDt = inf
        const auto image = p.run();
        if (sel == 1.0) {
            EXPECT_EQ(image, workedExampleImage(1.0));
            continue;
        }
        for (double v : image) EXPECT_EQ(v, sel == 2.0 ? kInf : -kInf) << "image_select=" << sel;
    }
    Problem p = workedExample(3.0);
    p.t[0] = kNaN;  // q NaN: every lookup takes sample 0, and t[0] * invDt is NaN
    for (double v : p.run()) EXPECT_TRUE(std::isnan(v));
}

TEST(Kernel, EmptyImageAndNoSensors) {
    Problem p = workedExample(1.0);
    p.n = 0;
    EXPECT_TRUE(p.run().empty());
    p = workedExample(3.0);
    p.cols = 0;
    EXPECT_EQ(p.run(), std::vector<double>(4, 0.0));
}

TEST(Parallel, ImageDoesNotDependOnTheThreadCount) {
    for (double sel : {1.0, 2.0, 3.0}) {
        Problem p = ringProblem(37, 48, 2030, 7);
        p.image_select = sel;
        p.numCores = 1;
        const auto one = p.run();
        for (int32_t threads : {2, 3, 8, 0, -4}) {
            p.numCores = threads;
            EXPECT_TRUE(sameBits(p.run(), one)) << "threads=" << threads << " mode=" << sel;
        }
    }
}

TEST(Parallel, HugeThreadCountIsCapped) {
    EXPECT_GE(reconTeamSize(0), 1);
    EXPECT_GE(reconTeamSize(-3), 1);
    EXPECT_EQ(reconTeamSize(1), 1);
    EXPECT_EQ(reconTeamSize(2), 2);
    EXPECT_LE(reconTeamSize(1000000000), 1024);
    Problem p = ringProblem(5, 8, 2030, 3);
    const auto one = p.run();
    p.numCores = 1000000000;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(sameBits(p.run(), one));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
}

TEST(Parallel, FewerPixelsThanThreads) {
    Problem p = workedExample(1.0);
    p.n = 1;
    p.numCores = 4;
    const auto four = p.run();
    p.numCores = 1;
    EXPECT_TRUE(sameBits(p.run(), four));
}

// A run told to stop after k batches: the frames it reports done are the
// uninterrupted run's, bit for bit, the others are untouched, and the plan's
// next run is whole. On both kernels, with fewer frames in the last batch.
TEST(Parallel, StoppedRunKeepsItsFinishedFrames) {
    Problem p = ringProblem(40, 24, 400, 9);
    p.image_select = 3.0;
    p.numCores = 2;
    for (ReconKernel kernel : {ReconKernel::Scalar, ReconKernel::Vector}) {
        const ReconPlan plan(p.input(nullptr), kernel, 16);
        const int64_t batch = plan.batchFrames();
        const int frames = (int)(3 * batch + 2);
        const std::vector<double> stack = frameStack(p, frames, 5);
        const std::vector<double> whole = runStack(p, stack, frames, kernel);
        const size_t pixels = (size_t)p.n * p.n;
        const double untouched = -7.25;
        for (int64_t k = 0; k <= 4; ++k) {
            const int64_t want = std::min<int64_t>(std::max<int64_t>(k, 1) * batch, frames);
            std::vector<double> images(pixels * frames, untouched);
            std::fill(images.begin(), images.begin() + (ptrdiff_t)(want * pixels), 0.0);
            std::vector<int64_t> reports;
            const int64_t done =
                plan.run(stack.data(), frames, images.data(), [&](int64_t d, int64_t total) {
                    EXPECT_EQ(total, frames);
                    reports.push_back(d);
                    return (int64_t)reports.size() < k;
                });
            EXPECT_EQ(done, want) << reconKernelName(kernel) << " k=" << k;
            ASSERT_EQ(reports.size(), (size_t)std::max<int64_t>(k, 1));
            EXPECT_EQ(reports.back(), done);
            const size_t cut = (size_t)done * pixels;
            EXPECT_EQ(std::memcmp(images.data(), whole.data(), cut * sizeof(double)), 0)
                << reconKernelName(kernel) << " k=" << k;
            for (size_t e = cut; e < images.size(); ++e)
                ASSERT_EQ(images[e], untouched) << "element " << e << " k=" << k;
        }
        std::vector<double> again(pixels * frames, 0.0);
        plan.run(stack.data(), frames, again.data());
        EXPECT_TRUE(sameBits(again, whole)) << reconKernelName(kernel);
    }
}

// A signal matrix of 2^31 elements and more: the sensor at s * rows >= 2^31
// must be read where it is. The matrix is reserved, not committed; only the
// few pages the lookups touch are ever backed by memory.
TEST(Kernel, SignalMatrixBeyond32BitIndices) {
    const int32_t rows = 1 << 29, cols = 5;
    const size_t bytes = (size_t)rows * cols * sizeof(double);
    const size_t tbytes = (size_t)rows * sizeof(double);
    void* mem = lazyZeroed(bytes);
    void* tmem = mem ? lazyZeroed(tbytes) : nullptr;
    if (!tmem) {
        if (mem) releaseLazy(mem, bytes);
        GTEST_SKIP() << "cannot reserve " << bytes + tbytes << " bytes";
    }
    double* sig = static_cast<double*>(mem);
    double* t = static_cast<double*>(tmem);
    t[0] = 1.0;  // fs = c = 1: q = 0, Y = distance
    t[1] = 2.0;
    t[5] = 6.0;
    // All sensors 5 away from the single pixel (1, -1): sample 5 everywhere.
    std::vector<double> x(cols, 4.0), y(cols, 3.0), z(cols, 0.0);
    for (int s = 0; s < cols; ++s) {
        sig[(size_t)s * rows + 5] = s + 1.0;
        sig[(size_t)s * rows + 6] = 10.0 * (s + 1.0);
    }
    sig[(size_t)4 * rows + 5] = 1000.0;
    for (double sel : {1.0, 3.0}) {
        Problem p;  // c = fs = image_width = 1, one thread
        p.rows = rows;
        p.cols = cols;
        p.n = 1;
        p.image_select = sel;
        double image = 0.0;
        doRecon(p.inputOver(sig, x.data(), y.data(), z.data(), t, &image));
        if (sel == 1.0) {
            EXPECT_EQ(image, 1.0 + 2.0 + 3.0 + 4.0 + 1000.0);
        } else {
            double expect = 0.0;
            for (int s = 0; s < cols; ++s) {
                const double a = sig[(size_t)s * rows + 5], b = sig[(size_t)s * rows + 6];
                expect = (expect + a) - (6.0 * (b - a));
            }
            EXPECT_EQ(image, expect);
        }
    }
    releaseLazy(mem, bytes);
    releaseLazy(tmem, tbytes);
}

TEST(Check, AcceptsAValidRequestAndNamesEachFault) {
    Problem p = workedExample(1.0);
    std::vector<double> image(4);
    const ReconInput in = p.input(image.data());
    const ReconExtents ext = p.extents();  // 12, 2, 2, 2, 6, 4
    EXPECT_EQ(checkReconInput(in, ext), "");

    auto fault = [&](auto change) {
        ReconInput i2 = in;
        ReconExtents e2 = ext;
        change(i2, e2);
        return checkReconInput(i2, e2);
    };
    EXPECT_EQ(fault([](ReconInput& i, ReconExtents&) { i.rows = 1; }),
              "sigMat must have at least two rows (time samples)");
    EXPECT_EQ(fault([](ReconInput&, ReconExtents& e) { e.t = 5; }),
              "t must have at least as many elements as sigMat has rows");
    EXPECT_EQ(fault([](ReconInput&, ReconExtents& e) { e.x_sensor = 1; }),
              "x_sensor must have at least as many elements as sigMat has columns");
    EXPECT_EQ(fault([](ReconInput&, ReconExtents& e) { e.y_sensor = 0; }),
              "y_sensor must have at least as many elements as sigMat has columns");
    EXPECT_EQ(fault([](ReconInput&, ReconExtents& e) { e.z_sensor = 1; }),
              "z_sensor must have at least as many elements as sigMat has columns");
    EXPECT_EQ(fault([](ReconInput&, ReconExtents& e) { e.sigMat = 11; }),
              "sigMat has fewer elements than rows times columns");
    EXPECT_EQ(fault([](ReconInput& i, ReconExtents&) { i.n = -1; }), "n must not be negative");
    EXPECT_EQ(fault([](ReconInput& i, ReconExtents& e) {
                  i.n = 46341;  // 46341^2 > 2^31 - 1
                  e.Recon = (int64_t)46341 * 46341;
              }),
              "n is too large: n*n must be less than 2^31");
    EXPECT_EQ(fault([](ReconInput& i, ReconExtents& e) {
                  i.n = 46340;
                  e.Recon = (int64_t)46340 * 46340;
              }),
              "");
    EXPECT_EQ(fault([](ReconInput&, ReconExtents& e) { e.Recon = 3; }),
              "Recon must have n*n elements");
    EXPECT_EQ(fault([](ReconInput& i, ReconExtents& e) {
                  i.cols = 0;
                  e.x_sensor = e.y_sensor = e.z_sensor = 0;
                  e.sigMat = 0;
              }),
              "");
}

}  // namespace

// The message table: placeholders are filled in order, a text too long for
// its buffer is cut and still terminated, and the hosts' shared rules (the
// 32-bit dimensions, counts truncated toward zero) give the table's texts.
TEST(Messages, FillCutAndSharedRules) {
    EXPECT_EQ(message(ReconMsg::Sparse, {"c"}), "c must be a full array, not sparse");
    EXPECT_EQ(message(ReconMsg::PlanMemory, {"3", "6", "5", "5"}),
              "out of memory: could not allocate the reconstruction plan (3 sensors, 6 samples, "
              "5 x 5 image)");
    EXPECT_EQ(message(ReconMsg::OptionValue, {"Progress"}), "the value of 'Progress' must be <what>");
    // Texts without placeholders are taken as they are, "<" and ">=" included.
    EXPECT_EQ(message(ReconMsg::FNumber), "FNumber must be a finite number >= 0 (0: no f-number)");
    char cut[8];
    std::memset(cut, 'x', sizeof cut);
    formatMessage(cut, sizeof cut, ReconMsg::Sparse, {"sigMat"});
    EXPECT_STREQ(cut, "sigMat ");

    EXPECT_EQ(checkSigMatSize(std::numeric_limits<int32_t>::max(), 0), "");
    EXPECT_EQ(checkSigMatSize(1, (int64_t)1 << 31), message(ReconMsg::TooLarge));
    EXPECT_EQ(checkSigMatSize(-1, 2), message(ReconMsg::NegativeDims));

    const double inf = std::numeric_limits<double>::infinity();
    const struct {
        double given;
        int32_t read;
    } counts[] = {{64.9, 64},        {-0.5, 0},          {-2.5, -2},
                  {std::nan(""), 0}, {inf, INT32_MAX},   {-inf, INT32_MIN},
                  {3e9, INT32_MAX},  {-3e9, INT32_MIN},  {2147483646.9, 2147483646}};
    for (const auto& c : counts) EXPECT_EQ(reconCount(c.given), c.read) << c.given;

    // Every text is written once.
    for (const ReconMessageEntry& a : kReconMessages)
        for (const ReconMessageEntry& b : kReconMessages)
            if (&a != &b) EXPECT_STRNE(a.text, b.text) << a.id << " and " << b.id;
}
