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

// One frame of a stack: its samples and its image.
struct Frame {
    const double* sig;
    double* image;
};

// Per-call values every tile reads.
template <class L>
struct TileConsts {
    typename L::Consts lanes;
    const double* sig;       // the frame's samples
    const double* t;
    const double* E;         // E[m] at E[m - eOrigin]
    int64_t eOrigin;
    int64_t last;            // index of the last element of sigMat
    double* scratch;         // per-thread running sums and derivative terms
    int64_t scratchDoubles;  // per thread
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

// Adds the term at sample indices i of the sensor whose column starts at
// colOff, fetched with gathers. After the last element of the matrix the
// difference is zero.
template <class L, int kTerm, class V = typename L::V, class I = typename L::I>
HWY_INLINE V GatherTerm(const TileConsts<L>& c, int64_t colOff, I i, V R) {
    const double* col = c.sig + colOff;
    const V sig = L::Gather(col, i);
    if (kTerm == 1) return L::Add(sig, R);
    const V next = L::Gather(col, L::NextIndex(i, c.last - colOff));
    const V weight = L::Mul(L::Gather(c.t, i), c.lanes.invDt);
    return Accumulate<L, kTerm>(R, sig, L::Mul(weight, L::Sub(next, sig)));
}

// One sensor for one vector through the correctly rounded square root, as
// the scalar kernel does.
template <class L, int kTerm, class V = typename L::V>
HWY_INLINE V ExactStep(const TileConsts<L>& c, int64_t colOff, V d2, V R) {
    return GatherTerm<L, kTerm>(c, colOff, L::ExactIndex(c.lanes, d2), R);
}

// Adds the term at sample indices i, fetched with gathers, the derivative
// terms from D (D[i] is the term at row i): for the vectors whose samples
// do not fit one window.
template <class L, int kTerm, class V = typename L::V, class I = typename L::I>
HWY_INLINE V GatherDerivTerm(const TileConsts<L>& c, int64_t colOff, const double* D, I i, V R) {
    const V sig = L::Gather(c.sig + colOff, i);
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

// The threshold table's index for guesses g with the index in {g, g + 1},
// with gathers.
template <class L, int kTerm, class V = typename L::V, class I = typename L::I>
HWY_INLINE V GatherFastStep(const TileConsts<L>& c, int64_t colOff, const double* D, V d2, I guess,
                            V R) {
    const V above = L::Gather(c.E, L::Minus(guess, c.eOrigin - 1));
    return GatherDerivTerm<L, kTerm>(c, colOff, D, L::StepIfAtLeast(d2, above, guess), R);
}

// One sensor for one vector through the threshold table; the caller has
// checked that every d2 lies in [d2Lo, d2Hi], and for kCover also that every
// index lies in 1 .. rows-2 and that every lane's guess lies in the window
// starting `off` rows before lane 0's, which lies inside sigMat
// (windowCovers). S and D as for WindowTerm: unless kCover, sigMat's column
// and the tile's table.
template <class L, int kTerm, int kGuess, bool kCover, class W, class V = typename L::V>
HWY_INLINE V FastStep(const TileConsts<L>& c, int64_t colOff, const W* S, const W* D, int64_t off,
                      V d2, V R) {
    constexpr int kW = L::kWindow;
    const auto guess = L::template Guess<kGuess, !kCover>(c.lanes, d2);
    // A window starting `off` rows before lane 0's guess, or unless covered
    // one around it, inside sigMat.
    const int64_t base = kCover ? L::Lane0(guess) - off
                                : CheckedBase<L, kW>(c, colOff, L::Lane0(guess));
    const auto rel = L::Minus(guess, base);
    if constexpr (!kCover)
        if (HWY_UNLIKELY(L::AnyOutside(rel, kW - 2)))
            return GatherFastStep<L, kTerm>(c, colOff, D, d2, guess, R);
    const V above = L::Lookup(c.E + (base + 1 - c.eOrigin), rel);
    return WindowTerm<L, kTerm, kW>(S, D, base, L::StepIfAtLeast(d2, above, rel), R);
}

// One sensor for one vector of a covered sensor, through the correctly
// rounded square root like ExactStep but with the window lookup. Between
// FastStep's vectors it keeps the otherwise idle square root unit busy.
template <class L, int kTerm, int kW, class W, class V = typename L::V>
HWY_INLINE V SqrtStep(const TileConsts<L>& c, const W* S, const W* D, int64_t off, V d2, V R) {
    // Every position is at least 1/2 here.
    const auto index = L::PositiveIndex(c.lanes, d2);
    const int64_t base = L::Lane0(index) - off;
    return WindowTerm<L, kTerm, kW>(S, D, base, L::Minus(index, base), R);
}

// ExactStep for a sensor the table covers: no range tests, and the
// derivative terms from the tile's table. For the checked windows of a
// family whose every vector takes the square root on covered sensors (a
// square root costs less there than the table): its gathers then cost less
// than a window that may miss.
template <class L, int kTerm, class V = typename L::V>
HWY_INLINE V BoundedStep(const TileConsts<L>& c, int64_t colOff, const double* D, V d2, V R) {
    return GatherDerivTerm<L, kTerm>(c, colOff, D, L::BoundedIndex(c.lanes, d2), R);
}

// SqrtStep for a sensor the table covers whose windows are not guaranteed
// (clamped): the window of kW rows around the index at the vector's centre
// is kept inside sigMat, and a vector whose indices do not all fall in it
// takes gathers.
template <class L, int kTerm, int kW, class V = typename L::V>
HWY_INLINE V CheckedSqrtStep(const TileConsts<L>& c, int64_t colOff, const double* D, V d2, V R) {
    const auto index = L::BoundedIndex(c.lanes, d2);
    const int64_t base = CheckedBase<L, kW>(c, colOff, L::Centre(index));
    const auto rel = L::Minus(index, base);
    if (HWY_UNLIKELY(L::AnyOutside(rel, kW - 1)))
        return GatherDerivTerm<L, kTerm>(c, colOff, D, index, R);
    return WindowTerm<L, kTerm, kW>(c.sig + colOff, D, base, rel, R);
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

// The sensors of one block over one group of kGroupRows x kGroupCols
// vectors; vector v is row block v / kGroupCols, column block v % kGroupCols
// of the group. kWide: checked windows are wide ones, and covered ones may
// be (coarse grids); the paths of each kind are compiled apart, so that the
// rarer one does not take registers from the other.
template <class L, int kTerm, int kGuess, bool kHasZ, bool kWide>
HWY_INLINE void Group(const Plan& p, const TileConsts<L>& c, int64_t s0, int count,
                      const double* bx, const double* by, const double* bz, const Mode* mode,
                      const int64_t* off, const double* const* deriv,
                      const typename L::Word* const* sigRows,
                      const typename L::Word* const* derivRows, const double* yq,
                      const double* xp, double* acc, int64_t accStride) {
    using V = typename L::V;
    constexpr int kR = L::kGroupRows, kC = L::kGroupCols, kV = kR * kC, N = L::kLanes;
    V r[kV], y[kR], x[kC];
    Unrolled<kR>([&](auto a) { y[a] = L::Load(yq + a * N); });
    Unrolled<kC>([&](auto b) { x[b] = L::Load(xp + b * N); });
    Unrolled<kV>([&](auto v) { r[v] = L::Load(acc + (v / kC) * accStride + (v % kC) * N); });
    for (int i = 0; i < count; ++i) {
        const V sx = L::Set(bx[i]), sy = L::Set(by[i]);
        V EY[kR], EX[kC], d2[kV];
        Unrolled<kR>([&](auto a) { EY[a] = L::Mul(L::Sub(sy, y[a]), L::Sub(sy, y[a])); });
        Unrolled<kC>([&](auto b) { EX[b] = L::Mul(L::Sub(sx, x[b]), L::Sub(sx, x[b])); });
        Unrolled<kV>([&](auto v) {
            d2[v] = L::Add(EX[v % kC], EY[v / kC]);
            if (kHasZ) d2[v] = L::Add(d2[v], L::Set(bz[i]));
        });
        const int64_t colOff = (s0 + i) * p.rows;
        if constexpr (kGuess != kNoGuess) {
            // Covered, with windows of kW rows.
            auto covered = [&](auto w) {
                constexpr int kW = decltype(w)::value;
                Unrolled<kV>([&](auto v) {
                    if (kW != L::kWindow || v < L::kSqrtVectors)
                        r[v] = SqrtStep<L, kTerm, kW>(c, sigRows[i], derivRows[i], off[i], d2[v],
                                                      r[v]);
                    else
                        r[v] = FastStep<L, kTerm, kGuess, true>(
                            c, colOff, sigRows[i], derivRows[i], off[i], d2[v], r[v]);
                });
            };
            // Clamped, with checked windows of kW rows.
            auto clamped = [&](auto w) {
                constexpr int kW = decltype(w)::value;
                Unrolled<kV>([&](auto v) {
                    if constexpr (kW != L::kWindow)
                        r[v] = CheckedSqrtStep<L, kTerm, kW>(c, colOff, deriv[i], d2[v], r[v]);
                    else if constexpr (L::kSqrtVectors == kV)
                        r[v] = BoundedStep<L, kTerm>(c, colOff, deriv[i], d2[v], r[v]);
                    else
                        r[v] = FastStep<L, kTerm, kGuess, false>(c, colOff, c.sig + colOff,
                                                                   deriv[i], 0, d2[v], r[v]);
                });
            };
            using Narrow = std::integral_constant<int, L::kWindow>;
            using Wide = std::integral_constant<int, L::kWideWindow>;
            if (mode[i] == kCovered) {
                covered(Narrow());
                continue;
            }
            if constexpr (!kWide) {
                if (mode[i] == kClamped) {
                    clamped(Narrow());
                    continue;
                }
            } else {
                if (mode[i] == kCoveredWide) {
                    covered(Wide());
                    continue;
                }
                if (mode[i] == kClampedWide) {
                    clamped(Wide());
                    continue;
                }
            }
        }
        Unrolled<kV>([&](auto v) { r[v] = ExactStep<L, kTerm>(c, colOff, d2[v], r[v]); });
    }
    Unrolled<kV>([&](auto v) { L::Store(r[v], acc + (v / kC) * accStride + (v % kC) * N); });
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

// Fills the derivative terms of sensor s for `rows`, so that (*out)[i] is
// the term at row i. False when they do not fit the buffer (that sensor
// then takes the square root path with gathers).
inline bool DerivWindow(const Plan& p, const double* sigMat, int64_t s, WindowRows rows,
                        double* buf, int64_t* used, const double** out) {
    const int64_t lo = rows.lo, size = rows.size;
    if (*used + size > kDerivCapacity) return false;
    double* D = buf + *used;
    const int64_t colOff = s * p.rows;
    if (lo >= 0 && lo + size <= p.rows && colOff + lo + size <= p.last) {
        // Every row inside the column, every following sample inside sigMat:
        // a plain loop the compiler vectorizes for this instruction set.
        const double* sig = sigMat + colOff + lo;
        const double* t = p.t + lo;
        const double invDt = p.invDt;
        for (int64_t r = 0; r < size; ++r) D[r] = reconDerivTerm(t[r], invDt, sig[r], sig[r + 1]);
    } else {
        derivTerms(p, sigMat, s, lo, size, D);
    }
    *out = buf + *used - lo;
    *used += size;
    return true;
}

// Stages `rows` of sensor s's column (zero outside it) and, for terms 2
// and 3, of its derivative terms D, for a family that reads covered
// windows from staged copies: (*sigOut)[i] and (*derivOut)[i] are row i.
// False when they do not fit the buffer.
template <class L, int kTerm, class W = typename L::Word>
bool StageWindows(const Plan& p, const double* sigMat, int64_t s, WindowRows rows, const double* D,
                  W* buf, int64_t* used, const W** sigOut, const W** derivOut) {
    const int64_t copies = kTerm == 1 ? 1 : 2;
    if (*used + copies * rows.size > L::kStageRows) return false;
    W* S = buf + *used;
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
    *used += copies * rows.size;
    return true;
}

// One tile: rows K0 .. K1 - 1 of columns L0 .. L1 - 1, at most kMaxTile
// of each.
template <class L, int kTerm, int kGuess, bool kHasZ, bool kWide>
void Tile(const Plan& p, const TileConsts<L>& consts, const Frame& frame, int64_t K0, int64_t K1,
          int64_t L0, int64_t L1) {
    TileConsts<L> c = consts;
    c.sig = frame.sig;
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

    // This thread's scratch: running sums, then the derivative terms of a
    // sensor block.
#ifdef _OPENMP
    double* scratch = c.scratch + (int64_t)omp_get_thread_num() * c.scratchDoubles;
#else
    double* scratch = c.scratch;
#endif
    const int64_t accStride = (int64_t)across * N;  // doubles per row block
    const int64_t tilePixels = (int64_t)down * across * N;
    double* acc = scratch;
    double* derivBuf = scratch + Shape::kAccDoubles;
    using W = typename L::Word;
    constexpr bool kStaged = L::kStageRows > 0;
    // Only narrow windows are staged: a covered sensor that cannot be staged
    // falls back to kClamped, and wide windows read sigMat itself.
    static_assert(!kStaged || L::kWideWindow == 0, "staged windows are narrow ones");
    W* stageBuf = reinterpret_cast<W*>(derivBuf + (kTerm != 1 ? kDerivCapacity : 0));

    // Running sums, starting from what the image holds on entry.
    for (int a = 0; a < down; ++a)
        for (int b = 0; b < across; ++b)
            for (int l = 0; l < N; ++l) {
                const int64_t K = K0 + a * L::kBlockRows + L::kRow[l];
                const int64_t Lc = L0 + b * L::kBlockCols + L::kCol[l];
                acc[a * accStride + b * N + l] = (K <= Klast && Lc < L1) ? frame.image[K + Lc * n] : 0.0;
            }

    constexpr LaneSpan kSpan = laneSpan<L>();
    constexpr int kMargin = kWide ? kMaxWindow<L> : L::kWindow;  // of the derivative terms
    for (int64_t s0 = 0; s0 < p.cols; s0 += kSensorBlock) {
        const int count = (int)std::min<int64_t>(kSensorBlock, p.cols - s0);
        double bx[kSensorBlock], by[kSensorBlock], bz[kSensorBlock];
        Mode mode[kSensorBlock];
        int64_t off[kSensorBlock];
        const double* deriv[kSensorBlock] = {};
        const W* sigRows[kSensorBlock] = {};
        const W* derivRows[kSensorBlock] = {};
        int64_t derivUsed = 0, stageUsed = 0;
        for (int i = 0; i < count; ++i) {
            const int64_t s = s0 + i;
            bx[i] = p.xs[s];
            by[i] = p.ys[s];
            bz[i] = p.zs[s] * p.zs[s];
            mode[i] = kExact;
            off[i] = 0;
            double d2min, d2max;
            if (kGuess == kNoGuess || !finite ||
                !tableCovers(p, bx[i], by[i], bz[i], xlo, xhi, ylo, yhi, &d2min, &d2max))
                continue;
            // Every pixel of the tile takes a row in first .. final.
            const int64_t colOff = s * p.rows;
            const int64_t first = indexOf(p, d2min);
            const int64_t final = indexOf(p, d2max);
            // Whether windows of w rows are covered: every vector's guesses
            // fit one, and it lies inside sigMat. Lane 0's guess is at least
            // first - 1 and at most final; with w rows or more, a window of
            // any row of a sensor other than the first and the last lies
            // inside sigMat.
            auto covers = [&](int w) {
                if (!windowCovers(p, kSpan, w - 2, bx[i], by[i], xlo, xhi, ylo, yhi, d2min,
                                  d2max, &off[i]))
                    return false;
                const bool ends = p.rows < w || s == 0 || s == p.cols - 1;
                return !ends || (colOff + first - 1 - off[i] >= 0 &&
                                 colOff + final - off[i] + w <= p.last);
            };
            mode[i] = kWide ? kClampedWide : kClamped;
            if (first >= 1 && final <= p.rows - 2) {
                if (covers(L::kWindow))
                    mode[i] = kCovered;
                else if (kWide && covers(L::kWideWindow))
                    mode[i] = kCoveredWide;
            }
            // The derivative terms and staged windows cost about as much
            // per row as per pixel; where the tile has fewer pixels than
            // rows to fill, the square root path with gathers is cheaper.
            const WindowRows rows = windowRows<kMargin>(first, final);
            const bool fewPixels = final - first + 2 * kMargin > tilePixels;
            if (kTerm != 1 &&
                (fewPixels || !DerivWindow(p, frame.sig, s, rows, derivBuf, &derivUsed, &deriv[i])))
                mode[i] = kExact;
            if constexpr (kStaged) {
                if (mode[i] == kCovered &&
                    (fewPixels || !StageWindows<L, kTerm>(p, frame.sig, s, rows, deriv[i], stageBuf,
                                                          &stageUsed, &sigRows[i], &derivRows[i])))
                    mode[i] = kClamped;
            } else {
                sigRows[i] = frame.sig + colOff;
                derivRows[i] = deriv[i];
            }
        }
        for (int a = 0; a < down; a += L::kGroupRows)
            for (int b = 0; b < across; b += L::kGroupCols)
                Group<L, kTerm, kGuess, kHasZ, kWide>(
                    p, c, s0, count, bx, by, bz, mode, off, deriv, sigRows, derivRows, yq + a * N,
                    xp + b * N, acc + a * accStride + b * N, accStride);
    }

    for (int a = 0; a < down; ++a)
        for (int b = 0; b < across; ++b)
            for (int l = 0; l < N; ++l) {
                const int64_t K = K0 + a * L::kBlockRows + L::kRow[l];
                const int64_t Lc = L0 + b * L::kBlockCols + L::kCol[l];
                if (K <= Klast && Lc < L1) frame.image[K + Lc * n] = acc[a * accStride + b * N + l];
            }
}

template <class L>
using TileFn = void (*)(const Plan&, const TileConsts<L>&, const Frame&, int64_t, int64_t, int64_t,
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
    vp->batch = 1;
    return true;
}

// Adds the images of a stack with the family L, as PlanWith chose; false,
// without touching them, when memory is short.
template <class L>
bool RunWith(const VectorPlan& vp, const double* sigMat, int64_t frames, double* Recon, int team) {
    using Shape = TileShape<L>;
    const Plan& p = vp.plan;
    const Cells<L> cells(p.n);
    TileConsts<L> c{typename L::Consts(p), nullptr, p.t, p.E, p.eOrigin, p.last, nullptr, 0};
    c.scratchDoubles = Shape::kAccDoubles;
    if (p.guess != kNoGuess)
        c.scratchDoubles += (p.term != 1 ? kDerivCapacity : 0) + L::kStageDoubles;
    const auto scratch = hwy::AllocateAligned<double>((size_t)team * c.scratchDoubles);
    if (!scratch) return false;
    c.scratch = scratch.get();
    const TileFn<L> tileFn = p.term == 1   ? ChooseTile<L, 1>(p, vp.wide)
                             : p.term == 2 ? ChooseTile<L, 2>(p, vp.wide)
                                           : ChooseTile<L, 3>(p, vp.wide);
    if (tileFn == nullptr) return false;
    const int64_t sigStep = p.rows * p.cols, imageStep = p.n * p.n;
#pragma omp parallel num_threads(team)
    {
#ifdef _OPENMP
        const int64_t share = omp_get_thread_num(), shares = omp_get_num_threads();
#else
        const int64_t share = 0, shares = 1;
#endif
        for (int64_t f = 0; f < frames; ++f) {
            const Frame frame{sigMat + f * sigStep, Recon + f * imageStep};
            cells.forTiles(cells.count() * share / shares, cells.count() * (share + 1) / shares,
                           [&](int64_t K0, int64_t K1, int64_t L0, int64_t L1) {
                               tileFn(p, c, frame, K0, K1, L0, L1);
                           });
        }
    }
    return true;
}
