// What the engine's tests, fuzz target and benchmark share: test problems
// (owned arrays plus the ReconInput that points into them), the worked
// example, a ring scan, and image comparisons.
#ifndef TOFIMAGE_TESTS_PROBLEM_H
#define TOFIMAGE_TESTS_PROBLEM_H

#include <algorithm>
#include <complex>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "recon.h"
#include "recon_beamform.h"

// Pi rounded to double. kPi is POSIX, not C++17: MSVC and MinGW name it
// only when _USE_MATH_DEFINES comes before <cmath>.
constexpr double kPi = 3.14159265358979323846;

struct Problem {
    int32_t rows = 0, cols = 0, n = 0;
    std::vector<double> sigMat, x, y, z, t;
    double c = 1.0, image_select = 1.0, fs = 1.0, image_width = 1.0;
    int32_t numCores = 1;
    std::vector<double> start;  // the image on entry (the engine adds into it); empty: zeros

    // The request for this problem over the given arrays, which hold this
    // problem's values (a copy of them, or the very arrays), adding into image.
    ReconInput inputOver(const double* sigMatData, const double* xData, const double* yData,
                         const double* zData, const double* tData, double* image) const {
        ReconInput in;
        in.sigMat = sigMatData;
        in.rows = rows;
        in.cols = cols;
        in.n = n;
        in.x_sensor = xData;
        in.y_sensor = yData;
        in.z_sensor = zData;
        in.c = c;
        in.image_select = image_select;
        in.t = tData;
        in.fs = fs;
        in.image_width = image_width;
        in.numCores = numCores;
        in.Recon = image;
        return in;
    }

    // The request over this problem's own arrays, adding into image.
    ReconInput input(double* image) const {
        return inputOver(sigMat.data(), x.data(), y.data(), z.data(), t.data(), image);
    }

    // The element counts of this problem's arrays, for checkReconInput.
    ReconExtents extents() const {
        ReconExtents e;
        e.sigMat = (int64_t)sigMat.size();
        e.x_sensor = (int64_t)x.size();
        e.y_sensor = (int64_t)y.size();
        e.z_sensor = (int64_t)z.size();
        e.t = (int64_t)t.size();
        e.Recon = (int64_t)n * n;
        return e;
    }

    // Runs doRecon on a copy of the start image (zeros if there is none)
    // and returns it.
    std::vector<double> run(ReconKernel kernel = ReconKernel::Scalar) const {
        std::vector<double> image = start;
        if (image.empty()) image.assign((size_t)n * (size_t)n, 0.0);
        doRecon(input(image.data()), kernel);
        return image;
    }
};

// A stack of `frames` frames of p's shape, in MATLAB's rows x cols x frames
// layout: frame 0 holds p's own signals, each other frame a shuffled copy of
// them whose NaNs and infinities (where p has any) therefore lie elsewhere,
// with a few more of its own.
inline std::vector<double> frameStack(const Problem& p, int frames, unsigned seed) {
    std::mt19937_64 rng(seed);
    const size_t size = p.sigMat.size();
    std::vector<double> stack(p.sigMat);
    stack.reserve(size * (size_t)frames);
    const double specials[] = {NAN, INFINITY, -INFINITY};
    for (int f = 1; f < frames; ++f) {
        std::vector<double> frame(p.sigMat);
        std::shuffle(frame.begin(), frame.end(), rng);
        for (int k = 0; k < 3 && size > 0; ++k)
            if (rng() % 2) frame[rng() % size] = specials[rng() % 3];
        stack.insert(stack.end(), frame.begin(), frame.end());
    }
    return stack;
}

// The images of a stack on entry: p's start image (or zeros) for every frame.
inline std::vector<double> startImages(const Problem& p, int frames) {
    const size_t pixels = (size_t)p.n * (size_t)p.n;
    std::vector<double> images;
    for (int f = 0; f < frames; ++f) {
        if (p.start.empty())
            images.insert(images.end(), pixels, 0.0);
        else
            images.insert(images.end(), p.start.begin(), p.start.end());
    }
    return images;
}

// Images of every frame of a stack, one after another, each starting from
// p's start image: the stack in one call, or with `oneByOne`, each frame
// by its own doRecon.
inline std::vector<double> runStack(const Problem& p, const std::vector<double>& stack,
                                    int frames, ReconKernel kernel, bool oneByOne = false) {
    const size_t pixels = (size_t)p.n * (size_t)p.n;
    std::vector<double> images = startImages(p, frames);
    ReconInput in = p.inputOver(stack.data(), p.x.data(), p.y.data(), p.z.data(), p.t.data(),
                                images.data());
    if (!oneByOne) {
        doReconFrames(in, frames, kernel);
        return images;
    }
    for (int f = 0; f < frames; ++f) {
        in.sigMat = stack.data() + (size_t)f * p.sigMat.size();
        in.Recon = images.data() + (size_t)f * pixels;
        doRecon(in, kernel);
    }
    return images;
}

// Sample times t0 + i / fs, i = 0 .. rows - 1.
inline void regularTimes(Problem& p, double t0) {
    p.t.clear();
    for (int32_t i = 0; i < p.rows; ++i) p.t.push_back(t0 + i / p.fs);
}

// The worked example: n = 2, two sensors, six samples; every lookup stays
// below the last sample and pixel 1 hits an exact rounding tie.
inline Problem workedExample(double image_select) {
    Problem p;
    p.rows = 6;
    p.cols = 2;
    p.n = 2;
    p.image_width = 2.0;
    p.c = 1.0;
    p.fs = 1.0;
    p.t = {2, 3, 4, 5, 6, 7};
    p.x = {0.0, 2.0};
    p.y = {0.5, 2.0};
    p.z = {0.0, 0.0};
    p.sigMat = {10, 20, 30, 40, 50, 60, 0, 1, 4, 9, 16, 25};
    p.image_select = image_select;
    return p;
}

// The worked example's image for image_select 1, 2 and anything else,
// computed by hand; column-major, pixel (K, L) at K + 2 L.
inline std::vector<double> workedExampleImage(double image_select) {
    if (image_select == 1.0) return {14, 29, 11, 24};
    if (image_select == 2.0) return {40, 65, 29, 50};
    return {-26, -36, -18, -26};
}

// A ring of sensors of radius 40 mm around a 25 mm image, 40 MHz sampling
// from 1 us, c = 1500, random signals: every lookup lands inside the window,
// so the images are finite and non-trivial.
inline Problem ringProblem(int32_t n, int32_t cols, int32_t rows, unsigned seed) {
    Problem p;
    p.rows = rows;
    p.cols = cols;
    p.n = n;
    p.c = 1500.0;
    p.fs = 40e6;
    p.image_width = 0.025;
    const double radius = 0.04;
    for (int32_t s = 0; s < cols; ++s) {
        const double a = 2.0 * kPi * s / cols;
        p.x.push_back(radius * std::cos(a));
        p.y.push_back(radius * std::sin(a));
        p.z.push_back(0.0);
    }
    regularTimes(p, 1e-6);
    std::mt19937_64 rng(seed);
    std::normal_distribution<double> normal;
    p.sigMat.resize((size_t)rows * cols);
    for (double& v : p.sigMat) v = normal(rng);
    return p;
}

// Bitwise equality of two arrays (NaNs compare by bits too): one kernel on
// different thread counts, or a request written and read back.
inline bool sameBits(const std::vector<double>& a, const std::vector<double>& b) {
    return a.size() == b.size() &&
           (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0);
}

// Same bits, except that any NaN matches any NaN: which NaN operand's sign
// and payload survive depends on operand order, which compilers may swap, so
// kernels may disagree there.
inline bool samePixel(double want, double got) {
    return (std::isnan(want) && std::isnan(got)) || std::memcmp(&want, &got, sizeof want) == 0;
}

// samePixel for every pixel of two images; on a difference, why (if given)
// names the first differing pixel and both values.
inline bool sameImage(const std::vector<double>& want, const std::vector<double>& got,
                      std::string* why = nullptr) {
    if (want.size() != got.size()) {
        if (why) *why = "image sizes differ";
        return false;
    }
    for (size_t p = 0; p < want.size(); ++p)
        if (!samePixel(want[p], got[p])) {
            if (why) {
                char text[160];
                std::snprintf(text, sizeof text, "pixel %zu: expected %a, got %a", p, want[p],
                              got[p]);
                *why = text;
            }
            return false;
        }
    return true;
}

// The hosts' discrete Fourier transform (BeamformFFT), as a direct sum:
// slow and plainly right.
inline bool directDft(std::complex<double>* data, int64_t length, int64_t count, bool inverse) {
    std::vector<std::complex<double>> twiddle((size_t)length), out((size_t)length);
    for (int64_t j = 0; j < length; ++j)
        twiddle[(size_t)j] = std::polar(1.0, (inverse ? 2.0 : -2.0) * kPi * (double)j / (double)length);
    for (int64_t c = 0; c < count; ++c) {
        std::complex<double>* x = data + c * length;
        for (int64_t k = 0; k < length; ++k) {
            std::complex<double> sum = 0.0;
            for (int64_t j = 0; j < length; ++j) sum += x[j] * twiddle[(size_t)((j * k) % length)];
            out[(size_t)k] = inverse ? sum / (double)length : sum;
        }
        std::copy(out.begin(), out.end(), x);
    }
    return true;
}

// A beamformer request over a Problem's signals, sensors and times: its
// points, per-sensor normals and weights (empty: none) and options.
struct BeamProblem {
    Problem p;
    std::vector<double> X, Y, Z, normals, weights;
    BeamformOptions opts;

    int64_t points() const { return (int64_t)X.size(); }

    // The request over the given samples (a stack of frames, or p's own)
    // into image.
    BeamformInput input(const double* sigMat, double* image) const {
        BeamformInput in;
        in.sigMat = sigMat;
        in.rows = p.rows;
        in.cols = p.cols;
        in.x_sensor = p.x.data();
        in.y_sensor = p.y.data();
        in.z_sensor = p.z.data();
        in.c = p.c;
        in.t = p.t.data();
        in.fs = p.fs;
        in.X = X.data();
        in.Y = Y.data();
        in.Z = Z.data();
        in.points = points();
        in.opts = opts;
        in.opts.normals = normals.empty() ? nullptr : normals.data();
        in.opts.weights = weights.empty() ? nullptr : weights.data();
        in.opts.numCores = p.numCores;
        in.image = image;
        return in;
    }

    BeamformExtents extents(int64_t frames) const {
        BeamformExtents e;
        e.sigMat = (int64_t)p.sigMat.size() * frames;
        e.x_sensor = (int64_t)p.x.size();
        e.y_sensor = (int64_t)p.y.size();
        e.z_sensor = (int64_t)p.z.size();
        e.t = (int64_t)p.t.size();
        e.X = (int64_t)X.size();
        e.Y = (int64_t)Y.size();
        e.Z = (int64_t)Z.size();
        e.normals = (int64_t)normals.size();
        e.weights = (int64_t)weights.size();
        e.image = points() * frames;
        return e;
    }

    // The images of `frames` frames of samples at sigMat (p's own signals
    // by default), NaN where none was written.
    std::vector<double> run(ReconKernel kernel, const BeamformFFT& fft = {},
                            const double* sigMat = nullptr, int64_t frames = 1) const {
        std::vector<double> image((size_t)(points() * frames), NAN);
        doBeamform(input(sigMat ? sigMat : p.sigMat.data(), image.data()), frames, kernel, fft);
        return image;
    }
};

// tofimage's pixel centres of p (n x n, column-major) as points at z = 0.
inline void gridPoints(const Problem& p, BeamProblem& b) {
    const ReconGeometry g = reconGeometry(p.input(nullptr));
    const double half1 = g.half - 1.0;
    b.X.clear(), b.Y.clear(), b.Z.clear();
    for (int64_t i = 0; i < (int64_t)p.n * p.n; ++i) {
        b.X.push_back(pixelX(i / p.n, half1, g.dx));
        b.Y.push_back(pixelY(i % p.n, half1, g.dx));
        b.Z.push_back(0.0);
    }
}

#endif
