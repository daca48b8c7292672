// Vector pixel kernel: the delay-and-sum of recon.cpp computed for several
// pixels at once, for the instruction set Google Highway picks at run time.
//
// Every pixel gets exactly the value of the scalar kernel. Each lane of a
// vector is one pixel; for each sensor, in increasing order, it evaluates
// the same IEEE operations in the same order as reconPixel (no fused
// multiply-add, no reassociation), so the running sum of every pixel is the
// scalar kernel's sum. The image is cut into square tiles, which the
// threads share out (static schedule); within a tile the sensors are taken
// in blocks, so that the signal samples the tile reads stay in L1 while all
// of the tile's pixels run through the block.
//
// Where the sample index comes from. The index the scalar kernel takes
// depends on the pixel and the sensor only through the squared distance
//     d2 = (ex*ex + ey*ey) + ez*ez,
// through i = reconSampleIndex((k * sqrt(d2)) - q, rows). With k > 0 and q
// finite each of these steps is monotonic in d2 (a correctly rounded square
// root, product and difference never decrease when their operand grows),
// so below the squared distance Tbig at which the position reaches
// 2^31 - 0.5 (where the index drops to 0), i is a step function of d2 alone,
// the same for every sensor:
//     i(d2) = number of m in 1 .. rows-1 with E[m] <= d2,
// where E[m] is the smallest double d2 whose index is at least m. The
// engine finds each E[m] once per call by searching the doubles with the
// scalar kernel's own operations (reconSampleIndex on (k * sqrt(d2)) - q).
// The AVX-512 kernel then needs no square root for most evaluations: a
// 14-bit reciprocal square root estimate (refined by one Newton step when
// the positions run long) guesses g with i in {g, g + 1}, and one exact
// comparison, d2 >= E[g + 1], picks between the two. The estimate only
// chooses which threshold to compare against; the index is decided by the
// exact comparison, so it is the scalar kernel's index bit for bit. One
// vector in eight still takes the correctly rounded square root, which keeps
// the otherwise idle square root unit busy. Pixels where the table does not
// apply (a non-finite coordinate, a sensor on top of a pixel, positions of
// 2^31 and beyond, an unusable k or q) are computed through the square root
// exactly as the scalar kernel does.
//
// Signal lookups. For one sensor the 8 pixels of a vector (4 rows by 2
// columns) read samples within a few samples of each other, so two
// unaligned 8-sample loads and a two-table lane permute fetch all 8 at once.
// Where the tile's geometry guarantees that every vector's samples fit one
// such window (windowCovers), no lane is checked; elsewhere each vector is
// checked and falls back to a hardware gather when they do not fit (coarse
// grids, high sampling rates, the last element of the signal matrix). The
// derivative terms come from a per-tile table of the sensor's weighted
// forward differences, computed with the scalar kernel's operations.
//
// Other instruction sets (AVX2, SSE4, NEON, ...) compute every index through
// the square root and every lookup with a gather, on the same tiles; where
// Highway offers only its one-lane fallback, doRecon runs the scalar kernel.
#include "recon_simd.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <type_traits>
#include <utility>

#ifdef _OPENMP
#include <omp.h>
#endif

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "recon_simd.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

// Per-call data, shared by every instruction set (compiled once).
#ifndef TOFIMAGE_RECON_SIMD_SHARED
#define TOFIMAGE_RECON_SIMD_SHARED
namespace tofimage_simd {

// Padding of the per-row tables on either side, so that a 16-sample window
// around any sample can be read without a bounds test.
constexpr int64_t kPad = 32;

// Smallest squared distance given to the reciprocal square root estimate;
// smaller ones (a sensor on top of a pixel) take the square root path.
constexpr double kTinySquare = 0x1p-1000;

// The largest double below one half: adding it and truncating rounds a
// non-negative position half away from zero.
constexpr double kJustBelowHalf = 0.49999999999999994;

constexpr uint64_t kInfBits = 0x7FF0000000000000ull;

// How the AVX-512 kernel finds sample indices.
enum Guess {
    kNoGuess = 0,   // correctly rounded square root per evaluation
    kEstimate = 1,  // threshold table, 14-bit estimate
    kRefined = 2,   // threshold table, estimate refined by one Newton step
};

struct Plan {
    const double* sigMat;
    int64_t rows, cols, n;
    int64_t last;  // index of the last element of sigMat
    const double* xs;
    const double* ys;
    const double* zs;
    double dx, half1;  // pixel pitch, half - 1
    double k, q;
    int term;   // 1: signal, 2: t * derivative, 3: signal - t * derivative
    bool hasZ;  // some sensor has a non-zero ez * ez
    Guess guess;
    double Tbig;        // smallest d2 whose position rounds to 2^31 or more
    double guessError;  // bound on |estimated - exact position| where it matters
    const double* E;    // E[m], m = 1 .. rows-1: smallest d2 with index >= m
    const double* W;    // W[i] = t[i] * invDt (terms 2 and 3)
    double* Recon;
};

struct Tables {
    std::unique_ptr<double[]> E, W;
};

inline double fromBits(uint64_t b) {
    double x;
    std::memcpy(&x, &b, sizeof x);
    return x;
}

inline uint64_t toBits(double x) {
    uint64_t b;
    std::memcpy(&b, &x, sizeof b);
    return b;
}

// Sample position for a squared distance: the scalar kernel's operations.
inline double positionOf(const Plan& p, double d2) {
    return (p.k * std::sqrt(d2)) - p.q;
}

// Smallest b in [0, hi] with pred(b), for a predicate that is false up to
// some point and true from there on, and true at hi. Gallops out from
// `start` (any value; a good one makes the search short), then bisects.
template <class Pred>
uint64_t firstTrue(Pred pred, uint64_t start, uint64_t hi) {
    start = std::min(start, hi);
    int64_t lo = -1;  // pred(lo) is false; -1: nothing known to be false
    int64_t up = (int64_t)hi;
    if (pred(start)) {
        up = (int64_t)start;
        for (int64_t step = 1; step <= up; step *= 2) {
            if (pred((uint64_t)(up - step))) {
                up -= step;
            } else {
                lo = up - step;
                break;
            }
        }
    } else {
        lo = (int64_t)start;
        for (int64_t step = 1; step < (int64_t)hi - lo; step *= 2) {
            if (pred((uint64_t)(lo + step))) {
                up = lo + step;
                break;
            }
            lo += step;
        }
    }
    while (up - lo > 1) {
        const int64_t mid = lo + (up - lo) / 2;
        if (pred((uint64_t)mid))
            up = mid;
        else
            lo = mid;
    }
    return (uint64_t)up;
}

// Bits of the squared distance at which the position is about `pos`: only
// a starting point for firstTrue.
inline uint64_t estimateBits(const Plan& p, double pos) {
    const double d = (pos + p.q) / p.k;
    if (!(d > 0.0)) return 0;
    const double d2 = d * d;
    return std::isfinite(d2) ? toBits(d2) : kInfBits;
}

// E[m] for one m: the smallest d2 whose sample index is at least m, or Tbig
// when no smaller d2 reaches m.
inline double threshold(const Plan& p, int64_t m) {
    const uint64_t bigBits = toBits(p.Tbig);
    const int32_t rows = (int32_t)p.rows;
    const uint64_t b = firstTrue(
        [&](uint64_t bits) {
            return bits >= bigBits || reconSampleIndex(positionOf(p, fromBits(bits)), rows) >= m;
        },
        estimateBits(p, (double)m - 0.5), bigBits);
    return fromBits(b);
}

// Everything but the thresholds, which the team computes (fillThresholds).
// Returns false when the memory for a table cannot be had.
inline bool makePlan(const ReconInput& in, const ReconGeometry& g, bool wantGuess, Plan* pp,
                     Tables* tables) {
    Plan& p = *pp;
    p.sigMat = in.sigMat;
    p.rows = in.rows;
    p.cols = in.cols;
    p.n = in.n;
    p.last = (int64_t)in.rows * in.cols - 1;
    p.xs = in.x_sensor;
    p.ys = in.y_sensor;
    p.zs = in.z_sensor;
    p.dx = g.dx;
    p.half1 = g.half - 1.0;
    p.k = g.k;
    p.q = g.q;
    p.term = in.image_select == 1.0 ? 1 : in.image_select == 2.0 ? 2 : 3;
    p.hasZ = false;
    for (int64_t s = 0; s < p.cols; ++s)
        if (in.z_sensor[s] * in.z_sensor[s] != 0.0) p.hasZ = true;
    p.guess = kNoGuess;
    p.Tbig = 0.0;
    p.guessError = 0.0;
    p.E = nullptr;
    p.W = nullptr;
    p.Recon = in.Recon;

    if (p.term != 1) {
        tables->W.reset(new (std::nothrow) double[p.rows + 2 * kPad]);
        if (!tables->W) return false;
        double* W = tables->W.get() + kPad;
        std::fill(W - kPad, W + p.rows + kPad, 0.0);
        for (int64_t i = 0; i < p.rows; ++i) W[i] = in.t[i] * g.invDt;
        p.W = W;
    }

    // The threshold table pays for itself when it is small next to the
    // pixel work; the estimate is accurate enough when every position that
    // matters is below 4096 (2^25 after a Newton step) samples.
    const double work = (double)p.n * (double)p.n * (double)p.cols;
    const double span = (double)p.rows + std::fabs(p.q) + 2.0;
    if (wantGuess && p.k > 0.0 && std::isfinite(p.k) && std::isfinite(p.q) &&
        (double)p.rows * 64.0 <= work && span <= 0x1p25) {
        tables->E.reset(new (std::nothrow) double[p.rows + 2 * kPad]);
        if (tables->E) {
            double* E = tables->E.get() + kPad;
            std::fill(E - kPad, E + p.rows + kPad, 0.0);
            p.E = E;
            p.guess = span <= 4096.0 ? kEstimate : kRefined;
            p.guessError = span * (p.guess == kEstimate ? 0x1p-14 : 0x1p-26) * 1.000001;
            p.Tbig = fromBits(firstTrue(
                [&](uint64_t bits) { return !(positionOf(p, fromBits(bits)) < 2147483647.5); },
                estimateBits(p, 2147483647.5), kInfBits));
        }
    }
    return true;
}

// Fills E[1 .. rows-1]; called by every thread of the team.
inline void fillThresholds(const Plan& p) {
    if (p.guess == kNoGuess) return;
    double* E = const_cast<double*>(p.E);
#pragma omp for schedule(static)
    for (int64_t m = 1; m < p.rows; ++m) E[m] = threshold(p, m);
}

// Whether, for the sensor at (xs, ys) with ez * ez = ez2, every pixel whose
// centre lies in [xlo, xhi] x [ylo, yhi] has a squared distance the
// threshold table covers: at least kTinySquare and below Tbig. Rounding is
// monotonic, so ex = xs - x lies in [xs - xhi, xs - xlo] for every such x,
// and d2 lies in [*d2minOut, *d2maxOut], the same operations on the
// smallest and largest |ex| and |ey|.
inline bool tableCovers(const Plan& p, double xs, double ys, double ez2, double xlo, double xhi,
                        double ylo, double yhi, double* d2minOut, double* d2maxOut) {
    if (!(std::isfinite(xs) && std::isfinite(ys) && std::isfinite(ez2))) return false;
    const double exlo = xs - xhi, exhi = xs - xlo;
    const double eylo = ys - yhi, eyhi = ys - ylo;
    const double axmin =
        (exlo <= 0.0 && exhi >= 0.0) ? 0.0 : std::min(std::fabs(exlo), std::fabs(exhi));
    const double axmax = std::max(std::fabs(exlo), std::fabs(exhi));
    const double aymin =
        (eylo <= 0.0 && eyhi >= 0.0) ? 0.0 : std::min(std::fabs(eylo), std::fabs(eyhi));
    const double aymax = std::max(std::fabs(eylo), std::fabs(eyhi));
    const double d2min = (axmin * axmin + aymin * aymin) + ez2;
    const double d2max = (axmax * axmax + aymax * aymax) + ez2;
    *d2minOut = d2min;
    *d2maxOut = d2max;
    return d2min >= kTinySquare && d2max < p.Tbig;
}

}  // namespace tofimage_simd
#endif  // TOFIMAGE_RECON_SIMD_SHARED

HWY_BEFORE_NAMESPACE();
namespace tofimage_simd {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

#if HWY_TARGET == HWY_AVX3 || HWY_TARGET == HWY_AVX3_DL

// Lane l of a vector is the pixel at row kRow[l], column kCol[l] of a block
// of 4 rows by 2 columns. Lane 0, next to the block's centre, places the
// vector's 16-sample window: unless windowCovers says otherwise, it starts 7
// samples before lane 0's own.
constexpr int kRow[8] = {1, 0, 2, 3, 0, 1, 2, 3};
constexpr int kCol[8] = {0, 0, 0, 0, 1, 1, 1, 1};

// A group is 2 x 4 vectors (8 rows by 8 columns) that share the squared
// offsets of a sensor; a tile is square, of up to kMaxTile pixels a side
// (a multiple of 8), and its signal windows for a block of sensors stay in
// L1 while every group of the tile runs through that block.
constexpr int kGroupQuads = 2, kGroupPairs = 4;
constexpr int kMaxTile = 64;
constexpr int kQuads = kMaxTile / 4;  // 4-row blocks in a tile
constexpr int kPairs = kMaxTile / 2;  // 2-column blocks in a tile
constexpr int kSensorBlock = 16;
// Vectors of a group that take the square root where the threshold table
// would do: the square root unit's throughput, used alongside.
constexpr int kSqrtVectors = 1;

// How one sensor is evaluated over one tile.
enum Mode : uint8_t {
    kExact,    // square root per evaluation
    kClamped,  // threshold table; indices may clamp, windows may touch the ends of sigMat
    kCovered,  // threshold table; every index in 1 .. rows-2, and every vector's
               // samples inside one window that lies inside sigMat
};

struct Avx3Consts {
    __m512d k, q;
    __m512d lastGuess;  // rows - 2
    __m512d lastRow;    // rows - 1
    __m512d justBelowHalf, two31, half, threeHalves;
    __m512i one, fifteen, last;
    const double* sig;
    const double* E;
    const double* W;
    int64_t maxStart;        // last start of a window of 17 elements of sigMat
    int64_t tile;            // pixels per side of a tile
    double* scratch;         // per-thread running sums and derivative terms
    int64_t scratchDoubles;  // per thread
};

template <int kTerm>
HWY_INLINE __m512d Accumulate(__m512d R, __m512d sig, __m512d deriv) {
    if (kTerm == 2) return _mm512_add_pd(deriv, R);
    return _mm512_sub_pd(_mm512_add_pd(R, sig), deriv);
}

// Adds the term at sample indices i of the sensor whose column starts at
// colOff, fetched with gathers.
template <int kTerm>
HWY_INLINE __m512d GatherTerm(const Avx3Consts& c, int64_t colOff, __m512i i, __m512d R) {
    const __m512i j = _mm512_add_epi64(i, _mm512_set1_epi64(colOff));
    const __m512d sig = _mm512_i64gather_pd(j, c.sig, 8);
    if (kTerm == 1) return _mm512_add_pd(sig, R);
    // After the last element of the matrix the difference is zero.
    const __m512i jn = _mm512_min_epi64(_mm512_add_epi64(j, c.one), c.last);
    const __m512d next = _mm512_i64gather_pd(jn, c.sig, 8);
    const __m512d weight = _mm512_i64gather_pd(i, c.W, 8);
    return Accumulate<kTerm>(R, sig, _mm512_mul_pd(weight, _mm512_sub_pd(next, sig)));
}

// One sensor for 8 pixels through the correctly rounded square root and
// reconSampleIndex's rounding: half away from zero by adding the largest
// double below 1/2 and truncating; negative, NaN and >= 2^31 give 0.
template <int kTerm>
HWY_INLINE __m512d ExactLane(const Avx3Consts& c, int64_t colOff, __m512d d2, __m512d R) {
    const __m512d pos = _mm512_sub_pd(_mm512_mul_pd(c.k, _mm512_sqrt_pd(d2)), c.q);
    const __m512d up = _mm512_add_pd(pos, c.justBelowHalf);
    const __mmask8 inRange = _mm512_cmp_pd_mask(up, _mm512_setzero_pd(), _CMP_GE_OQ) &
                             _mm512_cmp_pd_mask(up, c.two31, _CMP_LT_OQ);
    const __m512i i = _mm512_cvttpd_epi64(_mm512_maskz_min_pd(inRange, up, c.lastRow));
    return GatherTerm<kTerm>(c, colOff, i, R);
}

// The threshold table's index for guesses g with the index in {g, g + 1}:
// gathers, for the few vectors whose samples do not fit one window.
template <int kTerm>
HWY_INLINE __m512d GatherFast(const Avx3Consts& c, int64_t colOff, __m512d d2, __m512i guess,
                              __m512d R) {
    const __m512d above = _mm512_i64gather_pd(_mm512_add_epi64(guess, c.one), c.E, 8);
    const __mmask8 step = _mm512_cmp_pd_mask(d2, above, _CMP_GE_OQ);
    return GatherTerm<kTerm>(c, colOff, _mm512_mask_add_epi64(guess, step, guess, c.one), R);
}

// One sensor for 8 pixels through the threshold table; the caller has
// checked that every d2 lies in [kTinySquare, Tbig), and for kCovered also
// that every index lies in 1 .. rows-2 and that every lane's guess lies in
// the window starting `off` rows before lane 0's, which lies inside sigMat
// (windowCovers).
template <int kTerm, int kGuess, bool kCover>
HWY_INLINE __m512d FastLane(const Avx3Consts& c, int64_t colOff, const double* D, int64_t off,
                            __m512d d2, __m512d R) {
    // k * sqrt(d2) from the reciprocal square root estimate y; k * d2 does
    // not wait for y.
    const __m512d y = _mm512_rsqrt14_pd(d2);
    __m512d kdist;
    if (kGuess == kRefined) {
        __m512d dist = _mm512_mul_pd(d2, y);
        const __m512d e = _mm512_mul_pd(_mm512_mul_pd(dist, y), c.half);
        kdist = _mm512_mul_pd(c.k, _mm512_mul_pd(dist, _mm512_sub_pd(c.threeHalves, e)));
    } else {
        kdist = _mm512_mul_pd(_mm512_mul_pd(c.k, d2), y);
    }
    // The estimate is within 1/2 of the position, so its floor g has the
    // index in {g, g + 1}; clamping g to [0, rows - 2] keeps that true.
    __m512d pos = _mm512_sub_pd(kdist, c.q);
    if (!kCover) pos = _mm512_min_pd(pos, c.lastGuess);
    __m512i guess = _mm512_cvt_roundpd_epi64(pos, _MM_FROUND_TO_NEG_INF | _MM_FROUND_NO_EXC);
    if (!kCover) guess = _mm512_max_epi64(guess, _mm512_setzero_si512());

    // A 16-sample window starting `off` (7 unless covered) before lane 0's
    // guess, inside sigMat with the sample after it.
    const int64_t g0 = _mm_cvtsi128_si64(_mm512_castsi512_si128(guess));
    int64_t base = g0 - (kCover ? off : 7);  // the window's first row of this sensor
    if (!kCover) {
        int64_t start = colOff + base;
        start = start < 0 ? 0 : start;
        start = start > c.maxStart ? c.maxStart : start;
        base = start - colOff;
    }
    const __m512i rel = _mm512_sub_epi64(guess, _mm512_set1_epi64(base));
    // Unless covered, check 0 <= rel <= 14 in every lane.
    if (!kCover && HWY_UNLIKELY(_mm512_cmpge_epu64_mask(rel, c.fifteen) != 0))
        return GatherFast<kTerm>(c, colOff, d2, guess, R);
    const double* e = c.E + base + 1;
    const __m512d above = _mm512_permutex2var_pd(_mm512_loadu_pd(e), rel, _mm512_loadu_pd(e + 8));
    const __mmask8 step = _mm512_cmp_pd_mask(d2, above, _CMP_GE_OQ);
    const __m512i at = _mm512_mask_add_epi64(rel, step, rel, c.one);
    const double* s = c.sig + colOff + base;
    const __m512d sig = _mm512_permutex2var_pd(_mm512_loadu_pd(s), at, _mm512_loadu_pd(s + 8));
    if (kTerm == 1) return _mm512_add_pd(sig, R);
    const double* w = D + base;
    return Accumulate<kTerm>(
        R, sig, _mm512_permutex2var_pd(_mm512_loadu_pd(w), at, _mm512_loadu_pd(w + 8)));
}

// One sensor for 8 pixels of a covered sensor (kCovered), through the
// correctly rounded square root like ExactLane, but with the window lookup.
// Between FastLane's vectors it keeps the otherwise idle square root unit
// busy, and needs fewer instructions than FastLane.
template <int kTerm>
HWY_INLINE __m512d SqrtLane(const Avx3Consts& c, int64_t colOff, const double* D, int64_t off,
                            __m512d d2, __m512d R) {
    const __m512d pos = _mm512_sub_pd(_mm512_mul_pd(c.k, _mm512_sqrt_pd(d2)), c.q);
    // pos >= 1/2, so adding the largest double below 1/2 and truncating
    // rounds half away from zero.
    const __m512i index = _mm512_cvttpd_epi64(_mm512_add_pd(pos, c.justBelowHalf));
    const int64_t i0 = _mm_cvtsi128_si64(_mm512_castsi512_si128(index));
    const int64_t base = i0 - off;
    const int64_t start = colOff + base;
    const __m512i rel = _mm512_sub_epi64(index, _mm512_set1_epi64(base));
    const double* s = c.sig + start;
    const __m512d sig = _mm512_permutex2var_pd(_mm512_loadu_pd(s), rel, _mm512_loadu_pd(s + 8));
    if (kTerm == 1) return _mm512_add_pd(sig, R);
    const double* w = D + base;
    return Accumulate<kTerm>(
        R, sig, _mm512_permutex2var_pd(_mm512_loadu_pd(w), rel, _mm512_loadu_pd(w + 8)));
}

// Whether, for one sensor over a tile whose pixel centres lie in
// [xlo, xhi] x [ylo, yhi] (squared distances in [d2min, d2max]), the guesses
// of every vector's lanes lie within 14 rows of each other, so that a window
// starting *off rows before lane 0's guess holds them all (and the exact
// indices, which lie no further apart) without a check. Lanes are at most
// 2 columns and 4 rows apart, lane 0 in column 0, row 1; a distance changes
// along the way from lane 0 to lane l by the gradient (x - xs, y - ys) / d
// times the offset, the gradient bounded over the tile.
inline bool windowCovers(const Plan& p, double xs, double ys, double xlo, double xhi, double ylo,
                         double yhi, double d2min, double d2max, int64_t* off) {
    struct Range {
        double lo, hi;
    };
    auto times = [](Range a, Range b) {
        const double v[4] = {a.lo * b.lo, a.lo * b.hi, a.hi * b.lo, a.hi * b.hi};
        return Range{std::min(std::min(v[0], v[1]), std::min(v[2], v[3])),
                     std::max(std::max(v[0], v[1]), std::max(v[2], v[3]))};
    };
    auto over = [](Range a, Range d) {  // a / d with d > 0
        return Range{a.lo >= 0.0 ? a.lo / d.hi : a.lo / d.lo,
                     a.hi >= 0.0 ? a.hi / d.lo : a.hi / d.hi};
    };
    const Range d{std::sqrt(d2min), std::sqrt(d2max)};
    const Range gx = over(Range{xlo - xs, xhi - xs}, d), gy = over(Range{ylo - ys, yhi - ys}, d);
    const Range dxs{std::min(0.0, p.dx), std::max(0.0, p.dx)};  // column offsets 0, 1
    const Range dys{std::min(p.dx, -2.0 * p.dx), std::max(p.dx, -2.0 * p.dx)};  // rows -1 .. 2
    const Range ax = times(dxs, gx), ay = times(dys, gy);
    const double lo = p.k * (ax.lo + ay.lo), hi = p.k * (ax.hi + ay.hi);
    // Guess errors of both lanes, floor, and rounding of everything above.
    const double slack = 2.0 * p.guessError + 1.0 + 1e-6 + (std::fabs(lo) + std::fabs(hi)) * 1e-9;
    const double gmin = std::floor(lo - slack) + 1.0, gmax = std::ceil(hi + slack) - 1.0;
    if (!(gmax - gmin <= 14.0)) return false;
    *off = (int64_t)-gmin;
    return true;
}

// Doubles per thread for the derivative terms of one sensor block.
constexpr int64_t kDerivCapacity = kSensorBlock * 1024;
// Doubles per thread of scratch: the running sums of a tile, then (terms 2
// and 3) the derivative terms.
constexpr int64_t kAccDoubles = (int64_t)kQuads * kPairs * 8;

// The derivative term (t[i] * invDt) * (sigMat[j+1] - sigMat[j]) of sensor s
// for every row i a pixel of the tile can select (first .. final) and 16
// rows either side, so that a window read around any selected row stays
// inside. Computed with the scalar kernel's operations;
// after the last element of the matrix the difference is zero. Sets *out so
// that (*out)[i] is the term at row i; false when the rows do not fit the
// buffer (that sensor then takes the square root path with gathers).
inline bool derivWindow(const Plan& p, const Avx3Consts& c, int64_t s, int64_t first, int64_t final,
                        double* buf, int64_t* used, const double** out) {
    const int64_t lo = first - 16;
    const int64_t hi = final + 16;
    const int64_t size = (hi - lo + 8) / 8 * 8;
    if (*used + size > kDerivCapacity) return false;
    double* D = buf + *used - lo;  // D[i] for i in [lo, lo + size)
    *used += size;
    *out = D;
    const int64_t colOff = s * p.rows;
    if (lo >= 0 && lo + size <= p.rows && colOff + lo + size <= p.last) {
        // Every row inside the column, every following sample inside sigMat.
        const double* sig = p.sigMat + colOff;
        for (int64_t i = lo; i < lo + size; i += 8) {
            const __m512d v = _mm512_loadu_pd(sig + i);
            const __m512d next = _mm512_loadu_pd(sig + i + 1);
            _mm512_storeu_pd(D + i,
                             _mm512_mul_pd(_mm512_loadu_pd(c.W + i), _mm512_sub_pd(next, v)));
        }
        return true;
    }
    const __m512i lane = _mm512_set_epi64(7, 6, 5, 4, 3, 2, 1, 0);
    for (int64_t i = lo; i < lo + size; i += 8) {
        const __m512i row = _mm512_add_epi64(lane, _mm512_set1_epi64(i));
        const __mmask8 valid = _mm512_cmpge_epi64_mask(row, _mm512_setzero_si512()) &
                               _mm512_cmplt_epi64_mask(row, _mm512_set1_epi64(p.rows));
        const __mmask8 before =
            valid & _mm512_cmplt_epi64_mask(_mm512_add_epi64(row, _mm512_set1_epi64(colOff)),
                                            _mm512_set1_epi64(p.last));
        const __m512d sig = _mm512_maskz_loadu_pd(valid, p.sigMat + colOff + i);
        const __m512d next = _mm512_mask_loadu_pd(sig, before, p.sigMat + colOff + i + 1);
        const __m512d weight = _mm512_maskz_loadu_pd(valid, c.W + i);
        _mm512_storeu_pd(D + i, _mm512_mul_pd(weight, _mm512_sub_pd(next, sig)));
    }
    return true;
}

// Number of blocks of `size` covering `extent`, rounded up to a multiple of
// `multiple` and at most `most`.
inline int blocksFor(int64_t extent, int size, int multiple, int most) {
    int64_t b = (extent + size - 1) / size;
    b = (b + multiple - 1) / multiple * multiple;
    return (int)std::min<int64_t>(b, most);
}

// Calls f(integral_constant<int, 0>) ... f(integral_constant<int, N-1>):
// unrolled from the start, so arrays of vectors indexed by them stay in
// registers.
template <class F, int... I>
HWY_INLINE void UnrolledOver(F&& f, std::integer_sequence<int, I...>) {
    (f(std::integral_constant<int, I>()), ...);
}

template <int N, class F>
HWY_INLINE void Unrolled(F&& f) {
    UnrolledOver(f, std::make_integer_sequence<int, N>());
}

// The sensors of one block over one group of 2 x 4 vectors; vector v is
// quad v / 4, pair v % 4 of the group.
template <int kTerm, int kGuess, bool kHasZ>
HWY_INLINE void Avx3Group(const Plan& p, const Avx3Consts& c, int64_t s0, int count,
                          const double* bx, const double* by, const double* bz, const Mode* mode,
                          const int64_t* off, const double* const* deriv, const double (*yq)[8],
                          const double (*xp)[8], double (*acc)[kPairs][8], int b0) {
    constexpr int kQ = kGroupQuads, kP = kGroupPairs, kV = kGroupQuads * kGroupPairs;
    __m512d r[kGroupQuads * kGroupPairs], y[kGroupQuads], x[kGroupPairs];
    Unrolled<kQ>([&](auto a) { y[a] = _mm512_load_pd(yq[a]); });
    Unrolled<kP>([&](auto b) { x[b] = _mm512_load_pd(xp[b]); });
    Unrolled<kV>(
        [&](auto v) { r[v] = _mm512_load_pd(acc[v / kGroupPairs][b0 + v % kGroupPairs]); });
    for (int i = 0; i < count; ++i) {
        const __m512d sx = _mm512_set1_pd(bx[i]), sy = _mm512_set1_pd(by[i]);
        __m512d EY[kGroupQuads], EX[kGroupPairs], d2[kGroupQuads * kGroupPairs];
        Unrolled<kQ>([&](auto a) {
            EY[a] = _mm512_mul_pd(_mm512_sub_pd(sy, y[a]), _mm512_sub_pd(sy, y[a]));
        });
        Unrolled<kP>([&](auto b) {
            EX[b] = _mm512_mul_pd(_mm512_sub_pd(sx, x[b]), _mm512_sub_pd(sx, x[b]));
        });
        Unrolled<kV>([&](auto v) {
            d2[v] = _mm512_add_pd(EX[v % kGroupPairs], EY[v / kGroupPairs]);
            if (kHasZ) d2[v] = _mm512_add_pd(d2[v], _mm512_set1_pd(bz[i]));
        });
        const int64_t colOff = (s0 + i) * p.rows;
        if (kGuess != kNoGuess && mode[i] == kCovered) {
            Unrolled<kV>([&](auto v) {
                if (v < kSqrtVectors)
                    r[v] = SqrtLane<kTerm>(c, colOff, deriv[i], off[i], d2[v], r[v]);
                else
                    r[v] = FastLane<kTerm, kGuess, true>(c, colOff, deriv[i], off[i], d2[v], r[v]);
            });
        } else if (kGuess != kNoGuess && mode[i] == kClamped) {
            Unrolled<kV>([&](auto v) {
                r[v] = FastLane<kTerm, kGuess, false>(c, colOff, deriv[i], 7, d2[v], r[v]);
            });
        } else {
            Unrolled<kV>([&](auto v) { r[v] = ExactLane<kTerm>(c, colOff, d2[v], r[v]); });
        }
    }
    Unrolled<kV>(
        [&](auto v) { _mm512_store_pd(acc[v / kGroupPairs][b0 + v % kGroupPairs], r[v]); });
}

// One tile of c.tile x c.tile pixels (fewer at the image's edges).
template <int kTerm, int kGuess, bool kHasZ>
void Avx3Tile(const Plan& p, const Avx3Consts& c, int64_t tile) {
    const int64_t n = p.n;
    const int64_t tilesDown = (n + c.tile - 1) / c.tile;
    const int64_t K0 = (tile % tilesDown) * c.tile;
    const int64_t L0 = (tile / tilesDown) * c.tile;
    const int quads = blocksFor(n - K0, 4, kGroupQuads, (int)c.tile / 4);
    const int pairs = blocksFor(n - L0, 2, kGroupPairs, (int)c.tile / 2);

    // Pixel centres of every lane. Lanes beyond the image repeat the last
    // row or column; they are computed and thrown away.
    alignas(64) double yq[kQuads][8];
    alignas(64) double xp[kPairs][8];
    double xlo = std::numeric_limits<double>::infinity(), xhi = -xlo, ylo = xlo, yhi = -xlo;
    bool finite = true;
    for (int a = 0; a < quads; ++a)
        for (int l = 0; l < 8; ++l) {
            const int64_t K = std::min<int64_t>(K0 + 4 * a + kRow[l], n - 1);
            const double yv = (p.half1 - (double)K) * p.dx;
            yq[a][l] = yv;
            finite = finite && std::isfinite(yv);
            ylo = std::min(ylo, yv);
            yhi = std::max(yhi, yv);
        }
    for (int b = 0; b < pairs; ++b)
        for (int l = 0; l < 8; ++l) {
            const int64_t L = std::min<int64_t>(L0 + 2 * b + kCol[l], n - 1);
            const double xv = ((double)L - p.half1) * p.dx;
            xp[b][l] = xv;
            finite = finite && std::isfinite(xv);
            xlo = std::min(xlo, xv);
            xhi = std::max(xhi, xv);
        }

        // This thread's scratch: running sums, then the derivative terms of a
        // sensor block.
#ifdef _OPENMP
    double* scratch = c.scratch + (int64_t)omp_get_thread_num() * c.scratchDoubles;
#else
    double* scratch = c.scratch;
#endif
    double(*acc)[kPairs][8] = reinterpret_cast<double(*)[kPairs][8]>(scratch);
    double* derivBuf = scratch + kAccDoubles;

    // Running sums, starting from what the image holds on entry.
    for (int a = 0; a < quads; ++a)
        for (int b = 0; b < pairs; ++b)
            for (int l = 0; l < 8; ++l) {
                const int64_t K = K0 + 4 * a + kRow[l], L = L0 + 2 * b + kCol[l];
                acc[a][b][l] = (K < n && L < n) ? p.Recon[K + L * n] : 0.0;
            }

    // Squared distances below E[1] or at least E[rows-1] may need the index
    // clamps.
    int64_t derivUsed = 0;
    const double innerLo = p.rows >= 3 && kGuess != kNoGuess ? p.E[1] : 0.0;
    const double innerHi = p.rows >= 3 && kGuess != kNoGuess ? p.E[p.rows - 1] : 0.0;
    for (int64_t s0 = 0; s0 < p.cols; s0 += kSensorBlock) {
        const int count = (int)std::min<int64_t>(kSensorBlock, p.cols - s0);
        double bx[kSensorBlock], by[kSensorBlock], bz[kSensorBlock];
        Mode mode[kSensorBlock];
        int64_t off[kSensorBlock];
        const double* deriv[kSensorBlock] = {};
        derivUsed = 0;
        for (int i = 0; i < count; ++i) {
            const int64_t s = s0 + i;
            bx[i] = p.xs[s];
            by[i] = p.ys[s];
            bz[i] = p.zs[s] * p.zs[s];
            mode[i] = kExact;
            double d2min, d2max;
            if (kGuess != kNoGuess && finite &&
                tableCovers(p, bx[i], by[i], bz[i], xlo, xhi, ylo, yhi, &d2min, &d2max)) {
                // Every pixel of the tile takes a row in first .. final (only
                // needed for the derivative terms and at the ends of sigMat:
                // with 16 rows or more, a window of any row of a sensor
                // other than the first and the last lies inside).
                const int64_t colOff = s * p.rows;
                const bool ends = p.rows < 16 || s == 0 || s == p.cols - 1;
                int64_t first = 0, final = p.rows - 1;
                if (kTerm != 1 || ends) {
                    first = reconSampleIndex(positionOf(p, d2min), (int32_t)p.rows);
                    final = reconSampleIndex(positionOf(p, d2max), (int32_t)p.rows);
                }
                mode[i] = kClamped;
                if (d2min >= innerLo && d2max < innerHi &&
                    windowCovers(p, bx[i], by[i], xlo, xhi, ylo, yhi, d2min, d2max, &off[i])) {
                    // Lane 0's guess is at least first - 1 and at most final:
                    // the window and the sample after it stay inside sigMat.
                    if (!ends || (colOff + first - 1 - off[i] >= 0 &&
                                  colOff + final - off[i] + 16 <= p.last))
                        mode[i] = kCovered;
                }
                if (kTerm != 1 &&
                    !derivWindow(p, c, s, first, final, derivBuf, &derivUsed, &deriv[i]))
                    mode[i] = kExact;
            }
        }
        for (int a = 0; a < quads; a += kGroupQuads)
            for (int b = 0; b < pairs; b += kGroupPairs)
                Avx3Group<kTerm, kGuess, kHasZ>(p, c, s0, count, bx, by, bz, mode, off, deriv,
                                                yq + a, xp + b, acc + a, b);
    }

    for (int a = 0; a < quads; ++a)
        for (int b = 0; b < pairs; ++b)
            for (int l = 0; l < 8; ++l) {
                const int64_t K = K0 + 4 * a + kRow[l], L = L0 + 2 * b + kCol[l];
                if (K < n && L < n) p.Recon[K + L * n] = acc[a][b][l];
            }
}

using TileFn = void (*)(const Plan&, const Avx3Consts&, int64_t);

template <int kTerm, int kGuess>
TileFn ChooseTile(const Plan& p) {
    return p.hasZ ? &Avx3Tile<kTerm, kGuess, true> : &Avx3Tile<kTerm, kGuess, false>;
}

template <int kTerm>
TileFn ChooseTile(const Plan& p) {
    switch (p.guess) {
        case kEstimate:
            return ChooseTile<kTerm, kEstimate>(p);
        case kRefined:
            return ChooseTile<kTerm, kRefined>(p);
        default:
            return ChooseTile<kTerm, kNoGuess>(p);
    }
}

bool ReconVectorImpl(const ReconInput& in, const ReconGeometry& g, int team) {
    Plan p;
    Tables tables;
    // The windows need 17 elements of sigMat; smaller matrices take the
    // square root path.
    const bool windows = (int64_t)in.rows * in.cols >= 17;
    if (!makePlan(in, g, windows, &p, &tables)) return false;
    Avx3Consts c;
    c.k = _mm512_set1_pd(p.k);
    c.q = _mm512_set1_pd(p.q);
    c.lastGuess = _mm512_set1_pd((double)(p.rows - 2));
    c.lastRow = _mm512_set1_pd((double)(p.rows - 1));
    c.justBelowHalf = _mm512_set1_pd(kJustBelowHalf);
    c.two31 = _mm512_set1_pd(2147483648.0);
    c.half = _mm512_set1_pd(0.5);
    c.threeHalves = _mm512_set1_pd(1.5);
    c.one = _mm512_set1_epi64(1);
    c.fifteen = _mm512_set1_epi64(15);
    c.last = _mm512_set1_epi64(p.last);
    c.sig = p.sigMat;
    c.E = p.E;
    c.W = p.W;
    c.maxStart = p.last + 1 - 17;
    c.scratchDoubles = kAccDoubles + (p.term != 1 && p.guess != kNoGuess ? kDerivCapacity : 0);
    std::unique_ptr<double[]> scratch(
        new (std::nothrow) double[(size_t)team * c.scratchDoubles + 8]);
    if (!scratch) return false;
    c.scratch = scratch.get() +
                (8 - (reinterpret_cast<uintptr_t>(scratch.get()) / 8) % 8) % 8;  // 64-byte aligned
    // Tiles as large as possible while every thread gets at least two.
    c.tile = kMaxTile;
    while (c.tile > 8 && ((p.n + c.tile - 1) / c.tile) * ((p.n + c.tile - 1) / c.tile) < 2 * team)
        c.tile /= 2;
    const TileFn tileFn = p.term == 1   ? ChooseTile<1>(p)
                          : p.term == 2 ? ChooseTile<2>(p)
                                        : ChooseTile<3>(p);
    const int64_t across = (p.n + c.tile - 1) / c.tile;
    const int64_t tiles = across * across;
#pragma omp parallel num_threads(team)
    {
        fillThresholds(p);
#pragma omp for schedule(static)
        for (int64_t t = 0; t < tiles; ++t) tileFn(p, c, t);
    }
    return true;
}

#elif HWY_TARGET != HWY_SCALAR

// Other vector instruction sets: a vector is N consecutive rows of one
// column; every sample index comes from the correctly rounded square root
// and every lookup is a gather.
constexpr int kGenericVecs = 4;  // vectors per column of a tile
constexpr int kGenericCols = 8;  // columns of a tile
constexpr int kGenericSensorBlock = 16;
constexpr size_t kMaxLanes = HWY_MAX_BYTES / sizeof(double);

template <int kTerm, class D, class V = hn::Vec<D> >
HWY_INLINE V GenericStep(D d, const Plan& p, int64_t colOff, V d2, V R) {
    const hn::RebindToSigned<D> di;
    const V pos = hn::Sub(hn::Mul(hn::Set(d, p.k), hn::Sqrt(d2)), hn::Set(d, p.q));
    const V up = hn::Add(pos, hn::Set(d, kJustBelowHalf));
    const auto inRange = hn::And(hn::Ge(up, hn::Zero(d)), hn::Lt(up, hn::Set(d, 2147483648.0)));
    const auto i = hn::ConvertTo(
        di, hn::IfThenElseZero(inRange, hn::Min(up, hn::Set(d, (double)(p.rows - 1)))));
    const auto j = hn::Add(i, hn::Set(di, colOff));
    const V sig = hn::GatherIndex(d, p.sigMat, j);
    if (kTerm == 1) return hn::Add(sig, R);
    const auto jn = hn::Min(hn::Add(j, hn::Set(di, int64_t{1})), hn::Set(di, p.last));
    const V next = hn::GatherIndex(d, p.sigMat, jn);
    const V weight = hn::GatherIndex(d, p.W, i);
    const V deriv = hn::Mul(weight, hn::Sub(next, sig));
    if (kTerm == 2) return hn::Add(deriv, R);
    return hn::Sub(hn::Add(R, sig), deriv);
}

template <int kTerm>
void GenericTile(const Plan& p, int64_t tile) {
    const hn::ScalableTag<double> d;
    using V = hn::Vec<decltype(d)>;
    const int64_t N = (int64_t)hn::Lanes(d);
    const int64_t n = p.n;
    const int64_t tileRows = kGenericVecs * N;
    const int64_t tilesDown = (n + tileRows - 1) / tileRows;
    const int64_t K0 = (tile % tilesDown) * tileRows;
    const int64_t L0 = (tile / tilesDown) * kGenericCols;
    const int vecs = (int)std::min<int64_t>(kGenericVecs, (n - K0 + N - 1) / N);
    const int cols = (int)std::min<int64_t>(kGenericCols, n - L0);

    HWY_ALIGN double ylane[kGenericVecs * kMaxLanes];
    for (int64_t r = 0; r < vecs * N; ++r) {
        const int64_t K = std::min(K0 + r, n - 1);
        ylane[r] = (p.half1 - (double)K) * p.dx;
    }
    HWY_ALIGN double acc[kGenericCols][kGenericVecs * kMaxLanes];
    double xcol[kGenericCols];
    for (int c = 0; c < cols; ++c) {
        xcol[c] = ((double)(L0 + c) - p.half1) * p.dx;
        for (int64_t r = 0; r < vecs * N; ++r)
            acc[c][r] = K0 + r < n ? p.Recon[K0 + r + (L0 + c) * n] : 0.0;
    }

    // One vector at a time (scalable vectors cannot form arrays); the
    // sensors of a block are independent apart from the running sum.
    for (int64_t s0 = 0; s0 < p.cols; s0 += kGenericSensorBlock) {
        const int64_t s1 = std::min<int64_t>(p.cols, s0 + kGenericSensorBlock);
        for (int c = 0; c < cols; ++c)
            for (int v = 0; v < vecs; ++v) {
                const V yv = hn::Load(d, ylane + v * N);
                V R = hn::Load(d, acc[c] + v * N);
                for (int64_t s = s0; s < s1; ++s) {
                    const double ex = p.xs[s] - xcol[c];
                    const V ey = hn::Sub(hn::Set(d, p.ys[s]), yv);
                    V d2 = hn::Add(hn::Set(d, ex * ex), hn::Mul(ey, ey));
                    if (p.hasZ) d2 = hn::Add(d2, hn::Set(d, p.zs[s] * p.zs[s]));
                    R = GenericStep<kTerm>(d, p, s * p.rows, d2, R);
                }
                hn::Store(R, d, acc[c] + v * N);
            }
    }

    for (int c = 0; c < cols; ++c)
        for (int64_t r = 0; r < vecs * N && K0 + r < n; ++r)
            p.Recon[K0 + r + (L0 + c) * n] = acc[c][r];
}

bool ReconVectorImpl(const ReconInput& in, const ReconGeometry& g, int team) {
    Plan p;
    Tables tables;
    if (!makePlan(in, g, false, &p, &tables)) return false;
    void (*tileFn)(const Plan&, int64_t) = p.term == 1   ? &GenericTile<1>
                                           : p.term == 2 ? &GenericTile<2>
                                                         : &GenericTile<3>;
    const int64_t N = (int64_t)hn::Lanes(hn::ScalableTag<double>());
    const int64_t tiles = ((p.n + kGenericVecs * N - 1) / (kGenericVecs * N)) *
                          ((p.n + kGenericCols - 1) / kGenericCols);
#pragma omp parallel for num_threads(team) schedule(static)
    for (int64_t t = 0; t < tiles; ++t) tileFn(p, t);
    return true;
}

#else  // HWY_SCALAR: one lane buys nothing over the scalar kernel.

bool ReconVectorImpl(const ReconInput&, const ReconGeometry&, int) {
    return false;
}

#endif

const char* TargetNameImpl() {
#if HWY_TARGET == HWY_SCALAR
    return nullptr;
#else
    return hwy::TargetName(HWY_TARGET);
#endif
}

}  // namespace HWY_NAMESPACE
}  // namespace tofimage_simd
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace tofimage_simd {
HWY_EXPORT(ReconVectorImpl);
HWY_EXPORT(TargetNameImpl);
}  // namespace tofimage_simd

bool reconVector(const ReconInput& in, const ReconGeometry& g, int team) {
    return HWY_DYNAMIC_DISPATCH(tofimage_simd::ReconVectorImpl)(in, g, team);
}

const char* reconVectorTarget() {
    return HWY_DYNAMIC_DISPATCH(tofimage_simd::TargetNameImpl)();
}
#endif
