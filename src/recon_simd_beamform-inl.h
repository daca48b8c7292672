// The general beamformer's vector kernel, written once in portable Highway
// ops and compiled for every instruction set (recon_simd_beamform.cpp).
//
// A vector holds consecutive points of the plan's visiting order, a compact
// cell of the points' grid (pointOrder in recon_beamform.cpp), so their
// pairs with one sensor are mostly accepted or rejected together, and their
// samples lie within a few samples of each other, which a window
// of consecutive samples and a lane permute fetch where a gather would load
// each lane alone. The sensors run in increasing order, as in the scalar
// definition (recon_beamform.cpp), and each lane performs the scalar
// definition's operations in its order. A masked pair adds +0 to its sums,
// which changes nothing: a sum that starts at +0 never becomes -0, and
// x + 0 = x for every other x. A vector whose pairs are all masked costs
// neither reads nor sums (AllFalse), which is what makes an f-number cheap.
// Positions and weights are found once per (point, sensor) and serve a
// batch of frames.
//
// The work runs in blocks of sensors: for each vector of a chunk's points,
// first every pair of the block is found (position, index, window, weight),
// then their samples are read and summed. Finding them is a long chain (the
// square root, the index, the window's place) that the core overlaps across
// sensors only when the reads and sums do not wait on it in between.
//
// The windows other than box are evaluated lane by lane with the scalar
// definition's own function (beamApodization); they are the rare option.

// Per-target include guard, as Highway's own -inl.h headers have.
#if defined(TOFIMAGE_RECON_SIMD_BEAMFORM_INL_H_) == defined(HWY_TARGET_TOGGLE)
#ifdef TOFIMAGE_RECON_SIMD_BEAMFORM_INL_H_
#undef TOFIMAGE_RECON_SIMD_BEAMFORM_INL_H_
#else
#define TOFIMAGE_RECON_SIMD_BEAMFORM_INL_H_
#endif

#include <algorithm>
#include <cstdint>
#include <type_traits>

#include <hwy/highway.h>

#include "recon_beamform_plan.h"
#include "recon_simd_exact-inl.h"
#include "recon_simd_families-inl.h"

HWY_BEFORE_NAMESPACE();
namespace tofimage_simd {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

struct BeamArith {
    using D = hn::ScalableTag<double>;
    using V = hn::Vec<D>;
    static HWY_INLINE V Set(double x) { return hn::Set(D(), x); }
    static HWY_INLINE V Add(V a, V b) { return hn::Add(a, b); }
    static HWY_INLINE V Sub(V a, V b) { return hn::Sub(a, b); }
    static HWY_INLINE V Mul(V a, V b) { return hn::Mul(a, b); }
    static HWY_INLINE V Sqrt(V a) { return hn::Sqrt(a); }
};

using BD = BeamArith::D;
using BDI = hn::RebindToSigned<BD>;
using BV = hn::Vec<BD>;
using BI = hn::Vec<BDI>;
using BM = hn::Mask<BD>;

// The primitive whose best form differs by instruction set: the truncated
// sample index i0 of a position 0 <= x < 2^31, its successor
// i1 = min(i0 + 1, last) and i0 as a double. x86 before AVX-512 converts
// doubles to 64-bit integers only by emulation, but to 32-bit ones
// natively; the result is the same. AVX-512 converts natively, and in this
// range needs none of the fix-ups Highway's ConvertTo adds for others.
HWY_INLINE void BeamIndices(BV x, int32_t last, BI& i0, BI& i1, BV& floor) {
#if HWY_ARCH_X86 && HWY_TARGET <= HWY_AVX3
    i0 = BI{_mm512_cvttpd_epi64(x.raw)};
    floor = BV{_mm512_cvtepi64_pd(i0.raw)};
    i1 = hn::Min(hn::Add(i0, hn::Set(BDI(), int64_t{1})), hn::Set(BDI(), (int64_t)last));
#elif HWY_ARCH_X86
    const hn::Rebind<int32_t, BD> d32;
    const auto i = hn::DemoteTo(d32, x);
    floor = hn::PromoteTo(BD(), i);
    i0 = hn::PromoteTo(BDI(), i);
    i1 = hn::PromoteTo(BDI(), hn::Min(hn::Add(i, hn::Set(d32, 1)), hn::Set(d32, last)));
#else
    i0 = hn::ConvertTo(BDI(), x);
    floor = hn::ConvertTo(BD(), i0);
    i1 = hn::Min(hn::Add(i0, hn::Set(BDI(), int64_t{1})), hn::Set(BDI(), (int64_t)last));
#endif
}

// Which lanes of a pair contribute, kept between finding and reading it:
// AVX-512's masks are registers of their own, stored as bits; elsewhere a
// mask is a vector, stored as one.
HWY_INLINE void BeamStoreUse(BM use, double* at) {
#if HWY_ARCH_X86 && HWY_TARGET <= HWY_AVX3
    hn::StoreMaskBits(BD(), use, reinterpret_cast<uint8_t*>(at));
#else
    hn::Store(hn::VecFromMask(BD(), use), BD(), at);
#endif
}
HWY_INLINE BM BeamLoadUse(const double* at) {
#if HWY_ARCH_X86 && HWY_TARGET <= HWY_AVX3
    return hn::LoadMaskBits(BD(), reinterpret_cast<const uint8_t*>(at));
#else
    return hn::MaskFromVec(hn::Load(BD(), at));
#endif
}

// Most doubles a vector of any target holds.
constexpr size_t kBeamMaxLanes = HWY_MAX_BYTES / sizeof(double);

// Window fetch: consecutive points lie near each other, so one sensor's
// samples for a vector of them span a few samples, and loads of the samples
// around them and lane permutes fetch them all, where a gather costs a load
// per lane. The family's own primitives (recon_simd_<family>-inl.h) serve
// where their index vectors are Highway's: AVX-512's wide window of
// kWideWindow samples (its narrow one would save a little where it fits,
// but choosing between the two per sensor costs more in mispredicted
// branches). Elsewhere every vector gathers.
#if TOFIMAGE_FAMILY == TOFIMAGE_FAMILY_AVX3
constexpr int64_t kBeamWindow = Family::kWideWindow;
static_assert(Family::kLanes == HWY_LANES(double), "the family's vectors are Highway's");
HWY_INLINE BV BeamLookup(const double* w, BI rel) { return BV{Family::LookupWide(w, rel.raw)}; }
// Whether some lane lies outside 0 .. most.
HWY_INLINE bool BeamOutside(BI rel, int64_t most) { return Family::AnyOutside(rel.raw, most); }
#else
constexpr int64_t kBeamWindow = 0;
HWY_INLINE BV BeamLookup(const double*, BI) { return hn::Zero(BD()); }
HWY_INLINE bool BeamOutside(BI, int64_t) { return true; }
#endif

// Two vectors of consecutive points (a compact cell of the visiting order),
// a and b, run through a block's sensors together as a unit: they share
// each sensor's broadcasts, its bookkeeping and, where their samples fit one
// window, the window's loads. (Two named vectors, not an array: scalable
// vectors cannot be array elements.)
constexpr int kBeamUnit = 2;

// The start of a window about sample `centre`, within the record.
HWY_INLINE int64_t BeamWindowAt(int64_t centre, int64_t rows) {
    return std::min(std::max(centre - (kBeamWindow / 2 - 1), int64_t{0}), rows - kBeamWindow);
}

// The used lanes' indices r0 relative to `start` (0 in the others).
HWY_INLINE BI BeamRelative(BI r0, BM use, int64_t start) {
    const BDI di;
    return hn::IfThenElseZero(hn::RebindMask(di, use), hn::Sub(r0, hn::Set(di, start)));
}

// One vector's own window, about its middle lane, where it holds every used
// lane's samples (index at most kMost).
template <int64_t kMost>
HWY_INLINE void BeamPlaceOne(BI& r0, BM use, int64_t rows, int64_t& start) {
    const int64_t at = BeamWindowAt(hn::ExtractLane(r0, hn::Lanes(BDI()) / 2), rows);
    const BI r = BeamRelative(r0, use, at);
    if (BeamOutside(r, kMost)) return;
    r0 = r;
    start = at;
}

// Where one sensor's samples of a unit come from: the window of samples from
// start[u] on (u = 0 for a, 1 for b), which holds every used lane's i0 and,
// for linear interpolation, i0 + 1 (masked lanes are ignored); r0 then
// becomes relative to start[u]. One window placed about the unit's middle
// (b's first lane) serves both vectors where it holds them; otherwise each
// vector's own, placed about its middle lane (a lane the
// angle leaves out still has its index, BeamFind), or none: start[u] = -1,
// the vector gathers at i0 and i1. A lane at the record's last sample (whose
// i1 is i0) never fits: a window ends at the last sample at the latest.
// `windows`: the record holds a window.
template <bool kLinear>
HWY_INLINE void BeamPlace(BI& r0a, BM usea, BI& r0b, BM useb, int64_t rows, bool windows,
                          int64_t (&start)[kBeamUnit]) {
    constexpr int64_t kMost = kBeamWindow - (kLinear ? 2 : 1);
    start[0] = start[1] = -1;
    if (kBeamWindow == 0 || !windows) return;
    const int64_t shared = BeamWindowAt(hn::ExtractLane(r0b, 0), rows);
    const BI ra = BeamRelative(r0a, usea, shared), rb = BeamRelative(r0b, useb, shared);
    if (!(BeamOutside(ra, kMost) | BeamOutside(rb, kMost))) {
        r0a = ra, r0b = rb;
        start[0] = start[1] = shared;
        return;
    }
    BeamPlaceOne<kMost>(r0a, usea, rows, start[0]);
    BeamPlaceOne<kMost>(r0b, useb, rows, start[1]);
}

// The value at the pair's position in one column: the sample (nearest) or
// g[i0] + frac * (g[i1] - g[i0]) (linear), from the window at `start`
// (r0 = i0 - start; i1 is i0 + 1 there) or gathered at r0 = i0, r1 = i1
// (BeamPlace).
template <bool kLinear>
HWY_INLINE BV BeamSample(const double* column, int64_t start, BI r0, BI r1, BV frac) {
    const BD d;
    BV v0, v1;
    if (start >= 0) {
        v0 = BeamLookup(column + start, r0);
        if (kLinear) v1 = BeamLookup(column + start, hn::Add(r0, hn::Set(BDI(), int64_t{1})));
    } else {
        v0 = hn::GatherIndex(d, column, r0);
        if (kLinear) v1 = hn::GatherIndex(d, column, r1);
    }
    if (!kLinear) return v0;
    return hn::Add(v0, hn::Mul(frac, hn::Sub(v1, v0)));
}

// What a beamformer sums besides a_s (s0): nothing (das), a_s^2 (cf,
// das-cf), h and h^2 (dmas, sdmas), or the imaginary parts (envelope).
enum class BeamSums { kDas, kSquares, kRoots, kComplex };

inline BeamSums BeamSumsOf(const BeamformTables& b) {
    if (b.envelope) return BeamSums::kComplex;
    switch (b.beamformer) {
        case Beamformer::Cf:
        case Beamformer::DasCf:
            return BeamSums::kSquares;
        case Beamformer::Dmas:
        case Beamformer::Sdmas:
            return BeamSums::kRoots;
        default:
            return BeamSums::kDas;
    }
}

// One frame's sums after one sensor (beamOutput names them s0, s1, s2).
template <bool kLinear, BeamSums kSums>
HWY_INLINE void BeamAccumulate(const double* re, const double* im, int64_t start, BI r0, BI r1,
                               BV frac, BV weight, BM use, BV& s0, BV& s1, BV& s2) {
    const BV a =
        hn::IfThenElseZero(use, hn::Mul(weight, BeamSample<kLinear>(re, start, r0, r1, frac)));
    s0 = hn::Add(s0, a);
    if (kSums == BeamSums::kComplex) {
        const BV ai = hn::IfThenElseZero(
            use, hn::Mul(weight, BeamSample<kLinear>(im, start, r0, r1, frac)));
        s1 = hn::Add(s1, ai);
    } else if (kSums == BeamSums::kSquares) {
        s1 = hn::Add(s1, hn::Mul(a, a));
    } else if (kSums == BeamSums::kRoots) {
        const BV h = hn::CopySign(hn::Sqrt(hn::Abs(a)), a);
        s1 = hn::Add(s1, h);
        s2 = hn::Add(s2, hn::Mul(h, h));
    }
}

// Sensors whose pairs with a vector of points are found before any of their
// samples is read.
constexpr int kBeamBlock = 8;

// Points whose pairs with a sensor an f-number rejects together are skipped
// together (a multiple of every unit's points: two vectors of up to 32
// lanes).
constexpr int64_t kBeamGroup = 64;
static_assert(kBeamGroup % (kBeamUnit * kBeamMaxLanes) == 0 &&
                  kBeamPointPad >= (int64_t)(kBeamUnit * kBeamMaxLanes) - 1,
              "groups hold whole units, and the padding a unit's points beyond the last");

// A block's pairs with one unit of vectors, found (BeamFind) and then read
// and summed (BeamBlocks): per sensor, where its samples come from (start,
// i0 and i1: BeamPlace), frac, the weight, and which lanes contribute.
struct BeamFound {
    int32_t count = 0;                  // sensors with a contributing lane
    int32_t sensor[kBeamBlock];         // ... in increasing order
    int64_t start[kBeamBlock][kBeamUnit];
    HWY_ALIGN int64_t i0[kBeamBlock][kBeamUnit][kBeamMaxLanes];
    HWY_ALIGN int64_t i1[kBeamBlock][kBeamUnit][kBeamMaxLanes];  // where it gathers
    HWY_ALIGN double frac[kBeamBlock][kBeamUnit][kBeamMaxLanes];
    HWY_ALIGN double weight[kBeamBlock][kBeamUnit][kBeamMaxLanes];
    HWY_ALIGN double use[kBeamBlock][kBeamUnit][kBeamMaxLanes];  // BeamStoreUse
};

// One sensor: its position, weight and minus its normal.
struct BeamSensor {
    double x, y, z, w, mx, my, mz;
};

// A sensor's pairs with a vector of points: their squared distances d2
// and, with an f-number, which lanes the angle accepts and their weights
// (lanes: scratch); whether any lane is left. Without kHasZ every sensor and
// point lies in one plane z = const, so every ez = zs - pz is +0: its square
// adds nothing to d2, and its term of the angle's dot product can change
// only the sign of a zero dot, whose pair the angle rejects either way
// (cosMax > 0).
template <bool kHasZ, bool kAngle>
HWY_INLINE bool BeamReach(const BeamformTables& b, const BeamSensor& S, BV px, BV py, BV pz,
                          BV& d2, BM& use, BV& weight, double* lanes) {
    const BD d;
    const BV zero = hn::Zero(d);
    const BV ex = hn::Sub(hn::Set(d, S.x), px);
    const BV ey = hn::Sub(hn::Set(d, S.y), py);
    const BV ez = kHasZ ? hn::Sub(hn::Set(d, S.z), pz) : zero;
    d2 = SquaredDistance<BeamArith, kHasZ>(Square<BeamArith>(ex), Square<BeamArith>(ey),
                                           kHasZ ? Square<BeamArith>(ez) : zero);
    use = hn::Eq(zero, zero);
    weight = hn::Set(d, S.w);
    if (!kAngle) return true;
    const BV dotXY = hn::Add(hn::Mul(hn::Set(d, S.mx), ex), hn::Mul(hn::Set(d, S.my), ey));
    const BV dot = kHasZ ? hn::Add(dotXY, hn::Mul(hn::Set(d, S.mz), ez)) : dotXY;
    const BV dist = hn::Sqrt(d2);
    const BV cosT = hn::Div(dot, dist);
    const BM away = hn::Gt(dist, zero);  // at the sensor: accepted
    use = hn::Or(hn::Not(away), hn::Ge(cosT, hn::Set(d, b.cosMax)));
    if (hn::AllFalse(d, use)) return false;
    if (b.window != BeamWindow::Box) {
        // cos(theta) 1 (factor 1) where the scalar definition keeps the
        // sensor's weight as it is.
        hn::Store(hn::IfThenElse(hn::And(use, away), cosT, hn::Set(d, 1.0)), d, lanes);
        for (size_t l = 0; l < hn::Lanes(d); ++l) lanes[l] = S.w * beamApodization(b, lanes[l]);
        weight = hn::Load(d, lanes);
        use = hn::And(use, hn::Ne(weight, zero));
    }
    return !hn::AllFalse(d, use);
}

// The sample indices of a vector's squared distances d2, and which of the
// lanes in `use` lie in the record; whether any lane is left.
template <bool kLinear>
HWY_INLINE bool BeamIndex(const BeamformTables& b, BV d2, BM& use, BI& i0, BI& i1, BV& frac) {
    const BD d;
    const BV zero = hn::Zero(d);
    const BV position = SamplePosition<BeamArith>(hn::Set(d, b.k), hn::Set(d, b.q), d2);
    BV floor;
    frac = zero;
    if (kLinear) {
        // Lanes outside the record read sample 0; lanes the angle leaves
        // out keep their index, which places the window.
        const BM inRecord = hn::And(hn::Ge(position, zero), hn::Le(position, hn::Set(d, b.lastD)));
        use = hn::And(use, inRecord);
        const BV inside = hn::IfThenElseZero(inRecord, position);
        BeamIndices(inside, b.rows - 1, i0, i1, floor);  // truncated: inside >= 0
        frac = hn::Sub(inside, floor);
    } else {
        const BV up = RoundingUp<BeamArith>(position);
        const BM inRecord = hn::And(hn::Ge(up, zero), hn::Lt(up, hn::Set(d, b.rowsD)));
        use = hn::And(use, inRecord);
        BeamIndices(hn::IfThenElseZero(inRecord, up), b.rows - 1, i0, i1, floor);
        i1 = i0;
    }
    return !hn::AllFalse(d, use);
}

// Vector u's pair with the block's sensor n into `found` (start[u] set);
// count gains the lanes that contribute.
template <bool kLinear, bool kCount>
HWY_INLINE void BeamKeep(BeamFound& found, int32_t n, int u, BM use, BI i0, BI i1, BV frac,
                         BV weight, BV& count) {
    const BD d;
    if (kCount) count = hn::Add(count, hn::IfThenElseZero(use, hn::Set(d, 1.0)));
    hn::Store(i0, BDI(), found.i0[n][u]);
    if (kLinear) {
        if (found.start[n][u] < 0) hn::Store(i1, BDI(), found.i1[n][u]);
        hn::Store(frac, d, found.frac[n][u]);
    }
    hn::Store(weight, d, found.weight[n][u]);
    BeamStoreUse(use, found.use[n][u]);
}

// The pairs of a unit's points (a: ax, ay, az; b: bx, by, bz) with the
// sensors active[first, last), into `found`; counta and countb gain, per
// lane, the pairs that contribute.
template <bool kLinear, bool kCount, bool kHasZ, bool kAngle>
HWY_INLINE void BeamFind(const BeamformTables& b, const int32_t* active, BV ax, BV ay, BV az,
                         BV bx, BV by, BV bz, size_t first, size_t last, BeamFound& found,
                         BV& counta, BV& countb) {
    HWY_ALIGN double lanes[kBeamMaxLanes];
    // The tables in locals: the compiler cannot keep them in registers
    // across the vector stores below, which may alias anything.
    const double *xs = b.xs.data(), *ys = b.ys.data(), *zs = b.zs.data(), *w = b.w.data();
    const double *mx = b.mx.data(), *my = b.my.data(), *mz = b.mz.data();
    const int64_t rows = b.rows;
    const bool windows = rows >= kBeamWindow;
    int32_t pairs = 0;
    for (size_t j = first; j < last; ++j) {
        const int32_t s = active[j];
        const BeamSensor S{xs[s], ys[s], zs[s], w[s],
                           kAngle ? mx[s] : 0.0, kAngle ? my[s] : 0.0, kAngle ? mz[s] : 0.0};
        BV d2a, d2b, weighta, weightb, fraca, fracb;
        BM usea, useb;
        BI i0a, i0b, i1a, i1b;
        if (!(BeamReach<kHasZ, kAngle>(b, S, ax, ay, az, d2a, usea, weighta, lanes) |
              BeamReach<kHasZ, kAngle>(b, S, bx, by, bz, d2b, useb, weightb, lanes)))
            continue;  // the angle leaves out every pair
        if (!(BeamIndex<kLinear>(b, d2a, usea, i0a, i1a, fraca) |
              BeamIndex<kLinear>(b, d2b, useb, i0b, i1b, fracb)))
            continue;
        const int32_t n = pairs++;
        found.sensor[n] = s;
        BeamPlace<kLinear>(i0a, usea, i0b, useb, rows, windows, found.start[n]);
        BeamKeep<kLinear, kCount>(found, n, 0, usea, i0a, i1a, fraca, weighta, counta);
        BeamKeep<kLinear, kCount>(found, n, 1, useb, i0b, i1b, fracb, weightb, countb);
    }
    found.count = pairs;
}

// One frame's sums of vector u of a unit after the block's sensor n
// (BeamFind), whose column is r (and i, the imaginary parts), read from the
// window at `start` or gathered.
template <bool kLinear, BeamSums kSums>
HWY_INLINE void BeamRead(const BeamFound& found, int32_t n, int u, int64_t start, const double* r,
                         const double* i, BV& s0, BV& s1, BV& s2) {
    const BD d;
    const BDI di;
    const BI i0 = hn::Load(di, found.i0[n][u]);
    const BI i1 = kLinear && start < 0 ? hn::Load(di, found.i1[n][u]) : i0;
    const BV frac = kLinear ? hn::Load(d, found.frac[n][u]) : hn::Zero(d);
    BeamAccumulate<kLinear, kSums>(r, i, start, i0, i1, frac, hn::Load(d, found.weight[n][u]),
                                   BeamLoadUse(found.use[n][u]), s0, s1, s2);
}

// Of the sensors active[0, n), those whose cone meets the ball, into near;
// returns how many.
HWY_NOINLINE size_t BeamNear(const BeamformTables& b, const BeamBall& ball, const int32_t* active,
                             size_t n, int32_t* near) {
    size_t to = 0;
    for (size_t j = 0; j < n; ++j)
        if (!beamBallRejected(b, ball, active[j])) near[to++] = active[j];
    return to;
}

// The images of points [begin, end) (at most kBeamChunk; whole units: the
// point arrays are padded) for `frames` frames. The sensors run in blocks,
// and each block over every unit of points in turn: consecutive units
// read nearby samples of the block's sensors, which then stay in the
// nearest cache. A unit's sums wait in memory between blocks; within a
// block, one frame's at a time stay in registers.
template <bool kLinear, BeamSums kSums, bool kAngle>
HWY_NOINLINE void BeamBlocks(const BeamformTables& b, const BeamColumns& g, int64_t frames,
                             int64_t begin, int64_t end, double* image) {
    const BD d;
    const int64_t N = (int64_t)hn::Lanes(d);
    const int64_t U = kBeamUnit * N;  // points of a unit
    constexpr bool kComplex = kSums == BeamSums::kComplex;
    constexpr bool kCount = kSums == BeamSums::kSquares;
    constexpr int64_t kMostPoints = kBeamChunk + kBeamUnit * kBeamMaxLanes;
    // Per vector v and frame f, s0, s1, s2 at ((v * frames + f) * 3 + j) * N;
    // the counts at v * N.
    HWY_ALIGN double sums[3 * 8 * kMostPoints];
    HWY_ALIGN double counts[kMostPoints];
    BeamFound found;
    const int32_t* active = b.active.data();
    size_t sensors = b.active.size();
    const int64_t rows = b.rows;
    const double *re = g.re, *im = g.im;
    const int64_t vectors = (end - begin + U - 1) / U * kBeamUnit;
    std::fill(sums, sums + 3 * frames * vectors * N, 0.0);
    std::fill(counts, counts + vectors * N, 0.0);
    // Whether the chunk's points (padding included) lie in the sensors' plane.
    const bool flat = b.flatZ && std::all_of(b.Z.begin() + begin, b.Z.begin() + begin + vectors * N,
                                             [&](double z) { return z == b.zs[0]; });

    // With an f-number, the points run in groups of kBeamGroup, each with
    // the sensors whose cone meets the group's ball (beamBallRejected): the
    // pairs of a group with a sensor whose cone misses it cost no work, and
    // the blocks hold only sensors that may contribute.
    const int64_t span = kAngle ? std::max(kBeamGroup, U) : vectors * N;
    std::vector<int32_t> near;
    if (kAngle) near.resize(sensors);
    for (int64_t g0 = 0; g0 < vectors * N; g0 += span) {
        const int64_t vEnd = std::min(vectors, (g0 + span) / N);
        if (kAngle) {
            const BeamBall ball = beamBallOf(b, begin + g0, begin + vEnd * N);
            sensors = BeamNear(b, ball, b.active.data(), b.active.size(), near.data());
            active = near.data();
        }
        for (size_t first = 0; first < sensors; first += kBeamBlock) {
            const size_t last = std::min(sensors, first + kBeamBlock);
            for (int64_t v = g0 / N; v < vEnd; v += kBeamUnit) {
                const int64_t pa = begin + v * N, pb = pa + N;  // a's first point, b's
                BV counta = hn::Load(d, counts + v * N), countb = hn::Load(d, counts + (v + 1) * N);
                const BV ax = hn::LoadU(d, b.X.data() + pa), ay = hn::LoadU(d, b.Y.data() + pa),
                         az = hn::LoadU(d, b.Z.data() + pa);
                const BV bx = hn::LoadU(d, b.X.data() + pb), by = hn::LoadU(d, b.Y.data() + pb),
                         bz = hn::LoadU(d, b.Z.data() + pb);
                if (flat)
                    BeamFind<kLinear, kCount, false, kAngle>(b, active, ax, ay, az, bx, by, bz,
                                                             first, last, found, counta, countb);
                else
                    BeamFind<kLinear, kCount, true, kAngle>(b, active, ax, ay, az, bx, by, bz,
                                                            first, last, found, counta, countb);
                hn::Store(counta, d, counts + v * N);
                hn::Store(countb, d, counts + (v + 1) * N);
                for (int64_t f = 0; f < frames; ++f) {
                    // One frame's sums stay in registers for the block.
                    double* at = sums + 3 * (v * frames + f) * N;  // a's; b's bt
                    double* bt = sums + 3 * ((v + 1) * frames + f) * N;
                    BV s0a = hn::Load(d, at), s1a = hn::Load(d, at + N), s2a = hn::Load(d, at + 2 * N);
                    BV s0b = hn::Load(d, bt), s1b = hn::Load(d, bt + N), s2b = hn::Load(d, bt + 2 * N);
                    for (int32_t n = 0; n < found.count; ++n) {
                        const int64_t col = f * g.frameStep + (int64_t)found.sensor[n] * rows;
                        const double* r = re + col;
                        const double* i = kComplex ? im + col : nullptr;
                        const int64_t start = found.start[n][0];
                        if (kBeamWindow > 0 && start >= 0 && start == found.start[n][1]) {
                            // One window for both: the compiler loads it
                            // once. (Only targets with windows share one:
                            // GCC 12 crashes on this branch for SVE.)
                            BeamRead<kLinear, kSums>(found, n, 0, start, r, i, s0a, s1a, s2a);
                            BeamRead<kLinear, kSums>(found, n, 1, start, r, i, s0b, s1b, s2b);
                        } else {
                            BeamRead<kLinear, kSums>(found, n, 0, start, r, i, s0a, s1a, s2a);
                            BeamRead<kLinear, kSums>(found, n, 1, found.start[n][1], r, i, s0b,
                                                     s1b, s2b);
                        }
                    }
                    hn::Store(s0a, d, at), hn::Store(s1a, d, at + N), hn::Store(s2a, d, at + 2 * N);
                    hn::Store(s0b, d, bt), hn::Store(s1b, d, bt + N), hn::Store(s2b, d, bt + 2 * N);
                }
            }
        }
    }

    // The outputs, lane by lane with the scalar definition's function.
    for (int64_t v = 0; v < vectors; ++v) {
        const int64_t p0 = begin + v * N;
        const int64_t valid = std::min(N, end - p0);
        for (int64_t f = 0; f < frames; ++f) {
            const double* at = sums + 3 * (v * frames + f) * N;
            for (int64_t l = 0; l < valid; ++l)
                image[f * b.points + b.pointAt(p0 + l)] =
                    beamOutput(b, at[l], at[N + l], at[2 * N + l], counts[v * N + l]);
        }
    }
}

// The images of a batch of frames (at most 8), the points shared out in
// chunks on b.team threads.
inline bool BeamRun(const BeamformTables& b, const BeamColumns& g, int64_t frames, double* image) {
    if (frames > 8) return false;
    const int64_t chunk = kBeamChunk;
    const int64_t chunks = (b.points + chunk - 1) / chunk;
    // The run-time choices as template arguments.
    using Blocks = void (*)(const BeamformTables&, const BeamColumns&, int64_t, int64_t, int64_t,
                            double*);
    const auto choose = [&](auto linear, auto angle) -> Blocks {
        constexpr bool kLinear = decltype(linear)::value, kAngle = decltype(angle)::value;
        switch (BeamSumsOf(b)) {
            case BeamSums::kSquares:
                return BeamBlocks<kLinear, BeamSums::kSquares, kAngle>;
            case BeamSums::kRoots:
                return BeamBlocks<kLinear, BeamSums::kRoots, kAngle>;
            case BeamSums::kComplex:
                return BeamBlocks<kLinear, BeamSums::kComplex, kAngle>;
            default:
                return BeamBlocks<kLinear, BeamSums::kDas, kAngle>;
        }
    };
    const auto cone = [&](auto linear) -> Blocks {
        return b.angle ? choose(linear, std::true_type()) : choose(linear, std::false_type());
    };
    const Blocks blocks =
        b.interp == BeamInterp::Linear ? cone(std::true_type()) : cone(std::false_type());
#pragma omp parallel for num_threads(b.team) schedule(static)
    for (int64_t c = 0; c < chunks; ++c) {
        const int64_t begin = c * chunk, end = std::min(b.points, begin + chunk);
        blocks(b, g, frames, begin, end, image);
    }
    return true;
}

}  // namespace HWY_NAMESPACE
}  // namespace tofimage_simd
HWY_AFTER_NAMESPACE();

#endif
