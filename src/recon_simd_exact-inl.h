// The exactness rules (recon_exact.h) compiled for the instruction set of
// each pass of recon_simd.cpp, in its namespace: the families and the tile
// algorithm call these copies.

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

}  // namespace HWY_NAMESPACE
}  // namespace tofimage_simd
HWY_AFTER_NAMESPACE();

#endif
