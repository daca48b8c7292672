// Lane primitives for AVX2 (Highway's AVX2 target). Included by
// recon_simd.cpp ahead of the tile algorithm (recon_simd-inl.h).
//
// A vector is 4 pixels, 2 rows by 2 columns. AVX2 has no double reciprocal
// square root estimate, so the index guess converts the squared distance to
// float and takes the 12-bit float estimate, refined by one Newton step in
// float when positions run long. A window of 8 samples is fetched with two
// 32-bit lane permutes and a blend.
//
// Index vectors hold each lane's index v as a pair of 32-bit halves,
// (2v - 8, 2v - 7) modulo 2^32: the halves are the permute indices of the
// two floats of double v - 4 of a 4-double register, and the sign of the
// upper half tells the lower register of a window (v < 4) from the upper
// one. So a window lookup takes no index arithmetic. Indices are below 2^31,
// so 2v is exact in 32 unsigned bits.
HWY_BEFORE_NAMESPACE();
namespace tofimage_simd {
namespace HWY_NAMESPACE {

struct Lanes {
    using V = __m256d;
    using I = __m256i;

    static constexpr int kLanes = 4;
    static constexpr int kBlockRows = 2, kBlockCols = 2;
    static constexpr int kRow[4] = {0, 1, 0, 1};
    static constexpr int kCol[4] = {0, 0, 1, 1};
    // A group of 2 x 2 vectors keeps 4 running sums, 4 coordinate vectors
    // and the temporaries in the 16 registers.
    static constexpr int kGroupRows = 2, kGroupCols = 2;
    static constexpr int kWindow = 8;
    static constexpr bool kTable = true;
    // Relative error bounds of the estimate of k * sqrt(d2) from Guess, as a
    // fraction of the largest k * sqrt(d2) that matters (below the plan's
    // span). The float estimate's own error is taken as 2^-11 (Intel and
    // AMD both document at most 1.5 * 2^-12 for _mm_rsqrt_ps); on top come
    // the roundings of the conversion to float and of the float operations
    // and constants (each at most 2^-24 relative, about 5 of them raw and
    // 12 refined) and the floor added to the scaled d2 (at most 2^-28
    // samples). One Newton step leaves 1.5 e^2 = 6 * 2^-24 of e = 2^-11.
    static constexpr double kEstimateError = 0x1p-11 + 0x1p-20;
    static constexpr double kRefinedError = 0x1p-19;
    static constexpr int kSqrtVectors = 0;
    // Nanoseconds per evaluation on one thread of this machine (an AMD EPYC
    // with Highway held to AVX2): threshold table with windows, and square
    // root with gathers.
    static constexpr double kTableCost = 0.75, kSqrtCost = 2.2;

    // A double's conversion to float by the hardware (no undefined
    // behaviour out of range), in every lane.
    static HWY_INLINE __m128 FloatOf(double x) {
        return _mm_broadcastss_ps(_mm_cvtsd_ss(_mm_setzero_ps(), _mm_set_sd(x)));
    }

    struct Consts {
        V k, q, invDt, justBelowHalf, two31, lastRow;
        // Guess: x = d2 * scale + floor lies in [2^-100, 2^66] for every d2
        // the table covers, so its conversion to float neither underflows
        // nor overflows; the positions are kx * sqrt(x) - q with
        // kx = k / sqrt(scale) (scale a power of 4: kx is exact).
        V scale, floor;
        __m128 kx, halfKx, threeHalvesKx, qf, lastGuess;
        explicit Consts(const Plan& p)
            : k(_mm256_set1_pd(p.k)),
              q(_mm256_set1_pd(p.q)),
              invDt(_mm256_set1_pd(p.invDt)),
              justBelowHalf(_mm256_set1_pd(kJustBelowHalf)),
              two31(_mm256_set1_pd(2147483648.0)),
              lastRow(_mm256_set1_pd((double)(p.rows - 1))) {
            // k = m * 2^e with m in [1/2, 1): scale 2^(2e) makes kx = m
            // unless e is clamped, which only happens far from where the
            // table is used (kx at most 2^21 when the table is, since
            // positions below 2^31 + |q| then need d2 >= 2^-1000).
            int e = 0;
            const double m = std::frexp(p.k > 0.0 && std::isfinite(p.k) ? p.k : 1.0, &e);
            e = std::max(-511, std::min(511, e));
            (void)m;
            const double kScaled = std::ldexp(p.k, -e);
            scale = _mm256_set1_pd(std::ldexp(1.0, 2 * e));
            floor = _mm256_set1_pd(0x1p-100);
            kx = FloatOf(kScaled);
            halfKx = FloatOf(0.5 * kScaled);
            threeHalvesKx = FloatOf(1.5 * kScaled);
            qf = FloatOf(p.q);
            // The guess runs only with fewer than 2^18 rows: exact in float.
            lastGuess = FloatOf((double)(p.rows - 2));
        }
    };

    static HWY_INLINE V Set(double x) { return _mm256_set1_pd(x); }
    static HWY_INLINE V Load(const double* p) { return _mm256_load_pd(p); }
    static HWY_INLINE void Store(V v, double* p) { _mm256_store_pd(p, v); }
    static HWY_INLINE V Add(V a, V b) { return _mm256_add_pd(a, b); }
    static HWY_INLINE V Sub(V a, V b) { return _mm256_sub_pd(a, b); }
    static HWY_INLINE V Mul(V a, V b) { return _mm256_mul_pd(a, b); }

    // Index vector of the 32-bit indices v in 0 .. 2^31 - 1.
    static HWY_INLINE I Pairs(__m128i v) {
        const __m256i twice = _mm256_permutevar8x32_epi32(_mm256_castsi128_si256(v),
                                                          _mm256_setr_epi32(0, 0, 1, 1, 2, 2, 3, 3));
        return _mm256_add_epi32(_mm256_add_epi32(twice, twice),
                                _mm256_setr_epi32(-8, -7, -8, -7, -8, -7, -8, -7));
    }

    // The scalar kernel's sample index: rounded half away from zero by
    // adding the largest double below 1/2 and truncating; negative, NaN and
    // >= 2^31 give 0; at most rows - 1.
    static HWY_INLINE I ExactIndex(const Consts& c, V d2) {
        const V pos = _mm256_sub_pd(_mm256_mul_pd(c.k, _mm256_sqrt_pd(d2)), c.q);
        const V up = _mm256_add_pd(pos, c.justBelowHalf);
        const V inRange = _mm256_and_pd(_mm256_cmp_pd(up, _mm256_setzero_pd(), _CMP_GE_OQ),
                                        _mm256_cmp_pd(up, c.two31, _CMP_LT_OQ));
        return Pairs(_mm256_cvttpd_epi32(_mm256_and_pd(inRange, _mm256_min_pd(up, c.lastRow))));
    }

    // The same for positions known to be at least 1/2 and inside the rows.
    static HWY_INLINE I PositiveIndex(const Consts& c, V d2) {
        const V pos = _mm256_sub_pd(_mm256_mul_pd(c.k, _mm256_sqrt_pd(d2)), c.q);
        return Pairs(_mm256_cvttpd_epi32(_mm256_add_pd(pos, c.justBelowHalf)));
    }

    // Floor of an estimate of the position within the plan's guessError;
    // kClamp keeps it in 0 .. rows-2 (which keeps the index in {g, g + 1}).
    // Truncation stands in for the floor: unclamped, the position is at
    // least 1/2 and the estimate at least 0; clamped, max(trunc, 0) is
    // max(floor, 0).
    template <int kGuess, bool kClamp>
    static HWY_INLINE I Guess(const Consts& c, V d2) {
        const __m128 x = _mm256_cvtpd_ps(_mm256_fmadd_pd(d2, c.scale, c.floor));
        const __m128 y = _mm_rsqrt_ps(x);
        __m128 pos;
        if (kGuess == kRefined) {
            // kx * x * y * (3/2 - x * y * y / 2): one Newton step.
            const __m128 a = _mm_mul_ps(x, y);
            const __m128 u = _mm_fnmadd_ps(_mm_mul_ps(a, y), c.halfKx, c.threeHalvesKx);
            pos = _mm_fmsub_ps(a, u, c.qf);
        } else {
            pos = _mm_fmsub_ps(_mm_mul_ps(x, c.kx), y, c.qf);
        }
        if (kClamp) pos = _mm_min_ps(pos, c.lastGuess);
        __m128i g = _mm_cvttps_epi32(pos);
        if (kClamp) g = _mm_max_epi32(g, _mm_setzero_si128());
        return Pairs(g);
    }

    static HWY_INLINE int64_t Lane0(I i) {
        const uint32_t lo = (uint32_t)_mm_cvtsi128_si32(_mm256_castsi256_si128(i));
        return (int64_t)((lo + 8u) >> 1);
    }
    static HWY_INLINE I Minus(I i, int64_t x) {
        return _mm256_sub_epi32(i, _mm256_set1_epi32((int32_t)(uint32_t)((uint64_t)x * 2u)));
    }
    // Whether some lane lies outside 0 .. most.
    static HWY_INLINE bool AnyOutside(I rel, int64_t most) {
        // (2v, 2v + 1) as unsigned: negative v are above 2 * most + 1.
        const __m256i u = _mm256_add_epi32(rel, _mm256_set1_epi32(8));
        const __m256i lim = _mm256_set1_epi32((int32_t)(uint32_t)(2 * most + 1));
        return _mm256_movemask_epi8(_mm256_cmpeq_epi32(_mm256_max_epu32(u, lim), lim)) != -1;
    }
    // w[rel[l]] for rel in 0 .. 7.
    static HWY_INLINE V Lookup(const double* w, I rel) {
        const __m256 lo = _mm256_permutevar8x32_ps(_mm256_castpd_ps(_mm256_loadu_pd(w)), rel);
        const __m256 hi = _mm256_permutevar8x32_ps(_mm256_castpd_ps(_mm256_loadu_pd(w + 4)), rel);
        return _mm256_blendv_pd(_mm256_castps_pd(hi), _mm256_castps_pd(lo), _mm256_castsi256_pd(rel));
    }
    // rel + 1 in the lanes where d2 >= above.
    static HWY_INLINE I StepIfAtLeast(V d2, V above, I rel) {
        const __m256i step = _mm256_castpd_si256(_mm256_cmp_pd(d2, above, _CMP_GE_OQ));
        return _mm256_sub_epi32(rel, _mm256_add_epi32(step, step));
    }
    static HWY_INLINE V Gather(const double* p, I i) {
        // 2v as a 64-bit index, scaled by 4 bytes.
        const __m256i twice = _mm256_and_si256(_mm256_add_epi32(i, _mm256_set1_epi32(8)),
                                               _mm256_set1_epi64x(0xFFFFFFFF));
        return _mm256_i64gather_pd(p, twice, 4);
    }
    // min(i + 1, most)
    static HWY_INLINE I NextIndex(I i, int64_t most) {
        // Indices are at most rows - 1 <= 2^31 - 2, so 2v + 3 fits 32 bits
        // unsigned, and a bound above 2^31 - 1 changes nothing.
        const uint32_t m = (uint32_t)std::min<int64_t>(most, 0x7FFFFFFF);
        const __m256i next = _mm256_add_epi32(i, _mm256_set1_epi32(10));
        const __m256i lim = _mm256_set1_epi64x((int64_t)(((uint64_t)(2 * m + 1) << 32) | (2 * m)));
        return _mm256_sub_epi32(_mm256_min_epu32(next, lim), _mm256_set1_epi32(8));
    }
};

}  // namespace HWY_NAMESPACE
}  // namespace tofimage_simd
HWY_AFTER_NAMESPACE();
