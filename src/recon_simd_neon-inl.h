// Lane primitives for arm64: every Arm target of Highway, NEON and SVE alike
// (NEON, NEON_BF16, NEON_WITHOUT_AES, SVE, SVE2, SVE_256, SVE2_128, ...).
// Included by recon_simd.cpp once per such target, ahead of the tile
// algorithm (recon_simd-inl.h).
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
#include <arm_neon.h>

HWY_BEFORE_NAMESPACE();
namespace tofimage_simd {
namespace HWY_NAMESPACE {

struct Lanes {
    using V = float64x2_t;
    using I = int64x2_t;

    static constexpr int kLanes = 2;
    // Lane l is the pixel at row kRow[l], column kCol[l] of the vector's
    // block; lane 0 places the window.
    static constexpr int kBlockRows = 2, kBlockCols = 1;
    static constexpr int kRow[2] = {0, 1};
    static constexpr int kCol[2] = {0, 0};
    // A group of 4 x 2 vectors (8 rows by 2 columns of pixels) keeps 8
    // running sums, 6 coordinate vectors and the temporaries in the 32
    // registers.
    static constexpr int kGroupRows = 4, kGroupCols = 2;
    // Lookups are lane loads, so a wide window costs nothing per lookup; 16
    // samples hold the 2 lanes' samples for pixels of up to about 5 samples
    // a side (windowCovers).
    static constexpr int kWindow = 16;
    static constexpr int kWideWindow = 0;  // no wider lookup
    static constexpr bool kTable = true;
    using Word = double;  // windows read sigMat itself
    static constexpr int64_t kStageRows = 0, kStageDoubles = 0;
    // Relative error bounds of the estimate of k * sqrt(d2) that Guess
    // computes. FRSQRTE's result is defined bit for bit by the architecture
    // (a table of 8-bit values; FEAT_RPRES changes only single precision):
    // its relative error e0 is at most 0.00328 (< 2^-8.25, found by trying
    // every class of inputs: the estimate is constant over each class, so
    // the worst case lies at a class's first or last double). A step
    // y * (3 - d2*y*y) / 2 leaves 1.5 e^2 + 0.5 e^3 plus the roundings of
    // the products (a few 2^-53), 1.62e-5 < 2^-15.9 after one step and
    // 3.9e-10 < 2^-31.2 after two (also the largest errors seen over those
    // inputs). The bounds below leave a factor of about 2 over those.
    static constexpr double kEstimateError = 0x1p-15;  // one Newton step
    static constexpr double kRefinedError = 0x1p-30;   // two Newton steps
    // Vectors of a group that take the square root where the threshold
    // table would do, and nanoseconds per evaluation of the table path and
    // of the square root path with gathers. Estimates, not measurements:
    // the instructions each path executes per 16 evaluations for term 1
    // (from the disassembly: 232 table with 4 square root vectors, 174
    // square root with 8), on a core that issues 4 instructions a cycle at
    // 3 GHz and finishes one 2-lane square root every 8 cycles (assumed;
    // cores differ). The table path is then issue-bound at about 3.6 cycles
    // per evaluation, the square root path bound by its square roots at 4.
    // With 2 lanes a table lookup costs two lane loads and the index
    // arithmetic, so the table saves less here than on wider vectors, and
    // half the vectors of a group keep the square root unit busy. A gather
    // is the same two lane loads as a window lookup.
    static constexpr int kSqrtVectors = 4;
    static constexpr double kTableCost = 1.2, kGatherCost = 1.2, kSqrtCost = 1.35;

    struct Consts {
        V k, q, invDt, justBelowHalf, zero, two31, lastGuess, lastRow;
        explicit Consts(const Plan& p)
            : k(vdupq_n_f64(p.k)),
              q(vdupq_n_f64(p.q)),
              invDt(vdupq_n_f64(p.invDt)),
              justBelowHalf(vdupq_n_f64(kJustBelowHalf)),
              zero(vdupq_n_f64(0.0)),
              two31(vdupq_n_f64(2147483648.0)),
              lastGuess(vdupq_n_f64((double)(p.rows - 2))),
              lastRow(vdupq_n_f64((double)(p.rows - 1))) {}
    };

    static HWY_INLINE V Set(double x) { return vdupq_n_f64(x); }
    static HWY_INLINE V Load(const double* p) { return vld1q_f64(p); }
    static HWY_INLINE void Store(V v, double* p) { vst1q_f64(p, v); }
    static HWY_INLINE V Add(V a, V b) { return vaddq_f64(a, b); }
    static HWY_INLINE V Sub(V a, V b) { return vsubq_f64(a, b); }
    static HWY_INLINE V Mul(V a, V b) { return vmulq_f64(a, b); }

    // The scalar kernel's sample index: rounded half away from zero by
    // adding the largest double below 1/2 and truncating; negative, NaN and
    // >= 2^31 give 0; at most rows - 1.
    static HWY_INLINE I ExactIndex(const Consts& c, V d2) {
        const V pos = vsubq_f64(vmulq_f64(c.k, vsqrtq_f64(d2)), c.q);
        const V up = vaddq_f64(pos, c.justBelowHalf);
        const uint64x2_t inRange = vandq_u64(vcgeq_f64(up, c.zero), vcltq_f64(up, c.two31));
        const I i = vcvtq_s64_f64(vminq_f64(up, c.lastRow));
        return vandq_s64(i, vreinterpretq_s64_u64(inRange));
    }

    // The same for positions known to be at least 1/2 and inside the rows.
    static HWY_INLINE I PositiveIndex(const Consts& c, V d2) {
        const V pos = vsubq_f64(vmulq_f64(c.k, vsqrtq_f64(d2)), c.q);
        return vcvtq_s64_f64(vaddq_f64(pos, c.justBelowHalf));
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
