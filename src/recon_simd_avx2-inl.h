// The AVX2 family's primitives (Highway's AVX2 target); its policy is
// Avx2Policy (recon_simd_policy.h). Included by recon_simd_families-inl.h.
//
// A vector is 4 pixels, 2 rows by 2 columns. A window of 8 samples is
// fetched with two 32-bit lane permutes and a blend, from a copy of the
// sensor's rows staged per tile with the two halves of each double apart
// (or, for the threshold table, from the doubles). The policy takes the
// square root for every vector; the guess, the threshold lookup and the
// step serve a policy with the threshold table (a core with a slower square
// root), and the primitives' test. AVX2 has no double reciprocal square root estimate,
// so the index guess works in float: each squared distance, scaled by a
// power of 4, becomes a float by a shift and a subtraction of its bits
// (exponent moved, mantissa truncated), kept in its own 64-bit lane and
// copied to both halves, then takes the 12-bit float estimate, refined by
// one Newton step when positions run long.

#include "recon_simd_policy.h"

// Per-target include guard, as Highway's own -inl.h headers have.
#if defined(TOFIMAGE_RECON_SIMD_AVX2_INL_H_) == defined(HWY_TARGET_TOGGLE)
#ifdef TOFIMAGE_RECON_SIMD_AVX2_INL_H_
#undef TOFIMAGE_RECON_SIMD_AVX2_INL_H_
#else
#define TOFIMAGE_RECON_SIMD_AVX2_INL_H_
#endif

// Only in the passes that choose this family (recon_simd_families-inl.h),
// or where nothing chooses, as for a reader of this file alone.
#if !defined(TOFIMAGE_FAMILY) || TOFIMAGE_FAMILY == TOFIMAGE_FAMILY_AVX2

#include <immintrin.h>

#include <algorithm>
#include <cmath>

#include <hwy/highway.h>

#include "recon_simd_exact-inl.h"
#include "recon_simd_plan.h"

HWY_BEFORE_NAMESPACE();
namespace tofimage_simd {
namespace HWY_NAMESPACE {

struct Family : Avx2Policy, HighwayArith<hn::Full256<double>> {
    // Each lane's index v twice, as the two 32-bit halves of its 64-bit lane,
    // and as the pair (2v - 8, 2v - 7) modulo 2^32: the permute indices of the
    // two floats of double v - 4 of a 4-double register, the sign of the
    // upper half telling the lower register of a window (v < 4) from the
    // upper one, so that a window lookup takes no index arithmetic. Indices
    // lie in 0 .. 2^31 - 2. Operations keep both forms; the compiler drops
    // whichever a path does not read.
    struct I {
        __m256i pairs;
        __m256i twice;
    };

    static constexpr const char* kName = "avx2";
    static constexpr int kLanes = 4;
    static constexpr int kVectorRows = 2, kVectorCols = 2;
    static constexpr int kRow[4] = {0, 1, 0, 1};
    static constexpr int kCol[4] = {0, 0, 1, 1};
    static constexpr int kWindow = 8;
    static constexpr int kWideWindow = 0;  // no wider lookup

    struct Consts {
        V k, q, invDt, two31, lastRow;
        // Guess: x = max(d2, floor) * 4^e as a float, kx = k / 2^e, so that
        // the position is kx * sqrt(x) - q. With k = m * 2^e, m in [1/2, 1),
        // x lies in [2^-100, 2^66] for every d2 the table covers (positions
        // below 2^31 + |q|, d2 at least 2^-1000); e is clamped to +-511,
        // which keeps x in range where the table can be used at all.
        V floor;
        __m256i rebias;  // (896 - 2e) << 23: from a double's exponent to a float's
        __m256 kx, halfKx, qf, lastGuess;
        explicit Consts(const Plan& p)
            : k(Set(p.k)),
              q(Set(p.q)),
              invDt(Set(p.invDt)),
              two31(Set(kIndexLimit)),
              lastRow(Set((double)(p.rows - 1))) {
            int e = 0;
            std::frexp(p.k > 0.0 && std::isfinite(p.k) ? p.k : 1.0, &e);
            e = std::max(-511, std::min(511, e));
            const double kScaled = std::ldexp(p.k, -e);
            floor = _mm256_set1_pd(std::ldexp(1.0, -100 - 2 * e));
            rebias = _mm256_set1_epi64x((int64_t)(896 - 2 * e) * (int64_t{1} << 23));
            kx = FloatOf(kScaled);
            halfKx = FloatOf(0.5 * kScaled);
            qf = FloatOf(p.q);
            // The guess runs only where positions stay below 2^18: the
            // clamp is exact in float, or (rows beyond 2^24) never reached.
            lastGuess = FloatOf((double)(p.rows - 2));
        }
    };


    // A double's conversion to float by the hardware (no undefined
    // behaviour out of range), in every lane.
    static HWY_INLINE __m256 FloatOf(double x) {
        return _mm256_broadcastss_ps(_mm_cvtsd_ss(_mm_setzero_ps(), _mm_set_sd(x)));
    }

    // From each 64-bit lane holding its index twice.
    static HWY_INLINE I Indices(__m256i twice) {
        return I{_mm256_add_epi32(_mm256_add_epi32(twice, twice),
                                  _mm256_setr_epi32(-8, -7, -8, -7, -8, -7, -8, -7)),
                 twice};
    }
    // From 4 indices of 32 bits.
    static HWY_INLINE I Indices(__m128i v) {
        return Indices(_mm256_permutevar8x32_epi32(_mm256_castsi128_si256(v),
                                                   _mm256_setr_epi32(0, 0, 1, 1, 2, 2, 3, 3)));
    }


    // The scalar kernel's sample index: negative, NaN and >= 2^31 give 0; at
    // most rows - 1.
    static HWY_INLINE I ExactIndex(const Consts& c, V d2) {
        const V up = RoundedUpPosition<Family>(c.k, c.q, d2);
        const V inRange = _mm256_and_pd(_mm256_cmp_pd(up, _mm256_setzero_pd(), _CMP_GE_OQ),
                                        _mm256_cmp_pd(up, c.two31, _CMP_LT_OQ));
        return Indices(_mm256_cvttpd_epi32(_mm256_and_pd(inRange, _mm256_min_pd(up, c.lastRow))));
    }

    // The same for squared distances the threshold table covers, whose
    // positions lie below 2^31 - 1/2.
    static HWY_INLINE I BoundedIndex(const Consts& c, V d2) {
        const V up = _mm256_max_pd(RoundedUpPosition<Family>(c.k, c.q, d2), _mm256_setzero_pd());
        return Indices(_mm256_cvttpd_epi32(_mm256_min_pd(up, c.lastRow)));
    }

    // The same for positions known to be at least 1/2 and inside the rows.
    // Truncated in place and added to 2^52 (both exact below 2^31), each
    // index is the low half of its own lane's bits: an in-lane shuffle
    // copies it, where a conversion to 32-bit integers packs the four
    // indices into one half and needs a permute across halves to spread
    // them again.
    static HWY_INLINE I PositiveIndex(const Consts& c, V d2) {
        const V whole = _mm256_round_pd(RoundedUpPosition<Family>(c.k, c.q, d2),
                                        _MM_FROUND_TO_ZERO | _MM_FROUND_NO_EXC);
        const __m256i bits = _mm256_castpd_si256(_mm256_add_pd(whole, _mm256_set1_pd(0x1p52)));
        return Indices(_mm256_shuffle_epi32(bits, _MM_SHUFFLE(2, 2, 0, 0)));
    }

    // Floor of an estimate of the position within the plan's guessError;
    // kClamp keeps it in 0 .. rows-2 (which keeps the index in {g, g + 1}).
    // Truncation stands in for the floor: unclamped, the position is at
    // least 1/2 and the estimate at least 0; clamped, max(trunc, 0) is
    // max(floor, 0).
    template <int kGuess, bool kClamp>
    static HWY_INLINE I Guess(const Consts& c, V d2) {
        // x in the low half of each 64-bit lane (the upper half is zero),
        // then in both halves.
        const __m256i bits = _mm256_sub_epi64(
            _mm256_srli_epi64(_mm256_castpd_si256(_mm256_max_pd(d2, c.floor)), 29), c.rebias);
        const __m256 x = _mm256_castsi256_ps(_mm256_shuffle_epi32(bits, _MM_SHUFFLE(2, 2, 0, 0)));
        const __m256 y = _mm256_rsqrt_ps(x);
        __m256 pos;
        if (kGuess == kRefined) {
            // One Newton step: kx * a * (1 + r / 2) - q with a = x * y and
            // r = 1 - a * y.
            const __m256 a = _mm256_mul_ps(x, y);
            const __m256 r = _mm256_fnmadd_ps(a, y, _mm256_set1_ps(1.0f));
            pos = _mm256_fmadd_ps(_mm256_mul_ps(a, c.halfKx), r, _mm256_fmsub_ps(a, c.kx, c.qf));
        } else {
            pos = _mm256_fmsub_ps(_mm256_mul_ps(x, c.kx), y, c.qf);
        }
        if (kClamp) pos = _mm256_min_ps(pos, c.lastGuess);
        __m256i g = _mm256_cvttps_epi32(pos);
        if (kClamp) g = _mm256_max_epi32(g, _mm256_setzero_si256());
        return Indices(g);
    }

    static HWY_INLINE int64_t Lane0(I i) {
        return _mm_cvtsi128_si32(_mm256_castsi256_si128(i.twice));
    }
    static HWY_INLINE I Minus(I i, int64_t x) {
        const uint32_t x32 = (uint32_t)(uint64_t)x;
        return I{_mm256_sub_epi32(i.pairs, _mm256_set1_epi32((int32_t)(x32 * 2u))),
                 _mm256_sub_epi32(i.twice, _mm256_set1_epi32((int32_t)x32))};
    }
    // Whether some lane lies outside 0 .. most.
    static HWY_INLINE bool AnyOutside(I rel, int64_t most) {
        // Negative indices are above most as unsigned.
        const __m256i lim = _mm256_set1_epi32((int32_t)most);
        return _mm256_movemask_epi8(_mm256_cmpeq_epi32(_mm256_max_epu32(rel.twice, lim), lim)) !=
               -1;
    }
    // Covered sensors read their windows from copies staged per tile, in
    // two planes: the low halves of row r's double at w[r], the high halves
    // at w[r + kStageRows]. A 32-bit permute of each plane fetches a lane's
    // halves with the index itself, and an immediate blend joins them: two
    // fewer operations per lookup than permuting a window of doubles as
    // pairs of floats, and no blend by index.
    using Word = uint32_t;
    static constexpr int64_t kStageRows = 32 * 1024;  // rows of a plane
    static constexpr int64_t kStageDoubles = kStageRows;  // two planes of 32-bit words
    // Rows 0 .. count-1 (a multiple of 4) of src into the planes at dst.
    static HWY_INLINE void Stage(const double* src, int64_t count, Word* dst) {
        const __m256i halves = _mm256_setr_epi32(0, 2, 4, 6, 1, 3, 5, 7);
        for (int64_t r = 0; r < count; r += 4) {
            const __m256i v = _mm256_permutevar8x32_epi32(
                _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src + r)), halves);
            _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + r), _mm256_castsi256_si128(v));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + kStageRows + r),
                             _mm256_extracti128_si256(v, 1));
        }
    }
    // Row rel[l] of staged planes, for rel in 0 .. 7.
    static HWY_INLINE V LookupStaged(const Word* w, I rel) {
        const __m256 lo =
            _mm256_permutevar8x32_ps(_mm256_loadu_ps(reinterpret_cast<const float*>(w)), rel.twice);
        const __m256 hi = _mm256_permutevar8x32_ps(
            _mm256_loadu_ps(reinterpret_cast<const float*>(w + kStageRows)), rel.twice);
        return _mm256_castps_pd(_mm256_blend_ps(lo, hi, 0xAA));
    }
    // w[rel[l]] for rel in 0 .. 7.
    static HWY_INLINE V Lookup(const double* w, I rel) {
        const __m256 lo =
            _mm256_permutevar8x32_ps(_mm256_castpd_ps(_mm256_loadu_pd(w)), rel.pairs);
        const __m256 hi =
            _mm256_permutevar8x32_ps(_mm256_castpd_ps(_mm256_loadu_pd(w + 4)), rel.pairs);
        return _mm256_blendv_pd(_mm256_castps_pd(hi), _mm256_castps_pd(lo),
                                _mm256_castsi256_pd(rel.pairs));
    }
    // rel + 1 in the lanes where d2 >= above.
    static HWY_INLINE I StepIfAtLeast(V d2, V above, I rel) {
        const __m256i step = _mm256_castpd_si256(_mm256_cmp_pd(d2, above, _CMP_GE_OQ));
        return I{_mm256_sub_epi32(rel.pairs, _mm256_add_epi32(step, step)),
                 _mm256_sub_epi32(rel.twice, step)};
    }
    // lo[0], lo[1], hi[0], hi[1].
    static HWY_INLINE V LoadHalves(const double* lo, const double* hi) {
        return _mm256_insertf128_pd(_mm256_castpd128_pd256(_mm_loadu_pd(lo)), _mm_loadu_pd(hi), 1);
    }
    static HWY_INLINE V Gather(const double* p, I i) {
        return _mm256_i64gather_pd(p, _mm256_and_si256(i.twice, _mm256_set1_epi64x(0xFFFFFFFF)), 8);
    }
    // The lanes as 32-bit integers.
    static HWY_INLINE void Spill(I i, int32_t* out) {
        const __m256i even =
            _mm256_permutevar8x32_epi32(i.twice, _mm256_setr_epi32(0, 2, 4, 6, 0, 2, 4, 6));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm256_castsi256_si128(even));
    }
    // min(i + 1, most)
    static HWY_INLINE I NextIndex(I i, int64_t most) {
        // Indices are at most 2^31 - 2: a bound above 2^31 - 1 changes nothing.
        const int32_t m = (int32_t)std::min<int64_t>(most, 0x7FFFFFFF);
        return Indices(_mm256_min_epi32(_mm256_add_epi32(i.twice, _mm256_set1_epi32(1)),
                                        _mm256_set1_epi32(m)));
    }
};

}  // namespace HWY_NAMESPACE
}  // namespace tofimage_simd
HWY_AFTER_NAMESPACE();

#endif  // family
#endif
