// Vector pixel kernel of the reconstruction engine (internal header).
//
// Built only where Google Highway is available (TOFIMAGE_HAVE_HWY); doRecon
// calls it for ReconKernel::Best and otherwise runs the scalar kernel.
#ifndef TOFIMAGE_RECON_SIMD_H
#define TOFIMAGE_RECON_SIMD_H

#include "recon.h"

// Fills in.Recon exactly as the scalar kernel does, with the best
// instruction set of this CPU, on a team of `team` threads. Returns false,
// without touching the image, when there is no vector instruction set to
// use, when the scalar kernel would be faster (unless `always`), or when the
// memory for its per-call tables cannot be had; the caller then runs the
// scalar kernel.
bool reconVector(const ReconInput& in, const ReconGeometry& g, int team, bool always);

// Name of the instruction set reconVector uses on this CPU (Highway's target
// name, e.g. "AVX3", "AVX2", "NEON"), or nullptr when it would decline.
const char* reconVectorTarget();

#endif
