// The generic family's primitives, in portable Highway ops, for the
// fixed-width instruction sets without a family of their own (SSE4, SSSE3,
// SSE2, WASM, PPC, ...); its policy is GenericPolicy (recon_simd_policy.h).
// Included once per such target by recon_simd_families-inl.h.
//
// A vector is a column of N consecutive rows. Every sample index comes from
// the correctly rounded square root and every lookup is a gather: these
// instruction sets have neither a double reciprocal square root estimate nor
// a cheap permute across more than two doubles.

#include "recon_simd_policy.h"

// Per-target include guard, as Highway's own -inl.h headers have.
#if defined(TOFIMAGE_RECON_SIMD_GENERIC_INL_H_) == defined(HWY_TARGET_TOGGLE)
#ifdef TOFIMAGE_RECON_SIMD_GENERIC_INL_H_
#undef TOFIMAGE_RECON_SIMD_GENERIC_INL_H_
#else
#define TOFIMAGE_RECON_SIMD_GENERIC_INL_H_
#endif

// Only in the passes that choose this family (recon_simd_families-inl.h),
// or where nothing chooses, as for a reader of this file alone.
#if !defined(TOFIMAGE_FAMILY) || TOFIMAGE_FAMILY == TOFIMAGE_FAMILY_GENERIC

#include <array>

#include <hwy/highway.h>

#include "recon_simd_exact-inl.h"
#include "recon_simd_plan.h"

HWY_BEFORE_NAMESPACE();
namespace tofimage_simd {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

struct Family : GenericPolicy {
    using D = hn::ScalableTag<double>;
    using DI = hn::RebindToSigned<D>;
    using V = hn::Vec<D>;
    using I = hn::Vec<DI>;

    static constexpr const char* kName = "generic";
    static constexpr int kLanes = (int)HWY_LANES(double);
    static constexpr int kVectorRows = kLanes, kVectorCols = 1;
    static constexpr std::array<int, kLanes> kRow = [] {
        std::array<int, kLanes> r{};
        for (int l = 0; l < kLanes; ++l) r[l] = l;
        return r;
    }();
    static constexpr std::array<int, kLanes> kCol{};
    static constexpr int kWindow = 0, kWideWindow = 0;  // no windows
    using Word = double;
    static constexpr int64_t kStageRows = 0, kStageDoubles = 0;

    struct Consts {
        V k, q, invDt, zero, two31, lastRow;
        explicit Consts(const Plan& p)
            : k(hn::Set(D(), p.k)),
              q(hn::Set(D(), p.q)),
              invDt(hn::Set(D(), p.invDt)),
              zero(hn::Zero(D())),
              two31(hn::Set(D(), kIndexLimit)),
              lastRow(hn::Set(D(), (double)(p.rows - 1))) {}
    };

    static HWY_INLINE V Set(double x) { return hn::Set(D(), x); }
    static HWY_INLINE V Load(const double* p) { return hn::Load(D(), p); }
    static HWY_INLINE void Store(V v, double* p) { hn::Store(v, D(), p); }
    static HWY_INLINE V Add(V a, V b) { return hn::Add(a, b); }
    static HWY_INLINE V Sub(V a, V b) { return hn::Sub(a, b); }
    static HWY_INLINE V Mul(V a, V b) { return hn::Mul(a, b); }
    static HWY_INLINE V Sqrt(V a) { return hn::Sqrt(a); }

    // The scalar kernel's sample index (recon_exact.h): negative, NaN and
    // >= 2^31 give 0; at most rows - 1.
    static HWY_INLINE I ExactIndex(const Consts& c, V d2) {
        const V up = RoundedUpPosition<Family>(c.k, c.q, d2);
        const auto inRange = hn::And(hn::Ge(up, c.zero), hn::Lt(up, c.two31));
        return hn::ConvertTo(DI(), hn::IfThenElseZero(inRange, hn::Min(up, c.lastRow)));
    }
    static HWY_INLINE V Gather(const double* p, I i) { return hn::GatherIndex(D(), p, i); }
    static HWY_INLINE I Minus(I i, int64_t x) { return hn::Sub(i, hn::Set(DI(), x)); }
    // The lanes as 32-bit integers (all of them lie in that range).
    static HWY_INLINE void Spill(I i, int32_t* out) {
        HWY_ALIGN int64_t lanes[kLanes];
        hn::Store(i, DI(), lanes);
        for (int l = 0; l < kLanes; ++l) out[l] = (int32_t)lanes[l];
    }
    // min(i + 1, most)
    static HWY_INLINE I NextIndex(I i, int64_t most) {
        return hn::Min(hn::Add(i, hn::Set(DI(), int64_t{1})), hn::Set(DI(), most));
    }
};

}  // namespace HWY_NAMESPACE
}  // namespace tofimage_simd
HWY_AFTER_NAMESPACE();

#endif  // family
#endif
