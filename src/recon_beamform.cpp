// The general beamformer (recon_beamform.h): its checks, its plan, the term
// and envelope columns, and the scalar kernel, which is the readable
// definition every faster kernel reproduces bit for bit.
//
// Every expression is evaluated one IEEE operation at a time in the order
// written (the build forbids contraction), every sum runs over the sensors
// in increasing order, and nothing per pair calls libm beyond sqrt.
#include "recon_beamform.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <complex>
#include <cstdint>
#include <limits>
#include <new>
#include <utility>
#include <vector>

#include "recon_beamform_plan.h"
#include "recon_messages.h"

namespace {

constexpr double kPi = 3.141592653589793;
constexpr double kHalfPi = 1.5707963267948966;
constexpr double kQuarterPi = 0.7853981633974483;

// Taylor coefficients, computed by the compiler in IEEE double (each
// operation correctly rounded, so the same constants on every compiler).
constexpr int kAsinTerms = 18;  // a_n = (2n)! / (4^n (n!)^2 (2n+1)), n = 1 .. 18
constexpr int kTrigTerms = 10;  // (-1)^n / (2n)!  and  (-1)^n / (2n+1)!, n = 1 .. 10

struct Coefficients {
    double asin[kAsinTerms + 1] = {};
    double cos[kTrigTerms + 1] = {};
    double sin[kTrigTerms + 1] = {};
    constexpr Coefficients() {
        double r = 1.0;  // (2n)! / (4^n (n!)^2)
        for (int n = 1; n <= kAsinTerms; ++n) {
            r = r * (2.0 * n - 1.0) / (2.0 * n);
            asin[n] = r / (2.0 * n + 1.0);
        }
        double c = 1.0, s = 1.0;  // 1 / (2n)!, 1 / (2n+1)!
        for (int n = 1; n <= kTrigTerms; ++n) {
            c = c / ((2.0 * n - 1.0) * (2.0 * n));
            s = s / ((2.0 * n) * (2.0 * n + 1.0));
            cos[n] = n % 2 ? -c : c;
            sin[n] = n % 2 ? -s : s;
        }
    }
};
constexpr Coefficients kCoef;

// sum_{n>=1} coef[n] z^(n-1), by Horner from the highest term.
template <int kTerms>
double series(const double (&coef)[kTerms + 1], double z) {
    double p = coef[kTerms];
    for (int n = kTerms - 1; n >= 1; --n) p = coef[n] + z * p;
    return p;
}

}  // namespace

void termColumn(const double* s, const double* t, double invDt, int32_t rows, BeamTerm term,
                double* out) {
    for (int32_t i = 0; i < rows; ++i) {
        // D = 0 at the column's last sample.
        const double D = i + 1 < rows ? DerivTerm<ScalarArith>(t[i], invDt, s[i], s[i + 1]) : 0.0;
        out[i] = term == BeamTerm::Derivative ? D : s[i] - D;
    }
}

double beamAcos(double c) {
    const double u = std::sqrt((1.0 - c) * 0.5);
    const double w = std::sqrt((1.0 + c) * 0.5);
    const double v = u / std::sqrt(2.0 + 2.0 * w);
    const double z = v * v;
    return 4.0 * (v + v * (z * series<kAsinTerms>(kCoef.asin, z)));
}

double beamCos(double a) {
    if (a <= kQuarterPi) {
        const double z = a * a;
        return 1.0 + z * series<kTrigTerms>(kCoef.cos, z);
    }
    const double b = kHalfPi - a;
    const double z = b * b;
    return b + b * (z * series<kTrigTerms>(kCoef.sin, z));
}

double beamWindowAt(BeamWindow window, double x) {
    double cosine = 1.0;
    if (window == BeamWindow::Hann)
        cosine = beamCos(kHalfPi * x);
    else if (window == BeamWindow::Tukey && x > 0.5)
        cosine = beamCos(kPi * (x - 0.5));
    return cosine * cosine;
}

namespace {

// Frames the scalar kernel forms at once: each pair's position and weight
// serve them all.
constexpr int64_t kScalarBatch = 8;

// The scalar definition: the images of points [begin, end) for `frames`
// frames (at most kScalarBatch).
void beamformScalar(const BeamformTables& b, const BeamColumns& g, int64_t frames, double* image,
                    int64_t begin, int64_t end) {
    using A = ScalarArith;
    const bool linear = b.interp == BeamInterp::Linear;
    const bool dmas = b.beamformer == Beamformer::Dmas || b.beamformer == Beamformer::Sdmas;
    const bool squares = b.beamformer == Beamformer::Cf || b.beamformer == Beamformer::DasCf;
    for (int64_t p = begin; p < end; ++p) {
        const double px = b.X[p], py = b.Y[p], pz = b.Z[p];
        double s0[kScalarBatch] = {}, s1[kScalarBatch] = {}, s2[kScalarBatch] = {};
        double count = 0.0;
        for (const int32_t s : b.active) {
            const double ex = b.xs[s] - px;
            const double ey = b.ys[s] - py;
            const double ez = b.zs[s] - pz;
            const double d2 = SquaredDistance<A>(Square<A>(ex), Square<A>(ey), Square<A>(ez));
            double weight = b.w[s];
            const double d = std::sqrt(d2);
            if (b.angle && d > 0.0) {  // at the sensor itself: accepted, theta 0
                const double cosT = ((b.mx[s] * ex + b.my[s] * ey) + b.mz[s] * ez) / d;
                if (!(cosT >= b.cosMax)) continue;
                if (b.window != BeamWindow::Box) {
                    weight = weight * beamApodization(b, cosT);
                    if (weight == 0.0) continue;
                }
            }
            const double position = SamplePosition<A>(b.k, b.q, d2);
            int64_t i0, i1;
            double frac = 0.0;
            if (linear) {
                if (!(position >= 0.0 && position <= b.lastD)) continue;
                i0 = (int64_t)position;
                frac = position - (double)i0;
                i1 = i0 < b.rows - 1 ? i0 + 1 : i0;
            } else {
                const double up = RoundingUp<A>(position);
                if (!(up >= 0.0 && up < b.rowsD)) continue;
                i0 = i1 = (int64_t)up;
            }
            count = count + 1.0;
            const int64_t col = (int64_t)s * b.rows;
            for (int64_t f = 0; f < frames; ++f) {
                const double* re = g.re + f * g.frameStep + col;
                const double v = linear ? re[i0] + frac * (re[i1] - re[i0]) : re[i0];
                const double a = weight * v;
                s0[f] = s0[f] + a;
                if (b.envelope) {
                    const double* im = g.im + f * g.frameStep + col;
                    const double vi = linear ? im[i0] + frac * (im[i1] - im[i0]) : im[i0];
                    s1[f] = s1[f] + weight * vi;
                } else if (squares) {
                    s1[f] = s1[f] + a * a;
                } else if (dmas) {
                    const double h = beamSignedRoot(a);
                    s1[f] = s1[f] + h;
                    s2[f] = s2[f] + h * h;
                }
            }
        }
        for (int64_t f = 0; f < frames; ++f)
            image[f * b.points + b.pointAt(p)] = beamOutput(b, s0[f], s1[f], s2[f], count);
    }
}

// The bits of a cell number below 2^21 spread to every third bit.
uint64_t spreadBits(uint64_t v) {
    v = (v | v << 32) & 0x1f00000000ffffu;
    v = (v | v << 16) & 0x1f0000ff0000ffu;
    v = (v | v << 8) & 0x100f00f00f00f00fu;
    v = (v | v << 4) & 0x10c30c30c30c30c3u;
    v = (v | v << 2) & 0x1249249249249249u;
    return v;
}

// The order in which the kernels visit the points: along a Z-order curve
// through the points' grid, so that a vector's consecutive points form a
// compact cell (2 x 2 x 2 of a volume, 4 x 2 of a plane) rather than a row,
// and their samples of a sensor lie close together. Each axis is counted in
// steps of its smallest nonzero difference between points neighbouring in
// memory (at most 2^20 steps across). Only the order depends on this
// estimate: every point's value is the same in any order. Points of one
// cell keep their order (the sort is stable). Empty where the order is the
// points' own.
std::vector<int64_t> pointOrder(const double* X, const double* Y, const double* Z,
                                int64_t points) {
    if (points < 2) return {};
    const double* axes[3] = {X, Y, Z};
    double low[3], step[3];
    for (int a = 0; a < 3; ++a) {
        const double* v = axes[a];
        double lo = v[0], hi = v[0], gap = 0.0;
        for (int64_t p = 1; p < points; ++p) {
            lo = std::min(lo, v[p]);
            hi = std::max(hi, v[p]);
            const double d = std::fabs(v[p] - v[p - 1]);
            if (d > 0.0 && (gap == 0.0 || d < gap)) gap = d;
        }
        low[a] = lo;
        step[a] = std::max(gap, (hi - lo) / (double)(1 << 20));
        if (!std::isfinite(step[a])) step[a] = 0.0;  // a span beyond the doubles: one cell
    }
    std::vector<uint64_t> key((size_t)points), sortedKey((size_t)points);
    std::vector<int64_t> order((size_t)points), sorted((size_t)points);
    uint64_t most = 0;
    for (int64_t p = 0; p < points; ++p) {
        uint64_t k = 0;
        for (int a = 0; a < 3; ++a) {
            if (step[a] == 0.0) continue;
            const double cell = (axes[a][p] - low[a]) / step[a] + 0.5;
            k |= spreadBits((uint64_t)cell) << a;
        }
        key[(size_t)p] = k;
        most |= k;
        order[(size_t)p] = p;
    }
    // Least significant digit first, 11 bits at a time, up to the highest
    // bit any key has.
    constexpr int kDigit = 11;
    for (int shift = 0; shift < 64 && (most >> shift) != 0; shift += kDigit) {
        std::vector<int64_t> begin((size_t)1 << kDigit, 0);
        const auto digit = [&](uint64_t k) {
            return (size_t)((k >> shift) & ((1u << kDigit) - 1));
        };
        for (int64_t p = 0; p < points; ++p) ++begin[digit(key[(size_t)p])];
        int64_t sum = 0;
        for (int64_t& b : begin) sum += std::exchange(b, sum);
        for (int64_t p = 0; p < points; ++p) {
            const int64_t to = begin[digit(key[(size_t)p])]++;
            sortedKey[(size_t)to] = key[(size_t)p];
            sorted[(size_t)to] = order[(size_t)p];
        }
        key.swap(sortedKey);
        order.swap(sorted);
    }
    bool own = true;
    for (int64_t p = 0; p < points && own; ++p) own = order[(size_t)p] == p;
    if (own) order.clear();
    return order;
}

bool finite(const double* a, int64_t n) {
    for (int64_t i = 0; i < n; ++i)
        if (!std::isfinite(a[i])) return false;
    return true;
}

}  // namespace

struct BeamformPlan::Impl {
    BeamformTables b;
    std::vector<double> t;
    BeamTerm term = BeamTerm::Signal;
    bool vector = false;  // the vector kernel serves
};

BeamformPlan::BeamformPlan(const BeamformInput& in, ReconKernel kernel, int64_t frames)
    : impl_(new Impl) {
    (void)frames;
    Impl& m = *impl_;
    BeamformTables& b = m.b;
    const BeamformOptions& o = in.opts;
    b.rows = in.rows;
    b.cols = in.cols > 0 ? in.cols : 0;
    b.points = in.points > 0 ? in.points : 0;
    const int64_t padded = b.points + kBeamPointPad;
    b.order = pointOrder(in.X, in.Y, in.Z, b.points);
    const auto copyPoints = [&](const double* a, std::vector<double>& v) {
        v.resize((size_t)padded);
        for (int64_t p = 0; p < b.points; ++p) v[(size_t)p] = a[b.pointAt(p)];
        std::fill(v.begin() + b.points, v.end(), b.points > 0 ? v[(size_t)b.points - 1] : 0.0);
    };
    copyPoints(in.X, b.X);
    copyPoints(in.Y, b.Y);
    copyPoints(in.Z, b.Z);
    b.xs.assign(in.x_sensor, in.x_sensor + b.cols);
    b.ys.assign(in.y_sensor, in.y_sensor + b.cols);
    b.zs.assign(in.z_sensor, in.z_sensor + b.cols);
    b.flatZ = b.cols > 0 && std::all_of(b.zs.begin(), b.zs.end(),
                                        [&](double z) { return z == b.zs[0]; });
    b.w.assign((size_t)b.cols, 1.0);
    if (o.weights) b.w.assign(o.weights, o.weights + b.cols);
    for (int32_t s = 0; s < b.cols; ++s)
        if (b.w[s] != 0.0) b.active.push_back(s);
    m.t.assign(in.t, in.t + in.rows);
    b.k = in.fs / in.c;
    b.q = in.fs * in.t[0] - o.sample_offset;
    b.invDt = 1.0 / (in.t[1] - in.t[0]);
    b.rowsD = (double)in.rows;
    b.lastD = (double)(in.rows - 1);
    b.angle = o.fnumber > 0.0;
    if (b.angle) {
        const double F = o.fnumber;
        b.cosMax = (2.0 * F) / std::sqrt(4.0 * (F * F) + 1.0);
        b.thetaMax = beamAcos(b.cosMax);
        b.mx.resize((size_t)b.cols);
        b.my.resize((size_t)b.cols);
        b.mz.resize((size_t)b.cols);
        for (int32_t s = 0; s < b.cols; ++s) {
            const double nx = o.normals[s], ny = o.normals[s + b.cols],
                         nz = o.normals[s + 2 * (int64_t)b.cols];
            const double length = std::sqrt((nx * nx + ny * ny) + nz * nz);
            b.mx[s] = -(nx / length);
            b.my[s] = -(ny / length);
            b.mz[s] = -(nz / length);
        }
    }
    b.window = o.window;
    b.interp = o.interp;
    b.beamformer = o.beamformer;
    b.envelope = o.envelope;
    b.team = reconTeamSize(o.numCores);
    m.term = o.term;
#ifdef TOFIMAGE_HAVE_HWY
    m.vector = kernel != ReconKernel::Scalar && beamformVectorTarget() != nullptr;
#else
    (void)kernel;
#endif
}

BeamformPlan::~BeamformPlan() = default;

int64_t BeamformPlan::batchFrames() const { return kScalarBatch; }

const char* BeamformPlan::kernelName() const {
#ifdef TOFIMAGE_HAVE_HWY
    if (impl_->vector) return beamformVectorTarget();
#endif
    return "scalar";
}

int64_t BeamformPlan::run(const double* sigMat, int64_t frames, double* image,
                          const ReconProgress& progress, const BeamformFFT& fft) const {
    const Impl& m = *impl_;
    const BeamformTables& b = m.b;
    if (frames <= 0) return 0;
    if (b.envelope && !fft) return 0;
    const int64_t rows = b.rows, cols = b.cols;
    const int64_t frameStep = rows * cols;
    const int64_t batch = std::min(batchFrames(), frames);
    // Scratch for a batch's columns (throws std::bad_alloc when short).
    const bool ownColumns = m.term != BeamTerm::Signal || b.envelope;
    std::vector<double> re(ownColumns ? (size_t)(batch * frameStep) : 0);
    std::vector<double> im(b.envelope ? (size_t)(batch * frameStep) : 0);
    std::vector<std::complex<double>> spectrum(b.envelope ? (size_t)(batch * frameStep) : 0);

    int64_t done = 0;
    while (done < frames) {
        const int64_t count = std::min(batch, frames - done);
        const double* sig = sigMat + done * frameStep;
        const int64_t columns = count * cols;
        BeamColumns g;
        g.frameStep = frameStep;
        g.re = sig;
        if (ownColumns) {
            const BeamTerm term = m.term;
#pragma omp parallel for num_threads(b.team) schedule(static)
            for (int64_t j = 0; j < columns; ++j) {
                if (term == BeamTerm::Signal)
                    std::copy(sig + j * rows, sig + (j + 1) * rows, re.data() + j * rows);
                else
                    termColumn(sig + j * rows, m.t.data(), b.invDt, b.rows, term,
                               re.data() + j * rows);
            }
            g.re = re.data();
        }
        if (b.envelope) {
            for (int64_t e = 0; e < columns * rows; ++e) spectrum[e] = re[e];
            if (!analyticSignal(spectrum.data(), rows, columns, fft, b.team)) return done;
            for (int64_t e = 0; e < columns * rows; ++e) {
                re[e] = spectrum[e].real();
                im[e] = spectrum[e].imag();
            }
            g.im = im.data();
        }
        double* out = image + done * b.points;
#ifdef TOFIMAGE_HAVE_HWY
        if (!(m.vector && beamformVector(b, g, count, out)))
#endif
        {
            const int64_t chunk = kBeamChunk;
            const int64_t chunks = (b.points + chunk - 1) / chunk;
#pragma omp parallel for num_threads(b.team) schedule(static)
            for (int64_t c = 0; c < chunks; ++c)
                beamformScalar(b, g, count, out, c * chunk, std::min(b.points, (c + 1) * chunk));
        }
        done += count;
        if (progress && !progress(done, frames)) break;
    }
    return done;
}

bool analyticSignal(std::complex<double>* data, int64_t length, int64_t columns,
                    const BeamformFFT& fft, int team, const std::complex<double>* filter) {
    if (!fft || !fft(data, length, columns, false)) return false;
#pragma omp parallel for num_threads(team) schedule(static)
    for (int64_t j = 0; j < columns; ++j) {
        std::complex<double>* x = data + j * length;
        if (filter)
            for (int64_t i = 0; 2 * i <= length; ++i) x[i] = x[i] * filter[i];
        for (int64_t i = 1; i < length; ++i) {
            const double h = 2 * i < length ? 2.0 : 2 * i == length ? 1.0 : 0.0;
            x[i] = x[i] * h;
        }
    }
    return fft(data, length, columns, true);
}

int64_t doBeamform(const BeamformInput& in, int64_t frames, ReconKernel kernel,
                   const BeamformFFT& fft) {
    if (frames <= 0) return 0;
    return BeamformPlan(in, kernel, frames).run(in.sigMat, frames, in.image, {}, fft);
}

std::string checkBeamformInput(const BeamformInput& in, const BeamformExtents& ext,
                               int64_t frames) {
    using M = ReconMsg;
    const BeamformOptions& o = in.opts;
    constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
    std::string msg = checkSignals(in.sigMat, in.rows, in.cols, ext.sigMat, in.t, ext.t, frames,
                                   kMax / 16);
    if (!msg.empty()) return msg;
    if (!std::isfinite(in.t[0]) || !std::isfinite(in.t[1]) || !(in.t[1] != in.t[0]))
        return message(M::TimeStart);
    if (!(std::isfinite(in.c) && in.c > 0.0)) return message(M::SpeedOfSound);
    if (!(std::isfinite(in.fs) && in.fs > 0.0)) return message(M::SamplingRate);
    const struct {
        const char* name;
        const double* data;
        int64_t count;
        int64_t need;
        const char* what;
    } arrays[] = {
        {"x_sensor", in.x_sensor, ext.x_sensor, in.cols, "as sigMat has columns"},
        {"y_sensor", in.y_sensor, ext.y_sensor, in.cols, "as sigMat has columns"},
        {"z_sensor", in.z_sensor, ext.z_sensor, in.cols, "as sigMat has columns"},
        {"X", in.X, ext.X, in.points, "as there are points"},
        {"Y", in.Y, ext.Y, in.points, "as there are points"},
        {"Z", in.Z, ext.Z, in.points, "as there are points"},
    };
    if (in.points < 0) return message(M::NegativePoints);
    for (const auto& a : arrays) {
        if ((a.data == nullptr && a.need > 0) || a.count < a.need)
            return message(M::ArrayCount, {a.name, a.what});
        if (!finite(a.data, a.need)) return message(M::NotFinite, {a.name});
    }
    if ((int)o.term < 1 || (int)o.term > 3) return message(M::Term);
    if (o.interp != BeamInterp::Nearest && o.interp != BeamInterp::Linear)
        return message(M::Interp);
    if ((int)o.beamformer < 0 || (int)o.beamformer > (int)Beamformer::Sdmas)
        return message(M::BeamformerName);
    if ((int)o.window < 0 || (int)o.window > (int)BeamWindow::Tukey) return message(M::Window);
    if (!std::isfinite(o.sample_offset)) return message(M::SampleOffset);
    if (!(std::isfinite(o.fnumber) && o.fnumber >= 0.0)) return message(M::FNumber);
    if (o.fnumber > 0.0) {
        if (o.normals == nullptr || ext.normals < 3 * (int64_t)in.cols)
            return message(M::NeedNormals);
        if (!finite(o.normals, 3 * (int64_t)in.cols)) return message(M::NotFinite, {"Normals"});
        for (int32_t s = 0; s < in.cols; ++s) {
            const double nx = o.normals[s], ny = o.normals[s + in.cols],
                         nz = o.normals[s + 2 * (int64_t)in.cols];
            const double length = std::sqrt((nx * nx + ny * ny) + nz * nz);
            if (!(length > 0.0 && std::isfinite(length)))
                return message(M::NormalLength, {MessageNumber(s + 1)});
        }
    }
    if (o.weights != nullptr) {
        if (ext.weights < in.cols) return message(M::WeightCount);
        if (!finite(o.weights, in.cols)) return message(M::NotFinite, {"Weights"});
    }
    if (o.envelope && o.beamformer != Beamformer::Das) return message(M::Envelope);
    if (in.points > 0 && frames > kMax / in.points) return message(M::ImageFrames);
    if (in.points > kMax / 64) return message(M::ManyPoints);
    if (ext.image != in.points * frames) return message(M::ImageElements);
    if (in.image == nullptr && in.points > 0 && frames > 0) return message(M::ImageNoData);
    return std::string();
}

std::string setBeamformChoice(BeamformOptions& opts, const std::string& option,
                              const std::string& value) {
    const auto lower = [](std::string s) {
        for (char& ch : s) ch = (char)std::tolower((unsigned char)ch);
        return s;
    };
    const std::string name = lower(option), v = lower(value);
    if (name == "interp") {
        if (v == "nearest") return opts.interp = BeamInterp::Nearest, std::string();
        if (v == "linear") return opts.interp = BeamInterp::Linear, std::string();
        return message(ReconMsg::Interp);
    }
    if (name == "beamformer") {
        const struct {
            const char* name;
            Beamformer value;
        } kNames[] = {{"das", Beamformer::Das},
                      {"cf", Beamformer::Cf},
                      {"das-cf", Beamformer::DasCf},
                      {"dmas", Beamformer::Dmas},
                      {"sdmas", Beamformer::Sdmas}};
        for (const auto& k : kNames)
            if (v == k.name) return opts.beamformer = k.value, std::string();
        return message(ReconMsg::BeamformerName);
    }
    if (name == "term") {
        if (v == "signal" || v == "1") return opts.term = BeamTerm::Signal, std::string();
        if (v == "derivative" || v == "2") return opts.term = BeamTerm::Derivative, std::string();
        if (v == "difference" || v == "3") return opts.term = BeamTerm::Difference, std::string();
        return message(ReconMsg::Term);
    }
    if (name == "window") {
        if (v == "box") return opts.window = BeamWindow::Box, std::string();
        if (v == "hann") return opts.window = BeamWindow::Hann, std::string();
        if (v == "tukey") return opts.window = BeamWindow::Tukey, std::string();
        return message(ReconMsg::Window);
    }
    return message(ReconMsg::UnknownChoice, {option.c_str()});
}
