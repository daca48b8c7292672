// Reconstruction engine: geometry, the scalar pixel kernel and the parallel
// pixel loop.
//
// Every floating-point expression below is evaluated one operation at a time
// in the order written; the build forbids contraction into fused
// multiply-adds, so the image is the same bit for bit on every machine,
// compiler and thread count.
#include "recon.h"

#include <cmath>
#include <cstdint>
#include <limits>

#ifdef _OPENMP
#include <omp.h>
#endif

#ifdef TOFIMAGE_HAVE_HWY
#include "recon_simd.h"
#endif

ReconGeometry reconGeometry(const ReconInput& in) {
    ReconGeometry g;
    g.dx = in.image_width / (double)in.n;
    g.half = (double)(in.n / 2);
    g.k = in.fs / in.c;
    g.q = (in.fs * in.t[0]) - 1.0;
    g.dt = in.t[1] - in.t[0];
    g.invDt = 1.0 / g.dt;
    return g;
}

int32_t reconSampleIndex(double Y, int32_t rows) {
    // Round half away from zero; zero, NaN and infinities give 0.
    double r = 0.0;
    if (Y != 0.0 && std::isfinite(Y)) {
        const double a = std::fabs(Y);
        const double f = a - std::floor(a);
        if (f < 0.5)
            r = std::trunc(Y);
        else
            r = Y > 0.0 ? std::ceil(Y) : std::floor(Y);
    }
    // 32-bit conversion: anything outside the range becomes INT32_MIN.
    int32_t i = (r >= -2147483648.0 && r < 2147483648.0) ? (int32_t)r
                                                         : std::numeric_limits<int32_t>::min();
    // Low clamp first: positions of 2^31 and beyond end up at sample 0.
    if (i < 0) i = 0;
    if (i > rows - 1) i = rows - 1;
    return i;
}

namespace {

// Value of pixel p: the running sum over all sensors, in sensor order,
// starting from what the output holds on entry.
double reconPixel(const ReconInput& in, const ReconGeometry& g, int64_t p) {
    const int64_t L = p / in.n;
    const int64_t K = p % in.n;
    const double x = ((double)L - (g.half - 1.0)) * g.dx;
    const double y = ((g.half - 1.0) - (double)K) * g.dx;

    // The element after the last one of the matrix does not exist; the
    // forward difference there is zero.
    const int64_t lastElement = (int64_t)in.rows * in.cols - 1;
    double R = in.Recon[p];
    for (int32_t s = 0; s < in.cols; ++s) {
        const double ex = in.x_sensor[s] - x;
        const double ey = in.y_sensor[s] - y;
        const double ez = in.z_sensor[s];
        const double d = std::sqrt((ex * ex + ey * ey) + ez * ez);
        const double Y = (g.k * d) - g.q;
        const int32_t i = reconSampleIndex(Y, in.rows);
        const int64_t j = (int64_t)s * in.rows + i;
        const double sig = in.sigMat[j];
        if (in.image_select == 1.0) {
            R = sig + R;
            continue;
        }
        const double next = j < lastElement ? in.sigMat[j + 1] : sig;
        const double deriv = (in.t[i] * g.invDt) * (next - sig);
        if (in.image_select == 2.0)
            R = deriv + R;
        else
            R = (R + sig) - deriv;
    }
    return R;
}

void reconScalar(const ReconInput& in, const ReconGeometry& g, int team) {
    const int64_t pixels = (int64_t)in.n * in.n;
#pragma omp parallel for num_threads(team) schedule(static)
    for (int64_t p = 0; p < pixels; ++p) in.Recon[p] = reconPixel(in, g, p);
}

}  // namespace

int reconTeamSize(int32_t numCores) {
#ifdef _OPENMP
    const int cap = 4 * omp_get_num_procs();
    int team = numCores > 0 ? numCores : omp_get_max_threads();
    if (team > cap) team = cap;
#if _OPENMP >= 200805
    // OpenMP 3.0; MSVC's /openmp provides 2.0 only.
    if (team > omp_get_thread_limit()) team = omp_get_thread_limit();
#endif
    return team < 1 ? 1 : team;
#else
    (void)numCores;
    return 1;
#endif
}

void doRecon(const ReconInput& in) { doRecon(in, ReconKernel::Best); }

void doRecon(const ReconInput& in, ReconKernel kernel) {
    if (in.n <= 0) return;
    const ReconGeometry g = reconGeometry(in);
    const int team = reconTeamSize(in.numCores);
#ifdef TOFIMAGE_HAVE_HWY
    if (kernel != ReconKernel::Scalar && reconVector(in, g, team, kernel == ReconKernel::Vector))
        return;
#else
    (void)kernel;
#endif
    reconScalar(in, g, team);
}

const char* reconKernelName(ReconKernel kernel) {
#ifdef TOFIMAGE_HAVE_HWY
    if (kernel != ReconKernel::Scalar) {
        const char* name = reconVectorTarget();
        if (name != nullptr) return name;
    }
#else
    (void)kernel;
#endif
    return "scalar";
}

std::string checkReconInput(const ReconInput& in, const ReconExtents& ext) {
    if (in.rows < 2) return "sigMat must have at least two rows (time samples)";
    if (in.cols < 0) return "sigMat must not have a negative number of columns";
    if (in.sigMat == nullptr && in.cols > 0) return "sigMat has no data";
    if (ext.sigMat < (int64_t)in.rows * in.cols)
        return "sigMat has fewer elements than rows times columns";
    if (in.t == nullptr || ext.t < in.rows)
        return "t must have at least as many elements as sigMat has rows";
    const struct {
        const char* name;
        const double* data;
        int64_t count;
    } sensors[] = {{"x_sensor", in.x_sensor, ext.x_sensor},
                   {"y_sensor", in.y_sensor, ext.y_sensor},
                   {"z_sensor", in.z_sensor, ext.z_sensor}};
    for (const auto& a : sensors)
        if ((a.data == nullptr && in.cols > 0) || a.count < in.cols)
            return std::string(a.name) + " must have at least as many elements as sigMat has columns";
    if (in.n < 0) return "n must not be negative";
    if ((int64_t)in.n * in.n > std::numeric_limits<int32_t>::max())
        return "n is too large: n*n must be less than 2^31";
    if (ext.Recon != (int64_t)in.n * in.n) return "Recon must have n*n elements";
    if (in.Recon == nullptr && in.n > 0) return "Recon has no data";
    return std::string();
}
