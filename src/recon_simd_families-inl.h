// Which family of the vector kernel serves the instruction set of this
// Highway pass (TOFIMAGE_FAMILY, 0 for none), and its header. Included once
// per target by recon_simd.cpp and by the primitives' test; no include
// guard, since every pass decides anew.
//
// Families, by Highway target (x86 target bits are the lowest for the best
// targets, so "<= HWY_AVX3" means AVX-512 or better):
//   AVX-512 (AVX3, AVX3_DL, AVX3_ZEN4, AVX3_SPR, ...)  recon_simd_avx3-inl.h
//   AVX2                                               recon_simd_avx2-inl.h
//   Arm NEON and SVE (all widths)                      recon_simd_neon-inl.h
//   other fixed-width targets (SSE4, SSSE3, ...)       recon_simd_generic-inl.h
// Where Highway offers only its one-lane fallbacks (SCALAR, EMU128) or
// scalable vectors without a family (RVV), there is none.
#include <hwy/highway.h>

#include "recon_simd_policy.h"

#undef TOFIMAGE_FAMILY
#if HWY_ARCH_X86 && HWY_TARGET <= HWY_AVX3
#define TOFIMAGE_FAMILY TOFIMAGE_FAMILY_AVX3
#elif HWY_ARCH_X86 && HWY_TARGET <= HWY_AVX2
#define TOFIMAGE_FAMILY TOFIMAGE_FAMILY_AVX2
#elif HWY_ARCH_ARM_A64 && HWY_TARGET < HWY_EMU128
#define TOFIMAGE_FAMILY TOFIMAGE_FAMILY_NEON
#elif HWY_TARGET < HWY_EMU128 && !HWY_HAVE_SCALABLE
#define TOFIMAGE_FAMILY TOFIMAGE_FAMILY_GENERIC
#else
#define TOFIMAGE_FAMILY 0
#endif

#include "recon_simd-inl.h"
#include "recon_simd_avx2-inl.h"
#include "recon_simd_avx3-inl.h"
#include "recon_simd_generic-inl.h"
#include "recon_simd_neon-inl.h"
