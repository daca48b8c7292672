// The vector kernel's tile algorithm, written once over a family of lane
// primitives (recon_simd_<family>-inl.h). Included once per instruction set
// by recon_simd.cpp, inside its HWY_NAMESPACE, after the family header that
// defines `Lanes` for that instruction set.
//
// Each lane of a vector is one pixel; for each sensor, in increasing order,
// it evaluates the same IEEE operations in the same order as the scalar
// kernel (no fused multiply-add, no reassociation), so the running sum of
// every pixel is the scalar kernel's sum. A vector covers a small block of
// Lanes::kBlockRows x kBlockCols pixels; a group of kGroupRows x kGroupCols
// vectors shares the squared offsets of a sensor; a tile of up to kMaxTile
// pixels a side keeps its signal windows for a block of sensors in L1 while
// every group of the tile runs through that block.
//
// Per sensor and tile one of these paths is chosen (Mode): the correctly
// rounded square root with gathers, as the scalar kernel does (anything the
// threshold table does not cover); the threshold table with checked windows
// (kClamped); or the threshold table with unchecked windows, where the tile's
// geometry guarantees that every vector's samples fit one window inside the
// signal matrix (kCovered). On grids so coarse that neighbouring pixels lie
// several samples apart, the windows are wide ones where the family has them
// (kClampedWide, kCoveredWide); a wide lookup costs about two narrow ones,
// so there every vector takes the square root and one lookup rather than
// the table's two. A window lookup fetches the samples of all
// lanes from Lanes::kWindow (or kWideWindow) consecutive samples (lane
// permutes, or lane loads where vectors are short); the derivative terms come
// from a per-tile table of the sensor's weighted forward differences,
// computed with the scalar kernel's operations.
//
// A batch of two to kMaxBatch frames of a stack finds its indices by the
// same paths, once for all its frames (FindIndex), and then applies them to
// every frame: each tile stages the rows of each sensor that its pixels can
// select with the frames side by side (StageStack), so that one vector load
// at a pixel's index fetches that sample of kLanes frames, whatever the
// grid, and a pixel's running sums of those frames lie side by side too
// (StackRows, StackApply). A sensor whose rows cannot be bounded or staged reads
// every frame's samples one by one.
//
// Nothing here is specific to an instruction set. A family (`Lanes`) gives:
//   V, I               kLanes doubles, and kLanes sample indices
//   kLanes, kBlockRows, kBlockCols, kRow[], kCol[]
//                      the pixels of a vector: lane l at row kRow[l], column
//                      kCol[l] of a kBlockRows x kBlockCols block
//   kGroupRows, kGroupCols, kSqrtVectors
//                      vectors per group, and how many of them take the
//                      square root with windows on covered sensors
//   kTable, kWindow, kWideWindow, kEstimateError, kRefinedError
//                      whether it has the table path, the samples a window
//                      lookup covers (kWideWindow: a wider, dearer lookup;
//                      0 for none), the relative error bounds of Guess
//   kTableCost, kWideCost, kGatherCost, kSqrtCost
//                      nanoseconds per evaluation: table with windows, wide
//                      windows, windows too narrow for the grid (gathers);
//                      square root with gathers
//   Consts             per-call constants in registers, from the Plan
//   Set, Load, Store, Add, Sub, Mul
//   ExactIndex, BoundedIndex, PositiveIndex
//                      the scalar kernel's index through the square root:
//                      for any d2, for the d2 the table covers, and for
//                      positions inside the rows
//   Guess<kGuess, kClamp>, StepIfAtLeast
//                      the index guess, and the exact threshold step
//   Lane0, Centre, Minus, AnyOutside, Lookup, LookupWide
//                      window placement and lookup
//   Gather, NextIndex  the fallback
//   Spill              a vector of indices as kLanes 32-bit integers
//                      (batches of frames)
//   Word, kStageRows, kStageDoubles, Stage, LookupStaged
//                      where kStageRows > 0, covered sensors read their
//                      windows from copies staged per tile in the family's
//                      layout (Word: its element), rather than from sigMat
// Only the members the family's paths use need exist: a family without
// the table (kTable false) gives only the square root path's.

constexpr int kMaxTile = 64;
constexpr int kSensorBlock = 16;
// Doubles per thread for the derivative terms of one sensor block.
constexpr int64_t kDerivCapacity = kSensorBlock * 1024;
// Rows per thread for the sensors of one block staged for a batch of frames
// (each row holding every frame's sample and, for terms 2 and 3, derivative
// term); a sensor beyond them reads its samples from sigMat one by one.
constexpr int64_t kStackRows = kSensorBlock * 2048;

enum Mode : uint8_t {
    kExact,        // square root per evaluation
    kClamped,      // the table covers every d2; indices may clamp, windows are checked
                   // (or, where every vector takes the square root, gathers)
    kCovered,      // threshold table; every index in 1 .. rows-2, and every vector's
                   // samples inside one window that lies inside sigMat
    kClampedWide,  // the table covers every d2, but windows are checked: wide ones,
                   // indices from the square root
    kCoveredWide,  // kCovered with wide windows, indices from the square root
};

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

// Frames a tile reconstructs at once, at most.
constexpr int kMaxBatch = 16;

// The frames of a stack that a tile reconstructs together.
struct Batch {
    const double* sig;           // the first frame's samples
    double* image;               // and its image
    int64_t sigStep, imageStep;  // elements from one frame to the next
    int count;                   // frames, 1 .. kMaxBatch
};

// Per-call values every tile reads.
template <class L>
struct TileConsts {
    typename L::Consts lanes;
    const double* t;
    const double* E;         // E[m] at E[m - eOrigin]
    int64_t eOrigin;
    int64_t last;            // index of the last element of a frame
    // Per thread: running sums of batchFrames frames, then windowDoubles
    // for the windows of one frame, then stackDoubles for staged batches.
    double* scratch;
    int64_t scratchDoubles, batchFrames, windowDoubles, stackDoubles;
    // 1; more (to time it alone) repeats the per-frame work of a batch: its
    // images read and written, its rows staged and its indices applied. The
    // images are then wrong.
    int frameRounds;
};

// The widest window a family looks up.
template <class L>
constexpr int kMaxWindow = L::kWindow > L::kWideWindow ? L::kWindow : L::kWideWindow;

// w[rel[l]] for rel in 0 .. kW-1, from a window or a wide window of
// doubles, or from a window staged in the family's layout.
template <class L, int kW, class W, class I = typename L::I>
HWY_INLINE typename L::V Lookup(const W* w, I rel) {
    if constexpr (!std::is_same_v<W, double>)
        return L::LookupStaged(w, rel);
    else if constexpr (kW == L::kWindow)
        return L::Lookup(w, rel);
    else
        return L::LookupWide(w, rel);
}

template <class L>
constexpr LaneSpan laneSpan() {
    LaneSpan s{0, 0, 0, 0};
    for (int l = 0; l < L::kLanes; ++l) {
        const int r = L::kRow[l] - L::kRow[0], c = L::kCol[l] - L::kCol[0];
        s.rowLo = r < s.rowLo ? r : s.rowLo;
        s.rowHi = r > s.rowHi ? r : s.rowHi;
        s.colLo = c < s.colLo ? c : s.colLo;
        s.colHi = c > s.colHi ? c : s.colHi;
    }
    return s;
}

template <class L, int kTerm, class V = typename L::V>
HWY_INLINE V Accumulate(V R, V sig, V deriv) {
    if (kTerm == 2) return L::Add(deriv, R);
    return L::Sub(L::Add(R, sig), deriv);
}

// Where one vector's samples of one sensor come from: rows base + rel[l] of
// a window (lane l), or with `gather`, rows rel[l] through gathers. The
// index stage of a step finds it once; the apply stage reads the samples of
// every frame of the batch there.
template <class L>
struct Fetch {
    int64_t base;
    typename L::I rel;
    bool gather;
};

// Adds the term at sample indices i of a column `col` of sigMat, fetched
// with gathers. After the last element of the frame (col[lastInCol]) the
// difference is zero.
template <class L, int kTerm, class V = typename L::V, class I = typename L::I>
HWY_INLINE V GatherTerm(const TileConsts<L>& c, const double* col, int64_t lastInCol, I i, V R) {
    const V sig = L::Gather(col, i);
    if (kTerm == 1) return L::Add(sig, R);
    const V next = L::Gather(col, L::NextIndex(i, lastInCol));
    const V weight = L::Mul(L::Gather(c.t, i), c.lanes.invDt);
    return Accumulate<L, kTerm>(R, sig, L::Mul(weight, L::Sub(next, sig)));
}

// Adds the term at sample indices i of the column `col`, fetched with
// gathers, the derivative terms from D (D[i] is the term at row i): for the
// vectors whose samples do not fit one window.
template <class L, int kTerm, class V = typename L::V, class I = typename L::I>
HWY_INLINE V GatherDerivTerm(const double* col, const double* D, I i, V R) {
    const V sig = L::Gather(col, i);
    if (kTerm == 1) return L::Add(sig, R);
    return Accumulate<L, kTerm>(R, sig, L::Gather(D, i));
}

// Adds the term at sample indices base + rel, fetched from windows of kW
// rows starting at row `base`: S[i] is the sample at row i of the sensor's
// column, D[i] the derivative term (as for GatherDerivTerm), of sigMat and
// the tile's table, or staged.
template <class L, int kTerm, int kW, class W, class V = typename L::V, class I = typename L::I>
HWY_INLINE V WindowTerm(const W* S, const W* D, int64_t base, I rel, V R) {
    const V sig = Lookup<L, kW>(S + base, rel);
    if (kTerm == 1) return L::Add(sig, R);
    return Accumulate<L, kTerm>(R, sig, Lookup<L, kW>(D + base, rel));
}

// Adds the term a checked fetch names: a window of kW rows of the column
// `col`, or gathers.
template <class L, int kTerm, int kW, class V = typename L::V>
HWY_INLINE V CheckedTerm(const double* col, const double* D, const Fetch<L>& f, V R) {
    if (HWY_UNLIKELY(f.gather)) return GatherDerivTerm<L, kTerm>(col, D, f.rel, R);
    return WindowTerm<L, kTerm, kW>(col, D, f.base, f.rel, R);
}

// The first row of a window of kW rows around row `around` of the sensor
// whose column starts at colOff (kW / 2 - 1 rows before it), moved inside
// sigMat.
template <class L, int kW>
HWY_INLINE int64_t CheckedBase(const TileConsts<L>& c, int64_t colOff, int64_t around) {
    int64_t start = colOff + around - (kW / 2 - 1);
    start = start < 0 ? 0 : start;
    start = start > c.last - kW ? c.last - kW : start;
    return start - colOff;
}

// The index stages. Every one gives the scalar kernel's sample indices.

// Through the correctly rounded square root, as the scalar kernel does, for
// any d2: gathers.
template <class L, class V = typename L::V>
HWY_INLINE Fetch<L> ExactFetch(const TileConsts<L>& c, V d2) {
    return {0, L::ExactIndex(c.lanes, d2), true};
}

// Through the threshold table; the caller has checked that every d2 lies in
// [d2Lo, d2Hi], and for kCover also that every index lies in 1 .. rows-2 and
// that every lane's guess lies in the window starting `off` rows before lane
// 0's, which lies inside sigMat (windowCovers). Unless kCover, the window
// around lane 0's guess is moved inside sigMat, and a vector whose guesses
// do not all fall in it takes the threshold with a gather, and gathers.
template <class L, int kGuess, bool kCover, class V = typename L::V>
HWY_INLINE Fetch<L> TableFetch(const TileConsts<L>& c, int64_t colOff, int64_t off, V d2) {
    constexpr int kW = L::kWindow;
    const auto guess = L::template Guess<kGuess, !kCover>(c.lanes, d2);
    const int64_t base = kCover ? L::Lane0(guess) - off
                                : CheckedBase<L, kW>(c, colOff, L::Lane0(guess));
    const auto rel = L::Minus(guess, base);
    if constexpr (!kCover) {
        if (HWY_UNLIKELY(L::AnyOutside(rel, kW - 2))) {
            const V above = L::Gather(c.E, L::Minus(guess, c.eOrigin - 1));
            return {0, L::StepIfAtLeast(d2, above, guess), true};
        }
    }
    const V above = L::Lookup(c.E + (base + 1 - c.eOrigin), rel);
    return {base, L::StepIfAtLeast(d2, above, rel), false};
}

// Through the square root for a covered sensor, into its window: between
// the table's vectors it keeps the otherwise idle square root unit busy.
template <class L, class V = typename L::V>
HWY_INLINE Fetch<L> CoveredSqrtFetch(const TileConsts<L>& c, int64_t off, V d2) {
    // Every position is at least 1/2 here.
    const auto index = L::PositiveIndex(c.lanes, d2);
    const int64_t base = L::Lane0(index) - off;
    return {base, L::Minus(index, base), false};
}

// Through the square root for a sensor the table covers whose windows are
// not guaranteed: no range tests. With kW 0, gathers (a family whose every
// vector takes the square root: its gathers cost less than a window that
// may miss); otherwise the window of kW rows around the index at the
// vector's centre, kept inside sigMat, or gathers where a vector's indices
// do not all fall in it.
template <class L, int kW, class V = typename L::V>
HWY_INLINE Fetch<L> CheckedSqrtFetch(const TileConsts<L>& c, int64_t colOff, V d2) {
    const auto index = L::BoundedIndex(c.lanes, d2);
    if constexpr (kW == 0) {
        return {0, index, true};
    } else {
        const int64_t base = CheckedBase<L, kW>(c, colOff, L::Centre(index));
        const auto rel = L::Minus(index, base);
        if (HWY_UNLIKELY(L::AnyOutside(rel, kW - 1))) return {0, index, true};
        return {base, rel, false};
    }
}

// Number of blocks of `size` covering `extent`, rounded up to a multiple of
// `multiple` and at most `most`.
inline int blocksFor(int64_t extent, int size, int multiple, int most) {
    int64_t b = (extent + size - 1) / size;
    b = (b + multiple - 1) / multiple * multiple;
    return (int)std::min<int64_t>(b, most);
}

// Sizes of a tile's arrays of lane coordinates and running sums.
template <class L>
struct TileShape {
    static constexpr int kDown = kMaxTile / L::kBlockRows;    // blocks down a tile
    static constexpr int kAcross = kMaxTile / L::kBlockCols;  // blocks across a tile
    static constexpr int64_t kAccDoubles = (int64_t)kDown * kAcross * L::kLanes;
};

// What a tile knows of each sensor of a block: its position and how its
// indices are found; for one frame, where its windows lie; for a batch of
// frames, its rows staged with the frames interleaved.
template <class L>
struct SensorBlock {
    using W = typename L::Word;
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
template <int kGuess, bool kWide, class F>
HWY_INLINE void WithMode(Mode mode, F&& f) {
    if constexpr (kGuess != kNoGuess) {
        if (mode == kCovered) return f(std::integral_constant<Mode, kCovered>());
        if constexpr (!kWide) {
            if (mode == kClamped) return f(std::integral_constant<Mode, kClamped>());
        } else {
            if (mode == kCoveredWide) return f(std::integral_constant<Mode, kCoveredWide>());
            if (mode == kClampedWide) return f(std::integral_constant<Mode, kClampedWide>());
        }
    }
    f(std::integral_constant<Mode, kExact>());
}

// The squared distances between sensor i of a block and the pixels of every
// vector of a group.
template <class L, bool kHasZ, class V = typename L::V>
HWY_INLINE void SquaredDistances(const SensorBlock<L>& sb, int i, const V* y, const V* x, V* d2) {
    constexpr int kR = L::kGroupRows, kC = L::kGroupCols, kV = kR * kC;
    const V sx = L::Set(sb.x[i]), sy = L::Set(sb.y[i]);
    V EY[kR], EX[kC];
    Unrolled<kR>([&](auto a) { EY[a] = L::Mul(L::Sub(sy, y[a]), L::Sub(sy, y[a])); });
    Unrolled<kC>([&](auto b) { EX[b] = L::Mul(L::Sub(sx, x[b]), L::Sub(sx, x[b])); });
    Unrolled<kV>([&](auto v) {
        d2[v] = L::Add(EX[v % kC], EY[v / kC]);
        if (kHasZ) d2[v] = L::Add(d2[v], L::Set(sb.ez2[i]));
    });
}

// The index stage of vector v for sensor i of a block in mode kMode.
template <class L, int kGuess, Mode kMode, int v, class V = typename L::V>
HWY_INLINE Fetch<L> FindIndex(const Plan& p, const TileConsts<L>& c, const SensorBlock<L>& sb,
                              int i, V d2) {
    constexpr int kV = L::kGroupRows * L::kGroupCols;
    const int64_t colOff = (sb.s0 + i) * p.rows;
    if constexpr (kMode == kCovered) {
        if constexpr (v < L::kSqrtVectors)
            return CoveredSqrtFetch<L>(c, sb.off[i], d2);
        else
            return TableFetch<L, kGuess, true>(c, colOff, sb.off[i], d2);
    } else if constexpr (kMode == kClamped) {
        if constexpr (L::kSqrtVectors == kV)
            return CheckedSqrtFetch<L, 0>(c, colOff, d2);
        else
            return TableFetch<L, kGuess, false>(c, colOff, 0, d2);
    } else if constexpr (kMode == kCoveredWide) {
        return CoveredSqrtFetch<L>(c, sb.off[i], d2);
    } else if constexpr (kMode == kClampedWide) {
        return CheckedSqrtFetch<L, L::kWideWindow>(c, colOff, d2);
    } else {
        return ExactFetch<L>(c, d2);
    }
}

// Adds the term of sensor i of a block at `fetch` in mode kMode, for one
// frame whose samples start at sigMat.
template <class L, int kTerm, Mode kMode, class V = typename L::V>
HWY_INLINE V ApplyIndex(const Plan& p, const TileConsts<L>& c, const SensorBlock<L>& sb, int i,
                        const double* sigMat, const Fetch<L>& fetch, V R) {
    const int64_t colOff = (sb.s0 + i) * p.rows;
    const double* col = sigMat + colOff;
    if constexpr (kMode == kCovered)
        return WindowTerm<L, kTerm, L::kWindow>(sb.sigRows[i], sb.derivRows[i], fetch.base,
                                                fetch.rel, R);
    else if constexpr (kMode == kClamped)
        return CheckedTerm<L, kTerm, L::kWindow>(col, sb.deriv[i], fetch, R);
    else if constexpr (kMode == kCoveredWide)
        return WindowTerm<L, kTerm, L::kWideWindow>(sb.sigRows[i], sb.derivRows[i], fetch.base,
                                                    fetch.rel, R);
    else if constexpr (kMode == kClampedWide)
        return CheckedTerm<L, kTerm, L::kWideWindow>(col, sb.deriv[i], fetch, R);
    else
        return GatherTerm<L, kTerm>(c, col, c.last - colOff, fetch.rel, R);
}

// The sensors of one block over one group of kGroupRows x kGroupCols
// vectors of one frame; vector v is row block v / kGroupCols, column block
// v % kGroupCols of the group. Each index is applied as it is found. kWide:
// checked windows are wide ones, and covered ones may be (coarse grids).
template <class L, int kTerm, int kGuess, bool kHasZ, bool kWide>
HWY_INLINE void Group(const Plan& p, const TileConsts<L>& c, const double* sigMat,
                      const SensorBlock<L>& sb, const double* yq, const double* xp, double* acc,
                      int64_t accStride) {
    using V = typename L::V;
    constexpr int kR = L::kGroupRows, kC = L::kGroupCols, kV = kR * kC, N = L::kLanes;
    V r[kV], y[kR], x[kC];
    Unrolled<kR>([&](auto a) { y[a] = L::Load(yq + a * N); });
    Unrolled<kC>([&](auto b) { x[b] = L::Load(xp + b * N); });
    Unrolled<kV>([&](auto v) { r[v] = L::Load(acc + (v / kC) * accStride + (v % kC) * N); });
    for (int i = 0; i < sb.count; ++i) {
        V d2[kV];
        SquaredDistances<L, kHasZ>(sb, i, y, x, d2);
        WithMode<kGuess, kWide>(sb.mode[i], [&](auto mode) {
            Unrolled<kV>([&](auto v) {
                const Fetch<L> fetch = FindIndex<L, kGuess, mode, v>(p, c, sb, i, d2[v]);
                r[v] = ApplyIndex<L, kTerm, mode>(p, c, sb, i, sigMat, fetch, r[v]);
            });
        });
    }
    Unrolled<kV>([&](auto v) { L::Store(r[v], acc + (v / kC) * accStride + (v % kC) * N); });
}

// For a batch of frames, the sensors of one block over one group of
// vectors are taken in two stages. StackRows finds every index once, for
// all the frames; StackApply then applies them to the frames N at a time,
// one vector of frames per pixel. The first stage mostly waits on the square
// root unit, the second on loads and adds, so StackApply runs the first
// stage of the next group between its own steps, sensor by sensor, and the
// core overlaps them. Neither is inlined: the first does not depend on the
// term, the second depends on nothing else.

// The rows of sensor i's samples for lane l of vector v, at
// row[(i * kV + v) * N + l]: counted from the first staged row of a stacked
// sensor, otherwise from the start of its column.
template <class L, int kGuess, bool kHasZ, bool kWide>
HWY_NOINLINE void StackRows(const Plan& p, const TileConsts<L>& c, const SensorBlock<L>& sb, int i,
                            const double* yq, const double* xp, int32_t* row) {
    using V = typename L::V;
    constexpr int kR = L::kGroupRows, kC = L::kGroupCols, kV = kR * kC, N = L::kLanes;
    V y[kR], x[kC], d2[kV];
    Unrolled<kR>([&](auto a) { y[a] = L::Load(yq + a * N); });
    Unrolled<kC>([&](auto b) { x[b] = L::Load(xp + b * N); });
    SquaredDistances<L, kHasZ>(sb, i, y, x, d2);
    const int64_t from = sb.stacked[i] ? sb.lo[i] : 0;
    WithMode<kGuess, kWide>(sb.mode[i], [&](auto mode) {
        Unrolled<kV>([&](auto v) {
            const Fetch<L> fetch = FindIndex<L, kGuess, mode, v>(p, c, sb, i, d2[v]);
            L::Spill(L::Minus(fetch.rel, from - (fetch.gather ? 0 : fetch.base)),
                     row + (i * kV + v) * N);
        });
    });
}

// A group whose rows StackApply finds while it applies another's.
template <class L>
struct NextRows {
    void (*find)(const Plan&, const TileConsts<L>&, const SensorBlock<L>&, int, const double*,
                 const double*, int32_t*);  // StackRows; null: no group
    const double *yq, *xp;
    int32_t* row;
};

// Adds the terms at the rows StackRows found to the running sums of every
// frame of the batch: frame f of the pixel in slot g at acc[g * frames + f],
// slot g of vector v's lane l being (v / kGroupCols) * accStride +
// (v % kGroupCols) * N + l. Meanwhile finds the rows of `next`.
template <class L, int kTerm>
HWY_NOINLINE void StackApply(const Plan& p, const TileConsts<L>& c, const Batch& batch,
                             const SensorBlock<L>& sb, int64_t frames, const int32_t* row,
                             double* acc, int64_t accStride, const NextRows<L>& next) {
    using V = typename L::V;
    constexpr int kC = L::kGroupCols, kV = L::kGroupRows * kC, N = L::kLanes;
    // Frames f0 .. f0 + N - 1 of a sensor that is not stacked, at row r: the
    // scalar kernel's operations, frame by frame. A frame beyond the batch
    // repeats its last one.
    auto unstacked = [&](int i, int32_t r, int64_t f0, V R) {
        const int64_t colOff = (sb.s0 + i) * p.rows;
        alignas(64) double sig[N], deriv[N];
        for (int l = 0; l < N; ++l) {
            const int64_t f = std::min<int64_t>(f0 + l, batch.count - 1);
            const double* frame = batch.sig + f * batch.sigStep;
            const int64_t j = colOff + r;
            sig[l] = frame[j];
            if (kTerm != 1)
                deriv[l] = reconDerivTerm(p.t[r], p.invDt, sig[l],
                                          j < p.last ? frame[j + 1] : sig[l]);
        }
        if (kTerm == 1) return L::Add(L::Load(sig), R);
        return Accumulate<L, kTerm>(R, L::Load(sig), L::Load(deriv));
    };

    // Steps of kV x frames / N; step k finds the next group's rows of
    // sensors count * k / steps .. count * (k + 1) / steps - 1.
    const int64_t steps = kV * (frames / N);
    int64_t step = 0;
    int found = 0;
    for (int round = 0; round < c.frameRounds; ++round)
        for (int v = 0; v < kV; ++v) {
            double* slots = acc + ((v / kC) * accStride + (v % kC) * N) * frames;
            for (int64_t f0 = 0; f0 < frames; f0 += N) {
                if (next.find && round == 0) {
                    const int upTo = (int)(sb.count * ++step / steps);
                    for (; found < upTo; ++found)
                        next.find(p, c, sb, found, next.yq, next.xp, next.row);
                }
                V r[N];
                Unrolled<N>([&](auto l) { r[l] = L::Load(slots + l * frames + f0); });
                for (int i = 0; i < sb.count; ++i) {
                    const int32_t* lanes = row + (i * kV + v) * N;
                    if (HWY_UNLIKELY(!sb.stacked[i])) {
                        Unrolled<N>([&](auto l) { r[l] = unstacked(i, lanes[l], f0, r[l]); });
                        continue;
                    }
                    const double* S = sb.rows[i] + f0;
                    const double* D = sb.derivs[i] + f0;
                    Unrolled<N>([&](auto l) {
                        const int64_t at = (int64_t)lanes[l] * frames;
                        const V sig = L::Load(S + at);
                        if (kTerm == 1)
                            r[l] = L::Add(sig, r[l]);
                        else
                            r[l] = Accumulate<L, kTerm>(r[l], sig, L::Load(D + at));
                    });
                }
                Unrolled<N>([&](auto l) { L::Store(r[l], slots + l * frames + f0); });
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
    const int64_t lo = rows.lo, size = rows.size;
    const int64_t colOff = s * p.rows;
    if (lo >= 0 && lo + size <= p.rows && colOff + lo + size <= p.last) {
        // Every row inside the column, every following sample inside the
        // frame: a plain loop the compiler vectorizes for this instruction
        // set.
        const double* sig = sigMat + colOff + lo;
        const double* t = p.t + lo;
        const double invDt = p.invDt;
        for (int64_t r = 0; r < size; ++r) D[r] = reconDerivTerm(t[r], invDt, sig[r], sig[r + 1]);
    } else {
        derivTerms(p, sigMat, s, lo, size, D);
    }
}

// Stages `rows` of sensor s's column of the frame at sigMat (zero outside
// it) and, for terms 2 and 3, of its derivative terms D (row i at D[i]), at
// S, for a family that reads covered windows from staged copies: *sigOut
// and *derivOut then hold row i at [i].
template <class L, int kTerm, class W = typename L::Word>
void StageWindows(const Plan& p, const double* sigMat, int64_t s, WindowRows rows, const double* D,
                  W* S, const W** sigOut, const W** derivOut) {
    const double* col = sigMat + s * p.rows;
    if (rows.lo >= 0 && rows.lo + rows.size <= p.rows) {
        L::Stage(col + rows.lo, rows.size, S);
    } else {
        for (int64_t r = 0; r < rows.size; r += 8) {
            double part[8];
            for (int j = 0; j < 8; ++j) {
                const int64_t row = rows.lo + r + j;
                part[j] = row >= 0 && row < p.rows ? col[row] : 0.0;
            }
            L::Stage(part, 8, S + r);
        }
    }
    *sigOut = S - rows.lo;
    if (kTerm != 1) {
        L::Stage(D + rows.lo, rows.size, S + rows.size);
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
            const int64_t j = colOff + row;
            if (kTerm == 1) {
                for (; f < batch.count; ++f) sig[f] = cols[f][row];
            } else if (j < p.last) {
                for (; f < batch.count; ++f) {
                    sig[f] = cols[f][row];
                    deriv[f] = reconDerivTerm(weight, p.invDt, cols[f][row], cols[f][row + 1]);
                }
            } else {
                for (; f < batch.count; ++f) {
                    sig[f] = cols[f][row];
                    deriv[f] = reconDerivTerm(weight, p.invDt, cols[f][row], cols[f][row]);
                }
            }
        }
        for (; f < frames; ++f) {
            sig[f] = 0.0;
            if (kTerm != 1) deriv[f] = 0.0;
        }
    }
}

// One tile of every frame of a batch: rows K0 .. K1 - 1 of columns
// L0 .. L1 - 1, at most kMaxTile of each. One frame runs through Group;
// two or more through StackRows and StackApply, with each sensor's rows
// staged.
template <class L, int kTerm, int kGuess, bool kHasZ, bool kWide>
void Tile(const Plan& p, const TileConsts<L>& c, const Batch& batch, int64_t K0, int64_t K1,
          int64_t L0, int64_t L1) {
    using Shape = TileShape<L>;
    constexpr int N = L::kLanes;
    const int64_t n = p.n;
    const int down = blocksFor(K1 - K0, L::kBlockRows, L::kGroupRows, Shape::kDown);
    const int across = blocksFor(L1 - L0, L::kBlockCols, L::kGroupCols, Shape::kAcross);

    // Pixel centres of every lane. Lanes beyond the tile repeat its last row
    // or column; they are computed and thrown away.
    const int64_t Klast = K1 - 1;
    alignas(64) double yq[Shape::kDown * N];
    alignas(64) double xp[Shape::kAcross * N];
    double xlo = std::numeric_limits<double>::infinity(), xhi = -xlo, ylo = xlo, yhi = -xlo;
    bool finite = true;
    for (int a = 0; a < down; ++a)
        for (int l = 0; l < N; ++l) {
            const int64_t K = std::min<int64_t>(K0 + a * L::kBlockRows + L::kRow[l], Klast);
            const double yv = (p.half1 - (double)K) * p.dx;
            yq[a * N + l] = yv;
            finite = finite && std::isfinite(yv);
            ylo = std::min(ylo, yv);
            yhi = std::max(yhi, yv);
        }
    for (int b = 0; b < across; ++b)
        for (int l = 0; l < N; ++l) {
            const int64_t Lc = std::min<int64_t>(L0 + b * L::kBlockCols + L::kCol[l], L1 - 1);
            const double xv = ((double)Lc - p.half1) * p.dx;
            xp[b * N + l] = xv;
            finite = finite && std::isfinite(xv);
            xlo = std::min(xlo, xv);
            xhi = std::max(xhi, xv);
        }

    // This thread's scratch: running sums of every frame, then the
    // derivative terms and staged rows of a sensor block (see RunWith).
#ifdef _OPENMP
    double* scratch = c.scratch + (int64_t)omp_get_thread_num() * c.scratchDoubles;
#else
    double* scratch = c.scratch;
#endif
    const bool stacked = batch.count > 1;
    // Running sums: frame f of the pixel in slot g at acc[g * frames + f].
    const int64_t frames = stacked ? (batch.count + N - 1) / N * N : 1;
    const int64_t accStride = (int64_t)across * N;  // slots per row block
    const int64_t tilePixels = (int64_t)down * across * N;
    double* acc = scratch;
    double* derivBuf = scratch + Shape::kAccDoubles * c.batchFrames;
    using W = typename L::Word;
    constexpr bool kStaged = L::kStageRows > 0;
    // Only narrow windows are staged: a covered sensor that cannot be staged
    // falls back to kClamped, and wide windows read sigMat itself.
    static_assert(!kStaged || L::kWideWindow == 0, "staged windows are narrow ones");
    W* stageBuf = reinterpret_cast<W*>(derivBuf + (kTerm != 1 ? kDerivCapacity : 0));
    double* stackBuf = derivBuf + c.windowDoubles;

    // Calls f(frame 0's image element, running sums) for each lane of the
    // tile that is a pixel of the image.
    auto pixels = [&](auto&& f) {
        for (int a = 0; a < down; ++a)
            for (int b = 0; b < across; ++b)
                for (int l = 0; l < N; ++l) {
                    const int64_t K = K0 + a * L::kBlockRows + L::kRow[l];
                    const int64_t Lc = L0 + b * L::kBlockCols + L::kCol[l];
                    if (K <= Klast && Lc < L1)
                        f(batch.image + K + Lc * n, acc + (a * accStride + b * N + l) * frames);
                }
    };
    // Running sums, starting from what the images hold on entry.
    for (int round = 0; round < c.frameRounds; ++round)
        pixels([&](const double* image, double* sums) {
            for (int f = 0; f < batch.count; ++f) sums[f] = image[f * batch.imageStep];
        });

    constexpr LaneSpan kSpan = laneSpan<L>();
    constexpr int kMargin = kWide ? kMaxWindow<L> : L::kWindow;  // of the derivative terms
    SensorBlock<L> sb;
    alignas(64) int32_t laneRows[2][kSensorBlock * L::kGroupRows * L::kGroupCols * N];  // StackRows'
    for (int64_t s0 = 0; s0 < p.cols; s0 += kSensorBlock) {
        sb.s0 = s0;
        sb.count = (int)std::min<int64_t>(kSensorBlock, p.cols - s0);
        int64_t derivUsed = 0, stageUsed = 0, stackUsed = 0;
        for (int i = 0; i < sb.count; ++i) {
            const int64_t s = s0 + i;
            sb.x[i] = p.xs[s];
            sb.y[i] = p.ys[s];
            sb.ez2[i] = p.zs[s] * p.zs[s];
            sb.mode[i] = kExact;
            sb.off[i] = 0;
            sb.stacked[i] = false;
            double d2min, d2max;
            if (!finite ||
                !rangeCovers(p, sb.x[i], sb.y[i], sb.ez2[i], xlo, xhi, ylo, yhi, &d2min, &d2max))
                continue;
            // Every pixel of the tile takes a row in first .. final.
            const int64_t colOff = s * p.rows;
            const int64_t first = indexOf(p, d2min);
            const int64_t final = indexOf(p, d2max);
            if (stacked) {
                // Staged with the frames interleaved, where room is left.
                const WindowRows rows{first, final - first + 1};
                const int64_t size = rows.size * frames;
                if (stackUsed + (kTerm == 1 ? 1 : 2) * size <= c.stackDoubles) {
                    double* S = stackBuf + stackUsed;
                    double* D = S + (kTerm == 1 ? 0 : size);
                    for (int round = 0; round < c.frameRounds; ++round)
                        StageStack<kTerm>(p, batch, s, rows, frames, S, D);
                    stackUsed += (kTerm == 1 ? 1 : 2) * size;
                    sb.stacked[i] = true;
                    sb.lo[i] = rows.lo;
                    sb.rows[i] = S;
                    sb.derivs[i] = D;
                }
            }
            if (kGuess == kNoGuess) continue;
            // Whether windows of w rows are covered: every vector's guesses
            // fit one, and it lies inside sigMat. Lane 0's guess is at least
            // first - 1 and at most final; with w rows or more, a window of
            // any row of a sensor other than the first and the last lies
            // inside sigMat.
            auto covers = [&](int w) {
                if (!windowCovers(p, kSpan, w - 2, sb.x[i], sb.y[i], xlo, xhi, ylo, yhi, d2min,
                                  d2max, &sb.off[i]))
                    return false;
                const bool ends = p.rows < w || s == 0 || s == p.cols - 1;
                return !ends || (colOff + first - 1 - sb.off[i] >= 0 &&
                                 colOff + final - sb.off[i] + w <= p.last);
            };
            Mode mode = kWide ? kClampedWide : kClamped;
            if (first >= 1 && final <= p.rows - 2) {
                if (covers(L::kWindow))
                    mode = kCovered;
                else if (kWide && covers(L::kWideWindow))
                    mode = kCoveredWide;
            }
            sb.mode[i] = mode;
            if (stacked) continue;  // no windows of samples are read
            // The derivative terms and staged windows cost about as much
            // per row as per pixel; where the tile has fewer pixels than
            // rows to fill, the square root path with gathers is cheaper.
            const WindowRows rows = windowRows<kMargin>(first, final);
            const bool fewPixels = final - first + 2 * kMargin > tilePixels;
            if (kTerm != 1) {
                if (fewPixels || derivUsed + rows.size > kDerivCapacity) {
                    sb.mode[i] = kExact;
                    continue;
                }
                double* D = derivBuf + derivUsed;
                DerivWindow(p, batch.sig, s, rows, D);
                sb.deriv[i] = D - rows.lo;
                derivUsed += rows.size;
            }
            if constexpr (kStaged) {
                const int64_t copies = kTerm == 1 ? 1 : 2;
                if (mode == kCovered &&
                    (fewPixels || stageUsed + copies * rows.size > L::kStageRows))
                    sb.mode[i] = kClamped;
                if (sb.mode[i] == kCovered) {
                    StageWindows<L, kTerm>(p, batch.sig, s, rows, sb.deriv[i],
                                           stageBuf + stageUsed, &sb.sigRows[i],
                                           &sb.derivRows[i]);
                    stageUsed += copies * rows.size;
                }
            } else {
                sb.sigRows[i] = batch.sig + colOff;
                sb.derivRows[i] = sb.deriv[i];
            }
        }
        if (!stacked) {
            for (int a = 0; a < down; a += L::kGroupRows)
                for (int b = 0; b < across; b += L::kGroupCols)
                    Group<L, kTerm, kGuess, kHasZ, kWide>(p, c, batch.sig, sb, yq + a * N,
                                                          xp + b * N,
                                                          acc + a * accStride + b * N, accStride);
            continue;
        }
        // Each group's rows are found while the one before it is applied.
        constexpr auto find = &StackRows<L, kGuess, kHasZ, kWide>;
        int32_t* rows = laneRows[0];
        int32_t* nextRows = laneRows[1];
        for (int i = 0; i < sb.count; ++i) find(p, c, sb, i, yq, xp, rows);
        for (int a = 0; a < down; a += L::kGroupRows)
            for (int b = 0; b < across; b += L::kGroupCols) {
                const bool rowEnd = b + L::kGroupCols >= across;
                const int na = rowEnd ? a + L::kGroupRows : a, nb = rowEnd ? 0 : b + L::kGroupCols;
                const NextRows<L> next{na < down ? find : nullptr, yq + na * N, xp + nb * N,
                                       nextRows};
                StackApply<L, kTerm>(p, c, batch, sb, frames, rows,
                                     acc + (a * accStride + b * N) * frames, accStride, next);
                std::swap(rows, nextRows);
            }
    }

    for (int round = 0; round < c.frameRounds; ++round)
        pixels([&](double* image, const double* sums) {
            for (int f = 0; f < batch.count; ++f) image[f * batch.imageStep] = sums[f];
        });
}

template <class L>
using TileFn = void (*)(const Plan&, const TileConsts<L>&, const Batch&, int64_t, int64_t, int64_t,
                        int64_t);

template <class L, int kTerm, int kGuess>
TileFn<L> ChooseTile(const Plan& p, bool wide) {
    if constexpr (kGuess != kNoGuess && !L::kTable) {
        return nullptr;
    } else {
        if constexpr (kGuess != kNoGuess && L::kWideWindow > 0) {
            if (wide)
                return p.hasZ ? &Tile<L, kTerm, kGuess, true, true>
                              : &Tile<L, kTerm, kGuess, false, true>;
        }
        return p.hasZ ? &Tile<L, kTerm, kGuess, true, false>
                      : &Tile<L, kTerm, kGuess, false, false>;
    }
}

template <class L, int kTerm>
TileFn<L> ChooseTile(const Plan& p, bool wide) {
    switch (p.guess) {
        case kEstimate:
            return ChooseTile<L, kTerm, kEstimate>(p, wide);
        case kRefined:
            return ChooseTile<L, kTerm, kRefined>(p, wide);
        default:
            return ChooseTile<L, kTerm, kNoGuess>(p, wide);
    }
}

// Work is shared out in cells of one group of vectors (kCellRows x
// kCellCols pixels), numbered down the columns of cells. A share is a range
// of consecutive cells: its whole columns of cells are cut into tiles of up
// to kMaxTile pixels a side, the partial columns at either end into tiles
// one cell wide. Every share then holds the same number of cells, give or
// take one, at every image size and thread count.
template <class L>
struct Cells {
    static constexpr int64_t kCellRows = L::kGroupRows * L::kBlockRows;
    static constexpr int64_t kCellCols = L::kGroupCols * L::kBlockCols;
    static_assert(kMaxTile % kCellRows == 0 && kMaxTile % kCellCols == 0,
                  "a tile holds whole cells");
    int64_t n, down, across;  // image size, cells down and across
    explicit Cells(int64_t n_)
        : n(n_), down((n_ + kCellRows - 1) / kCellRows), across((n_ + kCellCols - 1) / kCellCols) {}
    int64_t count() const { return down * across; }

    // Calls tile(K0, K1, L0, L1) for every tile of cells first .. end - 1.
    template <class F>
    void forTiles(int64_t first, int64_t end, F&& tile) const {
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

// Chooses how the family L runs a request: false where the scalar kernel
// would be faster (unless `always`) or memory is short.
template <class L>
bool PlanWith(const ReconInput& in, const ReconGeometry& g, int team, bool always, int64_t frames,
              VectorPlan* vp) {
    const Cells<L> cells(in.n);
    const double computed = (double)cells.count() * Cells<L>::kCellRows * Cells<L>::kCellCols *
                            (double)in.cols * (double)frames;
    // The costs of the paths: the scalar kernel computes only the image's
    // pixels; the vector kernel computes whole cells, sets up each sensor
    // for each tile and, with the table, fills it first. A gather path of
    // the derivative terms fetches two or three values where term 1 fetches
    // one.
    constexpr LaneSpan kSpan = laneSpan<L>();
    // Whether a vector's samples of one sensor fit one window on a grid this
    // fine: its lanes lie within `reach` samples of each other whatever the
    // direction to the sensor, or within `typical` samples averaged over the
    // directions (the rows and columns it spans, times 2 / pi).
    const double spanDown = kSpan.rowHi - kSpan.rowLo, spanAcross = kSpan.colHi - kSpan.colLo;
    const double reach = std::fabs(g.k * g.dx) * std::hypot(spanDown, spanAcross);
    const double typical = std::fabs(g.k * g.dx) * (spanDown + spanAcross) * 0.6366;
    auto fitsIn = [](double extent, int w) { return extent + 2.0 <= (double)(w - 2); };
    auto fits = [&](int w) { return fitsIn(reach, w); };
    // Wide windows where a vector's samples need not fit a narrow one.
    const bool wide = !fits(L::kWindow);
    const double gatherFactor = in.image_select == 1.0 ? 1.0 : 2.0;
    KernelTraits traits;
    traits.table = L::kTable;
    traits.estimateError = L::kEstimateError;
    traits.refinedError = L::kRefinedError;
    traits.tableCost = L::kGatherCost * gatherFactor;
    // Narrow windows are chosen per sensor and tile: they pay where most
    // directions fit.
    if (fitsIn(typical, L::kWindow))
        traits.tableCost = L::kTableCost;
    else if constexpr (L::kWideWindow > 0)
        if (fits(L::kWideWindow)) traits.tableCost = L::kWideCost;
    traits.sqrtCost = L::kSqrtCost * gatherFactor;
    traits.evaluations = computed;
    traits.always = always;
    // Windows need kMaxWindow + 1 elements of sigMat; smaller matrices take
    // the square root path.
    if ((int64_t)in.rows * in.cols <= kMaxWindow<L>) traits.table = false;
    const double scalarNs =
        (double)in.n * (double)in.n * (double)in.cols * (double)frames * kScalarCost;
    const double tiles = std::ceil((double)in.n / kMaxTile) * std::ceil((double)in.n / kMaxTile);
    double vectorNs = tiles * (double)in.cols * (double)frames * kSensorSetupCost;
    // Before any set-up: the scalar kernel where even the cheapest path
    // would cost more.
    if (!always &&
        scalarNs < vectorNs + computed * std::min(traits.sqrtCost,
                                                  traits.table ? traits.tableCost : traits.sqrtCost))
        return false;
    Plan& p = vp->plan;
    if (!makePlan(in, g, traits, &p, &vp->tables)) return false;
    if (p.guess != kNoGuess)
        vectorNs += (double)(p.mHi - p.mLo + 1) * kThresholdCost + computed * traits.tableCost;
    else
        vectorNs += computed * traits.sqrtCost;
    if (!always && scalarNs < vectorNs) return false;
    if (p.guess != kNoGuess) {
#pragma omp parallel num_threads(team)
        fillThresholds(p);
    }
    vp->wide = wide;
    vp->batch = kMaxBatch;
    return true;
}

// Adds the images of a stack with the family L, as PlanWith chose; false,
// without touching them, when memory is short.
template <class L>
bool RunWith(const VectorPlan& vp, const double* sigMat, int64_t frames, double* Recon, int team,
             int frameRounds) {
    using Shape = TileShape<L>;
    constexpr int N = L::kLanes;
    const Plan& p = vp.plan;
    const Cells<L> cells(p.n);
    const int batch = (int)std::min<int64_t>(vp.batch, frames);
    TileConsts<L> c{typename L::Consts(p), p.t, p.E, p.eOrigin, p.last, nullptr, 0, 1, 0, 0,
                    frameRounds};
    // Single frames (a stack of one, or the last frame of a stack) read
    // windows; batches stage their rows.
    if (p.guess != kNoGuess && (batch == 1 || frames % batch == 1))
        c.windowDoubles = (p.term != 1 ? kDerivCapacity : 0) + L::kStageDoubles;
    if (batch > 1) {
        c.batchFrames = (batch + N - 1) / N * N;
        c.stackDoubles = kStackRows * c.batchFrames;
    }
    c.scratchDoubles = Shape::kAccDoubles * c.batchFrames + c.windowDoubles + c.stackDoubles;
    const auto scratch = hwy::AllocateAligned<double>((size_t)team * c.scratchDoubles);
    if (!scratch) return false;
    c.scratch = scratch.get();
    const TileFn<L> tileFn = p.term == 1   ? ChooseTile<L, 1>(p, vp.wide)
                             : p.term == 2 ? ChooseTile<L, 2>(p, vp.wide)
                                           : ChooseTile<L, 3>(p, vp.wide);
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
