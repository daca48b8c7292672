// Throughput of doRecon on the standard workload: a ring of 256 sensors of
// radius 40 mm in the plane z = 0, 2030 samples at 40 MHz starting at 1 us,
// c = 1500 m/s, a 25 mm image of 256 x 256 pixels.
//
// Reports pixel-sensor evaluations per second ("evals/s"), labelled with the
// instruction set the kernel ran with. Before it times a kernel, each
// benchmark checks that the kernel's image is the scalar kernel's, bit for
// bit, and reports an error instead of a figure when it is not.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstring>
#include <map>
#include <random>
#include <utility>
#include <vector>

#include "recon.h"

namespace {

struct Workload {
    static constexpr int32_t rows = 2030, cols = 256, n = 256;
    std::vector<double> sigMat, x, y, z, t;

    Workload() {
        const double fs = 40e6;
        for (int32_t s = 0; s < cols; ++s) {
            const double a = 2.0 * M_PI * s / cols;
            x.push_back(0.04 * std::cos(a));
            y.push_back(0.04 * std::sin(a));
            z.push_back(0.0);
        }
        for (int32_t i = 0; i < rows; ++i) t.push_back(1e-6 + i / fs);
        std::mt19937_64 rng(1);
        std::normal_distribution<double> normal;
        sigMat.resize((size_t)rows * cols);
        for (double& v : sigMat) v = normal(rng);
    }

    ReconInput input(double image_select, int32_t threads, double* image) const {
        ReconInput in;
        in.sigMat = sigMat.data();
        in.rows = rows;
        in.cols = cols;
        in.n = n;
        in.x_sensor = x.data();
        in.y_sensor = y.data();
        in.z_sensor = z.data();
        in.c = 1500.0;
        in.image_select = image_select;
        in.t = t.data();
        in.fs = 40e6;
        in.image_width = 0.025;
        in.numCores = threads;
        in.Recon = image;
        return in;
    }
};

const Workload& workload() {
    static const Workload w;
    return w;
}

std::vector<double> image(const Workload& w, double image_select, int32_t threads,
                          ReconKernel kernel) {
    std::vector<double> out((size_t)w.n * w.n, 0.0);
    doRecon(w.input(image_select, threads, out.data()), kernel);
    return out;
}

// The scalar kernel's image on one thread, computed once per term.
const std::vector<double>& reference(double image_select) {
    static std::map<double, std::vector<double>> images;
    auto it = images.find(image_select);
    if (it == images.end()) {
        std::vector<double> ref = image(workload(), image_select, 1, ReconKernel::Scalar);
        it = images.emplace(image_select, std::move(ref)).first;
    }
    return it->second;
}

// Same bits, any NaN matching any NaN.
bool sameImage(const std::vector<double>& a, const std::vector<double>& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (!(std::isnan(a[i]) && std::isnan(b[i])) &&
            std::memcmp(&a[i], &b[i], sizeof(double)) != 0)
            return false;
    return true;
}

void BM_Recon(benchmark::State& state, ReconKernel kernel) {
    const Workload& w = workload();
    const double image_select = (double)state.range(0);
    const int32_t threads = (int32_t)state.range(1);
    state.SetLabel(reconKernelName(kernel));
    if (!sameImage(image(w, image_select, threads, kernel), reference(image_select))) {
        state.SkipWithError("the image differs from the scalar kernel's");
        return;
    }
    std::vector<double> out((size_t)w.n * w.n);
    for (auto _ : state) {
        std::fill(out.begin(), out.end(), 0.0);
        doRecon(w.input(image_select, threads, out.data()), kernel);
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
