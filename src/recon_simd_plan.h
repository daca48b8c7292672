// Per-call plan of the vector kernel (internal header): everything the
// vector kernels of every instruction set share, plain C++ compiled once:
// the threshold table (recon_simd_thresholds.cpp), tile coverage
// (recon_simd_coverage.cpp) and the cost model (recon_simd_cost.cpp).
//
// Where the sample index comes from. The index the scalar kernel takes
// depends on the pixel and the sensor only through the squared distance
//     d2 = (ex*ex + ey*ey) + ez*ez,
// through i = reconSampleIndex((k * sqrt(d2)) - q, rows). With k > 0 and q
// finite each of these steps is monotonic in d2 (a correctly rounded square
// root, product and difference never decrease when their operand grows),
// so below the squared distance Tbig at which the position reaches
// 2^31 - 0.5 (where the index drops to 0), i is a step function of d2 alone,
// the same for every sensor:
//     i(d2) = number of m in 1 .. rows-1 with E[m] <= d2,
// where E[m] is the smallest double d2 whose index is at least m. The plan
// finds E[m] from the closed form ((m - 1/2 + q) / k)^2 and then steps
// through the neighbouring doubles with the scalar kernel's own operations
// until the index changes, so each entry is exact. It does so only for the
// indices the geometry can reach: those of the squared distances between the
// image and the sensors.
//
// A kernel that uses the table estimates the position from d2 without a
// correctly rounded square root, to within guessError samples (at most 1/2):
// the floor g of the estimate then has the index in {g, g + 1}, and one exact
// comparison, d2 >= E[g + 1], picks between the two. The estimate only
// chooses which threshold to compare against; the comparison decides, so
// the index is the scalar kernel's bit for bit.
#ifndef TOFIMAGE_RECON_SIMD_PLAN_H
#define TOFIMAGE_RECON_SIMD_PLAN_H

#include <cstdint>
#include <memory>

#include "recon.h"
#include "recon_simd_policy.h"

namespace tofimage_simd {

// Smallest squared distance the table path takes; smaller ones (a sensor on
// top of a pixel) take the square root path.
constexpr double kTinySquare = 0x1p-1000;

// How a kernel finds sample indices where the plan's range covers a tile's
// squared distances (elsewhere: the correctly rounded square root, and
// gathers).
enum Guess {
    kNoGuess = 0,   // nowhere: square root and gathers everywhere
    kEstimate = 1,  // threshold table, the family's cheaper estimate (estimateError)
    kRefined = 2,   // threshold table, its finer one, one Newton step more (refinedError)
    kSqrtOnly = 3,  // no table: windows, the square root for every index
};

// What a kernel's instruction set offers the plan.
struct KernelTraits {
    bool windows = false;        // reads windows where the range covers a tile
    bool table = false;          // with windows, an index guess and exact threshold step
    double estimateError = 0.0;  // relative error bound of the raw estimate
    double refinedError = 0.0;   // ... after one Newton step
    // Costs in nanoseconds per evaluation on one thread, measured on the
    // standard workload: the table path, and the square root path.
    double tableCost = 0.0, sqrtCost = 0.0;
    double evaluations = 0.0;  // pixel-sensor evaluations the kernel will do
    bool always = false;       // build the table wherever it applies, whatever it costs
};

struct Plan {
    int64_t rows, cols, n;
    int64_t last;  // index of the last element of a frame's sigMat
    const double* xs;
    const double* ys;
    const double* zs;
    const double* t;
    double dx, half1;  // pixel pitch, half - 1
    double k, q, invDt;
    int term;   // 1: signal, 2: t * derivative, 3: signal - t * derivative
    bool hasZ;  // some sensor has a non-zero ez * ez
    Guess guess;
    double Tbig;        // smallest d2 whose position rounds to 2^31 or more
    double guessError;  // bound on |estimated - exact position| where it matters
    // Thresholds E[m] for m in mLo .. mHi, stored at E[m - eOrigin]; entries
    // within kTablePad of that range are readable (their values unused).
    double* E;
    int64_t mLo, mHi, eOrigin;
    // Squared distances whose index is a step function of d2 alone, below
    // Tbig (empty where k or q rules that out): every d2 in [d2Lo, d2Hi]
    // has its thresholds in the table, where there is one.
    double d2Lo, d2Hi;
};

// Readable entries on either side of the threshold range, so that a window
// (of up to this many entries) around any entry needs no bounds test.
constexpr int64_t kTablePad = 64;

struct PlanTables {
    std::unique_ptr<double[]> E;
};

// Sample position and sample index for a squared distance: the scalar
// kernel's operations.
double positionOf(const Plan& p, double d2);
int32_t indexOf(const Plan& p, double d2);

// Fills the plan, and the threshold table's range and memory when the
// kernel has a table path and the table pays for itself. Returns false when
// the memory cannot be had.
bool makePlan(const ReconInput& in, const ReconGeometry& g, const KernelTraits& traits, Plan* p,
              PlanTables* tables);

// Fills E[mLo .. mHi]; called by every thread of the team (an OpenMP
// worksharing loop) or outside a parallel region.
void fillThresholds(const Plan& p);

// A tile of the image: its pixel centres lie in [xlo, xhi] x [ylo, yhi]
// (finite: all of them are finite numbers).
struct TileBounds {
    double xlo, xhi, ylo, yhi;
    bool finite;
};

// A sensor at (x, y) and the range [d2min, d2max] of its squared distances
// to the pixels of a tile.
struct SensorReach {
    double x, y, d2min, d2max;
};

// The range [*d2min, *d2max] of the squared distances between a sensor at
// (xs, ys) with ez * ez = ez2 and every point of [xlo, xhi] x [ylo, yhi]:
// the image's pixel centres (makePlan) or a tile's (rangeCovers).
void squaredRange(double xs, double ys, double ez2, double xlo, double xhi, double ylo,
                  double yhi, double* d2min, double* d2max);

// Whether, for the sensor at (xs, ys) with ez * ez = ez2, every pixel whose
// centre lies in the tile's bounds has a squared distance in [d2Lo, d2Hi],
// where the index is a step function of d2 alone (and the threshold table,
// where there is one, has its thresholds). Sets *reach to the sensor and the
// range of those squared distances; their indices then lie between
// indexOf(reach->d2min) and indexOf(reach->d2max).
bool rangeCovers(const Plan& p, double xs, double ys, double ez2, const TileBounds& tile,
                 SensorReach* reach);

// Pixel offsets of a vector's lanes from its first lane (lane 0), in rows
// (down) and columns (across).
struct LaneSpan {
    int rowLo, rowHi, colLo, colHi;
};

// How a tile fetches one sensor's samples; the index comes from the square
// root or the threshold table, as the family's policy says (FindIndex).
enum Mode : uint8_t {
    kSqrtGathers,         // any d2: the square root, and gathers
    kCheckedWindows,      // d2 in the plan's range: windows of kWindow samples placed
                          // around the vector's first index and kept inside sigMat; a
                          // vector whose samples miss its window gathers (without the
                          // table: every vector gathers)
    kCoveredWindows,      // also every index in 1 .. rows-2, and every vector's samples
                          // inside one window that lies inside sigMat: no checks
    kCheckedWideWindows,  // kCheckedWindows with windows of kWideWindow samples, indices
                          // from the square root (coarse grids)
    kCoveredWideWindows,  // kCoveredWindows with wide windows, indices from the square root
};

// How a tile reads one sensor, as the plan can tell from their geometry.
struct TileSensor {
    Mode mode;
    bool bounded;           // every pixel's index lies in first .. final
    int64_t first, final;
    int64_t off;            // covered windows start off rows before lane 0's index
};

// Classifies sensor s for a tile of vectors whose lanes span `lanes`, with
// windows of `window` rows (0: none) and, where wideWindow > 0, wide ones
// (checked windows are then wide ones too): the covered modes where every
// vector's indices fit one window (windowCovers) that lies inside sigMat
// and every index lies in 1 .. rows-2, the checked ones elsewhere in the
// plan's range, kSqrtGathers outside it or without a guess level.
TileSensor classifySensor(const Plan& p, const LaneSpan& lanes, int window, int wideWindow,
                          int64_t s, const TileBounds& tile);

// Whether, for one sensor over a tile (its reach from rangeCovers), the
// guesses of every vector's lanes lie within `spread` rows of each other, so
// that a window starting *off rows before lane 0's guess holds them all (and
// the exact indices, which lie no further apart) without a check.
bool windowCovers(const Plan& p, const LaneSpan& lanes, int spread, const TileBounds& tile,
                  const SensorReach& sensor, int64_t* off);

// What a family of the vector kernel is, as its cost model sees it: the
// shape of its vectors and groups, its windows, the paths its policy takes
// and their costs (recon_simd_policy.h).
struct FamilyModel {
    LaneSpan lanes;          // of a vector's lanes from lane 0
    int laneCount;           // pixels of a vector, and frames of a stacked one
    int parts;               // pixels a vector of a short batch's frames can hold (1, 2, 4)
    int cellRows, cellCols;  // pixels of one group of vectors
    int window, wideWindow;  // samples of its windows (0: none)
    bool windows, table, wideWindows;
    double estimateError, refinedError;
    PathCosts costs;
};

}  // namespace tofimage_simd

struct VectorPlan;

namespace tofimage_simd {

// The cost model: weighs the scalar kernel against the family's paths for
// a request of about `frames` frames per run, and chooses the path, the
// window width and the batch size. Fills *vp (with the threshold table,
// filled on `team` threads) and returns true where the vector kernel is the
// cheaper (or `always`); false where the scalar kernel is, or memory is
// short.
bool chooseVectorPlan(const ReconInput& in, const ReconGeometry& g, const FamilyModel& family,
                      int team, bool always, int64_t frames, VectorPlan* vp);

}  // namespace tofimage_simd

// The frames a batch of `count` frames takes room and work for: whole
// vectors of `lanes` frames, or, for a family whose vectors can hold the
// frames of `parts` pixels (2: halves, 4: quarters), the smallest part of a
// vector, lanes / parts or lanes / 2, that they fit.
inline int64_t paddedFrames(int64_t count, int lanes, int parts) {
    for (int k = parts; k > 1; k /= 2)
        if (count <= lanes / k) return lanes / k;
    return (count + lanes - 1) / lanes * lanes;
}

// A stack's costs as the model estimated them, in nanoseconds: a frame on
// its own, and a batch's indices found once and applied to one frame.
struct StackCosts {
    double frame, index, apply;
    int lanes;  // a batch's frames are padded (paddedFrames) to these
    int parts;  // or to a half or quarter of them
};

// What makeVectorPlan decided: the plan and its table, and how the tiles of
// the chosen instruction set run it.
struct VectorPlan {
    tofimage_simd::Plan plan;
    tofimage_simd::PlanTables tables;
    bool wide;      // coarse grid: checked windows are wide ones
    int64_t batch;  // frames a tile takes at once in a long stack
    StackCosts stack;
};

namespace tofimage_simd {

// Frames a tile takes at once in a run of `frames` frames: the plan's batch,
// or 1 (frame by frame) where a short stack would cost more as one batch
// rounded up to whole vectors of frames.
int64_t batchFor(const VectorPlan& vp, int64_t frames);

}  // namespace tofimage_simd

#endif
