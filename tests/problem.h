// Test problems for the reconstruction engine: owned arrays plus a
// ReconInput that points into them.
#ifndef TOFIMAGE_TESTS_PROBLEM_H
#define TOFIMAGE_TESTS_PROBLEM_H

#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "recon.h"

struct Problem {
    int32_t rows = 0, cols = 0, n = 0;
    std::vector<double> sigMat, x, y, z, t;
    double c = 1.0, image_select = 1.0, fs = 1.0, image_width = 1.0;
    int32_t numCores = 1;

    // The request for this problem, adding into image.
    ReconInput input(double* image) const {
        ReconInput in;
        in.sigMat = sigMat.data();
        in.rows = rows;
        in.cols = cols;
        in.n = n;
        in.x_sensor = x.data();
        in.y_sensor = y.data();
        in.z_sensor = z.data();
        in.c = c;
        in.image_select = image_select;
        in.t = t.data();
        in.fs = fs;
        in.image_width = image_width;
        in.numCores = numCores;
        in.Recon = image;
        return in;
    }

    // Runs doRecon on a fresh zero image and returns it.
    std::vector<double> run(ReconKernel kernel = ReconKernel::Scalar) const {
        std::vector<double> image((size_t)n * (size_t)n, 0.0);
        doRecon(input(image.data()), kernel);
        return image;
    }
};

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

// A ring of sensors around the image, with random signals: every lookup
// lands inside the window, so the images are finite and non-trivial.
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
        const double a = 2.0 * M_PI * s / cols;
        p.x.push_back(radius * std::cos(a));
        p.y.push_back(radius * std::sin(a));
        p.z.push_back(0.0);
    }
    for (int32_t i = 0; i < rows; ++i) p.t.push_back(1e-6 + i / p.fs);
    std::mt19937_64 rng(seed);
    std::normal_distribution<double> normal;
    p.sigMat.resize((size_t)rows * cols);
    for (double& v : p.sigMat) v = normal(rng);
    return p;
}

// Bitwise equality of two images (NaNs compare by bits too).
inline bool sameBits(const std::vector<double>& a, const std::vector<double>& b) {
    return a.size() == b.size() &&
           (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0);
}

#endif
