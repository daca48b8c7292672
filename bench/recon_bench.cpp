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
// throughput) (filter with --benchmark_filter).
//   --calibrate    measure the cost model's constants instead, and print
//                  them beside the policy's (recon_simd_policy.h).
#include <benchmark/benchmark.h>

#include <chrono>
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
        const auto t0 = std::chrono::steady_clock::now();
        run();
        const double s =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
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
#endif

// The standard workload, terms 1 and 3, on 1 and 2 threads.
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
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<char*> rest;
    std::string target;
    bool calibration = false;
    for (int i = 0; i < argc; ++i) {
        if (std::strncmp(argv[i], "--target=", 9) == 0)
            target = argv[i] + 9;
        else if (std::strcmp(argv[i], "--calibrate") == 0)
            calibration = true;
        else
            rest.push_back(argv[i]);
    }
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
