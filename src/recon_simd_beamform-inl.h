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

// Vectors of consecutive points (a compact cell of the visiting order) that
// run through a block's sensors together: they share each sensor's
// broadcasts, its bookkeeping and, where their samples fit one window, the
// window's loads.
constexpr int kBeamUnit = 2;

// Where one sensor's samples of a unit of vectors come from: the window of
// samples from start[u] on, which holds every used lane's i0 and, for
// linear interpolation, i0 + 1 (masked lanes are ignored); r0 then becomes
// relative to start[u]. One window placed about the unit's middle (the
// first lane of its middle vector) serves every vector where it holds
// them all (returns true); otherwise each vector's own, placed about its
// middle lane (a lane the angle leaves out still has its index, BeamFind),
// or none: start[u] = -1, the vector gathers at i0 and i1. A lane at the
// record's last sample (whose i1 is i0) never fits: a window ends at the
// last sample at the latest. `windows`: the record holds a window.
template <bool kLinear>
HWY_INLINE bool BeamPlace(BI (&r0)[kBeamUnit], const BM (&use)[kBeamUnit], int64_t rows,
                          bool windows, int64_t (&start)[kBeamUnit]) {
    const BDI di;
    constexpr int64_t kMost = kBeamWindow - (kLinear ? 2 : 1);
    for (int u = 0; u < kBeamUnit; ++u) start[u] = -1;
    if (kBeamWindow == 0 || !windows) return false;
    const auto place = [&](int64_t centre) {
        return std::min(std::max(centre - (kBeamWindow / 2 - 1), int64_t{0}), rows - kBeamWindow);
    };
    const auto relative = [&](int u, int64_t at) {
        return hn::IfThenElseZero(hn::RebindMask(di, use[u]), hn::Sub(r0[u], hn::Set(di, at)));
    };
    const int64_t shared =
        place(hn::ExtractLane(r0[kBeamUnit / 2], kBeamUnit > 1 ? 0 : hn::Lanes(di) / 2));
    BI rel[kBeamUnit];
    bool outside = false;
    for (int u = 0; u < kBeamUnit; ++u) {
        rel[u] = relative(u, shared);
        outside |= BeamOutside(rel[u], kMost);
    }
    if (!outside) {
        for (int u = 0; u < kBeamUnit; ++u) r0[u] = rel[u], start[u] = shared;
        return true;
    }
    for (int u = 0; u < kBeamUnit; ++u) {
        const int64_t own = place(hn::ExtractLane(r0[u], hn::Lanes(di) / 2));
        const BI r = relative(u, own);
        if (BeamOutside(r, kMost)) continue;
        r0[u] = r;
        start[u] = own;
    }
    return false;
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
// together (a multiple of every vector's lanes up to 8).
constexpr int64_t kBeamGroup = 64;

// A block's pairs with one unit of vectors, found (BeamFind) and then read
// and summed (BeamBlocks): per sensor, where its samples come from (start,
// i0 and i1: BeamPlace), frac, the weight, and which lanes contribute.
struct BeamFound {
    int32_t count = 0;                  // sensors with a contributing lane
    int32_t sensor[kBeamBlock];         // ... in increasing order
    bool shared[kBeamBlock];            // one window serves the unit
    int64_t start[kBeamBlock][kBeamUnit];
    HWY_ALIGN int64_t i0[kBeamBlock][kBeamUnit][kBeamMaxLanes];
    HWY_ALIGN int64_t i1[kBeamBlock][kBeamUnit][kBeamMaxLanes];  // where it gathers
    HWY_ALIGN double frac[kBeamBlock][kBeamUnit][kBeamMaxLanes];
    HWY_ALIGN double weight[kBeamBlock][kBeamUnit][kBeamMaxLanes];
    HWY_ALIGN double use[kBeamBlock][kBeamUnit][kBeamMaxLanes];  // BeamStoreUse
};

// The pairs of a unit's points px, py, pz with the sensors
// active[first, last), into `found`; count gains, per lane, the pairs that
// contribute. Without kHasZ every sensor and point lies in one plane
// z = const, so every ez = zs - pz is +0: its square adds nothing to d2,
// and its term of the angle's dot product can change only the sign of a
// zero dot, whose pair the angle rejects either way (cosMax > 0).
template <bool kLinear, bool kCount, bool kHasZ, bool kAngle>
HWY_INLINE void BeamFind(const BeamformTables& b, const int32_t* active,
                         const BV (&px)[kBeamUnit], const BV (&py)[kBeamUnit],
                         const BV (&pz)[kBeamUnit], size_t first, size_t last, BeamFound& found,
                         BV (&count)[kBeamUnit]) {
    const BD d;
    const BDI di;
    const int64_t N = (int64_t)hn::Lanes(d);
    const BV zero = hn::Zero(d), one = hn::Set(d, 1.0);
    const BV k = hn::Set(d, b.k), q = hn::Set(d, b.q);
    HWY_ALIGN double lanes[kBeamMaxLanes];
    // The tables' values in locals: the compiler cannot keep them in
    // registers across the vector stores below, which may alias anything.
    const double *xs = b.xs.data(), *ys = b.ys.data(), *zs = b.zs.data(), *w = b.w.data();
    const double *mx = b.mx.data(), *my = b.my.data(), *mz = b.mz.data();
    const bool box = b.window == BeamWindow::Box;
    const BV cosMax = hn::Set(d, b.cosMax), lastD = hn::Set(d, b.lastD);
    const BV rowsD = hn::Set(d, b.rowsD);
    const int32_t lastRow = b.rows - 1;
    const int64_t rows = b.rows;
    const bool windows = rows >= kBeamWindow;
    int32_t pairs = 0;
    for (size_t j = first; j < last; ++j) {
        const int32_t s = active[j];
        const BV sx = hn::Set(d, xs[s]), sy = hn::Set(d, ys[s]), sz = hn::Set(d, zs[s]);
        BM use[kBeamUnit];
        BV d2[kBeamUnit], weight[kBeamUnit], frac[kBeamUnit];
        BI i0[kBeamUnit], i1[kBeamUnit];
        bool any = !kAngle;
        HWY_UNROLL(kBeamUnit) for (int u = 0; u < kBeamUnit; ++u) {
            const BV ex = hn::Sub(sx, px[u]);
            const BV ey = hn::Sub(sy, py[u]);
            const BV ez = kHasZ ? hn::Sub(sz, pz[u]) : zero;
            d2[u] = SquaredDistance<BeamArith, kHasZ>(
                Square<BeamArith>(ex), Square<BeamArith>(ey), kHasZ ? Square<BeamArith>(ez) : zero);
            use[u] = hn::Eq(zero, zero);
            weight[u] = hn::Set(d, w[s]);
            if (kAngle) {
                const BV dotXY =
                    hn::Add(hn::Mul(hn::Set(d, mx[s]), ex), hn::Mul(hn::Set(d, my[s]), ey));
                const BV dot = kHasZ ? hn::Add(dotXY, hn::Mul(hn::Set(d, mz[s]), ez)) : dotXY;
                const BV dist = hn::Sqrt(d2[u]);
                const BV cosT = hn::Div(dot, dist);
                const BM away = hn::Gt(dist, zero);  // at the sensor: accepted
                use[u] = hn::Or(hn::Not(away), hn::Ge(cosT, cosMax));
                if (!box && !hn::AllFalse(d, use[u])) {
                    // cos(theta) 1 (factor 1) where the scalar definition
                    // keeps the sensor's weight as it is.
                    hn::Store(hn::IfThenElse(hn::And(use[u], away), cosT, one), d, lanes);
                    for (int64_t l = 0; l < N; ++l) lanes[l] = w[s] * beamApodization(b, lanes[l]);
                    weight[u] = hn::Load(d, lanes);
                    use[u] = hn::And(use[u], hn::Ne(weight[u], zero));
                }
                any |= !hn::AllFalse(d, use[u]);
            }
        }
        if (!any) continue;  // the angle leaves out every pair
        any = false;
        HWY_UNROLL(kBeamUnit) for (int u = 0; u < kBeamUnit; ++u) {
            const BV position = SamplePosition<BeamArith>(k, q, d2[u]);
            frac[u] = zero;
            if (kLinear) {
                // Lanes outside the record read sample 0; lanes the angle
                // leaves out keep their index, which places the window.
                const BM inRecord = hn::And(hn::Ge(position, zero), hn::Le(position, lastD));
                use[u] = hn::And(use[u], inRecord);
                const BV inside = hn::IfThenElseZero(inRecord, position);
                BV floor;
                BeamIndices(inside, lastRow, i0[u], i1[u], floor);  // truncated: inside >= 0
                frac[u] = hn::Sub(inside, floor);
            } else {
                const BV up = RoundingUp<BeamArith>(position);
                const BM inRecord = hn::And(hn::Ge(up, zero), hn::Lt(up, rowsD));
                use[u] = hn::And(use[u], inRecord);
                BV floor;
                BeamIndices(hn::IfThenElseZero(inRecord, up), lastRow, i0[u], i1[u], floor);
                i1[u] = i0[u];
            }
            any |= !hn::AllFalse(d, use[u]);
        }
        if (!any) continue;
        const int32_t n = pairs++;
        found.sensor[n] = s;
        found.shared[n] = BeamPlace<kLinear>(i0, use, rows, windows, found.start[n]);
        for (int u = 0; u < kBeamUnit; ++u) {
            if (kCount) count[u] = hn::Add(count[u], hn::IfThenElseZero(use[u], one));
            hn::Store(i0[u], di, found.i0[n][u]);
            if (kLinear) {
                if (found.start[n][u] < 0) hn::Store(i1[u], di, found.i1[n][u]);
                hn::Store(frac[u], d, found.frac[n][u]);
            }
            hn::Store(weight[u], d, found.weight[n][u]);
            BeamStoreUse(use[u], found.use[n][u]);
        }
    }
    found.count = pairs;
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
    const BDI di;
    const int64_t N = (int64_t)hn::Lanes(d);
    const int64_t U = kBeamUnit * N;  // points of a unit
    constexpr bool kComplex = kSums == BeamSums::kComplex;
    constexpr bool kCount = kSums == BeamSums::kSquares;
    constexpr int64_t kMostPoints = kBeamChunk + kBeamUnit * kBeamMaxLanes;
    const BV zero = hn::Zero(d);
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

    // One unit's sums after a block of sensors (BeamFind), for one frame:
    // from the window each sensor's unit shares, or vector by vector.
    const auto accumulate = [&](int64_t offset, BV (&s0)[kBeamUnit], BV (&s1)[kBeamUnit],
                                BV (&s2)[kBeamUnit], int32_t n) {
        const double* r = re + offset + (int64_t)found.sensor[n] * rows;
        const double* i = kComplex ? im + offset + (int64_t)found.sensor[n] * rows : nullptr;
        const auto one = [&](int u, int64_t start) {
            const BI i0 = hn::Load(di, found.i0[n][u]);
            const BI i1 = kLinear && start < 0 ? hn::Load(di, found.i1[n][u]) : i0;
            const BV frac = kLinear ? hn::Load(d, found.frac[n][u]) : zero;
            BeamAccumulate<kLinear, kSums>(r, i, start, i0, i1, frac,
                                           hn::Load(d, found.weight[n][u]),
                                           BeamLoadUse(found.use[n][u]), s0[u], s1[u], s2[u]);
        };
        if (found.shared[n]) {
            // One start for all: the compiler loads the window once.
            const int64_t start = found.start[n][0];
            for (int u = 0; u < kBeamUnit; ++u) one(u, start);
        } else {
            for (int u = 0; u < kBeamUnit; ++u) one(u, found.start[n][u]);
        }
    };

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
            for (int64_t v0 = g0 / N; v0 < vEnd; v0 += kBeamUnit) {
                BV px[kBeamUnit], py[kBeamUnit], pz[kBeamUnit], count[kBeamUnit];
                for (int u = 0; u < kBeamUnit; ++u) {
                    const int64_t p0 = begin + (v0 + u) * N;
                    px[u] = hn::LoadU(d, b.X.data() + p0);
                    py[u] = hn::LoadU(d, b.Y.data() + p0);
                    pz[u] = hn::LoadU(d, b.Z.data() + p0);
                    count[u] = hn::Load(d, counts + (v0 + u) * N);
                }
                if (flat)
                    BeamFind<kLinear, kCount, false, kAngle>(b, active, px, py, pz, first, last,
                                                             found, count);
                else
                    BeamFind<kLinear, kCount, true, kAngle>(b, active, px, py, pz, first, last,
                                                            found, count);
                // Vector v's sums of frame f at sum(v, f), s0, s1, s2 N apart.
                const auto sum = [&](int u, int64_t f) {
                    return sums + 3 * ((v0 + u) * frames + f) * N;
                };
                for (int u = 0; u < kBeamUnit; ++u) hn::Store(count[u], d, counts + (v0 + u) * N);
                BV s0[kBeamUnit], s1[kBeamUnit], s2[kBeamUnit];
                for (int64_t f = 0; f < frames; ++f) {
                    // One frame's sums stay in registers for the block.
                    for (int u = 0; u < kBeamUnit; ++u) {
                        s0[u] = hn::Load(d, sum(u, f));
                        s1[u] = hn::Load(d, sum(u, f) + N);
                        s2[u] = hn::Load(d, sum(u, f) + 2 * N);
                    }
                    for (int32_t n = 0; n < found.count; ++n)
                        accumulate(f * g.frameStep, s0, s1, s2, n);
                    for (int u = 0; u < kBeamUnit; ++u) {
                        hn::Store(s0[u], d, sum(u, f));
                        hn::Store(s1[u], d, sum(u, f) + N);
                        hn::Store(s2[u], d, sum(u, f) + 2 * N);
                    }
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
