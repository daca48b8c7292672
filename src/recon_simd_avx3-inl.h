// The AVX-512 family's primitives (every x86 target of Highway from AVX3
// up: AVX3, AVX3_DL, AVX3_ZEN4, AVX3_SPR, ...); its policy is Avx3Policy
// (recon_simd_policy.h). Included once per such target by recon_simd_families-inl.h.
//
// A vector is 8 pixels, 4 rows by 2 columns; the 8 samples of one sensor
// lie within a few samples of each other, so two unaligned 8-sample loads
// and a two-table lane permute fetch all 8 at once (a 16-sample window). On
// coarser grids two such permutes and a blend fetch them from 32 samples
// (a wide window), which costs less than a gather; the index then comes
// from the square root. The index guess of the threshold table comes from
// the 14-bit reciprocal square root estimate of AVX-512F, refined by one
// Newton step when positions run long.

#include "recon_simd_policy.h"

// Per-target include guard, as Highway's own -inl.h headers have.
#if defined(TOFIMAGE_RECON_SIMD_AVX3_INL_H_) == defined(HWY_TARGET_TOGGLE)
#ifdef TOFIMAGE_RECON_SIMD_AVX3_INL_H_
#undef TOFIMAGE_RECON_SIMD_AVX3_INL_H_
#else
#define TOFIMAGE_RECON_SIMD_AVX3_INL_H_
#endif

// Only in the passes that choose this family (recon_simd_families-inl.h),
// or where nothing chooses, as for a reader of this file alone.
#if !defined(TOFIMAGE_FAMILY) || TOFIMAGE_FAMILY == TOFIMAGE_FAMILY_AVX3

#include <immintrin.h>

#include <hwy/highway.h>

#include "recon_simd_exact-inl.h"
#include "recon_simd_plan.h"

HWY_BEFORE_NAMESPACE();
namespace tofimage_simd {
namespace HWY_NAMESPACE {

struct Family : Avx3Policy, HighwayArith<hn::Full512<double>> {
    using I = __m512i;

    static constexpr const char* kName = "avx3";
    static constexpr int kLanes = 8;
    // Lane l is the pixel at row kRow[l], column kCol[l] of the vector's
    // pixels. Lane 0, next to their centre, places the window.
    static constexpr int kVectorRows = 4, kVectorCols = 2;
    static constexpr int kRow[8] = {1, 0, 2, 3, 0, 1, 2, 3};
    static constexpr int kCol[8] = {0, 0, 0, 0, 1, 1, 1, 1};
    static constexpr int kWindow = 16, kWideWindow = 32;
    using Word = double;  // windows read sigMat itself
    static constexpr int64_t kStageRows = 0, kStageDoubles = 0;

    struct Consts {
        V k, q, invDt, two31, half, threeHalves, lastGuess, lastRow;
        explicit Consts(const Plan& p)
            : k(Set(p.k)),
              q(Set(p.q)),
              invDt(Set(p.invDt)),
              two31(Set(kIndexLimit)),
              half(Set(0.5)),
              threeHalves(Set(1.5)),
              lastGuess(Set((double)(p.rows - 2))),
              lastRow(Set((double)(p.rows - 1))) {}
    };



    // The scalar kernel's sample index: negative, NaN and >= 2^31 give 0; at
    // most rows - 1.
    static HWY_INLINE I ExactIndex(const Consts& c, V d2) {
        const V up = RoundedUpPosition<Family>(c.k, c.q, d2);
        const __mmask8 inRange = _mm512_cmp_pd_mask(up, _mm512_setzero_pd(), _CMP_GE_OQ) &
                                 _mm512_cmp_pd_mask(up, c.two31, _CMP_LT_OQ);
        return _mm512_cvttpd_epi64(_mm512_maskz_min_pd(inRange, up, c.lastRow));
    }

    // The same for squared distances the threshold table covers, whose
    // positions lie below 2^31 - 1/2.
    static HWY_INLINE I BoundedIndex(const Consts& c, V d2) {
        const V up = _mm512_max_pd(RoundedUpPosition<Family>(c.k, c.q, d2), _mm512_setzero_pd());
        return _mm512_cvttpd_epi64(_mm512_min_pd(up, c.lastRow));
    }

    // The same for positions known to be at least 1/2 and inside the rows.
    static HWY_INLINE I PositiveIndex(const Consts& c, V d2) {
        return _mm512_cvttpd_epi64(RoundedUpPosition<Family>(c.k, c.q, d2));
    }

    // Floor of an estimate of the position within the plan's guessError;
    // kClamp keeps it in 0 .. rows-2 (which keeps the index in {g, g + 1}).
    template <int kGuess, bool kClamp>
    static HWY_INLINE I Guess(const Consts& c, V d2) {
        // k * sqrt(d2) from the reciprocal square root estimate y; k * d2
        // does not wait for y.
        const V y = _mm512_rsqrt14_pd(d2);
        V kdist;
        if (kGuess == kRefined) {
            const V dist = _mm512_mul_pd(d2, y);
            const V e = _mm512_mul_pd(_mm512_mul_pd(dist, y), c.half);
            kdist = _mm512_mul_pd(c.k, _mm512_mul_pd(dist, _mm512_sub_pd(c.threeHalves, e)));
        } else {
            kdist = _mm512_mul_pd(_mm512_mul_pd(c.k, d2), y);
        }
        V pos = _mm512_sub_pd(kdist, c.q);
        if (kClamp) pos = _mm512_min_pd(pos, c.lastGuess);
        I g = _mm512_cvt_roundpd_epi64(pos, _MM_FROUND_TO_NEG_INF | _MM_FROUND_NO_EXC);
        if (kClamp) g = _mm512_max_epi64(g, _mm512_setzero_si512());
        return g;
    }

    static HWY_INLINE int64_t Lane0(I i) { return _mm_cvtsi128_si64(_mm512_castsi512_si128(i)); }
    // The mean of the indices of lanes 1 and 7, opposite corners of the
    // vector's pixels: about the index at their centre, around which the lanes spread
    // evenly (where the vector's samples span most of a wide window).
    static_assert(kRow[1] == 0 && kCol[1] == 0 && kRow[7] == 3 && kCol[7] == 1,
                  "Centre reads the corners");
    static HWY_INLINE int64_t Centre(I i) {
        const int64_t a = _mm_extract_epi64(_mm512_castsi512_si128(i), 1);
        const int64_t b = _mm_extract_epi64(_mm512_extracti64x2_epi64(i, 3), 1);
        return (a + b) >> 1;
    }
    static HWY_INLINE I Minus(I i, int64_t x) { return _mm512_sub_epi64(i, _mm512_set1_epi64(x)); }
    // Whether some lane lies outside 0 .. most.
    static HWY_INLINE bool AnyOutside(I rel, int64_t most) {
        return _mm512_cmpgt_epu64_mask(rel, _mm512_set1_epi64(most)) != 0;
    }
    // w[rel[l]] for rel in 0 .. 15.
    static HWY_INLINE V Lookup(const double* w, I rel) {
        return _mm512_permutex2var_pd(_mm512_loadu_pd(w), rel, _mm512_loadu_pd(w + 8));
    }
    // w[rel[l]] for rel in 0 .. 31: the permutes read the low 4 bits.
    static HWY_INLINE V LookupWide(const double* w, I rel) {
        const __mmask8 upper = _mm512_test_epi64_mask(rel, _mm512_set1_epi64(16));
        return _mm512_mask_blend_pd(upper, Lookup(w, rel), Lookup(w + 16, rel));
    }
    // rel + 1 in the lanes where d2 >= above.
    static HWY_INLINE I StepIfAtLeast(V d2, V above, I rel) {
        const __mmask8 step = _mm512_cmp_pd_mask(d2, above, _CMP_GE_OQ);
        return _mm512_mask_add_epi64(rel, step, rel, _mm512_set1_epi64(1));
    }
    // The frames of a batch of 4 (two pixels': a[0..3], b[0..3]) or of 2
    // (four pixels': a[0], a[1], b[0], ..., d[1]).
    static HWY_INLINE V LoadHalves(const double* a, const double* b) {
        return _mm512_insertf64x4(_mm512_castpd256_pd512(_mm256_loadu_pd(a)), _mm256_loadu_pd(b),
                                  1);
    }
    static HWY_INLINE V LoadQuarters(const double* a, const double* b, const double* c,
                                     const double* d) {
        const __m256d ab =
            _mm256_insertf128_pd(_mm256_castpd128_pd256(_mm_loadu_pd(a)), _mm_loadu_pd(b), 1);
        const __m256d cd =
            _mm256_insertf128_pd(_mm256_castpd128_pd256(_mm_loadu_pd(c)), _mm_loadu_pd(d), 1);
        return _mm512_insertf64x4(_mm512_castpd256_pd512(ab), cd, 1);
    }
    static HWY_INLINE V Gather(const double* p, I i) { return _mm512_i64gather_pd(i, p, 8); }
    // The lanes as 32-bit integers (all of them lie in that range).
    static HWY_INLINE void Spill(I i, int32_t* out) {
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), _mm512_cvtepi64_epi32(i));
    }
    // min(i + 1, most)
    static HWY_INLINE I NextIndex(I i, int64_t most) {
        return _mm512_min_epi64(_mm512_add_epi64(i, _mm512_set1_epi64(1)),
                                _mm512_set1_epi64(most));
    }
};

}  // namespace HWY_NAMESPACE
}  // namespace tofimage_simd
HWY_AFTER_NAMESPACE();

#endif  // family
#endif
