// Throughput of doRecon on the standard workload: a ring of 256 sensors of
// radius 40 mm in the plane z = 0, 2030 samples at 40 MHz starting at 1 us,
// c = 1500 m/s, a 25 mm image of 256 x 256 pixels.
//
// Reports pixel-sensor evaluations per second ("evals/s"), labelled with the
// instruction set the kernel ran with. Before it times a kernel, each
// benchmark checks that the kernel's image is the scalar kernel's, bit for
// bit, and reports an error instead of a figure when it is not.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <map>
#include <vector>

#include "problem.h"
#include "recon.h"

namespace {

// The standard workload with the given term and thread count.
Problem workload(double image_select, int32_t threads) {
    static const Problem ring = ringProblem(256, 256, 2030, 1);
    Problem p = ring;
    p.image_select = image_select;
    p.numCores = threads;
    return p;
}

// The scalar kernel's image on one thread, computed once per term.
const std::vector<double>& reference(double image_select) {
    static std::map<double, std::vector<double>> images;
    auto it = images.find(image_select);
    if (it == images.end())
        it = images.emplace(image_select, workload(image_select, 1).run(ReconKernel::Scalar)).first;
    return it->second;
}

void BM_Recon(benchmark::State& state, ReconKernel kernel) {
    const double image_select = (double)state.range(0);
    const Problem w = workload(image_select, (int32_t)state.range(1));
    state.SetLabel(reconKernelName(kernel));
    if (!sameImage(reference(image_select), w.run(kernel))) {
        state.SkipWithError("the image differs from the scalar kernel's");
        return;
    }
    std::vector<double> out((size_t)w.n * w.n);
    for (auto _ : state) {
        std::fill(out.begin(), out.end(), 0.0);
        doRecon(w.input(out.data()), kernel);
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    const double evals = (double)w.n * w.n * w.cols;
    state.counters["evals/s"] =
        benchmark::Counter(evals * (double)state.iterations(), benchmark::Counter::kIsRate);
}

void args(benchmark::internal::Benchmark* b) {
    b->ArgNames({"term", "threads"});
    for (int term : {1, 3})
        for (int threads : {1, 2}) b->Args({term, threads});
    b->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(1.0);
}

BENCHMARK_CAPTURE(BM_Recon, scalar, ReconKernel::Scalar)->Apply(args);
BENCHMARK_CAPTURE(BM_Recon, vector, ReconKernel::Best)->Apply(args);

}  // namespace

BENCHMARK_MAIN();
