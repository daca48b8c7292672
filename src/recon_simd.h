// Vector pixel kernel of the reconstruction engine (internal header).
//
// Built only where Google Highway is available (TOFIMAGE_HAVE_HWY); a
// ReconPlan uses it for ReconKernel::Best and Vector and otherwise runs the
// scalar kernel.
#ifndef TOFIMAGE_RECON_SIMD_H
#define TOFIMAGE_RECON_SIMD_H

#include <cstdint>
#include <memory>

#include "recon.h"
#include "recon_simd_policy.h"

// The vector kernel's plan for one request (recon_simd_plan.h).
struct VectorPlan;
struct VectorPlanDelete {
    void operator()(VectorPlan* plan) const;
};
using VectorPlanPtr = std::unique_ptr<VectorPlan, VectorPlanDelete>;

// The plan for a request (in.sigMat and in.Recon unused) with the best
// instruction set of this CPU, weighed for about `frames` frames per run,
// built on a team of `team` threads. Null when there is no vector
// instruction set to use, when the scalar kernel would be faster (unless
// `always`), or when the memory for its tables cannot be had; the scalar
// kernel then serves.
VectorPlanPtr makeVectorPlan(const ReconInput& in, const ReconGeometry& g, int team, bool always,
                             int64_t frames);

// Adds the images of a stack (ReconPlan::run) exactly as the scalar kernel
// does, on a team of `team` threads. False, without touching the images,
// when its scratch memory cannot be had.
bool runVectorPlan(const VectorPlan& plan, const double* sigMat, int64_t frames, double* Recon,
                   int team);

// Frames the plan's kernel takes at once in a long stack.
int64_t vectorBatchFrames(const VectorPlan& plan);

// Name of the instruction set the vector kernel uses on this CPU (Highway's
// target name, e.g. "AVX3", "AVX2", "NEON"), or nullptr where it has none.
const char* reconVectorTarget();

// Name of the family of lane primitives that serves that instruction set
// ("avx3", "avx2", "neon", "generic"), or nullptr where none does.
const char* reconVectorFamily();

// That family as the cost model sees it (recon_simd_plan.h), with the costs
// its policy holds (recon_simd_policy.h); all zero where no family serves.
namespace tofimage_simd {
struct FamilyModel;
}
tofimage_simd::FamilyModel reconVectorModel();

#endif
