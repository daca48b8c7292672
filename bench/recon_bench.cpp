// Throughput of doRecon in pixel-sensor evaluations per second ("evals/s"),
// labelled with the instruction set the kernel ran with.
//
// Workloads, all with a 25 mm image:
//   ring:   256 sensors on a circle of radius 40 mm in the plane z = 0,
//           samples at 40 MHz from t = 1 us, c = 1500 m/s (the standard
//           workload: 2030 samples, 256 x 256 pixels);
//   linear: 128 elements at 0.3 mm pitch on the line y = 13 mm, 2048
//           samples at 40 MHz from t = 0, c = 1540 m/s;
//   few:    4096 sensors on the ring, 2030 samples, a handful of pixels.
//
// Before it times a kernel, each benchmark checks that the kernel's image is
// the scalar kernel's, bit for bit (any NaN matching any NaN), and reports
// an error instead of a figure when it is not.
//
// Options besides Google Benchmark's:
//   --target=NAME  hold Highway to one instruction set (AVX3, AVX2, SSE4,
//                  NEON, ...: Highway's target names); --target=all runs
//                  every instruction set this CPU supports in turn. The
//                  benchmark names then carry the instruction set.
// The standard workload is "scalar" and "vector"; the other sizes and shapes
// are "sizes_vector" and "sizes_scalar"; stacks of frames "stack" (per-frame
// throughput); one speed-of-sound search "autofocus" (filter with
// --benchmark_filter).
//   --calibrate    measure the cost model's constants instead, and print
//                  them beside the policy's (recon_simd_policy.h).
//   --beamform     the general beamformer's rates against tofimage's, as a
//                  table (see beamformTable).
//   --cpu-time     with --calibrate or --beamform: time the one-thread runs
//                  by the calling thread's CPU time instead of the wall
//                  clock, so that other work on a shared machine takes
//                  less of the figures (it still shares the caches).
#include <benchmark/benchmark.h>

#include <chrono>
#include <complex>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <functional>
#include <limits>
#include <map>
#include <random>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "problem.h"
#include "recon.h"
#include "recon_autofocus.h"

#ifdef TOFIMAGE_HAVE_HWY
#include <hwy/targets.h>

#include "recon_simd.h"
#include "recon_simd_plan.h"
#endif

namespace {

enum Scan { kRing = 0, kLinear = 1, kFew = 2 };

Problem scanProblem(Scan scan, int32_t n, int32_t rows) {
    if (scan != kLinear) return ringProblem(n, scan == kFew ? 4096 : 256, rows, 1);
    Problem p = ringProblem(n, 128, rows, 1);  // signals and sampling as the ring's
    p.c = 1540.0;
    for (int32_t s = 0; s < p.cols; ++s) {
        p.x[s] = (s - (p.cols - 1) / 2.0) * 0.3e-3;
        p.y[s] = 13e-3;
    }
    regularTimes(p, 0.0);
    return p;
}

const Problem& workload(Scan scan, int32_t n, int32_t rows) {
    static std::map<std::tuple<int, int32_t, int32_t>, Problem> cache;
    auto key = std::make_tuple((int)scan, n, rows);
    auto it = cache.find(key);
    if (it == cache.end()) it = cache.emplace(key, scanProblem(scan, n, rows)).first;
    return it->second;
}

// Holds Highway to one instruction set for as long as it lives (target 0:
// Highway's own choice).
struct HeldTarget {
    explicit HeldTarget(int64_t target) : held(target != 0) {
#ifdef TOFIMAGE_HAVE_HWY
        if (held) hwy::SetSupportedTargetsForTest(target);
#endif
    }
    ~HeldTarget() {
#ifdef TOFIMAGE_HAVE_HWY
        if (held) hwy::SetSupportedTargetsForTest(0);
#endif
    }
    bool held;
};

// Arguments: scan, n, rows, term, threads.
void BM_Recon(benchmark::State& state, ReconKernel kernel, int64_t target) {
    const HeldTarget hold(target);
    Problem w = workload((Scan)state.range(0), (int32_t)state.range(1), (int32_t)state.range(2));
    w.image_select = (double)state.range(3);
    state.SetLabel(reconKernelName(kernel));
    if (kernel != ReconKernel::Scalar) {
        const std::vector<double> want = w.run(ReconKernel::Scalar);
        w.numCores = (int32_t)state.range(4);
        if (!sameImage(want, w.run(kernel))) {
            state.SkipWithError("the image differs from the scalar kernel's");
            return;
        }
    }
    w.numCores = (int32_t)state.range(4);
    std::vector<double> out((size_t)w.n * w.n);
    const ReconInput in = w.input(out.data());
    for (auto _ : state) {
        std::fill(out.begin(), out.end(), 0.0);
        doRecon(in, kernel);
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    const double evals = (double)w.n * w.n * w.cols;
    state.counters["evals/s"] =
        benchmark::Counter(evals * (double)state.iterations(), benchmark::Counter::kIsRate);
}

// Arguments: n, term, frames, threads, batch (the ring scan, 2030
// samples). Per-frame throughput of a stack reconstructed in one call (a
// plan made and run), against which frames = 1 is a single call; in the
// cost model's batches (batch 0), or in batches of `batch` frames forced on
// the vector kernel's plan, to compare the model's choice with the others.
// Frames 0 and last are checked against the scalar kernel first.
void BM_Stack(benchmark::State& state, int64_t target) {
    const HeldTarget hold(target);
    Problem w = workload(kRing, (int32_t)state.range(0), 2030);
    w.image_select = (double)state.range(1);
    const int frames = (int)state.range(2);
    w.numCores = (int32_t)state.range(3);
    const int64_t batch = state.range(4);
    state.SetLabel(reconKernelName(ReconKernel::Best));
    const std::vector<double> stack = frameStack(w, frames, 7);
    std::vector<double> out((size_t)w.n * w.n * frames);
    const ReconInput in = w.inputOver(stack.data(), w.x.data(), w.y.data(), w.z.data(),
                                      w.t.data(), out.data());
    std::function<void()> run = [&] { doReconFrames(in, frames); };
#ifdef TOFIMAGE_HAVE_HWY
    VectorPlanPtr forced;
    if (batch != 0) {
        forced = makeVectorPlan(in, reconGeometry(in), w.numCores, true, frames);
        if (!forced) {
            state.SkipWithError("no vector kernel to force a batch on");
            return;
        }
        forced->batch = batch;
        forced->stack.frame = std::numeric_limits<double>::infinity();  // never frame by frame
        run = [&] { runVectorPlan(*forced, stack.data(), frames, out.data(), w.numCores); };
    }
#endif
    run();
    const size_t pixels = (size_t)w.n * w.n;
    for (int f : {0, frames - 1}) {
        Problem one = w;
        one.sigMat.assign(stack.begin() + (size_t)f * w.sigMat.size(),
                          stack.begin() + (size_t)(f + 1) * w.sigMat.size());
        const std::vector<double> want = one.run(ReconKernel::Scalar);
        if (!sameImage(want, std::vector<double>(out.begin() + f * pixels,
                                                 out.begin() + (f + 1) * pixels))) {
            state.SkipWithError("a frame differs from the scalar kernel's image");
            return;
        }
    }
    for (auto _ : state) {
        std::fill(out.begin(), out.end(), 0.0);
        run();
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    const double evals = (double)pixels * w.cols * frames;
    state.counters["evals/s"] =
        benchmark::Counter(evals * (double)state.iterations(), benchmark::Counter::kIsRate);
}

void stacks(benchmark::internal::Benchmark* b) {
    b->ArgNames({"n", "term", "frames", "threads", "batch"});
    for (int n : {64, 128, 256})
        for (int term : {1, 3}) {
            for (int frames : {1, 2, 3, 4, 8, 16, 64}) b->Args({n, term, frames, 1, 0});
#ifdef TOFIMAGE_HAVE_HWY
            for (int batch : {8, 16}) b->Args({n, term, 64, 1, batch});
#endif
        }
    b->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(0.3);
}

bool cpuTime = false;  // --cpu-time

// Seconds on the clock the figures use: the wall clock, or the calling
// thread's CPU time (--cpu-time; POSIX's thread clock, where there is one).
double clockSeconds() {
#ifdef CLOCK_THREAD_CPUTIME_ID
    if (cpuTime) {
        timespec t;
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
        return (double)t.tv_sec + 1e-9 * (double)t.tv_nsec;
    }
#endif
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

#ifdef TOFIMAGE_HAVE_HWY
// Calibration (--calibrate): measures the cost model's constants on this
// machine, with the instruction set Highway picks (or --target), on one
// thread, and prints each beside the value recon_simd_policy.h holds. Each
// figure is the fastest of a few runs, in nanoseconds per pixel-sensor
// evaluation of one frame unless it says otherwise; other work on the
// machine only makes runs slower, so the fastest is the least disturbed.
// At least 5 runs, and as many more as fit in a quarter of a second.
template <class Fn>
double fastestSeconds(Fn&& run) {
    double best = 1e300, total = 0.0;
    for (int r = 0; r < 5 || total < 0.25; ++r) {
        const double t0 = clockSeconds();
        run();
        const double s = clockSeconds() - t0;
        best = std::min(best, s);
        total += s;
    }
    return best;
}

// A ring scan's vector plan on one thread for runs of `frames` frames,
// built whatever the model would choose (null without a vector kernel).
VectorPlanPtr ringPlan(const Problem& w, int64_t frames) {
    const ReconInput in = w.input(nullptr);
    return makeVectorPlan(in, reconGeometry(in), 1, true, frames);
}

// Nanoseconds per evaluation of one frame, the mean of terms 1 and 3: of
// `run(problem, evaluations)` seconds.
template <class Fn>
double meanOfTerms(int32_t n, int32_t cols, Fn&& run) {
    double sum = 0.0;
    for (double term : {1.0, 3.0}) {
        Problem w = cols == 256 ? workload(kRing, n, 2030) : workload(kFew, n, 2030);
        w.image_select = term;
        w.numCores = 1;
        sum += run(w) * 1e9 / ((double)n * n * w.cols);
    }
    return sum / 2.0;
}

// One frame through the vector plan; with `gathers`, every sensor forced onto
// the square root and gathers (the plan's guess level taken away).
double vectorFrameNs(int32_t n, bool gathers) {
    return meanOfTerms(n, 256, [&](const Problem& w) {
        VectorPlanPtr plan = ringPlan(w, 1);
        if (!plan) return 0.0;
        if (gathers) plan->plan.guess = tofimage_simd::kNoGuess;
        std::vector<double> out((size_t)w.n * w.n);
        return fastestSeconds([&] { runVectorPlan(*plan, w.sigMat.data(), 1, out.data(), 1); });
    });
}

// Seconds for `frames` frames of the ring scan `w` in batches of `batch`
// (1: frame by frame), whatever the model would choose.
double batchSeconds(const Problem& w, const std::vector<double>& stack, int64_t batch,
                    int64_t frames) {
    VectorPlanPtr plan = ringPlan(w, batch);
    if (!plan) return 0.0;
    plan->batch = batch;
    plan->stack.frame = std::numeric_limits<double>::infinity();  // never frame by frame
    std::vector<double> out((size_t)w.n * w.n * frames);
    return fastestSeconds([&] { runVectorPlan(*plan, stack.data(), frames, out.data(), 1); });
}
double batchSeconds(const Problem& w, const std::vector<double>& stack, int64_t batch) {
    return batchSeconds(w, stack, batch, batch);
}

void calibrate() {
    const char* target = reconVectorTarget();
    std::printf("calibrating the cost model on %s (family %s), one thread; ns per evaluation\n",
                target ? target : "scalar", reconVectorFamily() ? reconVectorFamily() : "none");
    std::printf("%-44s %10s %10s\n", "constant", "measured", "policy");
    // policy < 0: a figure for reference, which the policy does not hold.
    auto row = [](const char* what, double measured, double policy) {
        if (policy < 0.0)
            std::printf("%-44s %10.3f %10s\n", what, measured, "-");
        else
            std::printf("%-44s %10.3f %10.3f\n", what, measured, policy);
    };
    using namespace tofimage_simd;
    auto scalarRun = [](const Problem& w) {
        std::vector<double> out((size_t)w.n * w.n);
        const ReconInput in = w.input(out.data());
        return fastestSeconds([&] { doRecon(in, ReconKernel::Scalar); });
    };
    // Where the choice is made: a few pixels of many sensors, whose samples
    // come from memory; the standard workload's samples stay in cache.
    const PathCosts policy = reconVectorModel().costs;  // zeros without a vector kernel
    row("scalar: the scalar kernel (4 x 4, 4096 sensors)", meanOfTerms(4, 4096, scalarRun),
        target ? policy.scalar : kScalarCost);
    row("scalar, standard workload (256 x 256)", meanOfTerms(256, 256, scalarRun), -1.0);
    if (target == nullptr) return;  // no vector kernel: nothing more to weigh
    row("table: windows (256 x 256)", vectorFrameNs(256, false), policy.table);
    row("wide: wide windows (128 x 128)", vectorFrameNs(128, false), policy.wide);
    row("gather: windows too narrow (64 x 64)", vectorFrameNs(64, false), policy.gather);
    const double sqrt = vectorFrameNs(256, true);
    row("sqrt: square root and gathers (256 x 256)", sqrt, policy.sqrt);

    // A batch costs set-up + index + apply * its padded frames: from a
    // batch of 2 frames and the next larger one padded further (4 where the
    // family fills half vectors or has 2 lanes), the short stacks where
    // batches and single frames come closest.
    double index = 0.0, apply = 0.0;
    for (double term : {1.0, 3.0}) {
        Problem w = workload(kRing, 256, 2030);
        w.image_select = term;
        const VectorPlanPtr plan = ringPlan(w, 2);
        if (!plan) return;
        auto padded = [&](int64_t b) {
            return (double)paddedFrames(b, plan->stack.lanes, plan->stack.parts);
        };
        int64_t more = 4;
        while (padded(more) == padded(2)) more *= 2;
        const std::vector<double> stack = frameStack(w, (int)more, 7);
        const double t2 = batchSeconds(w, stack, 2), tm = batchSeconds(w, stack, more);
        const double evals = (double)w.n * w.n * w.cols;
        const double a = (tm - t2) / (padded(more) - padded(2)) / evals * 1e9;
        const double tiles = std::ceil(w.n / 64.0) * std::ceil(w.n / 64.0);
        apply += a / 2.0;
        index += ((t2 * 1e9 - tiles * w.cols * kSensorSetupCost) / evals - padded(2) * a) / 2.0;
    }
    row("stackIndex: a batch's indices (256 x 256)", index, policy.stackIndex);
    row("stackApply: per frame of a batch (256 x 256)", apply, policy.stackApply);

    // One tile of 8 x 8 and one of 16 x 16 pixels of the standard ring
    // (every family's cells fill both): per sensor, set-up + pixels * cost,
    // which two sizes separate.
    double setup = 0.0;
    for (double term : {1.0, 3.0}) {
        double seconds[2];
        for (int k = 0; k < 2; ++k) {
            Problem w = workload(kRing, k == 0 ? 8 : 16, 2030);
            w.image_select = term;
            VectorPlanPtr plan = ringPlan(w, 1);
            if (!plan) return;
            std::vector<double> out((size_t)w.n * w.n);
            seconds[k] = fastestSeconds(
                [&] { runVectorPlan(*plan, w.sigMat.data(), 1, out.data(), 1); });
        }
        const double perPixel = (seconds[1] - seconds[0]) / (256.0 - 64.0);
        setup += (seconds[0] - 64.0 * perPixel) / 256.0 * 1e9 / 2.0;  // 256 sensors
    }
    row("kSensorSetupCost (ns per sensor and tile)", setup, kSensorSetupCost);

    // The threshold table of the standard workload, filled on one thread.
    Problem w = workload(kRing, 256, 2030);
    const ReconInput in = w.input(nullptr);
    KernelTraits traits;
    traits.windows = traits.table = traits.always = true;
    traits.estimateError = 0x1p-14;
    traits.refinedError = 0x1p-26;
    Plan p;
    PlanTables tables;
    if (makePlan(in, reconGeometry(in), traits, &p, &tables) && p.E != nullptr) {
        const double s = fastestSeconds([&] { fillThresholds(p); });
        row("kThresholdCost (ns per threshold)", s * 1e9 / (double)(p.mHi - p.mLo + 1),
            kThresholdCost);
    }

    // What short stacks cost, and what bounds the batch (kStageCacheBytes):
    // ms per frame of a frame alone and of one batch of 2 to 16 frames.
    const int64_t batches[] = {1, 2, 3, 4, 8, 16};
    std::printf("\nms per frame: one frame alone, one batch of 2 / 3 / 4 / 8 / 16 frames\n");
    for (int32_t n : {64, 128, 256})
        for (double term : {1.0, 3.0}) {
            std::printf("n = %3d, term %.0f:", n, term);
            Problem s = workload(kRing, n, 2030);
            s.image_select = term;
            const std::vector<double> stack = frameStack(s, 16, 7);
            for (int64_t b : batches)
                std::printf(" %7.3f", batchSeconds(s, stack, b) * 1e3 / (double)b);
            std::printf("\n");
        }
}

// ------------------------------------------------------- the beamformer
// Workloads of tofimage_beamform, each on one thread:
//   ring:     the standard workload's scan (256 sensors, 2030 samples) with
//             tofimage's 256 x 256 grid passed as points;
//   volume:   64 x 64 x 32 points (25 x 25 x 12.5 mm) seen by a hemisphere
//             of 256 sensors of radius 40 mm facing its centre;
//   linear:   a linear array of 128 elements at 0.3 mm pitch facing +z,
//             2048 samples from t = 0 at c = 1540, its x-z plane as
//             256 x 256 points (x -20 .. 20 mm, z 2 .. 42 mm, z fastest).
// The envelope's transform is a direct DFT computed once and then served
// from a cache; the time inside the transform is subtracted, so its figure
// is the beamformer's own (fft excluded). Each figure is checked first: the
// image of the kernel timed equals the scalar definition's bit for bit, and
// 'nearest' on the ring also equals tofimage's image.

struct CachedFft {
    std::vector<std::vector<std::complex<double>>> in, out;
    double seconds = 0.0;  // spent inside, on the last run
    bool operator()(std::complex<double>* data, int64_t length, int64_t count, bool inverse) {
        const double t0 = clockSeconds();
        const size_t size = (size_t)(length * count);
        size_t k = 0;
        while (k < in.size() && !(in[k].size() == size &&
                                   std::memcmp(in[k].data(), data, size * sizeof *data) == 0))
            ++k;
        if (k == in.size()) {
            in.emplace_back(data, data + size);
            directDft(data, length, count, inverse);
            out.emplace_back(data, data + size);
        } else {
            std::copy(out[k].begin(), out[k].end(), data);
        }
        seconds += clockSeconds() - t0;
        return true;
    }
};

BeamProblem ringBeam() {
    BeamProblem b;
    b.p = workload(kRing, 256, 2030);
    b.p.numCores = 1;
    gridPoints(b.p, b);
    return b;
}

BeamProblem volumeBeam() {
    BeamProblem b;
    b.p = workload(kRing, 1, 2030);  // sampling and signals as the ring's
    b.p.numCores = 1;
    const double radius = 0.04, golden = kPi * (3.0 - std::sqrt(5.0));
    b.normals.assign(3 * 256, 0.0);
    for (int s = 0; s < 256; ++s) {  // a Fibonacci hemisphere, z <= 0
        const double z = -(s + 0.5) / 256.0, r = std::sqrt(1.0 - z * z);
        const double x = r * std::cos(golden * s), y = r * std::sin(golden * s);
        b.p.x[s] = radius * x, b.p.y[s] = radius * y, b.p.z[s] = radius * z;
        b.normals[s] = -x, b.normals[s + 256] = -y, b.normals[s + 512] = -z;
    }
    for (int k = 0; k < 32; ++k)
        for (int j = 0; j < 64; ++j)
            for (int i = 0; i < 64; ++i) {
                b.X.push_back((i - 31.5) * 0.025 / 64);
                b.Y.push_back((j - 31.5) * 0.025 / 64);
                b.Z.push_back((k - 15.5) * 0.0125 / 32);
            }
    return b;
}

BeamProblem linearBeam() {
    BeamProblem b;
    b.p = workload(kLinear, 1, 2048);
    b.p.numCores = 1;
    for (int s = 0; s < b.p.cols; ++s) b.p.y[s] = 0.0;
    b.normals.assign(3 * (size_t)b.p.cols, 0.0);
    for (int s = 0; s < b.p.cols; ++s) b.normals[2 * b.p.cols + s] = 1.0;
    for (int i = 0; i < 256; ++i)
        for (int k = 0; k < 256; ++k) {
            b.X.push_back(-0.02 + 0.04 * i / 255.0);
            b.Y.push_back(0.0);
            b.Z.push_back(0.002 + 0.04 * k / 255.0);
        }
    return b;
}

// The share of (point, sensor) pairs an f-number accepts, by the engine's
// own test.
double acceptedShare(const BeamProblem& b) {
    const double F = b.opts.fnumber, cosMax = (2.0 * F) / std::sqrt(4.0 * (F * F) + 1.0);
    const int32_t cols = b.p.cols;
    int64_t accepted = 0;
    for (size_t p = 0; p < b.X.size(); ++p)
        for (int32_t s = 0; s < cols; ++s) {
            const double n[3] = {b.normals[s], b.normals[s + cols], b.normals[s + 2 * cols]};
            const double len = std::sqrt((n[0] * n[0] + n[1] * n[1]) + n[2] * n[2]);
            const double ex = b.p.x[s] - b.X[p], ey = b.p.y[s] - b.Y[p], ez = b.p.z[s] - b.Z[p];
            const double d = std::sqrt((ex * ex + ey * ey) + ez * ez);
            const double dot = (-(n[0] / len) * ex + -(n[1] / len) * ey) + -(n[2] / len) * ez;
            accepted += d == 0.0 || dot / d >= cosMax;
        }
    return (double)accepted / ((double)b.X.size() * cols);
}

// Seconds of the fastest of several runs of b on `kernel` (at least 5, and
// as many as fit in half a second), without the time inside the transform;
// or a negative number, with the reason printed, when its image is not the
// scalar definition's.
double beamSeconds(const BeamProblem& b, ReconKernel kernel) {
    CachedFft fft;
    const BeamformFFT call = [&](std::complex<double>* d, int64_t l, int64_t c, bool i) {
        return fft(d, l, c, i);
    };
    const std::vector<double> want = b.run(ReconKernel::Scalar, call);
    std::string why;
    if (!sameImage(want, b.run(kernel, call), &why)) {
        std::printf("  the image differs from the scalar definition's: %s\n", why.c_str());
        return -1.0;
    }
    std::vector<double> image(b.X.size());
    const BeamformInput in = b.input(b.p.sigMat.data(), image.data());
    const BeamformPlan plan(in, kernel);
    double best = 1e300, total = 0.0;
    for (int r = 0; r < 5 || total < 0.5; ++r) {
        fft.seconds = 0.0;
        const double t0 = clockSeconds();
        plan.run(in.sigMat, 1, image.data(), {}, call);
        benchmark::DoNotOptimize(image.data());
        const double s = clockSeconds() - t0;
        best = std::min(best, s - fft.seconds);
        total += s;
    }
    return best;
}

// --beamform: the rates of the beamformer's workloads against tofimage's
// term 1 on the same scan, one thread, with the instruction set Highway
// picks (or --target).
int beamformTable() {
    std::printf("beamformer, one thread, kernel %s; rates in (point, sensor) pairs per second"
                " of %s\n",
                reconKernelName(ReconKernel::Best), cpuTime ? "CPU time" : "wall-clock time");
    Problem w = workload(kRing, 256, 2030);
    w.numCores = 1;
    const std::vector<double> tofimage = w.run(ReconKernel::Best);
    if (!sameImage(w.run(ReconKernel::Scalar), tofimage)) {
        std::printf("tofimage's vector kernel differs from its scalar kernel\n");
        return 1;
    }
    std::vector<double> out((size_t)w.n * w.n);
    const ReconInput rin = w.input(out.data());
    const double pairs = (double)w.n * w.n * w.cols;
    const double base = pairs / fastestSeconds([&] {
        std::fill(out.begin(), out.end(), 0.0);
        doRecon(rin, ReconKernel::Best);
        benchmark::DoNotOptimize(out.data());
    });
    std::printf("%-44s %10.3g /s  %5s\n", "tofimage, term 1", base, "1.00");
    int failed = 0;
    const auto report = [&](const char* name, const BeamProblem& b, double reference,
                            const char* goal) {
        const double s = beamSeconds(b, ReconKernel::Best);
        if (s < 0) return ++failed, 0.0;
        const double rate = (double)b.X.size() * b.p.cols / s;
        std::printf("%-44s %10.3g /s  %5.2f  (goal %s)\n", name, rate, rate / reference, goal);
        return s;
    };
    BeamProblem b = ringBeam();
    b.opts.interp = BeamInterp::Nearest;
    b.opts.sample_offset = 1.0;
    if (!sameImage(tofimage, b.run(ReconKernel::Best))) {
        std::printf("beamform 'nearest' differs from tofimage's image\n");
        return 1;
    }
    report("ring, nearest das (= tofimage's image)", b, base, ">= 0.8");
    b.opts.interp = BeamInterp::Linear;
    b.opts.sample_offset = 0.0;
    const double plane = report("ring, linear das", b, base, ">= 0.5");
    b.opts.beamformer = Beamformer::Dmas;
    report("ring, linear dmas", b, base, ">= 0.4");
    b.opts.beamformer = Beamformer::DasCf;
    report("ring, linear das-cf", b, base, ">= 0.4");
    b.opts.beamformer = Beamformer::Das;
    b.opts.envelope = true;
    report("ring, linear das envelope (fft excluded)", b, base, ">= 0.4");
    const BeamProblem v = volumeBeam();
    const double planeRate = (double)b.X.size() * b.p.cols / plane;
    report("volume 64x64x32, hemisphere, linear das", v, planeRate, ">= 0.7 of ring linear");
    BeamProblem l = linearBeam();
    const double without = report("linear array x-z, linear das", l, base, "-");
    l.opts.fnumber = 1.5;
    const double share = acceptedShare(l);
    const double with = report("linear array x-z, linear das, F = 1.5", l, base, "-");
    if (with > 0 && without > 0)
        std::printf("F = 1.5: time %.3f of that without, accepted share %.3f (goal <= %.3f)\n",
                    with / without, share, share + 0.25);
    return failed ? 1 : 0;
}
#endif

// The standard workload, terms 1 and 3, on 1 and 2 threads.
// One speed-of-sound search (recon_autofocus.h) of the standard workload's
// scan (2030 x 256, ring), on its default region, search grid (128) and
// resolution, by the coherence of the signals (range(0) = 0) or of the
// analytic signal (1), on range(1) threads. The signals' content does not
// change the work.
void BM_Autofocus(benchmark::State& state) {
    const Problem p = ringProblem(256, 256, 2030, 7);
    AutofocusInput in;
    in.sigMat = p.sigMat.data();
    in.analytic = state.range(0) != 0;
    in.rows = p.rows;
    in.cols = p.cols;
    in.x_sensor = p.x.data();
    in.y_sensor = p.y.data();
    in.z_sensor = p.z.data();
    in.t = p.t.data();
    in.fs = p.fs;
    in.c_min = 1400;
    in.c_max = 1650;
    reconImageField(p.n, p.image_width, in.roi);
    in.numCores = (int32_t)state.range(1);
    // The transform (a direct sum here, the host's fft in use) is made
    // once and then served from the cache: the time is the search's.
    CachedFft fft;
    const BeamformFFT call = [&](std::complex<double>* d, int64_t l, int64_t c, bool i) {
        return fft(d, l, c, i);
    };
    size_t candidates = 0;
    autofocus(in, call);
    for (auto _ : state) candidates = autofocus(in, call).candidates.size();
    state.counters["candidates"] = (double)candidates;
}

void standard(benchmark::internal::Benchmark* b) {
    b->ArgNames({"scan", "n", "rows", "term", "threads"});
    for (int term : {1, 3})
        for (int threads : {1, 2}) b->Args({kRing, 256, 2030, term, threads});
    b->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(1.0);
}

// Image sizes and recording lengths, the linear array, few pixels with many
// sensors, and an odd size on 2 threads.
void sizes(benchmark::internal::Benchmark* b) {
    b->ArgNames({"scan", "n", "rows", "term", "threads"});
    for (int term : {1, 3}) {
        for (int rows : {2030, 8192})
            for (int n : {64, 128, 256, 512}) b->Args({kRing, n, rows, term, 1});
        for (int n : {64, 128, 256}) b->Args({kLinear, n, 2048, term, 1});
        for (int n : {1, 2, 4, 8}) b->Args({kFew, n, 2030, term, 1});
        for (int threads : {1, 2}) b->Args({kRing, 129, 2030, term, threads});
        b->Args({kRing, 128, 2030, term, 2});
    }
    b->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(0.3);
}

// Registers every benchmark for one instruction set ("" and 0: Highway's
// own choice).
void registerAll(const std::string& name, int64_t target) {
    const std::string tag = name.empty() ? "" : "/" + name;
    benchmark::RegisterBenchmark(("scalar" + tag).c_str(), BM_Recon, ReconKernel::Scalar, target)
        ->Apply(standard);
    benchmark::RegisterBenchmark(("vector" + tag).c_str(), BM_Recon, ReconKernel::Best, target)
        ->Apply(standard);
    benchmark::RegisterBenchmark(("sizes_vector" + tag).c_str(), BM_Recon, ReconKernel::Best,
                                 target)
        ->Apply(sizes);
    benchmark::RegisterBenchmark(("sizes_scalar" + tag).c_str(), BM_Recon, ReconKernel::Scalar,
                                 target)
        ->Apply(sizes);
    benchmark::RegisterBenchmark(("stack" + tag).c_str(), BM_Stack, target)->Apply(stacks);
    benchmark::RegisterBenchmark(("autofocus" + tag).c_str(), BM_Autofocus)
        ->ArgsProduct({{0, 1}, {1, 2}})
        ->ArgNames({"analytic", "threads"})
        ->Unit(benchmark::kSecond)
        ->UseRealTime();
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<char*> rest;
    std::string target;
    bool calibration = false, beamform = false;
    for (int i = 0; i < argc; ++i) {
        if (std::strncmp(argv[i], "--target=", 9) == 0)
            target = argv[i] + 9;
        else if (std::strcmp(argv[i], "--calibrate") == 0)
            calibration = true;
        else if (std::strcmp(argv[i], "--cpu-time") == 0)
            cpuTime = true;
        else if (std::strcmp(argv[i], "--beamform") == 0)
            beamform = true;
        else
            rest.push_back(argv[i]);
    }
#ifndef CLOCK_THREAD_CPUTIME_ID
    if (cpuTime) {
        std::fprintf(stderr, "recon_bench: --cpu-time needs a thread CPU clock, not found here\n");
        return 1;
    }
#endif
    int count = (int)rest.size();
    benchmark::Initialize(&count, rest.data());
    if (benchmark::ReportUnrecognizedArguments(count, rest.data())) return 1;
    // The instruction sets --target names (every one for "all").
    std::vector<int64_t> named;
#ifdef TOFIMAGE_HAVE_HWY
    for (int64_t t : hwy::SupportedAndGeneratedTargets())
        if (target == "all" || target == hwy::TargetName(t)) named.push_back(t);
#endif
    if (!target.empty() && named.empty()) {
        std::fprintf(stderr, "recon_bench: no instruction set %s compiled in and supported here\n",
                     target.c_str());
        return 1;
    }
    if (target.empty()) named.push_back(0);  // Highway's own choice
    if (beamform) {
#ifdef TOFIMAGE_HAVE_HWY
        int failed = 0;
        for (int64_t t : named) {
            const HeldTarget hold(t);
            failed |= beamformTable();
        }
        return failed;
#else
        std::fprintf(stderr, "recon_bench: built without a vector kernel\n");
        return 1;
#endif
    }
    if (calibration) {
#ifdef TOFIMAGE_HAVE_HWY
        for (int64_t t : named) {
            const HeldTarget hold(t);
            calibrate();
        }
        return 0;
#else
        std::fprintf(stderr, "recon_bench: built without a vector kernel; nothing to calibrate\n");
        return 1;
#endif
    }
#ifdef TOFIMAGE_HAVE_HWY
    for (int64_t t : named) registerAll(t == 0 ? "" : hwy::TargetName(t), t);
#else
    registerAll("", 0);
#endif
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
