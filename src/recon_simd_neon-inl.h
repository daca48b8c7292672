// The arm64 family's primitives: every Arm target of Highway, NEON and SVE
// alike (NEON, NEON_BF16, NEON_WITHOUT_AES, SVE, SVE2, SVE_256, SVE2_128,
// ...); its policy is NeonPolicy (recon_simd_policy.h). Included once per
// such target by recon_simd_families-inl.h.
//
// The primitives use fixed 128-bit NEON vectors (arm_neon.h) on every one of
// these targets, the SVE ones included: NEON is part of every arm64 CPU, and
// the tile algorithm keeps arrays of vectors, which SVE's sizeless vector
// types cannot form. An SVE target thus runs the same code as NEON, compiled
// with that target's flags.
//
// A vector is 2 pixels, 2 rows of one column. The index guess comes from the
// reciprocal square root estimate (FRSQRTE, about 8 bits) with one Newton
// step (FRSQRTS), or two when positions run long. A window lookup fetches
// each lane's sample with its own load: with 2 lanes that costs about what a
// byte permute over the window (TBL) and the arithmetic for its byte indices
// would, and the window can be as wide as the tile algorithm likes.

#include "recon_simd_policy.h"

// Per-target include guard, as Highway's own -inl.h headers have.
#if defined(TOFIMAGE_RECON_SIMD_NEON_INL_H_) == defined(HWY_TARGET_TOGGLE)
#ifdef TOFIMAGE_RECON_SIMD_NEON_INL_H_
#undef TOFIMAGE_RECON_SIMD_NEON_INL_H_
#else
#define TOFIMAGE_RECON_SIMD_NEON_INL_H_
#endif

// Only in the passes that choose this family (recon_simd_families-inl.h),
// or where nothing chooses, as for a reader of this file alone.
#if !defined(TOFIMAGE_FAMILY) || TOFIMAGE_FAMILY == TOFIMAGE_FAMILY_NEON

#include <arm_neon.h>

#include <hwy/highway.h>

#include "recon_simd_exact-inl.h"
#include "recon_simd_plan.h"

HWY_BEFORE_NAMESPACE();
namespace tofimage_simd {
namespace HWY_NAMESPACE {

struct Family : NeonPolicy {
    using V = float64x2_t;
    using I = int64x2_t;

    static constexpr const char* kName = "neon";
    static constexpr int kLanes = 2;
    // Lane l is the pixel at row kRow[l], column kCol[l] of the vector's
    // pixels; lane 0 places the window.
    static constexpr int kVectorRows = 2, kVectorCols = 1;
    static constexpr int kRow[2] = {0, 1};
    static constexpr int kCol[2] = {0, 0};
    // Lookups are lane loads, so a wide window costs nothing per lookup; 16
    // samples hold the 2 lanes' samples for pixels of up to about 5 samples
    // a side (windowCovers).
    static constexpr int kWindow = 16;
    static constexpr int kWideWindow = 0;  // no wider lookup
    using Word = double;  // windows read sigMat itself
    static constexpr int64_t kStageRows = 0, kStageDoubles = 0;

    struct Consts {
        V k, q, invDt, zero, two31, lastGuess, lastRow;
        explicit Consts(const Plan& p)
            : k(vdupq_n_f64(p.k)),
              q(vdupq_n_f64(p.q)),
              invDt(vdupq_n_f64(p.invDt)),
              zero(vdupq_n_f64(0.0)),
              two31(vdupq_n_f64(kIndexLimit)),
              lastGuess(vdupq_n_f64((double)(p.rows - 2))),
              lastRow(vdupq_n_f64((double)(p.rows - 1))) {}
    };

    // Its own arithmetic, not Highway's: on the SVE targets Highway's vectors
    // are SVE's sizeless ones, and these are NEON's.
    static HWY_INLINE V Set(double x) { return vdupq_n_f64(x); }
    static HWY_INLINE V Load(const double* p) { return vld1q_f64(p); }
    static HWY_INLINE void Store(V v, double* p) { vst1q_f64(p, v); }
    static HWY_INLINE V Add(V a, V b) { return vaddq_f64(a, b); }
    static HWY_INLINE V Sub(V a, V b) { return vsubq_f64(a, b); }
    static HWY_INLINE V Mul(V a, V b) { return vmulq_f64(a, b); }
    static HWY_INLINE V Sqrt(V a) { return vsqrtq_f64(a); }


    // The scalar kernel's sample index: negative, NaN and >= 2^31 give 0;
    // at most rows - 1.
    static HWY_INLINE I ExactIndex(const Consts& c, V d2) {
        const V up = RoundedUpPosition<Family>(c.k, c.q, d2);
        const uint64x2_t inRange = vandq_u64(vcgeq_f64(up, c.zero), vcltq_f64(up, c.two31));
        const I i = vcvtq_s64_f64(vminq_f64(up, c.lastRow));
        return vandq_s64(i, vreinterpretq_s64_u64(inRange));
    }

    // The same for positions known to be at least 1/2 and inside the rows.
    static HWY_INLINE I PositiveIndex(const Consts& c, V d2) {
        return vcvtq_s64_f64(RoundedUpPosition<Family>(c.k, c.q, d2));
    }

    // Floor of an estimate of the position within the plan's guessError;
    // kClamp keeps it in 0 .. rows-2 (which keeps the index in {g, g + 1}).
    // The guess only picks the threshold the exact comparison reads, so the
    // fused step FRSQRTS changes no result of the kernel.
    template <int kGuess, bool kClamp>
    static HWY_INLINE I Guess(const Consts& c, V d2) {
        // y ~ 1/sqrt(d2); s = (3 - (d2*y)*y) / 2 refines it to y*s, and
        // k * sqrt(d2) ~ k * (d2*y) * s.
        V y = vrsqrteq_f64(d2);
        if (kGuess == kRefined) y = vmulq_f64(y, vrsqrtsq_f64(vmulq_f64(d2, y), y));
        const V dist = vmulq_f64(d2, y);
        const V s = vrsqrtsq_f64(dist, y);
        V pos = vsubq_f64(vmulq_f64(vmulq_f64(c.k, dist), s), c.q);
        // Clamping before the floor equals clamping after it: the bounds are
        // whole numbers.
        if (kClamp) pos = vmaxq_f64(vminq_f64(pos, c.lastGuess), c.zero);
        return vcvtmq_s64_f64(pos);
    }

    static HWY_INLINE int64_t Lane0(I i) { return vgetq_lane_s64(i, 0); }
    static HWY_INLINE I Minus(I i, int64_t x) { return vsubq_s64(i, vdupq_n_s64(x)); }
    // Whether some lane lies outside 0 .. most.
    static HWY_INLINE bool AnyOutside(I rel, int64_t most) {
        const uint64x2_t out = vcgtq_u64(vreinterpretq_u64_s64(rel), vdupq_n_u64((uint64_t)most));
        return vmaxvq_u32(vreinterpretq_u32_u64(out)) != 0;
    }
    // p[i[l]] in lane l: one load per lane.
    static HWY_INLINE V Gather(const double* p, I i) {
        return vcombine_f64(vld1_f64(p + vgetq_lane_s64(i, 0)), vld1_f64(p + vgetq_lane_s64(i, 1)));
    }
    // w[rel[l]] for rel in 0 .. kWindow-1.
    static HWY_INLINE V Lookup(const double* w, I rel) { return Gather(w, rel); }
    // rel + 1 in the lanes where d2 >= above (the comparison's all-ones
    // lanes are -1).
    static HWY_INLINE I StepIfAtLeast(V d2, V above, I rel) {
        return vsubq_s64(rel, vreinterpretq_s64_u64(vcgeq_f64(d2, above)));
    }
    // The lanes as 32-bit integers (all of them lie in that range).
    static HWY_INLINE void Spill(I i, int32_t* out) { vst1_s32(out, vmovn_s64(i)); }
    // min(i + 1, most)
    static HWY_INLINE I NextIndex(I i, int64_t most) {
        const I next = vaddq_s64(i, vdupq_n_s64(1)), m = vdupq_n_s64(most);
        return vbslq_s64(vcgtq_s64(next, m), m, next);
    }
};

}  // namespace HWY_NAMESPACE
}  // namespace tofimage_simd
HWY_AFTER_NAMESPACE();

#endif  // family
#endif
