// The speed-of-sound search (recon_autofocus.h).
#include "recon_autofocus.h"

#include <algorithm>
#include <cctype>
#include <cstdarg>
#include <cmath>
#include <complex>
#include <cstdio>
#include <numeric>

#include "recon_exact.h"
#include "recon_messages.h"

void reconPixelCoordinates(int32_t n, double image_width, double* x, double* y) {
    const double dx = image_width / (double)n;
    const double half1 = (double)(n / 2) - 1.0;
    for (int32_t k = 0; k < n; ++k) {
        x[k] = pixelX(k, half1, dx);
        y[k] = pixelY(k, half1, dx);
    }
}

static_assert((int64_t)kReconMaxN * kReconMaxN <= INT32_MAX &&
                  (int64_t)(kReconMaxN + 1) * (kReconMaxN + 1) > INT32_MAX,
              "kReconMaxN is the largest n with n*n below 2^31");

std::string checkGridSize(double n) {
    return n >= 1 && n <= kReconMaxN ? "" : message(ReconMsg::GridSize);
}

void reconImageField(int32_t n, double image_width, double roi[4]) {
    const double dx = image_width / (double)n;
    const double half1 = (double)(n / 2) - 1.0;
    roi[0] = pixelX(0, half1, dx) - 0.5 * dx;
    roi[1] = pixelX(n - 1, half1, dx) + 0.5 * dx;
    roi[2] = pixelY(n - 1, half1, dx) - 0.5 * dx;
    roi[3] = pixelY(0, half1, dx) + 0.5 * dx;
}

namespace {

constexpr double kPi = 3.141592653589793;

std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char* fmt, ...) {
    char buf[512];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    return buf;
}

// The term the candidates' images sum: the derivative term for the
// analytic coherence, whatever the image's term; the image's term otherwise.
BeamTerm scoredTerm(const AutofocusInput& in) {
    return in.analytic && in.method == AutofocusMethod::Coherence ? BeamTerm::Derivative : in.term;
}

// Everything the candidates share: the search grid, the sensor groups with
// their weights, and how the signals are smoothed.
struct Search {
    const AutofocusInput& in;
    const double* signal;          // the columns scored: sigMat's, or made 3-D-like
    const double* quadrature;      // their Hilbert transform, or null
    std::vector<double> X, Y, Z;  // the search grid's points, rows fastest
    double pitch = 0.0;
    double reach = 0.0;            // median sensor distance from the region's centre
    std::vector<double> t;         // the times the search images read at
    double sampleOffset = 1.0;     // tofimage's reading convention (with t above)
    std::vector<std::vector<double>> weights;  // per group: taper on its sensors, 0 elsewhere
    std::vector<std::pair<int, int>> pairs;    // groups compared (subaperture)
    bool absolute = false;                     // compare the images' magnitudes
    BeamTerm scored;                           // the term the candidates' images sum
    double viewAngle = 0.0;
    std::string description;

    Search(const AutofocusInput& request, const double* columns, const double* hilbert)
        : in(request), signal(columns), quadrature(hilbert), scored(scoredTerm(request)) {
        const double xc = (in.roi[0] + in.roi[1]) / 2, yc = (in.roi[2] + in.roi[3]) / 2;
        const double width = std::max(in.roi[1] - in.roi[0], in.roi[3] - in.roi[2]);
        const int32_t m = in.search_n;
        pitch = width / m;
        // tofimage's grid of side `width` is centred on (offset, -offset);
        // moved onto the region's centre.
        const double offset = ((m - 1) / 2.0 - (double)(m / 2 - 1)) * pitch;
        std::vector<double> gx(m), gy(m);
        reconPixelCoordinates(m, width, gx.data(), gy.data());
        const size_t points = (size_t)m * (size_t)m;
        X.resize(points);
        Y.resize(points);
        Z.assign(points, 0.0);
        for (int32_t L = 0; L < m; ++L)
            for (int32_t K = 0; K < m; ++K) {
                X[(size_t)K + (size_t)L * m] = gx[L] + (xc - offset);
                Y[(size_t)K + (size_t)L * m] = gy[K] + (yc + offset);
            }
        const int32_t cols = in.cols;
        std::vector<double> dist(cols), theta(cols);
        for (int32_t s = 0; s < cols; ++s) {
            const double dx = in.x_sensor[s] - xc, dy = in.y_sensor[s] - yc;
            dist[s] = std::sqrt(dx * dx + dy * dy + in.z_sensor[s] * in.z_sensor[s]);
            theta[s] = std::atan2(dy, dx);
        }
        std::sort(dist.begin(), dist.end());
        reach = cols % 2 ? dist[cols / 2] : (dist[cols / 2 - 1] + dist[cols / 2]) / 2;
        // The engine reads the sample one after the time of flight, and the
        // derivative terms (forward differences) half a sample later still:
        // the search reads that much later, so that features line up at the
        // true c rather than at c + c^2 delay / distance.
        const double late = scored == BeamTerm::Signal ? 1.0 : 1.5;
        t.resize(in.rows);
        for (int32_t i = 0; i < in.rows; ++i) t[i] = in.t[i] + late / in.fs;
        const std::vector<int32_t> order = angularOrder(theta);
        if (in.method == AutofocusMethod::Subaperture) {
            std::vector<std::vector<int32_t>> groups;
            if (viewAngle >= 270) {
                const int32_t q = cols / 4;
                for (int k = 0; k < 4; ++k) {
                    groups.emplace_back();
                    for (int32_t j = 0; j < 2 * q; ++j) groups.back().push_back(order[(k * q + j) % cols]);
                }
                pairs = {{0, 2}, {1, 3}};
                description = format("4 half-apertures of %d sensors by angle around the region's "
                                     "centre, starting a quarter apart; opposed halves compared",
                                     2 * q);
            } else {
                const int32_t h = cols / 2;
                groups.emplace_back(order.begin(), order.begin() + h);
                groups.emplace_back(order.end() - h, order.end());
                pairs = {{0, 1}};
                absolute = true;
                description = format("2 halves of %d sensors by angle around the region's centre, "
                                     "compared by magnitude", h);
            }
            // Each part tapered by sin^2 to quiet the arcs its ends draw.
            for (const auto& g : groups) {
                weights.emplace_back(cols, 0.0);
                const double size = (double)g.size();
                for (size_t j = 0; j < g.size(); ++j) {
                    const double s = std::sin(kPi * ((double)(j + 1) - 0.5) / size);
                    weights.back()[g[j]] = s * s;
                }
            }
        } else {
            weights.emplace_back(cols, 1.0);
            description = in.method == AutofocusMethod::Coherence
                              ? format("each of the %d sensors its own sub-aperture", cols)
                              : "the whole array";
        }
    }

    // Sensors in order of their angle around the region's centre, starting
    // after the widest gap between neighbours; sets viewAngle, the angle
    // they span, in degrees.
    std::vector<int32_t> angularOrder(const std::vector<double>& theta) {
        std::vector<int32_t> order(theta.size());
        std::iota(order.begin(), order.end(), 0);
        std::stable_sort(order.begin(), order.end(),
                         [&](int32_t a, int32_t b) { return theta[a] < theta[b]; });
        size_t at = 0;
        double widest = -1.0;
        for (size_t j = 0; j < order.size(); ++j) {
            const double next = j + 1 < order.size() ? theta[order[j + 1]] : theta[order[0]] + 2 * kPi;
            const double gap = next - theta[order[j]];
            if (gap > widest) widest = gap, at = j;
        }
        std::rotate(order.begin(), order.begin() + (at + 1) % order.size(), order.end());
        viewAngle = (2 * kPi - widest) * 180 / kPi;
        return order;
    }

    // The values of one level's term, column by column: each column
    // convolved with a normalised Gaussian of `blur` samples (zero outside
    // the record), then its term taken. With a quadrature, its values
    // follow the signal's, rows x cols further on, and for the coherence
    // the squared magnitudes after them.
    std::vector<double> levelValues(double step, double cMid) const {
        const double blur = std::max(reach * step / cMid, pitch) / cMid * in.fs;
        const int64_t half = (int64_t)std::ceil(4 * blur);
        std::vector<double> g(2 * half + 1);
        double sum = 0.0;
        for (int64_t j = -half; j <= half; ++j) {
            const double u = (double)j / blur;
            sum += g[j + half] = std::exp(-0.5 * (u * u));
        }
        for (double& v : g) v /= sum;
        const int64_t rows = in.rows;
        const int64_t columns = (int64_t)in.cols * (quadrature ? 2 : 1);
        std::vector<double> out((size_t)(rows * columns)), smooth((size_t)rows);
        const double invDt = 1.0 / (in.t[1] - in.t[0]);
        for (int64_t s = 0; s < columns; ++s) {
            const double* col = s < in.cols ? signal + s * rows : quadrature + (s - in.cols) * rows;
            double* o = out.data() + s * rows;
            double* target = scored == BeamTerm::Signal ? o : smooth.data();
            for (int64_t i = 0; i < rows; ++i) {
                const int64_t lo = std::max<int64_t>(-half, -i), hi = std::min<int64_t>(half, rows - 1 - i);
                double v = 0.0;
                for (int64_t j = lo; j <= hi; ++j) v += g[half - j] * col[i + j];
                target[i] = v;
            }
            if (scored != BeamTerm::Signal) termColumn(target, in.t, invDt, in.rows, scored, o);
        }
        if (quadrature && in.method == AutofocusMethod::Coherence) {
            const size_t count = (size_t)(rows * in.cols);
            out.resize(3 * count);
            for (size_t j = 0; j < count; ++j)
                out[j + 2 * count] = out[j] * out[j] + out[j + count] * out[j + count];
        }
        return out;
    }

    // The search images of one group at speed c, of `frames` stacked
    // column sets (rows x cols each).
    std::vector<double> image(const double* sig, double c, const double* w,
                              Beamformer beamformer, int64_t frames = 1) const {
        BeamformInput b;
        b.sigMat = sig;
        b.rows = in.rows;
        b.cols = in.cols;
        b.x_sensor = in.x_sensor;
        b.y_sensor = in.y_sensor;
        b.z_sensor = in.z_sensor;
        b.c = c;
        b.t = t.data();
        b.fs = in.fs;
        b.X = X.data();
        b.Y = Y.data();
        b.Z = Z.data();
        b.points = (int64_t)X.size();
        b.opts.interp = in.interp;
        b.opts.beamformer = beamformer;
        b.opts.weights = w;
        b.opts.sample_offset = sampleOffset;
        b.opts.numCores = in.numCores;
        std::vector<double> out(X.size() * (size_t)frames);
        BeamformPlan(b, ReconKernel::Best, frames).run(sig, frames, out.data());
        return out;
    }

    // The image of one group; with a quadrature, its magnitude (the
    // quadrature's columns follow the signal's as a second frame).
    std::vector<double> magnitude(const std::vector<double>& v, double c, const double* w) const {
        if (!quadrature) return image(v.data(), c, w, Beamformer::Das);
        std::vector<double> S = image(v.data(), c, w, Beamformer::Das, 2);
        const size_t points = X.size();
        for (size_t p = 0; p < points; ++p) S[p] = std::sqrt(S[p] * S[p] + S[p + points] * S[p + points]);
        S.resize(points);
        return S;
    }

    double score(const std::vector<double>& v, double c, int level) const {
        const int32_t m = in.search_n;
        if (in.method == AutofocusMethod::Coherence && !quadrature) {
            const std::vector<double> S = image(v.data(), c, nullptr, Beamformer::Das);
            const std::vector<double> cf = image(v.data(), c, nullptr, Beamformer::Cf);
            double num = 0.0, total = 0.0;
            for (size_t p = 0; p < S.size(); ++p) {
                const double e = S[p] * S[p];
                num += e * cf[p];
                total += e;
            }
            return total > 0 ? num / total : 0.0;
        }
        if (in.method == AutofocusMethod::Coherence) {
            // The coherence factor of the analytic values, |sum a|^2 /
            // (N sum |a|^2), weighted by the envelope's energy |sum a|^2
            // (after level 0 its power kAutofocusPower, CF sqrt(CF)): the
            // sums of the real parts, the imaginary parts and the squared
            // magnitudes, as three frames of one run.
            static_assert(kAutofocusPower == 1.5, "the power is taken as CF sqrt(CF)");
            const std::vector<double> I = image(v.data(), c, nullptr, Beamformer::Das, 3);
            const size_t points = X.size();
            double num = 0.0, total = 0.0;
            for (size_t p = 0; p < points; ++p) {
                const double re = I[p], im = I[p + points], q = I[p + 2 * points];
                if (q > 0) {
                    const double e = re * re + im * im;
                    const double cf = e / (in.cols * q);
                    num += e * (level == 0 ? cf : cf * std::sqrt(cf));
                    total += e;
                }
            }
            return total > 0 ? num / total : 0.0;
        }
        if (in.method == AutofocusMethod::Subaperture) {
            std::vector<std::vector<double>> images;
            for (const auto& w : weights) {
                images.push_back(magnitude(v, c, w.data()));
                if (absolute)
                    for (double& v : images.back()) v = std::fabs(v);
            }
            double sum = 0.0;
            for (const auto& p : pairs) sum += correlation(images[p.first], images[p.second]);
            return sum / (double)pairs.size();
        }
        std::vector<double> F = magnitude(v, c, nullptr);
        const double mean = std::accumulate(F.begin(), F.end(), 0.0) / (double)F.size();
        double energy = 0.0, gradient = 0.0;
        for (double& v : F) {
            v -= mean;
            energy += v * v;
        }
        for (int32_t L = 0; L < m; ++L)
            for (int32_t K = 0; K < m; ++K) {
                const double v = F[(size_t)K + (size_t)L * m];
                if (K + 2 < m) {
                    const double d = F[(size_t)K + 2 + (size_t)L * m] - v;
                    gradient += d * d;
                }
                if (L + 2 < m) {
                    const double d = F[(size_t)K + (size_t)(L + 2) * m] - v;
                    gradient += d * d;
                }
            }
        return energy > 0 ? gradient / energy : 0.0;
    }

    static double correlation(const std::vector<double>& a, const std::vector<double>& b) {
        const double n = (double)a.size();
        const double ma = std::accumulate(a.begin(), a.end(), 0.0) / n;
        const double mb = std::accumulate(b.begin(), b.end(), 0.0) / n;
        double ab = 0.0, aa = 0.0, bb = 0.0;
        for (size_t p = 0; p < a.size(); ++p) {
            const double u = a[p] - ma, v = b[p] - mb;
            ab += u * v;
            aa += u * u;
            bb += v * v;
        }
        const double d = std::sqrt(aa * bb);
        return d > 0 ? ab / d : 0.0;
    }
};

bool finiteAll(const double* v, int64_t count) {
    for (int64_t i = 0; i < count; ++i)
        if (!std::isfinite(v[i])) return false;
    return true;
}

// The index of the finest level: the first whose step is at most the
// resolution.
int finestLevel(const AutofocusInput& in) {
    const double span = in.c_max - in.c_min;
    const double resolution = in.resolution > 0 ? in.resolution : (in.c_min + in.c_max) / 2 / 1500;
    int last = 0;
    while (last <= kAutofocusMaxLevel &&
           span / (kAutofocusCoarse * std::pow(kAutofocusSplit, last)) > resolution)
        ++last;
    return last;
}

// For each sensor, z: how far the mean of its column after every wavefront
// from the region and the field has passed (t > farthest distance / c_min)
// lies from its mean before the first one arrived (t < nearest distance /
// c_max), in standard errors of the noise before it (at least 1e-12 of the
// column's largest magnitude). Returns the sum of the z over sqrt(their count).
// Waves in 3-D leave nothing behind them (Huygens' principle): in
// independent noise that is a standard normal value. A 2-D wave's tail
// keeps every column off its baseline, on the same side, long after the
// wavefront. 0 when fewer than 8 sensors have 8 samples on either side.
double tailScore(const AutofocusInput& in) {
    // The sources' bounds: the region and the field together.
    double box[4];
    std::copy(in.roi, in.roi + 4, box);
    if (in.field[1] > in.field[0] && in.field[3] > in.field[2]) {
        box[0] = std::min(box[0], in.field[0]);
        box[1] = std::max(box[1], in.field[1]);
        box[2] = std::min(box[2], in.field[2]);
        box[3] = std::max(box[3], in.field[3]);
    }
    std::vector<double> z;
    for (int32_t s = 0; s < in.cols; ++s) {
        const double xs = in.x_sensor[s], ys = in.y_sensor[s], zs = in.z_sensor[s];
        const double dx = std::max({box[0] - xs, 0.0, xs - box[1]});
        const double dy = std::max({box[2] - ys, 0.0, ys - box[3]});
        const double fx = std::max(std::fabs(xs - box[0]), std::fabs(xs - box[1]));
        const double fy = std::max(std::fabs(ys - box[2]), std::fabs(ys - box[3]));
        const double early = std::sqrt(dx * dx + dy * dy + zs * zs) / in.c_max;
        const double late = std::sqrt(fx * fx + fy * fy + zs * zs) / in.c_min;
        const double* col = in.sigMat + (int64_t)s * in.rows;
        double sum[2] = {0, 0}, squares = 0.0, peak = 0.0;
        int64_t count[2] = {0, 0};
        for (int32_t i = 0; i < in.rows; ++i) {
            peak = std::max(peak, std::fabs(col[i]));
            const int side = in.t[i] < early ? 0 : in.t[i] > late ? 1 : -1;
            if (side < 0) continue;
            sum[side] += col[i];
            count[side] += 1;
            if (side == 0) squares += col[i] * col[i];
        }
        if (count[0] < 8 || count[1] < 8) continue;
        const double m0 = sum[0] / (double)count[0], m1 = sum[1] / (double)count[1];
        const double noise = std::sqrt(std::max(squares / (double)count[0] - m0 * m0, 0.0));
        const double error = noise * std::sqrt(1.0 / (double)count[0] + 1.0 / (double)count[1]);
        z.push_back((m1 - m0) / std::max(error, 1e-12 * peak));
    }
    if (z.size() < 8) return 0.0;
    return std::accumulate(z.begin(), z.end(), 0.0) / std::sqrt((double)z.size());
}

// The columns the search scores, and with an analytic score their Hilbert
// transforms (quadrature). 2-D waves are first made into 3-D ones: the
// spectrum of a cylindrical wave times sqrt(i omega) (a half-order time
// derivative) is that of the spherical wave of the same source, without
// the cylindrical tail; on twice the record (zeros after it), so that no
// tail wraps around. False when fft failed.
bool searchColumns(const AutofocusInput& in, const BeamformFFT& fft, bool twoD,
                   std::vector<double>& signal, std::vector<double>& quadrature) {
    const int64_t rows = in.rows, cols = in.cols, length = twoD ? 2 * rows : rows;
    std::vector<std::complex<double>> a((size_t)(length * cols));
    for (int64_t s = 0; s < cols; ++s)
        std::copy(in.sigMat + s * rows, in.sigMat + (s + 1) * rows, a.begin() + s * length);
    std::vector<std::complex<double>> filter;
    if (twoD) {
        filter.resize((size_t)(length / 2 + 1));
        for (int64_t k = 0; k <= length / 2; ++k)
            filter[(size_t)k] = std::sqrt(std::complex<double>(0.0, 2 * kPi * (double)k / (double)length));
    }
    if (!analyticSignal(a.data(), length, cols, fft, 1, twoD ? filter.data() : nullptr)) return false;
    quadrature.resize((size_t)(rows * cols));
    if (twoD) signal.resize((size_t)(rows * cols));
    for (int64_t s = 0; s < cols; ++s)
        for (int64_t i = 0; i < rows; ++i) {
            const std::complex<double> v = a[(size_t)(s * length + i)];
            quadrature[(size_t)(s * rows + i)] = v.imag();
            if (twoD) signal[(size_t)(s * rows + i)] = v.real();
        }
    return true;
}

}  // namespace

AutofocusProblem checkAutofocusInput(const AutofocusInput& in) {
    const auto fault = [](const char* argument, ReconMsg m,
                          std::initializer_list<const char*> args = {}) {
        return AutofocusProblem{argument, message(m, args)};
    };
    if (in.rows < 2 || in.cols < 4)
        return fault("sigMat", ReconMsg::AutofocusSize,
                     {MessageNumber(in.rows), MessageNumber(in.cols)});
    if (!finiteAll(in.sigMat, (int64_t)in.rows * in.cols))
        return fault("sigMat", ReconMsg::NotFinite, {"sigMat"});
    if (!(in.c_min > 0) || !(in.c_max > in.c_min) || !std::isfinite(in.c_max))
        return fault("c_range", ReconMsg::SpeedRange);
    if (!finiteAll(in.field, 4)) return fault("image_width", ReconMsg::ImageField);
    if (!finiteAll(in.roi, 4) || !(in.roi[1] > in.roi[0]) || !(in.roi[3] > in.roi[2]))
        return fault("roi", ReconMsg::Roi);
    if (in.search_n < 16) return fault("search_n", ReconMsg::WholeNumber, {"search_n", "16"});
    if (!finiteAll(in.t, in.rows))
        return fault("t", ReconMsg::TimeColumn, {MessageNumber(in.rows)});
    if (in.t[1] == in.t[0] && scoredTerm(in) != BeamTerm::Signal)
        return fault("t", ReconMsg::TimeStep);
    if (!(in.fs > 0) || !std::isfinite(in.fs)) return fault("fs", ReconMsg::Positive, {"fs"});
    if (!(in.resolution <= 0 || finestLevel(in) <= kAutofocusMaxLevel))
        return fault("resolution", ReconMsg::Resolution);
    return {};
}

std::string setAutofocusMethod(AutofocusInput& in, const std::string& name) {
    std::string lower(name);
    for (char& ch : lower) ch = (char)std::tolower((unsigned char)ch);
    for (AutofocusMethod m : {AutofocusMethod::Coherence, AutofocusMethod::Subaperture,
                              AutofocusMethod::Sharpness})
        if (lower == autofocusMethodName(m)) {
            in.method = m;
            return "";
        }
    return message(ReconMsg::Method);
}

const char* autofocusMethodName(AutofocusMethod method) {
    switch (method) {
        case AutofocusMethod::Subaperture: return "subaperture";
        case AutofocusMethod::Sharpness: return "sharpness";
        default: return "coherence";
    }
}

int64_t autofocusMaxCandidates(const AutofocusInput& in) {
    return kAutofocusCoarse + 1 + (int64_t)finestLevel(in) * (2 * kAutofocusSplit + 1);
}

AutofocusResult autofocus(const AutofocusInput& in, const BeamformFFT& fft) {
    AutofocusResult r;
    r.tail_score = tailScore(in);
    r.two_d = in.analytic && std::fabs(r.tail_score) > kAutofocusTail;
    std::vector<double> signal, quadrature;
    if (in.analytic && !searchColumns(in, fft, r.two_d, signal, quadrature)) {
        r.fft_failed = true;
        return r;
    }
    const Search search(in, r.two_d ? signal.data() : in.sigMat,
                        in.analytic ? quadrature.data() : nullptr);
    const double span = in.c_max - in.c_min;
    const double cMid = (in.c_min + in.c_max) / 2;
    const int last = finestLevel(in);
    const int64_t top = kAutofocusCoarse * (int64_t)std::pow(kAutofocusSplit, last);
    const double unit = span / (double)top;

    r.resolution = unit;
    int64_t mBest = 0;
    for (int level = 0; level <= last; ++level) {
        const int64_t step = (int64_t)std::pow(kAutofocusSplit, last - level);
        std::vector<int64_t> ms;
        if (level == 0) {
            for (int64_t m = 0; m <= top; m += step) ms.push_back(m);
        } else {
            for (int64_t j = -kAutofocusSplit; j <= kAutofocusSplit; ++j) {
                const int64_t m = mBest + j * step;
                if (m >= 0 && m <= top) ms.push_back(m);
            }
        }
        const std::vector<double> v = search.levelValues((double)step * unit, cMid);
        double best = -HUGE_VAL;
        for (int64_t m : ms) {
            const double c = in.c_min + (double)m * unit;
            const double s = search.score(v, c, level);
            if (s > best) best = s, mBest = m, r.c = c;
            r.candidates.push_back(c);
            r.scores.push_back(s);
            r.levels.push_back(level);
        }
    }
    r.edge = r.c == in.c_min || r.c == in.c_max;
    r.view_angle = search.viewAngle;
    r.limited_view = search.viewAngle < 270;
    r.subapertures = search.description;
    if (r.edge)
        r.notes.push_back(format("best value at the edge of c_range (c = %g): the focus may lie "
                                 "outside [%g %g]; widen c_range", r.c, in.c_min, in.c_max));
    if (r.two_d)
        r.notes.push_back(format("2-D waves: the signals stay off their baseline after every "
                                 "wavefront has passed (by %.3g standard errors of the noise); "
                                 "the search made them 3-D-like first (a half-order time "
                                 "derivative)", r.tail_score));
    if (r.limited_view)
        r.notes.push_back(format("limited view: the sensors surround the region over %.0f degrees "
                                 "only; structures seen from one side look sharp at every c, so c "
                                 "rests on compact features (points, ends of vessels): put the roi "
                                 "on one", r.view_angle));
    return r;
}
