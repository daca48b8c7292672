// The general beamformer's vector kernel: this file only dispatches. Highway
// compiles it once per instruction set (foreach_target.h includes it again
// for each); each pass includes the kernel, written once in portable Highway
// ops (recon_simd_beamform-inl.h).
#include <algorithm>
#include <cstdint>

#include "recon_beamform_plan.h"

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "recon_simd_beamform.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

#include "recon_simd_beamform-inl.h"

HWY_BEFORE_NAMESPACE();
namespace tofimage_simd {
namespace HWY_NAMESPACE {

// Highway's one-lane and emulated targets gain nothing over the scalar
// definition.
#if HWY_TARGET < HWY_EMU128
bool BeamformImpl(const BeamformTables& b, const BeamColumns& g, int64_t frames, double* image) {
    return BeamRun(b, g, frames, image);
}
const char* BeamformTargetImpl() { return hwy::TargetName(HWY_TARGET); }
#else
bool BeamformImpl(const BeamformTables&, const BeamColumns&, int64_t, double*) { return false; }
const char* BeamformTargetImpl() { return nullptr; }
#endif

}  // namespace HWY_NAMESPACE
}  // namespace tofimage_simd
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace tofimage_simd {
HWY_EXPORT(BeamformImpl);
HWY_EXPORT(BeamformTargetImpl);

bool beamformDispatch(const BeamformTables& b, const BeamColumns& g, int64_t frames,
                      double* image) {
    return HWY_DYNAMIC_DISPATCH(BeamformImpl)(b, g, frames, image);
}
const char* beamformTargetDispatch() { return HWY_DYNAMIC_DISPATCH(BeamformTargetImpl)(); }
}  // namespace tofimage_simd

bool beamformVector(const BeamformTables& b, const BeamColumns& g, int64_t frames, double* image) {
    return tofimage_simd::beamformDispatch(b, g, frames, image);
}

const char* beamformVectorTarget() { return tofimage_simd::beamformTargetDispatch(); }
#endif
