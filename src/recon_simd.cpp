// Vector pixel kernel: the delay-and-sum of recon.cpp computed for several
// pixels at once, for the instruction set Google Highway picks at run time.
//
// This file only dispatches. Highway compiles it once per instruction set
// (foreach_target.h includes it again for each); each pass includes the tile
// algorithm, written once (recon_simd-inl.h), and the family of that
// instruction set: its primitives and its policy. The per-call plan
// they share is plain C++ (recon_simd_plan.h).
//
// Which family serves which Highway target: recon_simd_families-inl.h.
#include "recon_simd.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <cstdlib>
#include <limits>
#include <memory>
#include <new>
#include <type_traits>
#include <utility>

#ifdef _OPENMP
#include <omp.h>
#endif

#include "recon_simd_plan.h"
#include "recon_simd_policy.h"

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "recon_simd.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

#include "recon_simd_families-inl.h"

HWY_BEFORE_NAMESPACE();
namespace tofimage_simd {
namespace HWY_NAMESPACE {

#if TOFIMAGE_FAMILY

bool PlanImpl(const ReconInput& in, const ReconGeometry& g, int team, bool always, int64_t frames,
              VectorPlan* vp) {
    return PlanWith<Family>(in, g, team, always, frames, vp);
}

bool RunImpl(const VectorPlan& vp, const double* sigMat, int64_t frames, double* Recon, int team) {
    return RunWith<Family>(vp, sigMat, frames, Recon, team);
}

const char* TargetNameImpl() { return hwy::TargetName(HWY_TARGET); }

const char* FamilyNameImpl() { return Family::kName; }

FamilyModel FamilyModelImpl() { return ModelOf<Family>(); }

#else  // One lane, or no family: nothing to gain over the scalar kernel.

bool PlanImpl(const ReconInput&, const ReconGeometry&, int, bool, int64_t, VectorPlan*) {
    return false;
}

bool RunImpl(const VectorPlan&, const double*, int64_t, double*, int) { return false; }

const char* TargetNameImpl() { return nullptr; }

const char* FamilyNameImpl() { return nullptr; }

FamilyModel FamilyModelImpl() { return FamilyModel{}; }

#endif
#undef TOFIMAGE_FAMILY

}  // namespace HWY_NAMESPACE
}  // namespace tofimage_simd
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace tofimage_simd {
// Exported and called from inside the namespace, so that the call also
// compiles when Highway builds only one static target (HWY_DYNAMIC_DISPATCH
// then names the function in that target's namespace).
HWY_EXPORT(PlanImpl);
HWY_EXPORT(RunImpl);
HWY_EXPORT(TargetNameImpl);
HWY_EXPORT(FamilyNameImpl);
HWY_EXPORT(FamilyModelImpl);

bool planDispatch(const ReconInput& in, const ReconGeometry& g, int team, bool always,
                  int64_t frames, VectorPlan* vp) {
    return HWY_DYNAMIC_DISPATCH(PlanImpl)(in, g, team, always, frames, vp);
}

bool runDispatch(const VectorPlan& vp, const double* sigMat, int64_t frames, double* Recon,
                 int team) {
    return HWY_DYNAMIC_DISPATCH(RunImpl)(vp, sigMat, frames, Recon, team);
}

const char* targetDispatch() { return HWY_DYNAMIC_DISPATCH(TargetNameImpl)(); }
const char* familyDispatch() { return HWY_DYNAMIC_DISPATCH(FamilyNameImpl)(); }
FamilyModel modelDispatch() { return HWY_DYNAMIC_DISPATCH(FamilyModelImpl)(); }
}  // namespace tofimage_simd

VectorPlanPtr makeVectorPlan(const ReconInput& in, const ReconGeometry& g, int team, bool always,
                             int64_t frames) {
    VectorPlanPtr plan(new (std::nothrow) VectorPlan());
    if (!plan || !tofimage_simd::planDispatch(in, g, team, always, frames, plan.get()))
        return nullptr;
    return plan;
}

bool runVectorPlan(const VectorPlan& plan, const double* sigMat, int64_t frames, double* Recon,
                   int team) {
    return tofimage_simd::runDispatch(plan, sigMat, frames, Recon, team);
}

int64_t vectorBatchFrames(const VectorPlan& plan) { return plan.batch; }

const char* reconVectorTarget() { return tofimage_simd::targetDispatch(); }

const char* reconVectorFamily() { return tofimage_simd::familyDispatch(); }

tofimage_simd::FamilyModel reconVectorModel() { return tofimage_simd::modelDispatch(); }
#endif
