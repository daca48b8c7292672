// The cost model: whether the vector kernel pays for a call, and with which
// path, window width and batch size, from the family's measured costs
// (recon_simd_policy.h).
#include "recon_simd_plan.h"

#include "recon_simd.h"

#include <algorithm>
#include <cmath>
#include <cstdint>

namespace tofimage_simd {

namespace {

// The mean of |cos| + |sin| over the directions: the extent, averaged over
// the directions to a sensor, of a vector's lanes spanning a rows and b
// columns is (a + b) times this, in pixels.
constexpr double kTwoOverPi = 0.63661977236758134;

// The time of one batch of `count` frames (count >= 2): its indices found
// once, and applied to its frames, padded.
double batchNs(const StackCosts& c, int64_t count) {
    return c.index + c.apply * (double)paddedFrames(count, c.lanes, c.parts);
}

}  // namespace

int64_t batchFor(const VectorPlan& vp, int64_t frames) {
    const int64_t batch = std::min(vp.batch, frames);
    if (batch <= 1) return 1;
    // Never a batch whose modelled time per frame exceeds a frame's on its
    // own: a short stack padded to a whole vector of frames, or a family
    // whose costs (estimates) make batches dear, runs frame by frame.
    if ((double)batch * vp.stack.frame < batchNs(vp.stack, batch)) return 1;
    return batch;
}

bool chooseVectorPlan(const ReconInput& in, const ReconGeometry& g, const FamilyModel& f,
                      int team, bool always, int64_t frames, VectorPlan* vp) {
    const PathCosts& cost = f.costs;
    const int term = reconTerm(in.image_select);
    // The vector kernel computes whole cells (groups of vectors), and sets
    // up each sensor for each tile of up to kMaxTile pixels a side.
    const double cells =
        std::ceil((double)in.n / f.cellRows) * std::ceil((double)in.n / f.cellCols);
    const double perFrame = cells * f.cellRows * f.cellCols * (double)in.cols;
    const double tiles = std::ceil((double)in.n / kMaxTile) * std::ceil((double)in.n / kMaxTile);
    const double setupNs = tiles * (double)in.cols * kSensorSetupCost;
    const double scalarNs = (double)in.n * (double)in.n * (double)in.cols * cost.scalar;

    // Whether a vector's samples of one sensor fit one window on a grid this
    // fine: its lanes lie within `reach` samples of each other whatever the
    // direction to the sensor, or within `typical` samples averaged over the
    // directions.
    const double spanDown = f.lanes.rowHi - f.lanes.rowLo;
    const double spanAcross = f.lanes.colHi - f.lanes.colLo;
    const double pitch = std::fabs(g.k * g.dx);  // samples between neighbouring pixels
    const double reach = pitch * std::hypot(spanDown, spanAcross);
    const double typical = pitch * (spanDown + spanAcross) * kTwoOverPi;
    auto fits = [](double extent, int w) { return extent + 2.0 <= (double)(w - 2); };
    // A gather path of the derivative terms fetches two or three values
    // where term 1 fetches one.
    const double gatherFactor = term == 1 ? 1.0 : 2.0;
    KernelTraits traits;
    traits.windows = f.windows;
    traits.table = f.table;
    traits.estimateError = f.estimateError;
    traits.refinedError = f.refinedError;
    // Narrow windows are chosen per sensor and tile: they pay where most
    // directions fit; wide ones where every direction does.
    traits.tableCost = cost.gather * gatherFactor;
    if (fits(typical, f.window))
        traits.tableCost = cost.table;
    else if (f.wideWindows && fits(reach, f.wideWindow))
        traits.tableCost = cost.wide;
    traits.sqrtCost = cost.sqrt * gatherFactor;
    traits.evaluations = perFrame * (double)frames;
    traits.always = always;
    // Windows need more elements of sigMat than the widest window; smaller
    // matrices take the square root path.
    if ((int64_t)in.rows * in.cols <= std::max(f.window, f.wideWindow))
        traits.windows = traits.table = false;

    // Before any set-up: the scalar kernel where even the cheapest path
    // would cost more.
    const double cheapest = traits.windows ? std::min(traits.sqrtCost, traits.tableCost)
                                           : traits.sqrtCost;
    if (!always && scalarNs < setupNs + perFrame * cheapest) return false;
    Plan& p = vp->plan;
    if (!makePlan(in, g, traits, &p, &vp->tables)) return false;
    const double frameNs =
        setupNs + perFrame * (p.guess != kNoGuess ? traits.tableCost : traits.sqrtCost);
    const double tableNs = p.E != nullptr ? (double)(p.mHi - p.mLo + 1) * kThresholdCost : 0.0;

    // A stack's batch: the largest whose staged rows of a sensor block
    // (every row a tile's pixels can select, for each of its frames) stay
    // in cache, but at least 8 frames, or the family's vector of frames.
    const double tileSide = std::min<double>(in.n, kMaxTile);
    const double tileRows =
        std::min((double)in.rows, pitch * tileSide * std::sqrt(2.0) + 2.0 * f.window);
    const double copies = term == 1 ? 1.0 : 2.0;
    int64_t batch = kMaxBatch;
    while (batch > std::max(8, f.laneCount) &&
           kSensorBlock * tileRows * (double)batch * copies * sizeof(double) > kStageCacheBytes)
        batch /= 2;
    vp->batch = batch;
    vp->stack = StackCosts{frameNs, setupNs + perFrame * cost.stackIndex,
                           perFrame * cost.stackApply, f.laneCount, f.parts};
    const int64_t runBatch = batchFor(*vp, frames);
    const double perFrameNs =
        runBatch == 1 ? frameNs : batchNs(vp->stack, runBatch) / (double)runBatch;
    const double vectorNs = tableNs + (double)frames * perFrameNs;
    if (!always && scalarNs * (double)frames < vectorNs) return false;
    if (p.E != nullptr) {
#pragma omp parallel num_threads(team)
        fillThresholds(p);
    }
    vp->wide = !fits(reach, f.window);
    return true;
}

}  // namespace tofimage_simd

void VectorPlanDelete::operator()(VectorPlan* plan) const { delete plan; }
