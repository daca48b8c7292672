// The vector kernel's tile algorithm, written once over a family of lane
// primitives and its policy: the family's primitives are
// recon_simd_<family>-inl.h, its policy recon_simd_policy.h, and the
// arithmetic that makes it exact recon_exact.h. recon_simd.cpp includes
// this header once per instruction set (Highway's foreach_target), with the
// family of that instruction set, and runs the templates below with it.
//
// Each lane of a vector is one pixel; for each sensor, in increasing order,
// it evaluates the same IEEE operations in the same order as the scalar
// kernel (no fused multiply-add, no reassociation), so the running sum of
// every pixel is the scalar kernel's sum. A vector holds kVectorRows x
// kVectorCols pixels; a group of kGroupRows x kGroupCols vectors shares the
// squared offsets of a sensor; a tile of up to kMaxTile pixels a side keeps
// its signal windows for a block of kSensorBlock sensors in L1 while every
// group of the tile runs through that block.
//
// Per sensor and tile, the plan's range of squared distances chooses how
// samples are fetched (Mode): gathers, as the scalar kernel reads them, for
// anything the range does not cover; checked windows; or windows the tile's
// geometry guarantees, where every vector's samples fit one window inside
// the signal matrix. On grids so coarse that neighbouring pixels lie several
// samples apart, the windows are wide ones where the family has them. A
// window lookup fetches the samples of all lanes from kWindow (or
// kWideWindow) consecutive samples (lane permutes, or lane loads where
// vectors are short); the derivative terms come from a per-tile table of
// the sensor's weighted forward differences, computed with the scalar
// kernel's operations.
//
// A batch of two to kMaxBatch frames of a stack finds its indices by the
// same paths, once for all its frames (FindIndex), and then applies them to
// every frame: each tile stages the rows of each sensor that its pixels can
// select with the frames side by side (StageStack), so that one vector load
// at a pixel's index fetches that sample of kLanes frames, whatever the
// grid, and a pixel's running sums of those frames lie side by side too
// (StackRows, StackApply); a batch of kLanes / 2 frames or fewer puts two
// pixels' frames in a vector where the family can load halves, one of
// kLanes / 4 or fewer four pixels' where it can load quarters. A sensor
// whose rows cannot be bounded or staged reads every frame's samples one
// by one.
//
// Adding a family. Nothing here is specific to an instruction set. A family
// is `struct Family : <Name>Policy`, in its own recon_simd_<name>-inl.h
// (recon_simd_generic-inl.h is the shortest whole example, and
// recon_simd_neon-inl.h one with windows and the table), and gives, always
// (CheckFamily below says by name what is missing):
//   kName              its name, as the routing test's table knows it
//   V, I               kLanes doubles, and kLanes sample indices: types of a
//                      fixed size, since a tile keeps arrays of them
//   kLanes, kVectorRows, kVectorCols, kRow[], kCol[]
//                      the pixels of a vector: lane l at row kRow[l], column
//                      kCol[l] of the vector's kVectorRows x kVectorCols
//   Consts             per-call constants in registers, built from the Plan:
//                      at least k, q and invDt
//   Set, Load, Store, Add, Sub, Mul, Sqrt
//   ExactIndex         the scalar kernel's index through the square root
//   Gather, NextIndex  lane loads at indices; the next index, bounded
//   Minus              indices less a whole number (StackRows, windows)
//   Spill              a vector of indices as kLanes 32-bit integers
//   Word, kWindow, kWideWindow, kStageRows, kStageDoubles
//                      samples a window lookup covers, and staged windows'
//                      element and sizes (double, 0, 0, 0, 0 for a family
//                      without windows)
// and, for the switches its policy turns on:
//   kWindows           PositiveIndex (the index for positions inside the
//                      rows); Lane0, AnyOutside, Lookup (window placement
//                      and lookup); without the table, also BoundedIndex
//                      (the index for the d2 the range covers)
//   kThresholdTable    Guess<kGuess, kClamp>, StepIfAtLeast: the index
//                      guess, and the exact threshold step
//   kWideWindows       LookupWide, Centre, BoundedIndex
//   kStagedWindows     Stage, LookupStaged
// and, optionally:
//   LoadHalves         a vector from two halves (a batch of kLanes / 2
//                      frames then fills whole vectors with two pixels'
//                      frames, rather than padding each pixel's to kLanes)
//   LoadQuarters       with LoadHalves, a vector from four quarters (a
//                      batch of kLanes / 4 frames: four pixels' frames)
// recon_simd_families-inl.h chooses the family for its Highway targets;
// tests/primitive_test.cpp checks its primitives against their scalar
// models, and simd_test compares the whole kernel with the scalar one.

// Per-target include guard, as Highway's own -inl.h headers have.
#if defined(TOFIMAGE_RECON_SIMD_INL_H_) == defined(HWY_TARGET_TOGGLE)
#ifdef TOFIMAGE_RECON_SIMD_INL_H_
#undef TOFIMAGE_RECON_SIMD_INL_H_
#else
#define TOFIMAGE_RECON_SIMD_INL_H_
#endif

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <type_traits>
#include <utility>

#ifdef _OPENMP
#include <omp.h>
#endif

#include <hwy/aligned_allocator.h>
#include <hwy/highway.h>

#include "recon_simd_exact-inl.h"
#include "recon_simd_plan.h"

HWY_BEFORE_NAMESPACE();
namespace tofimage_simd {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

// Calls f(integral_constant<int, 0>) ... f(integral_constant<int, N-1>):
// unrolled from the start, so arrays of vectors indexed by them stay in
// registers.
template <class Fn, int... I>
HWY_INLINE void UnrolledOver(Fn&& f, std::integer_sequence<int, I...>) {
    (f(std::integral_constant<int, I>()), ...);
}

template <int N, class Fn>
HWY_INLINE void Unrolled(Fn&& f) {
    UnrolledOver(f, std::make_integer_sequence<int, N>());
}

// The frames of a stack that a tile reconstructs together.
struct Batch {
    const double* sig;           // the first frame's samples
    double* image;               // and its image
    int64_t sigStep, imageStep;  // elements from one frame to the next
    int count;                   // frames, 1 .. kMaxBatch
};

// Where a thread's scratch holds what, in doubles from its start: the
// running sums of a tile (accFrames per pixel: the batch's frames rounded up
// to whole vectors, or 1), and behind them, for single frames, a sensor
// block's derivative terms and staged windows, and for batches, a sensor
// block's rows staged with the frames side by side. Computed once per run.
struct ScratchLayout {
    int64_t accFrames;
    int64_t derivAt, derivDoubles;
    int64_t stageAt, stageDoubles;
    int64_t stackAt, stackDoubles;
    int64_t doubles;  // per thread
};

// Per-call values every tile reads.
template <class F>
struct TileConsts {
    typename F::Consts lanes;
    const double* t;
    const double* E;         // E[m] at E[m - eOrigin]
    int64_t eOrigin;
    int64_t last;            // index of the last element of a frame
    double* scratch;         // every thread's, ScratchLayout::doubles apart
    ScratchLayout layout;
};

// Whether the family F has what Needs<F> names: Needs gives the types of
// those members, and is ill-formed where one is missing.
template <class F, template <class> class Needs, class = void>
struct Has : std::false_type {};
template <class F, template <class> class Needs>
struct Has<F, Needs, std::void_t<Needs<F>>> : std::true_type {};

// What every family needs, and what a switch of its policy needs.
template <class F>
using LaneShape = std::void_t<typename F::V, typename F::I, decltype(F::kLanes),
                              decltype(F::kVectorRows), decltype(F::kVectorCols),
                              decltype(F::kRow), decltype(F::kCol), decltype(F::kName)>;
template <class F>
using ConstsOfPlan = std::void_t<decltype(typename F::Consts(std::declval<const Plan&>()).k),
                                 decltype(typename F::Consts(std::declval<const Plan&>()).q),
                                 decltype(typename F::Consts(std::declval<const Plan&>()).invDt)>;
template <class F>
using Arithmetic = std::void_t<decltype(&F::Set), decltype(&F::Load), decltype(&F::Store),
                               decltype(&F::Add), decltype(&F::Sub), decltype(&F::Mul),
                               decltype(&F::Sqrt)>;
template <class F>
using IndexPrimitives = std::void_t<decltype(&F::ExactIndex), decltype(&F::Gather),
                                    decltype(&F::NextIndex), decltype(&F::Minus),
                                    decltype(&F::Spill)>;
template <class F>
using WindowSizes = std::void_t<typename F::Word, decltype(F::kWindow), decltype(F::kWideWindow),
                                decltype(F::kStageRows), decltype(F::kStageDoubles)>;
template <class F>
using WindowPrimitives = std::void_t<decltype(&F::PositiveIndex), decltype(&F::Lane0),
                                     decltype(&F::AnyOutside), decltype(&F::Lookup)>;
template <class F>
using BoundedIndexOf = decltype(&F::BoundedIndex);
template <class F>
using TablePrimitives = std::void_t<decltype(&F::template Guess<kEstimate, true>),
                                    decltype(&F::template Guess<kRefined, false>),
                                    decltype(&F::StepIfAtLeast)>;
template <class F>
using WidePrimitives = std::void_t<decltype(&F::LookupWide), decltype(&F::Centre)>;
template <class F>
using StagingPrimitives = std::void_t<decltype(&F::Stage), decltype(&F::LookupStaged)>;
template <class F>
using LoadHalvesOf = decltype(&F::LoadHalves);  // optional
template <class F>
using LoadQuartersOf = decltype(&F::LoadQuarters);  // optional, with LoadHalves

template <class F>
constexpr bool CheckFamily() {
    static_assert(Has<F, LaneShape>::value,
                  "a family needs kName, V, I, kLanes, kVectorRows, kVectorCols, kRow and kCol");
    static_assert(Has<F, ConstsOfPlan>::value,
                  "a family needs Consts, built from a Plan, with k, q and invDt");
    static_assert(Has<F, Arithmetic>::value,
                  "a family needs Set, Load, Store, Add, Sub, Mul and Sqrt");
    static_assert(Has<F, IndexPrimitives>::value,
                  "a family needs ExactIndex, Gather, NextIndex, Minus and Spill");
    static_assert(Has<F, WindowSizes>::value,
                  "a family needs Word, kWindow, kWideWindow, kStageRows and kStageDoubles "
                  "(double, 0, 0, 0, 0 for one without windows)");
    static_assert(!F::kWindows || (F::kWindow >= 4 && Has<F, WindowPrimitives>::value),
                  "kWindows needs kWindow, PositiveIndex, Lane0, AnyOutside and Lookup");
    static_assert(!(F::kWindows && !F::kThresholdTable) || Has<F, BoundedIndexOf>::value,
                  "windows without the table need BoundedIndex (checked windows)");
    static_assert(!F::kThresholdTable ||
                      (F::kWindows && Has<F, TablePrimitives>::value && F::kEstimateError > 0.0 &&
                       F::kSqrtVectors < F::kGroupRows * F::kGroupCols),
                  "kThresholdTable needs windows, Guess, StepIfAtLeast, the estimate's error "
                  "bounds and a vector of the group without the square root");
    static_assert(!F::kWideWindows || (F::kWindows && F::kWideWindow > F::kWindow &&
                                       Has<F, WidePrimitives>::value),
                  "kWideWindows needs kWideWindow, LookupWide and Centre");
    static_assert(!F::kWideWindows || Has<F, BoundedIndexOf>::value,
                  "kWideWindows needs BoundedIndex (checked wide windows)");
    static_assert(!F::kStagedWindows || (F::kWindows && !F::kWideWindows && F::kStageRows > 0 &&
                                         Has<F, StagingPrimitives>::value),
                  "kStagedWindows stages narrow windows: it needs kStageRows, Stage and "
                  "LookupStaged");
    static_assert(!Has<F, LoadHalvesOf>::value || F::kLanes >= 4,
                  "LoadHalves needs at least 2 frames to a half");
    static_assert(!Has<F, LoadQuartersOf>::value ||
                      (Has<F, LoadHalvesOf>::value && F::kLanes >= 8),
                  "LoadQuarters needs LoadHalves and at least 2 frames to a quarter");
    return true;
}

// Pixels whose frames a vector of the family F can hold: 4 where it loads
// quarters, 2 where it loads halves, 1 otherwise.
template <class F>
constexpr int kVectorParts = Has<F, LoadQuartersOf>::value ? 4
                             : Has<F, LoadHalvesOf>::value ? 2
                                                           : 1;

// Frames a batch of `count` frames of the family F takes room and work for:
// the smallest quarter or half of a vector they fit where the family loads
// those, whole vectors of frames otherwise.
template <class F>
int64_t BatchFrames(int64_t count) {
    return paddedFrames(count, F::kLanes, kVectorParts<F>);
}

// The widest window a family looks up.
template <class F>
constexpr int kMaxWindow = F::kWindow > F::kWideWindow ? F::kWindow : F::kWideWindow;

// w[rel[l]] for rel in 0 .. kW-1, from a window or a wide window of
// doubles, or from a window staged in the family's layout.
template <class F, int kW, class W, class I = typename F::I>
HWY_INLINE typename F::V Lookup(const W* w, I rel) {
    if constexpr (!std::is_same_v<W, double>)
        return F::LookupStaged(w, rel);
    else if constexpr (kW == F::kWindow)
        return F::Lookup(w, rel);
    else
        return F::LookupWide(w, rel);
}

template <class F>
constexpr LaneSpan laneSpan() {
    LaneSpan s{0, 0, 0, 0};
    for (int l = 0; l < F::kLanes; ++l) {
        const int r = F::kRow[l] - F::kRow[0], c = F::kCol[l] - F::kCol[0];
        s.rowLo = r < s.rowLo ? r : s.rowLo;
        s.rowHi = r > s.rowHi ? r : s.rowHi;
        s.colLo = c < s.colLo ? c : s.colLo;
        s.colHi = c > s.colHi ? c : s.colHi;
    }
    return s;
}

// Where one vector's samples of one sensor come from: rows base + rel[l] of
// a window (lane l), or with `gather`, rows rel[l] through gathers. The
// index stage of a step finds it once; the apply stage reads the samples of
// every frame of the batch there.
template <class F>
struct Fetch {
    int64_t base;
    typename F::I rel;
    bool gather;
};

// Adds the term at sample indices i of a column `col` of sigMat, fetched
// with gathers. After the last element of the frame (col[lastInCol]) the
// difference is zero.
template <class F, int kTerm, class V = typename F::V, class I = typename F::I>
HWY_INLINE V GatherTerm(const TileConsts<F>& c, const double* col, int64_t lastInCol, I i, V R) {
    const V sig = F::Gather(col, i);
    return Accumulate<kTerm, F>(R, sig, [&] {
        const V next = F::Gather(col, F::NextIndex(i, lastInCol));
        return DerivTerm<F>(F::Gather(c.t, i), c.lanes.invDt, sig, next);
    });
}

// Adds the term at sample indices i of the column `col`, fetched with
// gathers, the derivative terms from D (D[i] is the term at row i): for the
// vectors whose samples do not fit one window.
template <class F, int kTerm, class V = typename F::V, class I = typename F::I>
HWY_INLINE V GatherDerivTerm(const double* col, const double* D, I i, V R) {
    return Accumulate<kTerm, F>(R, F::Gather(col, i), [&] { return F::Gather(D, i); });
}

// Adds the term at sample indices base + rel, fetched from windows of kW
// rows starting at row `base`: S[i] is the sample at row i of the sensor's
// column, D[i] the derivative term (as for GatherDerivTerm), of sigMat and
// the tile's table, or staged.
template <class F, int kTerm, int kW, class W, class V = typename F::V, class I = typename F::I>
HWY_INLINE V WindowTerm(const W* S, const W* D, int64_t base, I rel, V R) {
    return Accumulate<kTerm, F>(R, Lookup<F, kW>(S + base, rel),
                                [&] { return Lookup<F, kW>(D + base, rel); });
}

// Adds the term a checked fetch names: a window of kW rows of the column
// `col`, or gathers.
template <class F, int kTerm, int kW, class V = typename F::V>
HWY_INLINE V CheckedTerm(const double* col, const double* D, const Fetch<F>& f, V R) {
    if (HWY_UNLIKELY(f.gather)) return GatherDerivTerm<F, kTerm>(col, D, f.rel, R);
    return WindowTerm<F, kTerm, kW>(col, D, f.base, f.rel, R);
}

// The first row of a window of kW rows around row `around` of the sensor
// whose column starts at colOff (kW / 2 - 1 rows before it), moved inside
// sigMat.
template <class F, int kW>
HWY_INLINE int64_t CheckedBase(const TileConsts<F>& c, int64_t colOff, int64_t around) {
    int64_t start = colOff + around - (kW / 2 - 1);
    start = start < 0 ? 0 : start;
    start = start > c.last - kW ? c.last - kW : start;
    return start - colOff;
}

// The index stages. Every one gives the scalar kernel's sample indices.

// Through the correctly rounded square root, as the scalar kernel does, for
// any d2: gathers.
template <class F, class V = typename F::V>
HWY_INLINE Fetch<F> SqrtGatherFetch(const TileConsts<F>& c, V d2) {
    return {0, F::ExactIndex(c.lanes, d2), true};
}

// Through the threshold table; the caller has checked that every d2 lies in
// [d2Lo, d2Hi], and for kCover also that every index lies in 1 .. rows-2 and
// that every lane's guess lies in the window starting `off` rows before lane
// 0's, which lies inside sigMat (windowCovers). Unless kCover, the window
// around lane 0's guess is moved inside sigMat, and a vector whose guesses
// do not all fall in it takes the threshold with a gather, and gathers.
template <class F, int kGuess, bool kCover, class V = typename F::V>
HWY_INLINE Fetch<F> TableWindowFetch(const TileConsts<F>& c, int64_t colOff, int64_t off, V d2) {
    constexpr int kW = F::kWindow;
    const auto guess = F::template Guess<kGuess, !kCover>(c.lanes, d2);
    const int64_t base = kCover ? F::Lane0(guess) - off
                                : CheckedBase<F, kW>(c, colOff, F::Lane0(guess));
    const auto rel = F::Minus(guess, base);
    if constexpr (!kCover) {
        if (HWY_UNLIKELY(F::AnyOutside(rel, kW - 2))) {
            const V above = F::Gather(c.E, F::Minus(guess, c.eOrigin - 1));
            return {0, F::StepIfAtLeast(d2, above, guess), true};
        }
    }
    const V above = F::Lookup(c.E + (base + 1 - c.eOrigin), rel);
    return {base, F::StepIfAtLeast(d2, above, rel), false};
}

// Through the square root for a covered sensor, into its window: between
// the table's vectors it keeps the otherwise idle square root unit busy.
template <class F, class V = typename F::V>
HWY_INLINE Fetch<F> SqrtWindowFetch(const TileConsts<F>& c, int64_t off, V d2) {
    // Every position is at least 1/2 here.
    const auto index = F::PositiveIndex(c.lanes, d2);
    const int64_t base = F::Lane0(index) - off;
    return {base, F::Minus(index, base), false};
}

// Through the square root for a sensor the table covers whose windows are
// not guaranteed: no range tests. With kW 0, gathers (a family whose every
// vector takes the square root: its gathers cost less than a window that
// may miss); otherwise the window of kW rows around the index at the
// vector's centre, kept inside sigMat, or gathers where a vector's indices
// do not all fall in it.
template <class F, int kW, class V = typename F::V>
HWY_INLINE Fetch<F> SqrtCheckedFetch(const TileConsts<F>& c, int64_t colOff, V d2) {
    const auto index = F::BoundedIndex(c.lanes, d2);
    if constexpr (kW == 0) {
        return {0, index, true};
    } else {
        const int64_t base = CheckedBase<F, kW>(c, colOff, F::Centre(index));
        const auto rel = F::Minus(index, base);
        if (HWY_UNLIKELY(F::AnyOutside(rel, kW - 1))) return {0, index, true};
        return {base, rel, false};
    }
}

// Number of vectors of `size` pixels a side covering `extent`, rounded up
// to a multiple of `multiple` and at most `most`.
inline int vectorsFor(int64_t extent, int size, int multiple, int most) {
    int64_t b = (extent + size - 1) / size;
    b = (b + multiple - 1) / multiple * multiple;
    return (int)std::min<int64_t>(b, most);
}

// Sizes of a tile's arrays of lane coordinates and running sums.
template <class F>
struct TileShape {
    static constexpr int kDown = kMaxTile / F::kVectorRows;    // vectors down a tile
    static constexpr int kAcross = kMaxTile / F::kVectorCols;  // vectors across a tile
    static constexpr int64_t kAccDoubles = (int64_t)kDown * kAcross * F::kLanes;
};

// What a tile knows of each sensor of a block: its position and how its
// indices are found; for one frame, where its windows lie; for a batch of
// frames, its rows staged with the frames interleaved.
template <class F>
struct SensorBlock {
    using W = typename F::Word;
    int64_t s0;  // the first sensor
    int count;
    double x[kSensorBlock], y[kSensorBlock], ez2[kSensorBlock];
    Mode mode[kSensorBlock];
    int64_t off[kSensorBlock];  // of a covered sensor's windows (windowCovers)
    // One frame: the derivative terms (row i at [i]), and the rows covered
    // windows read (the frame's column, or staged copies).
    const double* deriv[kSensorBlock];
    const W* sigRows[kSensorBlock];
    const W* derivRows[kSensorBlock];
    // A batch: where `stacked`, the sample of frame f at row lo + r lies at
    // rows[r * frames + f] and its derivative term at derivs[r * frames + f]
    // (`frames`: the batch's frames rounded up to whole vectors); elsewhere
    // every frame's samples are read from sigMat one by one.
    bool stacked[kSensorBlock];
    int64_t lo[kSensorBlock];
    const double* rows[kSensorBlock];
    const double* derivs[kSensorBlock];
};

// Calls f(std::integral_constant<Mode, m>()) for a sensor's mode m: the
// modes a tile of this kind runs are compiled apart.
template <int kGuess, bool kWide, class Fn>
HWY_INLINE void WithMode(Mode mode, Fn&& f) {
    if constexpr (kGuess != kNoGuess) {
        if (mode == kCoveredWindows) return f(std::integral_constant<Mode, kCoveredWindows>());
        if constexpr (!kWide) {
            if (mode == kCheckedWindows) return f(std::integral_constant<Mode, kCheckedWindows>());
        } else {
            if (mode == kCoveredWideWindows)
                return f(std::integral_constant<Mode, kCoveredWideWindows>());
            if (mode == kCheckedWideWindows)
                return f(std::integral_constant<Mode, kCheckedWideWindows>());
        }
    }
    f(std::integral_constant<Mode, kSqrtGathers>());
}

// The squared distances between sensor i of a block and the pixels of every
// vector of a group.
template <class F, bool kHasZ, class V = typename F::V>
HWY_INLINE void SquaredDistances(const SensorBlock<F>& sb, int i, const V* y, const V* x, V* d2) {
    constexpr int kR = F::kGroupRows, kC = F::kGroupCols, kV = kR * kC;
    const V sx = F::Set(sb.x[i]), sy = F::Set(sb.y[i]);
    V EY[kR], EX[kC];
    Unrolled<kR>([&](auto a) { EY[a] = Square<F>(F::Sub(sy, y[a])); });
    Unrolled<kC>([&](auto b) { EX[b] = Square<F>(F::Sub(sx, x[b])); });
    Unrolled<kV>([&](auto v) {
        d2[v] = SquaredDistance<F, kHasZ>(EX[v % kC], EY[v / kC], F::Set(sb.ez2[i]));
    });
}

// The index stage of vector v for sensor i of a block in mode kMode.
template <class F, int kGuess, Mode kMode, int v, class V = typename F::V>
HWY_INLINE Fetch<F> FindIndex(const Plan& p, const TileConsts<F>& c, const SensorBlock<F>& sb,
                              int i, V d2) {
    const int64_t colOff = (sb.s0 + i) * p.rows;
    if constexpr (kMode == kCoveredWindows) {
        if constexpr (!F::kThresholdTable || v < F::kSqrtVectors)
            return SqrtWindowFetch<F>(c, sb.off[i], d2);
        else
            return TableWindowFetch<F, kGuess, true>(c, colOff, sb.off[i], d2);
    } else if constexpr (kMode == kCheckedWindows) {
        if constexpr (!F::kThresholdTable)
            return SqrtCheckedFetch<F, 0>(c, colOff, d2);
        else
            return TableWindowFetch<F, kGuess, false>(c, colOff, 0, d2);
    } else if constexpr (kMode == kCoveredWideWindows) {
        return SqrtWindowFetch<F>(c, sb.off[i], d2);
    } else if constexpr (kMode == kCheckedWideWindows) {
        return SqrtCheckedFetch<F, F::kWideWindow>(c, colOff, d2);
    } else {
        return SqrtGatherFetch<F>(c, d2);
    }
}

// Adds the term of sensor i of a block at `fetch` in mode kMode, for one
// frame whose samples start at sigMat.
template <class F, int kTerm, Mode kMode, class V = typename F::V>
HWY_INLINE V ApplyIndex(const Plan& p, const TileConsts<F>& c, const SensorBlock<F>& sb, int i,
                        const double* sigMat, const Fetch<F>& fetch, V R) {
    const int64_t colOff = (sb.s0 + i) * p.rows;
    const double* col = sigMat + colOff;
    if constexpr (kMode == kCoveredWindows)
        return WindowTerm<F, kTerm, F::kWindow>(sb.sigRows[i], sb.derivRows[i], fetch.base,
                                                fetch.rel, R);
    else if constexpr (kMode == kCheckedWindows)
        return CheckedTerm<F, kTerm, F::kWindow>(col, sb.deriv[i], fetch, R);
    else if constexpr (kMode == kCoveredWideWindows)
        return WindowTerm<F, kTerm, F::kWideWindow>(sb.sigRows[i], sb.derivRows[i], fetch.base,
                                                    fetch.rel, R);
    else if constexpr (kMode == kCheckedWideWindows)
        return CheckedTerm<F, kTerm, F::kWideWindow>(col, sb.deriv[i], fetch, R);
    else
        return GatherTerm<F, kTerm>(c, col, c.last - colOff, fetch.rel, R);
}

// The sensors of one block over one group of kGroupRows x kGroupCols
// vectors of one frame; vector v is vector row v / kGroupCols, vector column
// v % kGroupCols of the group. Each index is applied as it is found. kWide:
// checked windows are wide ones, and covered ones may be (coarse grids).
template <class F, int kTerm, int kGuess, bool kHasZ, bool kWide>
HWY_INLINE void Group(const Plan& p, const TileConsts<F>& c, const double* sigMat,
                      const SensorBlock<F>& sb, const double* yq, const double* xp, double* acc,
                      int64_t accStride) {
    using V = typename F::V;
    constexpr int kR = F::kGroupRows, kC = F::kGroupCols, kV = kR * kC, N = F::kLanes;
    V r[kV], y[kR], x[kC];
    Unrolled<kR>([&](auto a) { y[a] = F::Load(yq + a * N); });
    Unrolled<kC>([&](auto b) { x[b] = F::Load(xp + b * N); });
    Unrolled<kV>([&](auto v) { r[v] = F::Load(acc + (v / kC) * accStride + (v % kC) * N); });
    for (int i = 0; i < sb.count; ++i) {
        V d2[kV];
        SquaredDistances<F, kHasZ>(sb, i, y, x, d2);
        WithMode<kGuess, kWide>(sb.mode[i], [&](auto mode) {
            Unrolled<kV>([&](auto v) {
                const Fetch<F> fetch = FindIndex<F, kGuess, mode, v>(p, c, sb, i, d2[v]);
                r[v] = ApplyIndex<F, kTerm, mode>(p, c, sb, i, sigMat, fetch, r[v]);
            });
        });
    }
    Unrolled<kV>([&](auto v) { F::Store(r[v], acc + (v / kC) * accStride + (v % kC) * N); });
}

// For a batch of frames, the sensors of one block over one group of
// vectors are taken in two stages. StackRows finds every index once, for
// all the frames; StackApply then applies them to the frames N at a time,
// one vector of frames per pixel (or N / 2 at a time, two pixels' frames in
// a vector). Neither is inlined: the first does not depend on the term, the
// second depends on nothing else.

// The rows of sensor i's samples for lane l of vector v, at
// row[(i * kV + v) * N + l]: counted from the first staged row of a stacked
// sensor, otherwise from the start of its column.
template <class F, int kGuess, bool kHasZ, bool kWide>
HWY_NOINLINE void StackRows(const Plan& p, const TileConsts<F>& c, const SensorBlock<F>& sb,
                            const double* yq, const double* xp, int32_t* row) {
    using V = typename F::V;
    constexpr int kR = F::kGroupRows, kC = F::kGroupCols, kV = kR * kC, N = F::kLanes;
    V y[kR], x[kC];
    Unrolled<kR>([&](auto a) { y[a] = F::Load(yq + a * N); });
    Unrolled<kC>([&](auto b) { x[b] = F::Load(xp + b * N); });
    for (int i = 0; i < sb.count; ++i) {
        V d2[kV];
        SquaredDistances<F, kHasZ>(sb, i, y, x, d2);
        const int64_t from = sb.stacked[i] ? sb.lo[i] : 0;
        WithMode<kGuess, kWide>(sb.mode[i], [&](auto mode) {
            Unrolled<kV>([&](auto v) {
                const Fetch<F> fetch = FindIndex<F, kGuess, mode, v>(p, c, sb, i, d2[v]);
                F::Spill(F::Minus(fetch.rel, from - (fetch.gather ? 0 : fetch.base)),
                         row + (i * kV + v) * N);
            });
        });
    }
}

// Adds the terms at the rows StackRows found to the running sums of every
// frame of the batch: frame f of the pixel in slot g at acc[g * frames + f],
// slot g of vector v's lane l being (v / kGroupCols) * accStride +
// (v % kGroupCols) * N + l. A vector of running sums holds N / kParts
// frames of kParts neighbouring slots: kParts is 2 for a batch of N / 2
// frames, 4 for one of N / 4 (kVectorParts), 1 otherwise.
template <class F, int kTerm, int kParts>
HWY_NOINLINE void StackApply(const Plan& p, const Batch& batch, const SensorBlock<F>& sb,
                             int64_t frames, const int32_t* row, double* acc,
                             int64_t accStride) {
    using V = typename F::V;
    constexpr int kC = F::kGroupCols, kV = F::kGroupRows * kC, N = F::kLanes;
    constexpr int kPart = N / kParts;  // frames of one slot in a vector
    constexpr int kSums = N / kParts;  // vectors of running sums per vector of pixels

    // Frames f0 .. f0 + kPart - 1 of the slots k * kParts .. of a sensor
    // that is not stacked, whose slots take rows lanes[...]: the scalar
    // kernel's operations, frame by frame. A frame beyond the batch repeats
    // its last one.
    auto unstacked = [&](int i, const int32_t* lanes, int k, int64_t f0, V R) {
        const int64_t colOff = (sb.s0 + i) * p.rows;
        alignas(64) double sig[N], deriv[N];
        for (int q = 0; q < N; ++q) {
            const int32_t r = lanes[k * kParts + q / kPart];
            const int64_t j = colOff + r;
            const int64_t f = std::min<int64_t>(f0 + q % kPart, batch.count - 1);
            const double* frame = batch.sig + f * batch.sigStep;
            sig[q] = frame[j];
            if (kTerm != 1)
                deriv[q] = DerivTerm<ScalarArith>(p.t[r], p.invDt, sig[q],
                                                  frame[NextElement(j, p.last)]);
        }
        return Accumulate<kTerm, F>(R, F::Load(sig), [&] { return F::Load(deriv); });
    };
    // The staged rows of slots k * kParts .. at S (samples or derivative
    // terms, frames f0 ..).
    auto load = [&](const double* S, const int32_t* lanes, int k) {
        const int32_t* at = lanes + k * kParts;
        if constexpr (kParts == 1)
            return F::Load(S + (int64_t)at[0] * frames);
        else if constexpr (kParts == 2)
            return F::LoadHalves(S + (int64_t)at[0] * frames, S + (int64_t)at[1] * frames);
        else
            return F::LoadQuarters(S + (int64_t)at[0] * frames, S + (int64_t)at[1] * frames,
                                   S + (int64_t)at[2] * frames, S + (int64_t)at[3] * frames);
    };

    for (int v = 0; v < kV; ++v) {
        double* slots = acc + ((v / kC) * accStride + (v % kC) * N) * frames;
        for (int64_t f0 = 0; f0 < frames; f0 += kPart) {
            V r[kSums];
            Unrolled<kSums>([&](auto k) { r[k] = F::Load(slots + k * kParts * frames + f0); });
            for (int i = 0; i < sb.count; ++i) {
                const int32_t* lanes = row + (i * kV + v) * N;
                if (HWY_UNLIKELY(!sb.stacked[i])) {
                    Unrolled<kSums>([&](auto k) { r[k] = unstacked(i, lanes, k, f0, r[k]); });
                    continue;
                }
                const double* S = sb.rows[i] + f0;
                const double* D = sb.derivs[i] + f0;
                Unrolled<kSums>([&](auto k) {
                    r[k] = Accumulate<kTerm, F>(r[k], load(S, lanes, k),
                                                [&] { return load(D, lanes, k); });
                });
            }
            Unrolled<kSums>([&](auto k) { F::Store(r[k], slots + k * kParts * frames + f0); });
        }
    }
}

// The rows a tile's windows of one sensor may read: first .. final (those a
// pixel can select) and kMargin rows (the tile's widest window) either
// side, rounded up to a multiple of 8 rows.
struct WindowRows {
    int64_t lo, size;
};
template <int kMargin>
inline WindowRows windowRows(int64_t first, int64_t final) {
    return {first - kMargin, (final + 2 * kMargin - first + 8) / 8 * 8};
}

// Fills the derivative terms of sensor s of the frame at sigMat for `rows`
// at D, so that D[i - rows.lo] is the term at row i.
inline void DerivWindow(const Plan& p, const double* sigMat, int64_t s, WindowRows rows,
                        double* D) {
    const int64_t colOff = s * p.rows;
    DerivTermsOfColumn(sigMat + colOff, p.t, p.invDt, p.rows, p.last - colOff, rows.lo, rows.size,
                       D);
}

// Stages `rows` of sensor s's column of the frame at sigMat (zero outside
// it) and, for terms 2 and 3, of its derivative terms D (row i at D[i]), at
// S, for a family that reads covered windows from staged copies: *sigOut
// and *derivOut then hold row i at [i].
template <class F, int kTerm, class W = typename F::Word>
void StageWindows(const Plan& p, const double* sigMat, int64_t s, WindowRows rows, const double* D,
                  W* S, const W** sigOut, const W** derivOut) {
    const double* col = sigMat + s * p.rows;
    if (rows.lo >= 0 && rows.lo + rows.size <= p.rows) {
        F::Stage(col + rows.lo, rows.size, S);
    } else {
        for (int64_t r = 0; r < rows.size; r += 8) {
            double part[8];
            for (int j = 0; j < 8; ++j) {
                const int64_t row = rows.lo + r + j;
                part[j] = row >= 0 && row < p.rows ? col[row] : 0.0;
            }
            F::Stage(part, 8, S + r);
        }
    }
    *sigOut = S - rows.lo;
    if (kTerm != 1) {
        F::Stage(D + rows.lo, rows.size, S + rows.size);
        *derivOut = S + rows.size - rows.lo;
    }
}

// Stages rows lo .. lo + size - 1 of sensor s of every frame of a batch with
// the frames interleaved: the sample of frame f at row lo + r goes to
// S[r * frames + f], its derivative term (terms 2 and 3) to D[r * frames + f].
// Rows outside the column, and frames beyond the batch, are zero. Each
// frame's column is read in order.
template <int kTerm>
void StageStack(const Plan& p, const Batch& batch, int64_t s, WindowRows rows, int64_t frames,
                double* S, double* D) {
    const int64_t colOff = s * p.rows;
    // Rows r0 .. r1 - 1 of the staged ones lie inside the column.
    const int64_t r0 = std::min(std::max<int64_t>(0, -rows.lo), rows.size);
    const int64_t r1 = std::max(r0, std::min(rows.size, p.rows - rows.lo));
    // Row by row, every frame's column read in order alongside the others;
    // a row is written whole.
    const double* cols[kMaxBatch];
    for (int f = 0; f < batch.count; ++f) cols[f] = batch.sig + f * batch.sigStep + colOff;
    for (int64_t r = 0; r < rows.size; ++r) {
        const int64_t row = rows.lo + r;
        double* sig = S + r * frames;
        double* deriv = D + r * frames;
        int f = 0;
        if (r >= r0 && r < r1) {
            const double weight = p.t[row];
            // The element after this row's, within each frame's column.
            const int64_t next = NextElement(colOff + row, p.last) - colOff;
            if (kTerm == 1) {
                for (; f < batch.count; ++f) sig[f] = cols[f][row];
            } else {
                for (; f < batch.count; ++f) {
                    sig[f] = cols[f][row];
                    deriv[f] = DerivTerm<ScalarArith>(weight, p.invDt, cols[f][row], cols[f][next]);
                }
            }
        }
        for (; f < frames; ++f) {
            sig[f] = 0.0;
            if (kTerm != 1) deriv[f] = 0.0;
        }
    }
}

// The pixel centres of every lane of a tile of `down` x `across` vectors
// from row K0 and column L0, into yq (per row of vectors) and xp (per
// column), and their bounds. Lanes beyond the tile (rows from Klast on,
// columns from L1 on) repeat its last row or column; they are computed and
// thrown away.
template <class F>
TileBounds LaneCentres(const Plan& p, int64_t K0, int64_t Klast, int64_t L0, int64_t L1, int down,
                       int across, double* yq, double* xp) {
    constexpr int N = F::kLanes;
    TileBounds b{std::numeric_limits<double>::infinity(), -std::numeric_limits<double>::infinity(),
                 std::numeric_limits<double>::infinity(), -std::numeric_limits<double>::infinity(),
                 true};
    for (int a = 0; a < down; ++a)
        for (int l = 0; l < N; ++l) {
            const int64_t K = std::min<int64_t>(K0 + a * F::kVectorRows + F::kRow[l], Klast);
            const double yv = pixelY(K, p.half1, p.dx);
            yq[a * N + l] = yv;
            b.finite = b.finite && std::isfinite(yv);
            b.ylo = std::min(b.ylo, yv);
            b.yhi = std::max(b.yhi, yv);
        }
    for (int v = 0; v < across; ++v)
        for (int l = 0; l < N; ++l) {
            const int64_t L = std::min<int64_t>(L0 + v * F::kVectorCols + F::kCol[l], L1 - 1);
            const double xv = pixelX(L, p.half1, p.dx);
            xp[v * N + l] = xv;
            b.finite = b.finite && std::isfinite(xv);
            b.xlo = std::min(b.xlo, xv);
            b.xhi = std::max(b.xhi, xv);
        }
    return b;
}

// One thread's scratch for one tile, as ScratchLayout places it.
template <class F>
struct TileScratch {
    double* acc;             // running sums
    double* deriv;           // a sensor block's derivative terms (one frame)
    typename F::Word* stage;  // its staged windows (one frame)
    double* stack;           // its rows staged for a batch
    explicit TileScratch(const TileConsts<F>& c) {
#ifdef _OPENMP
        double* base = c.scratch + (int64_t)omp_get_thread_num() * c.layout.doubles;
#else
        double* base = c.scratch;
#endif
        acc = base;
        deriv = base + c.layout.derivAt;
        stage = reinterpret_cast<typename F::Word*>(base + c.layout.stageAt);
        stack = base + c.layout.stackAt;
    }
};

// Sets up the sensors s0 .. s0 + sb->count - 1 of a tile with the given
// bounds and tilePixels pixels: how each one's indices are found and where
// its samples are read. A batch (frames > 1: the frames rounded up to whole
// vectors) stages each bounded sensor's rows with the frames side by side,
// where room is left; a single frame prepares a covered sensor's
// derivative terms and staged windows. Each falls back to a path that needs
// less: a sensor that cannot be staged for a batch reads every frame's
// samples one by one; one whose rows outnumber the tile's pixels, or that
// finds no room for its derivative terms, takes the square root with
// gathers; a covered one that finds no room for its staged windows takes
// checked windows.
template <class F, int kTerm, bool kWide>
void SetUpSensors(const Plan& p, const TileConsts<F>& c, const Batch& batch,
                  const TileBounds& bounds, int64_t frames, int64_t tilePixels,
                  const TileScratch<F>& scratch, SensorBlock<F>* block) {
    SensorBlock<F>& sb = *block;
    constexpr LaneSpan kSpan = laneSpan<F>();
    constexpr int kMargin = kWide ? kMaxWindow<F> : F::kWindow;  // of the derivative terms
    constexpr int64_t kCopies = kTerm == 1 ? 1 : 2;  // samples, and derivative terms
    int64_t derivUsed = 0, stageUsed = 0, stackUsed = 0;
    for (int i = 0; i < sb.count; ++i) {
        const int64_t s = sb.s0 + i;
        sb.x[i] = p.xs[s];
        sb.y[i] = p.ys[s];
        sb.ez2[i] = Square<ScalarArith>(p.zs[s]);
        const TileSensor ts =
            classifySensor(p, kSpan, F::kWindow, kWide ? F::kWideWindow : 0, s, bounds);
        sb.mode[i] = ts.mode;
        sb.off[i] = ts.off;
        sb.stacked[i] = false;
        if (!ts.bounded) continue;
        // Every pixel of the tile takes a row in first .. final.
        const int64_t first = ts.first, final = ts.final;
        if (frames > 1) {
            const WindowRows rows{first, final - first + 1};
            const int64_t size = rows.size * frames;
            if (stackUsed + kCopies * size > c.layout.stackDoubles) continue;
            double* S = scratch.stack + stackUsed;
            double* D = S + (kTerm == 1 ? 0 : size);
            StageStack<kTerm>(p, batch, s, rows, frames, S, D);
            stackUsed += kCopies * size;
            sb.stacked[i] = true;
            sb.lo[i] = rows.lo;
            sb.rows[i] = S;
            sb.derivs[i] = D;
            continue;
        }
        if (ts.mode == kSqrtGathers) continue;
        // The derivative terms and staged windows cost about as much per row
        // as per pixel; where the tile has fewer pixels than rows to fill,
        // the square root path with gathers is cheaper.
        const WindowRows rows = windowRows<kMargin>(first, final);
        const bool fewPixels = final - first + 2 * kMargin > tilePixels;
        if (kTerm != 1) {
            if (fewPixels || derivUsed + rows.size > c.layout.derivDoubles) {
                sb.mode[i] = kSqrtGathers;
                continue;
            }
            double* D = scratch.deriv + derivUsed;
            DerivWindow(p, batch.sig, s, rows, D);
            sb.deriv[i] = D - rows.lo;
            derivUsed += rows.size;
        }
        if constexpr (F::kStagedWindows) {
            if (ts.mode == kCoveredWindows &&
                (fewPixels || stageUsed + kCopies * rows.size > F::kStageRows))
                sb.mode[i] = kCheckedWindows;
            if (sb.mode[i] == kCoveredWindows) {
                StageWindows<F, kTerm>(p, batch.sig, s, rows, sb.deriv[i],
                                       scratch.stage + stageUsed, &sb.sigRows[i],
                                       &sb.derivRows[i]);
                stageUsed += kCopies * rows.size;
            }
        } else {
            sb.sigRows[i] = batch.sig + s * p.rows;
            sb.derivRows[i] = sb.deriv[i];
        }
    }
}

// One tile of every frame of a batch: rows K0 .. K1 - 1 of columns
// L0 .. L1 - 1, at most kMaxTile of each. One frame runs through Group;
// two or more through StackRows and StackApply, with each sensor's rows
// staged.
template <class F, int kTerm, int kGuess, bool kHasZ, bool kWide>
void Tile(const Plan& p, const TileConsts<F>& c, const Batch& batch, int64_t K0, int64_t K1,
          int64_t L0, int64_t L1) {
    using Shape = TileShape<F>;
    constexpr int N = F::kLanes;
    const int down = vectorsFor(K1 - K0, F::kVectorRows, F::kGroupRows, Shape::kDown);
    const int across = vectorsFor(L1 - L0, F::kVectorCols, F::kGroupCols, Shape::kAcross);
    alignas(64) double yq[Shape::kDown * N];
    alignas(64) double xp[Shape::kAcross * N];
    const TileBounds bounds = LaneCentres<F>(p, K0, K1 - 1, L0, L1, down, across, yq, xp);
    const TileScratch<F> scratch(c);
    // Running sums: frame f of the pixel in slot g at acc[g * frames + f].
    const bool stacked = batch.count > 1;
    const int64_t frames = stacked ? BatchFrames<F>(batch.count) : 1;
    const int64_t accStride = (int64_t)across * N;  // slots per row of vectors
    double* acc = scratch.acc;

    // Calls f(frame 0's image element, running sums) for each lane of the
    // tile that is a pixel of the image.
    auto pixels = [&](auto&& f) {
        for (int a = 0; a < down; ++a)
            for (int b = 0; b < across; ++b)
                for (int l = 0; l < N; ++l) {
                    const int64_t K = K0 + a * F::kVectorRows + F::kRow[l];
                    const int64_t L = L0 + b * F::kVectorCols + F::kCol[l];
                    if (K < K1 && L < L1)
                        f(batch.image + K + L * p.n, acc + (a * accStride + b * N + l) * frames);
                }
    };
    // Running sums, starting from what the images hold on entry.
    pixels([&](const double* image, double* sums) {
        for (int f = 0; f < batch.count; ++f) sums[f] = image[f * batch.imageStep];
    });

    SensorBlock<F> sb;
    alignas(64) int32_t laneRows[kSensorBlock * F::kGroupRows * F::kGroupCols * N];  // StackRows'
    for (int64_t s0 = 0; s0 < p.cols; s0 += kSensorBlock) {
        sb.s0 = s0;
        sb.count = (int)std::min<int64_t>(kSensorBlock, p.cols - s0);
        SetUpSensors<F, kTerm, kWide>(p, c, batch, bounds, frames, (int64_t)down * across * N,
                                      scratch, &sb);
        for (int a = 0; a < down; a += F::kGroupRows)
            for (int b = 0; b < across; b += F::kGroupCols) {
                if (!stacked) {
                    Group<F, kTerm, kGuess, kHasZ, kWide>(p, c, batch.sig, sb, yq + a * N,
                                                          xp + b * N,
                                                          acc + a * accStride + b * N, accStride);
                } else {
                    StackRows<F, kGuess, kHasZ, kWide>(p, c, sb, yq + a * N, xp + b * N,
                                                       laneRows);
                    double* sums = acc + (a * accStride + b * N) * frames;
                    // A short batch fills a half or a quarter of a vector
                    // with each pixel's frames (BatchFrames).
                    if constexpr (kVectorParts<F> >= 4) {
                        if (frames * 4 == N) {
                            StackApply<F, kTerm, 4>(p, batch, sb, frames, laneRows, sums,
                                                    accStride);
                            continue;
                        }
                    }
                    if constexpr (kVectorParts<F> >= 2) {
                        if (frames * 2 == N) {
                            StackApply<F, kTerm, 2>(p, batch, sb, frames, laneRows, sums,
                                                    accStride);
                            continue;
                        }
                    }
                    StackApply<F, kTerm, 1>(p, batch, sb, frames, laneRows, sums, accStride);
                }
            }
    }

    pixels([&](double* image, const double* sums) {
        for (int f = 0; f < batch.count; ++f) image[f * batch.imageStep] = sums[f];
    });
}

template <class F>
using TileFn = void (*)(const Plan&, const TileConsts<F>&, const Batch&, int64_t, int64_t, int64_t,
                        int64_t);

template <class F, int kTerm, int kGuess>
TileFn<F> ChooseTile(const Plan& p, bool wide) {
    // Windows by the table's guess, or by the square root alone, as the
    // family's policy says; gathers (kNoGuess) for any family.
    constexpr bool kRuns = kGuess == kNoGuess ||
                           (F::kWindows && (kGuess == kSqrtOnly) != F::kThresholdTable);
    if constexpr (!kRuns) {
        return nullptr;
    } else {
        if constexpr (kGuess != kNoGuess && F::kWideWindows) {
            if (wide)
                return p.hasZ ? &Tile<F, kTerm, kGuess, true, true>
                              : &Tile<F, kTerm, kGuess, false, true>;
        }
        return p.hasZ ? &Tile<F, kTerm, kGuess, true, false>
                      : &Tile<F, kTerm, kGuess, false, false>;
    }
}

template <class F, int kTerm>
TileFn<F> ChooseTile(const Plan& p, bool wide) {
    switch (p.guess) {
        case kEstimate:
            return ChooseTile<F, kTerm, kEstimate>(p, wide);
        case kRefined:
            return ChooseTile<F, kTerm, kRefined>(p, wide);
        case kSqrtOnly:
            return ChooseTile<F, kTerm, kSqrtOnly>(p, wide);
        default:
            return ChooseTile<F, kTerm, kNoGuess>(p, wide);
    }
}

// Work is shared out in cells of one group of vectors (kCellRows x
// kCellCols pixels), numbered down the columns of cells. A share is a range
// of consecutive cells: its whole columns of cells are cut into tiles of up
// to kMaxTile pixels a side, the partial columns at either end into tiles
// one cell wide. Every share then holds the same number of cells, give or
// take one, at every image size and thread count.
template <class F>
struct Cells {
    static constexpr int64_t kCellRows = F::kGroupRows * F::kVectorRows;
    static constexpr int64_t kCellCols = F::kGroupCols * F::kVectorCols;
    static_assert(kMaxTile % kCellRows == 0 && kMaxTile % kCellCols == 0,
                  "a tile holds whole cells");
    int64_t n, down, across;  // image size, cells down and across
    explicit Cells(int64_t n_)
        : n(n_), down((n_ + kCellRows - 1) / kCellRows), across((n_ + kCellCols - 1) / kCellCols) {}
    int64_t count() const { return down * across; }

    // Calls tile(K0, K1, L0, L1) for every tile of cells first .. end - 1.
    template <class Fn>
    void forTiles(int64_t first, int64_t end, Fn&& tile) const {
        constexpr int64_t kTileDown = kMaxTile / kCellRows, kTileAcross = kMaxTile / kCellCols;
        auto column = [&](int64_t col, int64_t cols, int64_t r0, int64_t r1) {
            const int64_t L0 = col * kCellCols, L1 = std::min(n, (col + cols) * kCellCols);
            for (int64_t r = r0; r < r1; r += kTileDown)
                tile(r * kCellRows, std::min(n, std::min(r1, r + kTileDown) * kCellRows), L0, L1);
        };
        int64_t u = first;
        while (u < end) {
            const int64_t col = u / down, row = u % down;
            if (row != 0 || end - u < down) {
                const int64_t rowEnd = std::min(down, row + (end - u));
                column(col, 1, row, rowEnd);
                u += rowEnd - row;
            } else {
                const int64_t cols = std::min((end - u) / down, kTileAcross);
                column(col, cols, 0, down);
                u += cols * down;
            }
        }
    }
};

// The family F as the cost model (chooseVectorPlan) sees it.
template <class F>
constexpr FamilyModel ModelOf() {
    return FamilyModel{laneSpan<F>(),       F::kLanes,          kVectorParts<F>,
                       Cells<F>::kCellRows, Cells<F>::kCellCols, F::kWindow,
                       F::kWideWindow,      F::kWindows,         F::kThresholdTable,
                       F::kWideWindows,     F::kEstimateError,   F::kRefinedError,
                       F::kCosts};
}

// Chooses how the family F runs a request: false where the scalar kernel
// would be faster (unless `always`) or memory is short.
template <class F>
bool PlanWith(const ReconInput& in, const ReconGeometry& g, int team, bool always, int64_t frames,
              VectorPlan* vp) {
    static_assert(CheckFamily<F>(), "");
    return chooseVectorPlan(in, g, ModelOf<F>(), team, always, frames, vp);
}

// Where a thread's scratch holds what for a run in batches of `batch`
// frames, of which some are single frames (`singles`: a batch of one, or
// the last frame of a stack).
template <class F>
ScratchLayout ScratchFor(const Plan& p, int batch, bool singles) {
    ScratchLayout s{};
    s.accFrames = batch > 1 ? BatchFrames<F>(batch) : 1;
    s.derivAt = s.stageAt = s.stackAt = TileShape<F>::kAccDoubles * s.accFrames;
    // Single frames read windows where the plan has a guess level.
    if (singles && p.guess != kNoGuess) {
        s.derivDoubles = p.term != 1 ? kDerivCapacity : 0;
        s.stageAt = s.derivAt + s.derivDoubles;
        s.stageDoubles = F::kStageDoubles;
        s.stackAt = s.stageAt + s.stageDoubles;
    }
    if (batch > 1) s.stackDoubles = kStackRows * s.accFrames;
    s.doubles = s.stackAt + s.stackDoubles;
    return s;
}

// Adds the images of a stack with the family F, as PlanWith chose; false,
// without touching them, when memory is short.
template <class F>
bool RunWith(const VectorPlan& vp, const double* sigMat, int64_t frames, double* Recon, int team) {
    const Plan& p = vp.plan;
    const Cells<F> cells(p.n);
    const int batch = (int)batchFor(vp, frames);
    TileConsts<F> c{typename F::Consts(p), p.t, p.E, p.eOrigin, p.last, nullptr,
                    ScratchFor<F>(p, batch, batch == 1 || frames % batch == 1)};
    const auto scratch = hwy::AllocateAligned<double>((size_t)team * c.layout.doubles);
    if (!scratch) return false;
    c.scratch = scratch.get();
    const TileFn<F> tileFn = p.term == 1   ? ChooseTile<F, 1>(p, vp.wide)
                             : p.term == 2 ? ChooseTile<F, 2>(p, vp.wide)
                                           : ChooseTile<F, 3>(p, vp.wide);
    if (tileFn == nullptr) return false;
    const int64_t sigStep = p.rows * p.cols, imageStep = p.n * p.n;
    const int64_t batches = (frames + batch - 1) / batch;
    auto batchAt = [&](int64_t b) {
        const int64_t f0 = b * batch;
        return Batch{sigMat + f0 * sigStep, Recon + f0 * imageStep, sigStep, imageStep,
                     (int)std::min<int64_t>(batch, frames - f0)};
    };
#pragma omp parallel num_threads(team)
    {
#ifdef _OPENMP
        const int64_t share = omp_get_thread_num(), shares = omp_get_num_threads();
#else
        const int64_t share = 0, shares = 1;
#endif
        // Each thread takes a share of the pixels of every batch or, where
        // there are fewer cells than threads, whole batches: either way every
        // pixel of a frame is summed by one thread.
        const bool byPixels = cells.count() >= shares || batches == 1;
        const int64_t first = byPixels ? cells.count() * share / shares : 0;
        const int64_t end = byPixels ? cells.count() * (share + 1) / shares : cells.count();
        for (int64_t b = byPixels ? 0 : share; b < batches; b += byPixels ? 1 : shares) {
            const Batch at = batchAt(b);
            cells.forTiles(first, end, [&](int64_t K0, int64_t K1, int64_t L0, int64_t L1) {
                tileFn(p, c, at, K0, K1, L0, L1);
            });
        }
    }
    return true;
}

}  // namespace HWY_NAMESPACE
}  // namespace tofimage_simd
HWY_AFTER_NAMESPACE();

#endif
