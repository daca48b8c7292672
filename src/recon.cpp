// Reconstruction engine: geometry, the scalar pixel kernel and the parallel
// pixel loop.
//
// Every floating-point expression below is evaluated one operation at a time
// in the order written; the build forbids contraction into fused
// multiply-adds, so the image is the same bit for bit on every machine,
// compiler and thread count.
#include "recon.h"
#include "recon_messages.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

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

namespace {

// Frames the scalar kernel sums at once: each sample index serves them all.
constexpr int64_t kScalarBatch = 8;

// Values of pixel p in `frames` frames whose samples start at sigMat,
// `frameStep` elements apart: per frame the running sum over all sensors, in
// sensor order, starting from what R[f] holds on entry. kTerm: the term
// image_select selects (reconTerm).
template <int kTerm>
void reconPixel(const ReconInput& in, const ReconGeometry& g, int64_t p, const double* sigMat,
                int64_t frames, int64_t frameStep, double* R) {
    using A = ScalarArith;
    const double half1 = g.half - 1.0;
    const double x = pixelX(p / in.n, half1, g.dx);
    const double y = pixelY(p % in.n, half1, g.dx);

    const int64_t lastElement = (int64_t)in.rows * in.cols - 1;
    for (int32_t s = 0; s < in.cols; ++s) {
        const double ex = in.x_sensor[s] - x;
        const double ey = in.y_sensor[s] - y;
        const double ez = in.z_sensor[s];
        const double d2 = SquaredDistance<A>(Square<A>(ex), Square<A>(ey), Square<A>(ez));
        const int32_t i = reconSampleIndex(SamplePosition<A>(g.k, g.q, d2), in.rows);
        const int64_t j = (int64_t)s * in.rows + i;
        for (int64_t f = 0; f < frames; ++f) {
            const double* frame = sigMat + f * frameStep;
            const double sig = frame[j];
            R[f] = Accumulate<kTerm, A>(R[f], sig, [&] {
                return DerivTerm<A>(in.t[i], g.invDt, sig, frame[NextElement(j, lastElement)]);
            });
        }
    }
}

// The scalar kernel on a stack: the pixels are shared out, and each pixel
// takes the frames kScalarBatch at a time.
void reconScalar(const ReconInput& in, const ReconGeometry& g, int64_t frames, int team) {
    const int64_t pixels = (int64_t)in.n * in.n;
    const int64_t frameStep = (int64_t)in.rows * in.cols;
    const int term = reconTerm(in.image_select);
#pragma omp parallel for num_threads(team) schedule(static)
    for (int64_t p = 0; p < pixels; ++p)
        for (int64_t f0 = 0; f0 < frames; f0 += kScalarBatch) {
            const int64_t count = std::min(kScalarBatch, frames - f0);
            double R[kScalarBatch];
            for (int64_t f = 0; f < count; ++f) R[f] = in.Recon[(f0 + f) * pixels + p];
            const double* sig = in.sigMat + f0 * frameStep;
            if (term == 1)
                reconPixel<1>(in, g, p, sig, count, frameStep, R);
            else if (term == 2)
                reconPixel<2>(in, g, p, sig, count, frameStep, R);
            else
                reconPixel<3>(in, g, p, sig, count, frameStep, R);
            for (int64_t f = 0; f < count; ++f) in.Recon[(f0 + f) * pixels + p] = R[f];
        }
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

struct ReconPlan::Impl {
    ReconInput in;  // into the copies below
    std::vector<double> x, y, z, t;
    ReconGeometry g;
    int team;
#ifdef TOFIMAGE_HAVE_HWY
    VectorPlanPtr vector;  // null: the scalar kernel
#endif
};

ReconPlan::ReconPlan(const ReconInput& in, ReconKernel kernel, int64_t frames)
    : impl_(new Impl) {
    Impl& m = *impl_;
    const int32_t cols = in.cols > 0 ? in.cols : 0;
    m.x.assign(in.x_sensor, in.x_sensor + cols);
    m.y.assign(in.y_sensor, in.y_sensor + cols);
    m.z.assign(in.z_sensor, in.z_sensor + cols);
    m.t.assign(in.t, in.t + in.rows);
    m.in = in;
    m.in.sigMat = nullptr;
    m.in.Recon = nullptr;
    m.in.x_sensor = m.x.data();
    m.in.y_sensor = m.y.data();
    m.in.z_sensor = m.z.data();
    m.in.t = m.t.data();
    m.g = reconGeometry(m.in);
    m.team = reconTeamSize(in.numCores);
#ifdef TOFIMAGE_HAVE_HWY
    if (kernel != ReconKernel::Scalar && in.n > 0)
        m.vector = makeVectorPlan(m.in, m.g, m.team, kernel == ReconKernel::Vector, frames);
#else
    (void)kernel;
    (void)frames;
#endif
}

ReconPlan::~ReconPlan() = default;

void ReconPlan::run(const double* sigMat, int64_t frames, double* Recon) const {
    const Impl& m = *impl_;
    if (m.in.n <= 0 || frames <= 0) return;
#ifdef TOFIMAGE_HAVE_HWY
    if (m.vector && runVectorPlan(*m.vector, sigMat, frames, Recon, m.team)) return;
#endif
    ReconInput in = m.in;
    in.sigMat = sigMat;
    in.Recon = Recon;
    reconScalar(in, m.g, frames, m.team);
}

int64_t ReconPlan::run(const double* sigMat, int64_t frames, double* Recon,
                       const ReconProgress& progress) const {
    if (frames <= 0) return 0;
    if (!progress) {
        run(sigMat, frames, Recon);
        return frames;
    }
    // Each batch is a run of its own: the images do not depend on how a
    // stack is cut into runs, and between runs no worker thread is busy.
    const int64_t batch = batchFrames();
    const int64_t frameStep = (int64_t)impl_->in.rows * impl_->in.cols;
    const int64_t pixels = impl_->in.n > 0 ? (int64_t)impl_->in.n * impl_->in.n : 0;
    int64_t done = 0;
    while (done < frames) {
        const int64_t count = std::min(batch, frames - done);
        run(sigMat + done * frameStep, count, Recon + done * pixels);
        done += count;
        if (!progress(done, frames)) break;
    }
    return done;
}

int64_t ReconPlan::batchFrames() const {
#ifdef TOFIMAGE_HAVE_HWY
    if (impl_->vector) return vectorBatchFrames(*impl_->vector);
#endif
    return kScalarBatch;
}

const char* ReconPlan::kernelName() const {
#ifdef TOFIMAGE_HAVE_HWY
    if (impl_->vector) return reconKernelName(ReconKernel::Vector);
#endif
    return "scalar";
}

void doRecon(const ReconInput& in) { doRecon(in, ReconKernel::Best); }

void doRecon(const ReconInput& in, ReconKernel kernel) { doReconFrames(in, 1, kernel); }

void doReconFrames(const ReconInput& in, int64_t frames) {
    doReconFrames(in, frames, ReconKernel::Best);
}

void doReconFrames(const ReconInput& in, int64_t frames, ReconKernel kernel) {
    if (in.n <= 0 || frames <= 0) return;
    ReconPlan(in, kernel, frames).run(in.sigMat, frames, in.Recon);
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
    return checkReconFrames(in, ext, 1);
}

std::string checkSignals(const double* sigMat, int32_t rows, int32_t cols, int64_t sigMatCount,
                         const double* t, int64_t tCount, int64_t frames, int64_t frameLimit) {
    using M = ReconMsg;
    if (frames < 0) return message(M::NegativeFrames);
    if (rows < 2) return message(M::TwoRows);
    if (cols < 0) return message(M::NegativeCols);
    const int64_t frameElements = (int64_t)rows * cols;
    if (frameElements > 0 && frames > frameLimit / frameElements) return message(M::SigMatFrames);
    if (sigMat == nullptr && cols > 0 && frames > 0) return message(M::SigMatNoData);
    if (sigMatCount < frameElements * frames)
        return message(frames == 1 ? M::SigMatElements : M::SigMatStackElements);
    if (t == nullptr || tCount < rows) return message(M::TimeCount);
    return std::string();
}

std::string checkReconFrames(const ReconInput& in, const ReconExtents& ext, int64_t frames) {
    using M = ReconMsg;
    std::string msg = checkSignals(in.sigMat, in.rows, in.cols, ext.sigMat, in.t, ext.t, frames,
                                   std::numeric_limits<int64_t>::max());
    if (!msg.empty()) return msg;
    const struct {
        const char* name;
        const double* data;
        int64_t count;
    } sensors[] = {{"x_sensor", in.x_sensor, ext.x_sensor},
                   {"y_sensor", in.y_sensor, ext.y_sensor},
                   {"z_sensor", in.z_sensor, ext.z_sensor}};
    for (const auto& a : sensors)
        if ((a.data == nullptr && in.cols > 0) || a.count < in.cols)
            return message(M::SensorCount, {a.name});
    if (in.n < 0) return message(M::NegativeN);
    if ((int64_t)in.n * in.n > std::numeric_limits<int32_t>::max()) return message(M::LargeN);
    const int64_t pixels = (int64_t)in.n * in.n;
    if (pixels > 0 && frames > std::numeric_limits<int64_t>::max() / pixels)
        return message(M::ReconFrames);
    if (ext.Recon != pixels * frames)
        return message(frames == 1 ? M::ReconElements : M::ReconStackElements);
    if (in.Recon == nullptr && in.n > 0 && frames > 0) return message(M::ReconNoData);
    return std::string();
}

std::string checkSigMatSize(int64_t rows, int64_t cols) {
    constexpr int64_t kMax = std::numeric_limits<int32_t>::max();
    if (rows < 0 || cols < 0) return message(ReconMsg::NegativeDims);
    if (rows > kMax || cols > kMax) return message(ReconMsg::TooLarge);
    return std::string();
}

int32_t reconCount(double v) {
    if (std::isnan(v)) return 0;
    const double t = std::trunc(v);
    if (t <= (double)std::numeric_limits<int32_t>::min()) return std::numeric_limits<int32_t>::min();
    if (t >= (double)std::numeric_limits<int32_t>::max()) return std::numeric_limits<int32_t>::max();
    return (int32_t)t;
}
