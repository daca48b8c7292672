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
// are "sizes_vector" and "sizes_scalar" (filter with --benchmark_filter).
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "recon.h"

#ifdef TOFIMAGE_HAVE_HWY
#include <hwy/targets.h>
#endif

namespace {

enum Scan { kRing = 0, kLinear = 1, kFew = 2 };

struct Workload {
    int32_t rows, cols, n;
    double c, fs;
    std::vector<double> sigMat, x, y, z, t;

    Workload(Scan scan, int32_t n_, int32_t rows_) : rows(rows_), n(n_) {
        fs = 40e6;
        double t0 = 1e-6;
        if (scan == kLinear) {
            cols = 128;
            c = 1540.0;
            t0 = 0.0;
            for (int32_t s = 0; s < cols; ++s) {
                x.push_back((s - (cols - 1) / 2.0) * 0.3e-3);
                y.push_back(13e-3);
            }
        } else {
            cols = scan == kFew ? 4096 : 256;
            c = 1500.0;
            for (int32_t s = 0; s < cols; ++s) {
                const double a = 2.0 * M_PI * s / cols;
                x.push_back(0.04 * std::cos(a));
                y.push_back(0.04 * std::sin(a));
            }
        }
        z.assign(cols, 0.0);
        for (int32_t i = 0; i < rows; ++i) t.push_back(t0 + i / fs);
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
        in.c = c;
        in.image_select = image_select;
        in.t = t.data();
        in.fs = fs;
        in.image_width = 0.025;
        in.numCores = threads;
        in.Recon = image;
        return in;
    }

    std::vector<double> image(double image_select, int32_t threads, ReconKernel kernel) const {
        std::vector<double> out((size_t)n * n, 0.0);
        doRecon(input(image_select, threads, out.data()), kernel);
        return out;
    }
};

const Workload& workload(Scan scan, int32_t n, int32_t rows) {
    static std::map<std::tuple<int, int32_t, int32_t>, Workload> cache;
    auto key = std::make_tuple((int)scan, n, rows);
    auto it = cache.find(key);
    if (it == cache.end()) it = cache.emplace(key, Workload(scan, n, rows)).first;
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
    const Workload& w =
        workload((Scan)state.range(0), (int32_t)state.range(1), (int32_t)state.range(2));
    const double image_select = (double)state.range(3);
    const int32_t threads = (int32_t)state.range(4);
    state.SetLabel(reconKernelName(kernel));
    if (kernel != ReconKernel::Scalar &&
        !sameImage(w.image(image_select, threads, kernel),
                   w.image(image_select, 1, ReconKernel::Scalar))) {
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
        for (int n : {128, 129}) b->Args({kRing, n, 2030, term, 2});
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
