// The general beamformer: its definition checked by hand on small cases,
// tofimage's image reproduced bit for bit, the vector kernel against the
// scalar definition on random and tie-heavy requests for every instruction
// set this CPU runs (or those named in TOFIMAGE_TEST_TARGETS), and the
// messages of checkBeamformInput.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <functional>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "problem.h"
#include "recon.h"
#include "recon_beamform.h"
#include "recon_beamform_plan.h"

#ifdef TOFIMAGE_HAVE_HWY
#include "targets.h"
#endif

namespace {

const double kNaN = std::numeric_limits<double>::quiet_NaN();

// One sensor at the origin, facing +z, and a record of `rows` samples at
// c = fs = 1 from t = 0: a point at distance d reads position d.
BeamProblem oneSensor(int32_t rows, int32_t cols = 1) {
    BeamProblem b;
    b.p.rows = rows;
    b.p.cols = cols;
    b.p.x.assign(cols, 0.0);
    b.p.y.assign(cols, 0.0);
    b.p.z.assign(cols, 0.0);
    regularTimes(b.p, 0.0);
    b.p.sigMat.resize((size_t)rows * cols);
    for (size_t i = 0; i < b.p.sigMat.size(); ++i)
        b.p.sigMat[i] = (double)(i % rows) * (double)(i % rows) + 1.0;
    return b;
}

void onePoint(BeamProblem& b, double x, double y, double z) {
    b.X = {x};
    b.Y = {y};
    b.Z = {z};
}

// ------------------------------------------------------------------ identity

// tofimage's image, bit for bit: nearest, sample_offset 1, das, terms 1 and
// 2, on its grid, where every position lies inside the record (and below
// its last sample, where tofimage's derivative reads the next column).
TEST(Beamform, ReproducesTofimage) {
    for (double term : {1.0, 2.0}) {
        BeamProblem b;
        b.p = ringProblem(24, 64, 2030, 7);
        b.p.image_select = term;
        b.p.sigMat[5] = kNaN;
        gridPoints(b.p, b);
        b.opts.interp = BeamInterp::Nearest;
        b.opts.term = term == 1.0 ? BeamTerm::Signal : BeamTerm::Derivative;
        b.opts.sample_offset = 1.0;
        const std::vector<double> want = b.p.run(ReconKernel::Scalar);
        std::string why;
        for (ReconKernel kernel : {ReconKernel::Scalar, ReconKernel::Vector})
            EXPECT_TRUE(sameImage(want, b.run(kernel), &why))
                << "term " << term << ", kernel " << (int)kernel << ": " << why;
    }
}

// ------------------------------------------------------- definition by hand

TEST(Beamform, LinearInterpolationUpToTheLastSample) {
    BeamProblem b = oneSensor(5);  // samples 1, 2, 5, 10, 17
    for (const auto& [d, want] : std::vector<std::pair<double, double>>{
             {0.0, 1.0}, {0.25, 1.25}, {2.5, 7.5}, {3.75, 15.25}, {4.0, 17.0}}) {
        onePoint(b, 0.0, 0.0, d);
        EXPECT_EQ(b.run(ReconKernel::Scalar)[0], want) << "position " << d;
    }
    // Beyond the last sample, or before the first: left out, not clamped.
    for (double d : {4.0000001, 7.0}) {
        onePoint(b, 0.0, 0.0, d);
        EXPECT_EQ(b.run(ReconKernel::Scalar)[0], 0.0) << "position " << d;
    }
    b.opts.sample_offset = 0.5;  // position d + 0.5
    onePoint(b, 0.0, 0.0, 3.5);
    EXPECT_EQ(b.run(ReconKernel::Scalar)[0], 17.0);
    b.opts.sample_offset = -0.5;  // position d - 0.5
    onePoint(b, 0.0, 0.0, 0.25);
    EXPECT_EQ(b.run(ReconKernel::Scalar)[0], 0.0);  // -0.25: left out
    b.opts.interp = BeamInterp::Nearest;            // but rounds to sample 0
    EXPECT_EQ(b.run(ReconKernel::Scalar)[0], 1.0);
    onePoint(b, 0.0, 0.0, 2.0);  // position 1.5: half away from zero, sample 2
    EXPECT_EQ(b.run(ReconKernel::Scalar)[0], 5.0);
}

TEST(Beamform, TermsWithZeroDerivativeAtTheColumnEnd) {
    BeamProblem b = oneSensor(5, 2);  // t = 0 .. 4, invDt 1
    b.opts.interp = BeamInterp::Nearest;
    onePoint(b, 0.0, 0.0, 4.0);  // the last sample of both columns
    b.opts.term = BeamTerm::Derivative;
    EXPECT_EQ(b.run(ReconKernel::Scalar)[0], 0.0);
    b.opts.term = BeamTerm::Difference;
    EXPECT_EQ(b.run(ReconKernel::Scalar)[0], 34.0);
    onePoint(b, 0.0, 0.0, 2.0);  // D_2 = t_2 * (9 - 4) = 10 in each column
    b.opts.term = BeamTerm::Derivative;
    EXPECT_EQ(b.run(ReconKernel::Scalar)[0], 20.0);
    b.opts.term = BeamTerm::Difference;
    EXPECT_EQ(b.run(ReconKernel::Scalar)[0], -10.0);
}

TEST(Beamform, CoherenceFactorAndDmas) {
    BeamProblem b = oneSensor(5, 2);
    b.p.sigMat = {0, 4, 0, 0, 0, 0, -9, 0, 0, 0};  // at position 1: 4 and -9
    b.opts.interp = BeamInterp::Nearest;
    onePoint(b, 0.0, 1.0, 0.0);
    const std::pair<Beamformer, double> cases[] = {
        {Beamformer::Das, -5.0},
        {Beamformer::Cf, 25.0 / (2.0 * 97.0)},
        {Beamformer::DasCf, -5.0 * (25.0 / 194.0)},
        {Beamformer::Dmas, -6.0},  // sign(4 * -9) sqrt(36)
        {Beamformer::Sdmas, 6.0},  // sign(-5) * -6
    };
    for (const auto& [beamformer, want] : cases) {
        b.opts.beamformer = beamformer;
        EXPECT_DOUBLE_EQ(b.run(ReconKernel::Scalar)[0], want) << (int)beamformer;
    }
    // No contributing sensor: CF is 0, not NaN.
    b.weights = {0.0, 0.0};
    b.opts.beamformer = Beamformer::Cf;
    EXPECT_EQ(b.run(ReconKernel::Scalar)[0], 0.0);
}

TEST(Beamform, WindowsMatchTheirFormulas) {
    for (double F : {0.5, 1.5, 4.0}) {
        const double thetaMax = std::atan(1.0 / (2.0 * F));
        EXPECT_NEAR(beamAcos((2.0 * F) / std::sqrt(4.0 * (F * F) + 1.0)), thetaMax, 1e-15);
    }
    for (int i = 0; i <= 1000; ++i) {
        const double c = i / 1000.0, x = i / 1000.0;
        EXPECT_NEAR(beamAcos(c), std::acos(c), 1e-15) << c;
        EXPECT_NEAR(beamCos(x * kPi / 2), std::cos(x * kPi / 2), 1e-15) << x;
        EXPECT_NEAR(beamWindowAt(BeamWindow::Hann, x), 0.5 * (1.0 + std::cos(kPi * x)), 1e-12);
        const double tukey = x <= 0.5 ? 1.0 : 0.5 * (1.0 + std::cos(kPi * (x - 0.5) / 0.5));
        EXPECT_NEAR(beamWindowAt(BeamWindow::Tukey, x), tukey, 1e-12) << x;
    }
    EXPECT_EQ(beamWindowAt(BeamWindow::Hann, 1.0), 0.0);
    EXPECT_EQ(beamWindowAt(BeamWindow::Box, 0.7), 1.0);
}

// The f-number's acceptance: cos(theta) >= cos(theta_max), exactly at the
// edge included; weights scale and silence sensors.
TEST(Beamform, ApodizationAcceptsUpToTheMaximumAngle) {
    BeamProblem b = oneSensor(64);
    b.opts.interp = BeamInterp::Nearest;
    b.opts.fnumber = 2.0;  // cos(theta_max) = 4 / sqrt(17): tan = 1/4
    b.normals = {0.0, 0.0, 5.0};
    onePoint(b, 4.0, 0.0, 16.0);  // tan(theta) = 1/4 exactly, d = sqrt(272)
    const double d = std::sqrt(272.0);
    const double cosT = (5.0 / 5.0 * 16.0) / d;
    const double cosMax = 4.0 / std::sqrt(17.0);
    ASSERT_EQ(cosT >= cosMax, true) << "the edge case is not exactly at the edge";
    EXPECT_EQ(b.run(ReconKernel::Scalar)[0], 257.0);  // sample 16
    onePoint(b, 4.01, 0.0, 16.0);
    EXPECT_EQ(b.run(ReconKernel::Scalar)[0], 0.0);
    onePoint(b, 0.0, 0.0, 0.0);  // at the sensor: accepted, theta 0
    EXPECT_EQ(b.run(ReconKernel::Scalar)[0], 1.0);
    b.opts.window = BeamWindow::Hann;
    onePoint(b, 4.0, 0.0, 16.0);  // the window is 0 at the edge
    EXPECT_NEAR(b.run(ReconKernel::Scalar)[0], 0.0, 1e-12);
    onePoint(b, 2.0, 0.0, 16.0);  // d = sqrt(260): sample 16
    const double x = std::atan(2.0 / 16.0) / std::atan(0.25);
    EXPECT_NEAR(b.run(ReconKernel::Scalar)[0], 0.5 * (1.0 + std::cos(kPi * x)) * 257.0, 1e-9);
    b.weights = {-0.5};
    b.opts.window = BeamWindow::Box;
    EXPECT_EQ(b.run(ReconKernel::Scalar)[0], -128.5);
}

// The envelope of a cosine is its amplitude: |analytic signal| = 3.
TEST(Beamform, EnvelopeOfACosine) {
    BeamProblem b = oneSensor(64, 2);
    for (int s = 0; s < 2; ++s)
        for (int i = 0; i < 64; ++i)
            b.p.sigMat[s * 64 + i] = 1.5 * std::cos(2 * kPi * 4 * i / 64.0);
    b.opts.envelope = true;
    for (BeamInterp interp : {BeamInterp::Linear, BeamInterp::Nearest}) {
        b.opts.interp = interp;
        onePoint(b, 0.0, 3.0, 0.0);
        EXPECT_NEAR(b.run(ReconKernel::Scalar, directDft)[0], 3.0, 1e-12);
    }
    onePoint(b, 0.0, 10.25, 0.0);
    EXPECT_NEAR(b.run(ReconKernel::Scalar, directDft)[0], 3.0, 1e-12);
    // Without a transform nothing is computed.
    EXPECT_TRUE(std::isnan(b.run(ReconKernel::Scalar)[0]));
}

// Progress after each batch; a stop leaves the later frames' images as
// they were.
TEST(Beamform, ProgressAndStop) {
    BeamProblem b = oneSensor(16, 3);
    onePoint(b, 0.0, 0.0, 2.5);
    const int64_t frames = 20;
    std::vector<double> stack;  // finite samples: a NaN image is one not written
    for (int64_t f = 0; f < frames; ++f)
        stack.insert(stack.end(), b.p.sigMat.begin(), b.p.sigMat.end());
    std::vector<double> image(frames, kNaN);
    const BeamformPlan plan(b.input(nullptr, nullptr), ReconKernel::Best);
    std::vector<int64_t> calls;
    const int64_t done = plan.run(stack.data(), frames, image.data(), [&](int64_t d, int64_t n) {
        calls.push_back(d);
        return n == frames && calls.size() < 2;
    });
    const int64_t batch = plan.batchFrames();
    ASSERT_EQ(done, std::min(frames, 2 * batch));
    EXPECT_EQ(calls.size(), 2u);
    for (int64_t f = 0; f < frames; ++f)
        EXPECT_EQ(std::isnan(image[f]), f >= done) << "frame " << f;
}

// A request without points (their arrays null) forms its frames' empty
// images and reads no point.
TEST(Beamform, NoPoints) {
    const BeamProblem b = oneSensor(4);
    for (ReconKernel kernel : {ReconKernel::Scalar, ReconKernel::Best}) {
        BeamformInput in = b.input(b.p.sigMat.data(), nullptr);
        in.X = in.Y = in.Z = nullptr;
        in.points = 0;
        EXPECT_EQ(doBeamform(in, 1, kernel), 1);
    }
}

// ---------------------------------------------------------------- messages

TEST(Beamform, CheckNamesTheArgument) {
    BeamProblem good = oneSensor(8, 3);
    onePoint(good, 1.0, 2.0, 3.0);
    std::vector<double> image(1);
    EXPECT_EQ(
        checkBeamformInput(good.input(good.p.sigMat.data(), image.data()), good.extents(1), 1), "");
    struct Bad {
        const char* want;
        std::function<void(BeamProblem&, BeamformExtents&, int64_t&)> spoil;
    };
    const Bad cases[] = {
        {"sigMat must have at least two rows",
         [](BeamProblem& b, BeamformExtents&, int64_t&) { b.p.rows = 1; }},
        {"sigMat has fewer elements",
         [](BeamProblem&, BeamformExtents& e, int64_t&) { e.sigMat -= 1; }},
        {"the number of frames", [](BeamProblem&, BeamformExtents&, int64_t& f) { f = -1; }},
        {"sigMat has too many frames",
         [](BeamProblem&, BeamformExtents&, int64_t& f) { f = int64_t{1} << 60; }},
        {"y_sensor must have", [](BeamProblem&, BeamformExtents& e, int64_t&) { e.y_sensor = 2; }},
        {"z_sensor must be finite",
         [](BeamProblem& b, BeamformExtents&, int64_t&) { b.p.z[1] = kNaN; }},
        {"X must be finite", [](BeamProblem& b, BeamformExtents&, int64_t&) { b.X[0] = HUGE_VAL; }},
        {"Z must have", [](BeamProblem&, BeamformExtents& e, int64_t&) { e.Z = 0; }},
        {"t must have", [](BeamProblem&, BeamformExtents& e, int64_t&) { e.t = 7; }},
        {"c must be", [](BeamProblem& b, BeamformExtents&, int64_t&) { b.p.c = 0.0; }},
        {"fs must be", [](BeamProblem& b, BeamformExtents&, int64_t&) { b.p.fs = kNaN; }},
        {"FNumber must be",
         [](BeamProblem& b, BeamformExtents&, int64_t&) { b.opts.fnumber = -1.0; }},
        {"FNumber must be",
         [](BeamProblem& b, BeamformExtents&, int64_t&) { b.opts.fnumber = kNaN; }},
        {"FNumber needs Normals",
         [](BeamProblem& b, BeamformExtents&, int64_t&) { b.opts.fnumber = 1.0; }},
        {"Normals: the normal of sensor 2 has zero",
         [](BeamProblem& b, BeamformExtents& e, int64_t&) {
             b.opts.fnumber = 1.0;
             b.normals = {0, 0, 0, 0, 0, 0, 1, 0, 1};
             e.normals = 9;
         }},
        {"Weights must have",
         [](BeamProblem& b, BeamformExtents& e, int64_t&) {
             b.weights = {1, 1};
             e.weights = 2;
         }},
        {"Envelope works with the 'das' beamformer only",
         [](BeamProblem& b, BeamformExtents&, int64_t&) {
             b.opts.envelope = true;
             b.opts.beamformer = Beamformer::Dmas;
         }},
        {"the image must have one element",
         [](BeamProblem&, BeamformExtents& e, int64_t&) { e.image = 2; }},
    };
    for (const Bad& c : cases) {
        BeamProblem b = good;
        BeamformExtents e = b.extents(1);
        int64_t frames = 1;
        c.spoil(b, e, frames);
        const std::string got =
            checkBeamformInput(b.input(b.p.sigMat.data(), image.data()), e, frames);
        EXPECT_EQ(got.rfind(c.want, 0), 0u) << "want \"" << c.want << "\", got \"" << got << "\"";
    }
}

TEST(Beamform, ChoicesByName) {
    BeamformOptions o;
    EXPECT_EQ(setBeamformChoice(o, "Beamformer", "DAS-CF"), "");
    EXPECT_EQ(o.beamformer, Beamformer::DasCf);
    EXPECT_EQ(setBeamformChoice(o, "term", "3"), "");
    EXPECT_EQ(o.term, BeamTerm::Difference);
    EXPECT_EQ(setBeamformChoice(o, "interp", "Nearest"), "");
    EXPECT_EQ(o.interp, BeamInterp::Nearest);
    EXPECT_EQ(setBeamformChoice(o, "window", "tukey"), "");
    EXPECT_EQ(o.window, BeamWindow::Tukey);
    EXPECT_NE(setBeamformChoice(o, "window", "hamming").find("'box', 'hann' or 'tukey'"),
              std::string::npos);
    EXPECT_NE(setBeamformChoice(o, "colour", "red").find("unknown option"), std::string::npos);
}

// -------------------------------------------- vector kernel against scalar

#ifdef TOFIMAGE_HAVE_HWY

// A random request of one option combination. Tie-heavy ones put sensors
// and points on a lattice with c = fs = 1, so that positions fall exactly on
// samples, on half-way ties and on the record's edges; wild ones scatter
// points in 3-D around sensors in any direction. A third of them put every
// sensor and point in one plane z = const (the kernels' 2-D path). Signals
// carry NaNs and infinities now and then.
BeamProblem randomRequest(std::mt19937_64& rng, bool ties, const BeamformOptions& opts) {
    std::uniform_real_distribution<double> u(0.0, 1.0);
    BeamProblem b;
    Problem& p = b.p;
    p.rows = 2 + (int32_t)(rng() % (ties ? 40 : 200));
    p.cols = 1 + (int32_t)(rng() % 24);
    p.c = ties ? 1.0 : 1.0 + 3.0 * u(rng);
    p.fs = ties ? 1.0 : 2.0 + 20.0 * u(rng);
    regularTimes(p, ties ? 0.0 : u(rng) - 0.5);
    const bool flat = rng() % 3 == 0;
    const double plane = rng() % 2 ? 0.0 : ties ? -2.0 : u(rng) - 0.5;
    for (int32_t s = 0; s < p.cols; ++s) {
        const double lattice = ties ? 1.0 : 0.0;
        const auto coord = [&] {
            return lattice ? (double)(int)(rng() % 9) - 4.0 : 10.0 * u(rng) - 5.0;
        };
        p.x.push_back(coord());
        p.y.push_back(coord());
        p.z.push_back(flat ? plane : rng() % 3 ? 0.0 : coord());
    }
    p.sigMat.resize((size_t)p.rows * p.cols);
    std::normal_distribution<double> normal;
    for (double& v : p.sigMat) {
        const unsigned r = (unsigned)(rng() % 400);
        v = r == 0 ? kNaN : r == 1 ? INFINITY : r == 2 ? -0.0 : normal(rng);
    }
    // Points: runs of neighbours along a line, as a grid's columns are.
    const int64_t points = 1 + (int64_t)(rng() % 150);
    const double step = ties ? 0.25 * (double)(1 + rng() % 4) : 0.05 + u(rng);
    double x = 0, y = 0, z = 0;
    for (int64_t i = 0; i < points; ++i) {
        if (i % 16 == 0) {
            x = ties ? (double)(int)(rng() % 9) - 4.0 : 20.0 * u(rng) - 10.0;
            y = ties ? (double)(int)(rng() % 9) - 4.0 : 20.0 * u(rng) - 10.0;
            z = ties ? (double)(int)(rng() % 5) : 10.0 * u(rng) - 5.0;
        }
        b.X.push_back(x + step * (double)(i % 16));
        b.Y.push_back(y);
        b.Z.push_back(flat ? plane : z);
    }
    b.opts = opts;
    b.opts.sample_offset = rng() % 3 == 0 ? 1.0 : rng() % 2 ? 0.0 : u(rng) * 4.0 - 2.0;
    if (opts.fnumber > 0.0) {
        b.opts.fnumber = rng() % 4 == 0 ? 0.5 : 0.2 + 2.0 * u(rng);
        b.normals.resize(3 * (size_t)p.cols);
        for (double& n : b.normals) n = ties ? (double)(int)(rng() % 3) - 1.0 : u(rng) - 0.5;
        for (int32_t s = 0; s < p.cols; ++s)  // no zero normal
            if (b.normals[s] == 0 && b.normals[s + p.cols] == 0 && b.normals[s + 2 * p.cols] == 0)
                b.normals[s + 2 * p.cols] = 1.0;
    }
    if (opts.weights != nullptr) {
        for (int32_t s = 0; s < p.cols; ++s)
            b.weights.push_back(rng() % 4 == 0 ? 0.0 : rng() % 2 ? 1.0 : u(rng) * 2.0 - 0.5);
    }
    return b;
}

class BeamformVector : public ::testing::TestWithParam<int64_t> {
protected:
    void SetUp() override { hwy::SetSupportedTargetsForTest(GetParam()); }
    void TearDown() override { hwy::SetSupportedTargetsForTest(0); }
};

TEST_P(BeamformVector, RunsTheTargetUnderTest) {
    BeamProblem b = oneSensor(4);
    onePoint(b, 0, 0, 1);
    const int64_t target = GetParam();
    const std::string want =
        target == HWY_SCALAR || target == HWY_EMU128 ? "scalar" : hwy::TargetName(target);
    EXPECT_EQ(BeamformPlan(b.input(nullptr, nullptr), ReconKernel::Vector).kernelName(), want);
    EXPECT_STREQ(BeamformPlan(b.input(nullptr, nullptr), ReconKernel::Scalar).kernelName(),
                 "scalar");
}

// Every option combination: 3 terms x 2 interpolations x (5 beamformers +
// the envelope) x (no f-number, or one with each window) x (weights or not).
std::vector<BeamformOptions> allCombinations() {
    static const double someWeights = 1.0;  // only whether there are any
    std::vector<BeamformOptions> all;
    for (int term = 1; term <= 3; ++term)
        for (BeamInterp interp : {BeamInterp::Nearest, BeamInterp::Linear})
            for (int bf = -1; bf <= (int)Beamformer::Sdmas; ++bf)  // -1: das with envelope
                for (int window = -1; window <= (int)BeamWindow::Tukey; ++window)  // -1: no F
                    for (bool weights : {false, true}) {
                        BeamformOptions o;
                        o.term = (BeamTerm)term;
                        o.interp = interp;
                        o.beamformer = bf < 0 ? Beamformer::Das : (Beamformer)bf;
                        o.envelope = bf < 0;
                        o.fnumber = window < 0 ? 0.0 : 1.0;
                        o.window = window < 0 ? BeamWindow::Box : (BeamWindow)window;
                        o.weights = weights ? &someWeights : nullptr;
                        all.push_back(o);
                    }
    return all;
}

// The vector kernel's images of a stack of `frames` frames and of its first
// frame alone, on 1 and 2 threads, and the scalar definition's image of the
// stack, against the scalar definition's images of each frame alone.
void expectSameAsDefinition(BeamProblem b, int64_t frames, unsigned seed, const std::string& name) {
    const std::vector<double> stack = frameStack(b.p, (int)frames, seed);
    const size_t frameSize = b.p.sigMat.size(), points = b.X.size();
    std::vector<double> want;
    for (int64_t f = 0; f < frames; ++f) {
        const std::vector<double> one =
            b.run(ReconKernel::Scalar, directDft, stack.data() + f * frameSize);
        want.insert(want.end(), one.begin(), one.end());
    }
    const std::vector<double> first(want.begin(), want.begin() + points);
    std::string why;
    EXPECT_TRUE(sameImage(want, b.run(ReconKernel::Scalar, directDft, stack.data(), frames), &why))
        << name << ", scalar stack: " << why;
    for (int32_t threads : {1, 2}) {
        if (threads > 1 && reconTeamSize(threads) < threads) continue;
        b.p.numCores = threads;
        EXPECT_TRUE(
            sameImage(want, b.run(ReconKernel::Vector, directDft, stack.data(), frames), &why))
            << name << ", " << threads << " thread(s), stack of " << frames << ": " << why;
        EXPECT_TRUE(sameImage(first, b.run(ReconKernel::Vector, directDft, stack.data(), 1), &why))
            << name << ", " << threads << " thread(s), frame 0 alone: " << why;
    }
}

// Every option combination on a random and on a tie-heavy request, bit for
// bit (any NaN matching any NaN).
TEST_P(BeamformVector, SameAsScalarDefinition) {
    std::mt19937_64 rng(34);
    const std::vector<BeamformOptions> all = allCombinations();
    ASSERT_EQ(all.size(), 288u);
    for (size_t c = 0; c < all.size(); ++c) {
        const bool ties = c % 2 == 0;
        const BeamProblem b = randomRequest(rng, ties, all[c]);
        const int64_t frames = 1 + (int64_t)(rng() % (all[c].envelope ? 3 : 11));
        expectSameAsDefinition(b, frames, (unsigned)rng(),
                               "case " + std::to_string(c) + (ties ? " (ties)" : " (wild)"));
    }
}

TEST(Targets, NamedTargetsAreUnderTest) { expectNamedTargetsUnderTest(); }

INSTANTIATE_TEST_SUITE_P(Targets, BeamformVector, ::testing::ValuesIn(compiledTargets()),
                         targetName);

#endif

}  // namespace
