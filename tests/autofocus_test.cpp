// The speed-of-sound search (recon_autofocus.h): it finds the speed of a
// synthetic ring scan by every method, the analytic score does not move when
// the pulse's phase turns (as between 2-D and 3-D propagation), results are
// the same bit for bit on any thread count, and bad requests are refused.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <vector>

#include "problem.h"
#include "recon_autofocus.h"

namespace {

constexpr double kTrueC = 1520.0;

// A ring of 64 sensors (radius 20 mm) around a point absorber at (1, 2) mm
// whose pulse is a Gaussian-modulated 4 MHz carrier turned by `phase`:
// exp(-tau^2 / 2 sigma^2) cos(w0 tau + phase), tau the time after arrival.
// With sigma 300 ns its spectrum has no negative-frequency part to 1e-12,
// so that its analytic signal turns with the phase and keeps its magnitude.
struct RingScan {
    int32_t rows = 1200, cols = 64;
    double fs = 40e6;
    std::vector<double> sig, x, y, z, t;
    // tail: a 2-D wave's, -tail / sqrt(1 + tau / sigma) after the arrival.
    explicit RingScan(double phase, double sigma = 150e-9, double tail = 0.0) {
        const double pi = 3.141592653589793, w0 = 2 * pi * 4e6;
        for (int32_t s = 0; s < cols; ++s) {
            x.push_back(0.02 * std::cos(2 * pi * s / cols));
            y.push_back(0.02 * std::sin(2 * pi * s / cols));
            z.push_back(0.0);
        }
        for (int32_t i = 0; i < rows; ++i) t.push_back(1e-6 + i / fs);
        for (int32_t s = 0; s < cols; ++s) {
            const double arrival = std::hypot(x[s] - 1e-3, y[s] - 2e-3) / kTrueC;
            for (int32_t i = 0; i < rows; ++i) {
                const double tau = t[i] - arrival;
                sig.push_back(std::exp(-tau * tau / (2 * sigma * sigma)) * std::cos(w0 * tau + phase) -
                              (tau > 0 ? tail / std::sqrt(1 + tau / sigma) : 0.0));
            }
        }
    }
    AutofocusInput request(AutofocusMethod method, bool analytic) const {
        AutofocusInput in;
        in.sigMat = sig.data();
        in.analytic = analytic;
        in.rows = rows;
        in.cols = cols;
        in.x_sensor = x.data();
        in.y_sensor = y.data();
        in.z_sensor = z.data();
        in.t = t.data();
        in.fs = fs;
        in.c_min = 1400;
        in.c_max = 1650;
        in.term = BeamTerm::Signal;
        const double roi[4] = {-4e-3, 4e-3, -4e-3, 4e-3};
        std::copy(roi, roi + 4, in.roi);
        in.search_n = 64;
        in.method = method;
        return in;
    }
};

TEST(Autofocus, FindsTheSpeedByEveryMethodAndScore) {
    const RingScan scan(0.0);
    for (AutofocusMethod m : {AutofocusMethod::Coherence, AutofocusMethod::Subaperture,
                              AutofocusMethod::Sharpness})
        for (bool analytic : {false, true}) {
            const AutofocusInput in = scan.request(m, analytic);
            ASSERT_EQ(checkAutofocusInput(in).message, "");
            const AutofocusResult r = autofocus(in, directDft);
            // The Brenner gradient of a signed image also rewards the
            // carrier's fringes: only its analytic form is held to 3 m/s.
            const double bound = m == AutofocusMethod::Sharpness && !analytic ? 25.0 : 3.0;
            EXPECT_LE(std::fabs(r.c - kTrueC), bound) << autofocusMethodName(m) << " analytic " << analytic;
            EXPECT_FALSE(r.edge);
            EXPECT_FALSE(r.limited_view);
            EXPECT_EQ(r.candidates.size(), r.scores.size());
            EXPECT_EQ(r.candidates.size(), r.levels.size());
            EXPECT_LE((int64_t)r.candidates.size(), autofocusMaxCandidates(in));
            // Level 0 spans c_range in 16 steps; each later level 9 steps.
            EXPECT_EQ(r.candidates[0], 1400.0);
            EXPECT_EQ(r.candidates[16], 1650.0);
        }
}

TEST(Autofocus, AnalyticScoreIgnoresThePulsePhase) {
    const RingScan plain(0.0, 300e-9), turned(-3.141592653589793 / 4, 300e-9);
    for (AutofocusMethod m : {AutofocusMethod::Coherence, AutofocusMethod::Subaperture}) {
        const AutofocusResult a = autofocus(plain.request(m, true), directDft);
        const AutofocusResult b = autofocus(turned.request(m, true), directDft);
        EXPECT_EQ(a.c, b.c) << autofocusMethodName(m);
        ASSERT_EQ(a.scores.size(), b.scores.size());
        for (size_t k = 0; k < a.scores.size(); ++k)
            EXPECT_NEAR(a.scores[k], b.scores[k], 1e-9 * std::fabs(a.scores[k]) + 1e-12);
    }
}

TEST(Autofocus, SeesTheTailOf2DWaves) {
    // Noise-free pulses leave the baseline as it was; a tail that stays
    // after them is seen, and said.
    const AutofocusResult spherical = autofocus(RingScan(0.0).request(AutofocusMethod::Coherence, true), directDft);
    EXPECT_FALSE(spherical.two_d);
    EXPECT_LT(std::fabs(spherical.tail_score), 1.0);
    const AutofocusResult cylindrical =
        autofocus(RingScan(0.0, 150e-9, 0.1).request(AutofocusMethod::Coherence, true), directDft);
    EXPECT_TRUE(cylindrical.two_d);
    EXPECT_LT(cylindrical.tail_score, -kAutofocusTail);
    EXPECT_TRUE(std::any_of(cylindrical.notes.begin(), cylindrical.notes.end(),
                            [](const std::string& n) { return n.rfind("2-D waves", 0) == 0; }));
}

TEST(Autofocus, SameResultOnEveryThreadCount) {
    const RingScan scan(0.3);
    for (bool analytic : {false, true}) {
        AutofocusInput in = scan.request(AutofocusMethod::Coherence, analytic);
        in.interp = BeamInterp::Linear;
        in.numCores = 1;
        const AutofocusResult one = autofocus(in, directDft);
        in.numCores = 2;
        const AutofocusResult two = autofocus(in, directDft);
        EXPECT_EQ(one.candidates, two.candidates);
        EXPECT_EQ(one.scores, two.scores);
    }
}

TEST(Autofocus, PixelGridAndImageField) {
    std::vector<double> x(5), y(5);
    reconPixelCoordinates(5, 0.005, x.data(), y.data());
    // n = 5: half = 2, so column 1 and row 1 sit on the axes.
    const std::vector<double> want = {-0.001, 0.0, 0.001, 0.002, 0.003};
    for (int k = 0; k < 5; ++k) {
        EXPECT_NEAR(x[k], want[k], 1e-18);
        EXPECT_NEAR(y[k], -want[k], 1e-18);
    }
    double roi[4];
    reconImageField(5, 0.005, roi);
    EXPECT_NEAR(roi[0], -0.0015, 1e-18);
    EXPECT_NEAR(roi[1], 0.0035, 1e-18);
    EXPECT_NEAR(roi[2], -0.0035, 1e-18);
    EXPECT_NEAR(roi[3], 0.0015, 1e-18);
}

TEST(Autofocus, RefusesBadRequests) {
    RingScan scan(0.0);
    // The argument at fault, as MATLAB's identifier names it, and the message.
    const auto message = [&](void (*spoil)(AutofocusInput&, RingScan&)) {
        AutofocusInput in = scan.request(AutofocusMethod::Coherence, false);
        spoil(in, scan);
        const AutofocusProblem p = checkAutofocusInput(in);
        return p.argument + ": " + p.message;
    };
    EXPECT_EQ(message([](AutofocusInput& in, RingScan&) { in.cols = 3; }),
              "sigMat: sigMat must have at least 2 rows (time samples) and 4 columns (sensors), not 1200 x 3");
    EXPECT_EQ(message([](AutofocusInput&, RingScan& s) { s.sig[7] = NAN; }),
              "sigMat: sigMat must be finite (no NaN or Inf)");
    scan.sig[7] = 0.0;
    EXPECT_EQ(message([](AutofocusInput& in, RingScan&) { in.c_max = in.c_min; }),
              "c_range: c_range must be [c_min c_max] with 0 < c_min < c_max, both finite");
    EXPECT_EQ(message([](AutofocusInput& in, RingScan&) { in.roi[1] = in.roi[0]; }),
              "roi: roi must be [x_min x_max y_min y_max], finite, with x_max > x_min and y_max > y_min");
    EXPECT_EQ(message([](AutofocusInput& in, RingScan&) { in.search_n = 15; }),
              "search_n: search_n must be a whole number of at least 16");
    const double t5 = scan.t[5];
    EXPECT_EQ(message([](AutofocusInput&, RingScan& s) { s.t[5] = INFINITY; }),
              "t: t must hold a finite time for each of the 1200 rows of sigMat");
    scan.t[5] = t5;
    EXPECT_EQ(message([](AutofocusInput& in, RingScan& s) {
                  in.term = BeamTerm::Difference;
                  s.t[1] = s.t[0];
              }),
              "t: t(2) must differ from t(1): the derivative term divides by it");
    // The analytic coherence scores the derivative term whatever the image's
    // term; the other scores that term itself.
    const auto equalTimes = [&](bool analytic) {
        AutofocusInput in = scan.request(AutofocusMethod::Coherence, analytic);
        in.term = BeamTerm::Signal;
        std::vector<double> t(scan.t);
        t[1] = t[0];
        in.t = t.data();
        return checkAutofocusInput(in).argument;
    };
    EXPECT_EQ(equalTimes(true), "t");
    EXPECT_EQ(equalTimes(false), "");
    EXPECT_EQ(message([](AutofocusInput& in, RingScan&) { in.resolution = 250.0 / std::ldexp(1.0, 45); }),
              "resolution: resolution must be at least (c_max - c_min) / 2^44 (or 0 for the default)");
    EXPECT_EQ(checkGridSize(46340), "");
    EXPECT_EQ(checkGridSize(46341), "n must be at least 1 and at most 46340");
    EXPECT_EQ(checkGridSize(0), "n must be at least 1 and at most 46340");
    AutofocusInput in = scan.request(AutofocusMethod::Coherence, true);
    // The analytic signal needs the host's fft: without one, or when it
    // fails, the search says so and tries nothing.
    EXPECT_TRUE(autofocus(in).fft_failed);
    const AutofocusResult failed =
        autofocus(in, [](std::complex<double>*, int64_t, int64_t, bool) { return false; });
    EXPECT_TRUE(failed.fft_failed);
    EXPECT_TRUE(failed.candidates.empty());
    EXPECT_EQ(setAutofocusMethod(in, "Subaperture"), "");
    EXPECT_EQ(in.method, AutofocusMethod::Subaperture);
    EXPECT_EQ(setAutofocusMethod(in, "focus"), "method must be 'coherence', 'subaperture' or 'sharpness'");
}

}  // namespace
