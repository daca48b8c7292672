// The general beamformer: its definition checked by hand on small cases,
// tofimage's image reproduced bit for bit, the vector kernel against the
// scalar definition on random and tie-heavy requests for every instruction
// set this CPU runs (or those named in TOFIMAGE_TEST_TARGETS), and the
// messages of checkBeamformInput.
#include <gtest/gtest.h>

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

// The host's transform, as a direct sum: slow and plainly right.
bool directDft(std::complex<double>* data, int64_t length, int64_t count, bool inverse) {
    const double sign = inverse ? 1.0 : -1.0;
    std::vector<std::complex<double>> out((size_t)length);
    for (int64_t c = 0; c < count; ++c) {
        std::complex<double>* x = data + c * length;
        for (int64_t k = 0; k < length; ++k) {
            std::complex<double> sum = 0.0;
            for (int64_t j = 0; j < length; ++j)
                sum += x[j] * std::polar(1.0, sign * 2.0 * M_PI * (double)((j * k) % length) /
                                                  (double)length);
            out[(size_t)k] = inverse ? sum / (double)length : sum;
        }
        std::copy(out.begin(), out.end(), x);
    }
    return true;
}

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
    for (size_t i = 0; i < b.p.sigMat.size(); ++i) b.p.sigMat[i] = (double)(i % rows) * (double)(i % rows) + 1.0;
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
        EXPECT_NEAR(beamCos(x * M_PI / 2), std::cos(x * M_PI / 2), 1e-15) << x;
        EXPECT_NEAR(beamWindowAt(BeamWindow::Hann, x), 0.5 * (1.0 + std::cos(M_PI * x)), 1e-12);
        const double tukey = x <= 0.5 ? 1.0 : 0.5 * (1.0 + std::cos(M_PI * (x - 0.5) / 0.5));
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
    EXPECT_NEAR(b.run(ReconKernel::Scalar)[0], 0.5 * (1.0 + std::cos(M_PI * x)) * 257.0, 1e-9);
    b.weights = {-0.5};
    b.opts.window = BeamWindow::Box;
    EXPECT_EQ(b.run(ReconKernel::Scalar)[0], -128.5);
}

// The envelope of a cosine is its amplitude: |analytic signal| = 3.
TEST(Beamform, EnvelopeOfACosine) {
    BeamProblem b = oneSensor(64, 2);
    for (int s = 0; s < 2; ++s)
        for (int i = 0; i < 64; ++i) b.p.sigMat[s * 64 + i] = 1.5 * std::cos(2 * M_PI * 4 * i / 64.0);
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

// ---------------------------------------------------------------- messages

TEST(Beamform, CheckNamesTheArgument) {
    BeamProblem good = oneSensor(8, 3);
    onePoint(good, 1.0, 2.0, 3.0);
    std::vector<double> image(1);
    EXPECT_EQ(checkBeamformInput(good.input(good.p.sigMat.data(), image.data()),
                                 good.extents(1), 1),
              "");
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
        {"X must be finite",
         [](BeamProblem& b, BeamformExtents&, int64_t&) { b.X[0] = HUGE_VAL; }},
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

}  // namespace
