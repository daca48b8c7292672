// How each family of the vector kernel runs the one tile algorithm
// (recon_simd-inl.h): the paths it takes, by name, and the figures its
// choices rest on, in one place. A family is its policy plus its primitives
// (recon_simd_<family>-inl.h: struct Family : <Name>Policy { ... }).
//
// Switches (the algorithm tests these names; CheckFamily in
// recon_simd-inl.h says which primitives each needs):
//   kWindows         sensors whose samples the plan bounds for a tile read
//                    windows of kWindow samples, with lane permutes or loads,
//                    rather than gathers
//   kThresholdTable  with windows, indices from the estimate and one exact
//                    threshold step (recon_simd_plan.h), for all but
//                    kSqrtVectors vectors of a group; without it, every
//                    index comes from the correctly rounded square root
//   kWideWindows     coarse grids read windows of kWideWindow samples, with
//                    indices from the square root
//   kStagedWindows   covered windows read copies of the sensor's rows staged
//                    per tile in the family's layout (Stage, LookupStaged)
// Tuning: kGroupRows x kGroupCols vectors share a sensor's squared offsets
// (as many running sums as the registers hold); kEstimateError and
// kRefinedError bound the estimate's relative error (the guess levels of
// the plan); kCosts (PathCosts) weigh the paths against each other, against
// the scalar kernel and the batch sizes of a stack against each other
// (chooseVectorPlan, recon_simd_cost.cpp, does that arithmetic).
//
// The costs are measurements, and go stale with new cores. Re-measure them
// on the machine that should decide with
//   build/bench/recon_bench --calibrate          (Highway's choice of target)
//   build/bench/recon_bench --calibrate --target=AVX3   (SSE4, NEON, ...)
// which prints each figure as measured beside the one below.
#ifndef TOFIMAGE_RECON_SIMD_POLICY_H
#define TOFIMAGE_RECON_SIMD_POLICY_H

#include <cstdint>

// The families, for recon_simd_families-inl.h's choice per instruction set.
#define TOFIMAGE_FAMILY_AVX3 1
#define TOFIMAGE_FAMILY_AVX2 2
#define TOFIMAGE_FAMILY_NEON 3
#define TOFIMAGE_FAMILY_GENERIC 4

namespace tofimage_simd {

// Nanoseconds on one thread: one evaluation of the scalar kernel where the
// choice falls (the mean of terms 1 and 3 for 4 x 4 pixels of 4096
// sensors, 2030 samples, read from memory; 7.3 on the standard workload,
// whose samples stay in cache), one threshold of the table, and the set-up
// of one sensor for one tile of the vector kernel. Measured with
// --calibrate on an AMD EPYC (AVX2), as are Avx2Policy's costs; a family
// measured on another core weighs the scalar kernel as measured there
// (PathCosts::scalar). The AMD EPYC with AVX-512 measured (Avx3Policy)
// gave 9 ns per threshold and 64 per sensor set-up.
constexpr double kScalarCost = 10.5;
constexpr double kThresholdCost = 11.0;
constexpr double kSensorSetupCost = 77.0;

// A family's costs in nanoseconds per pixel-sensor evaluation on one thread
// (the mean of terms 1 and 3, ring scans of 2030 samples), all measured on
// one machine, so that they weigh against each other:
//   scalar  the scalar kernel where the choice falls (kScalarCost)
// One frame of the vector kernel:
//   table   windows where a vector's samples typically fit one (256 x 256)
//   wide    wide windows (128 x 128, where the family has them)
//   gather  windows too narrow for the grid: the vectors gather (64 x 64)
//   sqrt    the square root with gathers everywhere
// A batch of frames of a stack (per evaluation of one frame):
//   stackIndex  finding the batch's indices, once for all its frames
//   stackApply  applying them to one frame (the batch's frames are rounded
//               up to whole vectors of kLanes frames, or the half or quarter
//               of a vector the family fills: paddedFrames), staging its
//               rows included
// --calibrate takes the two stack costs from batches of 2 and 4 frames, the
// short stacks where a batch and single frames come closest.
struct PathCosts {
    double scalar;
    double table, wide, gather, sqrt;
    double stackIndex, stackApply;
};

// Bytes of staged rows of one sensor block (kSensorBlock sensors, every
// frame of a batch, samples and derivative terms) that stay close enough
// to the core while every group of the tile reads them: a batch is halved,
// down to 8 frames, until its rows fit (chooseVectorPlan). On the AVX2
// machine measured (512 KiB of L2 a core), blocks of about 0.5 MB ran
// fastest in batches of 16 frames, blocks of 1 MB in batches of 8
// (recon_bench --calibrate prints batches of 4, 8 and 16 side by side).
constexpr double kStageCacheBytes = 768 * 1024;

// Shared by every family: pixels a tile has a side at most; sensors a tile
// takes at once (their windows or staged rows stay in cache while every
// group of the tile runs through them); frames a batch of a stack holds at
// most; per thread, doubles for the derivative terms of one sensor block,
// and rows for the sensors of one block staged for a batch (each holding
// every frame's sample and, for terms 2 and 3, derivative term; a sensor
// beyond them reads its samples from sigMat one by one).
constexpr int kMaxTile = 64;
constexpr int kSensorBlock = 16;
constexpr int kMaxBatch = 16;
constexpr int64_t kDerivCapacity = kSensorBlock * 1024;
constexpr int64_t kStackRows = kSensorBlock * 2048;

// AVX-512: vectors of 8 pixels (4 rows by 2 columns).
struct Avx3Policy {
    static constexpr bool kWindows = true, kThresholdTable = true, kWideWindows = true,
                          kStagedWindows = false;
    // One vector of the group takes the square root where the table would
    // do: the square root unit works alongside the table's lookups.
    static constexpr int kSqrtVectors = 1;
    // 8 running sums, 6 coordinate vectors and the temporaries in the 32
    // registers.
    static constexpr int kGroupRows = 2, kGroupCols = 4;
    static constexpr double kEstimateError = 0x1p-14;  // _mm512_rsqrt14_pd
    static constexpr double kRefinedError = 0x1p-26;   // after one Newton step
    // Measured with --calibrate on an AMD EPYC with AVX-512 (Zen 4: family
    // 25, model 17), the fastest of several runs on a machine shared with
    // other builds (runs differed by up to 2x). A batch's indices cost more
    // than a frame alone (0.54 ns, where the frame's lookups are lane
    // permutes): a batch of 2 frames costs about as much as 2 frames at
    // 256 x 256, and less on coarser grids.
    static constexpr PathCosts kCosts{7.5, 0.54, 0.70, 1.1, 1.44, 0.91, 0.106};
};

// AVX2: vectors of 4 pixels (2 by 2).
struct Avx2Policy {
    // Every vector takes the correctly rounded square root: on the AMD and
    // Intel cores measured, a 4-lane square root costs less than the guess,
    // the threshold lookup and the step, and it runs alongside the window
    // lookups. The plan's range still tells each tile where windows are
    // guaranteed. The guess and step primitives remain (tested) for a core
    // with a slower square root: kThresholdTable and kSqrtVectors below 4.
    static constexpr bool kWindows = true, kThresholdTable = false, kWideWindows = false,
                          kStagedWindows = true;
    static constexpr int kSqrtVectors = 4;
    // 4 running sums and the temporaries in the 16 registers.
    static constexpr int kGroupRows = 2, kGroupCols = 2;
    // The float estimate's own error is taken as 2^-11 (the documented bound
    // is 1.5 * 2^-12); one Newton step leaves 1.5 (2^-11)^2 = 6 * 2^-24 of
    // it. On top come the truncation to float (2^-23 relative in d2, 2^-24
    // in the distance), the roundings of the float operations and constants
    // (2^-24 relative each: 4 raw, 5 refined, the two of q and the result
    // counted against |q| and the position) and the floor of d2 (at most
    // 2^-49 samples): below 2^-11 + 6 * 2^-24 and 13 * 2^-24.
    static constexpr double kEstimateError = 0x1p-11 + 0x1p-20;
    static constexpr double kRefinedError = 0x1p-19;
    // No wide windows: wide is the checked windows' square root and
    // gathers at 128 x 128.
    static constexpr PathCosts kCosts{kScalarCost, 1.35, 1.71, 1.71, 2.3, 0.88, 0.26};
};

// Arm NEON and SVE: vectors of 2 pixels (2 rows of a column).
struct NeonPolicy {
    static constexpr bool kWindows = true, kThresholdTable = true, kWideWindows = false,
                          kStagedWindows = false;
    // Estimates, not measurements: the instructions each path executes per
    // 16 evaluations for term 1 (from the disassembly: 232 table with 4
    // square root vectors, 174 square root with 8), on a core that issues 4
    // instructions a cycle and finishes one 2-lane square root every 8
    // cycles (assumed; cores differ). The table path is then issue-bound at
    // about 3.6 cycles per evaluation, the square root path bound by its
    // square roots at 4. With 2 lanes a table lookup costs two lane loads
    // and the index arithmetic, so the table saves less than on wider
    // vectors, and half the vectors of a group keep the square root unit
    // busy. A gather is the same two lane loads as a window lookup.
    static constexpr int kSqrtVectors = 4;
    // 8 running sums, 6 coordinate vectors and the temporaries in the 32
    // registers.
    static constexpr int kGroupRows = 4, kGroupCols = 2;
    // FRSQRTE's result is defined bit for bit by the architecture (a table
    // of 8-bit values; FEAT_RPRES changes only single precision): its
    // relative error e0 is at most 0.00328 (< 2^-8.25, found by trying every
    // class of inputs: the estimate is constant over each class, so the
    // worst case lies at a class's first or last double). A step
    // y * (3 - d2*y*y) / 2 leaves 1.5 e^2 + 0.5 e^3 plus the roundings of
    // the products (a few 2^-53), 1.62e-5 < 2^-15.9 after one step and
    // 3.9e-10 < 2^-31.2 after two (also the largest errors seen over those
    // inputs). The bounds leave a factor of about 2 over those.
    static constexpr double kEstimateError = 0x1p-15;  // one Newton step
    static constexpr double kRefinedError = 0x1p-30;   // two Newton steps
    // The stack's, AVX2's in proportion to the table cost.
    static constexpr PathCosts kCosts{kScalarCost, 1.2, 1.2, 1.2, 1.35, 0.80, 0.23};
};

// Other fixed-width instruction sets (SSE4, SSSE3, SSE2, WASM, PPC, ...):
// the square root and gathers only.
struct GenericPolicy {
    static constexpr bool kWindows = false, kThresholdTable = false, kWideWindows = false,
                          kStagedWindows = false;
    static constexpr int kSqrtVectors = 8;
    static constexpr int kGroupRows = 2, kGroupCols = 4;
    static constexpr double kEstimateError = 0.0, kRefinedError = 0.0;
    // Estimates; the stack's, AVX2's in proportion to the table cost.
    static constexpr PathCosts kCosts{kScalarCost, 3.0, 3.0, 3.0, 3.0, 2.0, 0.57};
};

}  // namespace tofimage_simd

#endif
