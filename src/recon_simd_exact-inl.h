// The arithmetic below the vector kernel's algorithm, compiled for the
// instruction set of each pass of recon_simd.cpp, in its namespace: the
// exactness rules (recon_exact.h), whose copies the families and the tile
// algorithm call, and the lane arithmetic of the families written in
// intrinsics. A family includes this, not the algorithm (recon_simd-inl.h).

// Per-target include guard, as Highway's own -inl.h headers have.
#if defined(TOFIMAGE_RECON_SIMD_EXACT_INL_H_) == defined(HWY_TARGET_TOGGLE)
#ifdef TOFIMAGE_RECON_SIMD_EXACT_INL_H_
#undef TOFIMAGE_RECON_SIMD_EXACT_INL_H_
#else
#define TOFIMAGE_RECON_SIMD_EXACT_INL_H_
#endif

#include <hwy/highway.h>

#include "recon_exact.h"

HWY_BEFORE_NAMESPACE();
namespace tofimage_simd {
namespace HWY_NAMESPACE {

#include "recon_exact_rules.h"

namespace hn = hwy::HWY_NAMESPACE;

// Lane arithmetic through Highway's ops for a family whose own primitives
// are written in intrinsics: V is Highway's vector of D, unwrapped.
template <class D>
struct HighwayArith {
    using V = decltype(hn::Zero(D()).raw);
    static HWY_INLINE V Set(double x) { return hn::Set(D(), x).raw; }
    static HWY_INLINE V Load(const double* p) { return hn::Load(D(), p).raw; }
    static HWY_INLINE void Store(V v, double* p) { hn::Store(hn::Vec<D>{v}, D(), p); }
    static HWY_INLINE V Add(V a, V b) { return hn::Add(hn::Vec<D>{a}, hn::Vec<D>{b}).raw; }
    static HWY_INLINE V Sub(V a, V b) { return hn::Sub(hn::Vec<D>{a}, hn::Vec<D>{b}).raw; }
    static HWY_INLINE V Mul(V a, V b) { return hn::Mul(hn::Vec<D>{a}, hn::Vec<D>{b}).raw; }
    static HWY_INLINE V Sqrt(V a) { return hn::Sqrt(hn::Vec<D>{a}).raw; }
};

}  // namespace HWY_NAMESPACE
}  // namespace tofimage_simd
HWY_AFTER_NAMESPACE();

#endif
