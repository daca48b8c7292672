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
// throughput), and what bounds them "per_frame_only" (filter with
// --benchmark_filter).
#include <benchmark/benchmark.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
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

// Arguments: n, term, frames, threads (the ring scan, 2030 samples).
// Per-frame throughput of a stack reconstructed in one call (a plan made
// and run), against which frames = 1 is a single call. Frames 0 and last
// are checked against the scalar kernel first.
void BM_Stack(benchmark::State& state, int64_t target) {
    const HeldTarget hold(target);
    Problem w = workload(kRing, (int32_t)state.range(0), 2030);
    w.image_select = (double)state.range(1);
    const int frames = (int)state.range(2);
    w.numCores = (int32_t)state.range(3);
    state.SetLabel(reconKernelName(ReconKernel::Best));
    const std::vector<double> stack = frameStack(w, frames, 7);
    std::vector<double> out = runStack(w, stack, frames, ReconKernel::Best);
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
    const ReconInput in = w.inputOver(stack.data(), w.x.data(), w.y.data(), w.z.data(),
                                      w.t.data(), out.data());
    for (auto _ : state) {
        std::fill(out.begin(), out.end(), 0.0);
        doReconFrames(in, frames);
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    const double evals = (double)pixels * w.cols * frames;
    state.counters["evals/s"] =
        benchmark::Counter(evals * (double)state.iterations(), benchmark::Counter::kIsRate);
}

void stacks(benchmark::internal::Benchmark* b) {
    b->ArgNames({"n", "term", "frames", "threads"});
    for (int n : {64, 128, 256})
        for (int term : {1, 3})
            for (int frames : {1, 2, 4, 8, 16, 64}) b->Args({n, term, frames, 1});
    b->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(0.3);
}

#ifdef TOFIMAGE_HAVE_HWY
double threadSeconds() {
#ifdef CLOCK_THREAD_CPUTIME_ID
    timespec now;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return (double)now.tv_sec + 1e-9 * (double)now.tv_nsec;
#else
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
#endif
}

// What bounds a stack: its per-frame work alone, with the indices found
// beforehand (each frame's image read and written, its samples staged, and
// the loads and adds at every index). Each iteration runs the stack's plan
// twice, once as it is and once with the per-frame work repeated kRounds
// more times; the difference, over kRounds, is that work's time, and its
// rate is reported as evals/s. Times are the thread's
// CPU time where the system has that clock, so that other work on the
// machine does not count. Arguments as stacks'.
void BM_ApplyOnly(benchmark::State& state, int64_t target) {
    constexpr int kRounds = 4;
    const HeldTarget hold(target);
    Problem w = workload(kRing, (int32_t)state.range(0), 2030);
    w.image_select = (double)state.range(1);
    const int frames = (int)state.range(2);
    state.SetLabel(reconKernelName(ReconKernel::Best));
    const std::vector<double> stack = frameStack(w, frames, 7);
    std::vector<double> out((size_t)w.n * w.n * frames);
    const ReconInput in = w.input(nullptr);
    const VectorPlanPtr plan = makeVectorPlan(in, reconGeometry(in), 1, false, frames);
    if (!plan) {
        state.SkipWithError("the scalar kernel serves this request");
        return;
    }
    // Also the other way round: the stack without any per-frame work (no
    // images read or written, no rows staged, no indices applied), which
    // leaves the indices and the per-tile set-up, in ms per frame: the
    // stack's time less this is its per-frame work in the stack's own
    // caches, where the repeats above find their rows and images warm.
    double indexOnly = 0.0;
    for (auto _ : state) {
        const double t0 = threadSeconds();
        runVectorPlan(*plan, stack.data(), frames, out.data(), 1);
        const double t1 = threadSeconds();
        runVectorPlan(*plan, stack.data(), frames, out.data(), 1, 1 + kRounds);
        const double t2 = threadSeconds();
        runVectorPlan(*plan, stack.data(), frames, out.data(), 1, 0);
        const double t3 = threadSeconds();
        benchmark::DoNotOptimize(out.data());
        state.SetIterationTime(((t2 - t1) - (t1 - t0)) / kRounds);
        indexOnly += t3 - t2;
    }
    const double evals = (double)w.n * w.n * w.cols * frames;
    state.counters["evals/s"] =
        benchmark::Counter(evals * (double)state.iterations(), benchmark::Counter::kIsRate);
    state.counters["index_only_ms"] = indexOnly * 1e3 / (double)state.iterations() / frames;
}

void applyOnly(benchmark::internal::Benchmark* b) {
    b->ArgNames({"n", "term", "frames", "threads"});
    for (int n : {64, 128, 256})
        for (int term : {1, 3})
            for (int frames : {8, 16}) b->Args({n, term, frames, 1});
    b->Unit(benchmark::kMillisecond)->UseManualTime()->MinTime(0.3);
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
#ifdef TOFIMAGE_HAVE_HWY
    benchmark::RegisterBenchmark(("per_frame_only" + tag).c_str(), BM_ApplyOnly, target)
        ->Apply(applyOnly);
#endif
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<char*> rest;
    std::string target;
    for (int i = 0; i < argc; ++i) {
        if (std::strncmp(argv[i], "--target=", 9) == 0)
            target = argv[i] + 9;
        else
            rest.push_back(argv[i]);
    }
    int count = (int)rest.size();
    benchmark::Initialize(&count, rest.data());
    if (benchmark::ReportUnrecognizedArguments(count, rest.data())) return 1;
    if (target.empty()) {
        registerAll("", 0);
    } else {
        bool found = false;
#ifdef TOFIMAGE_HAVE_HWY
        for (int64_t t : hwy::SupportedAndGeneratedTargets()) {
            if (target != "all" && target != hwy::TargetName(t)) continue;
            registerAll(hwy::TargetName(t), t);
            found = true;
        }
#endif
        if (!found) {
            std::fprintf(stderr, "recon_bench: no instruction set %s compiled in and supported here\n",
                         target.c_str());
            return 1;
        }
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
