// The vector kernel against the scalar kernel in the Windows build (MinGW-w64,
// run under Wine), without GoogleTest: for every instruction set compiled in
// that this CPU has, the worked example, ring scans of several sizes (the
// threshold table, the windows and the gather fallback), rounding ties and
// one stack of frames, every term, on 1 and 2 threads. The images must be the
// scalar kernel's bit for bit (any NaN matching any NaN). A lean companion
// of tests/simd_test.cpp, which runs the full harness on Linux.
#include <hwy/targets.h>

#include <omp.h>

#include <cstdio>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "problem.h"
#include "recon.h"

namespace {

int failures = 0;

void fail(const std::string& what) {
    std::fprintf(stderr, "FAILED: %s\n", what.c_str());
    ++failures;
}

// Rounding ties everywhere: with c = fs = 1 and t[0] = 0.5 the sample
// position is the distance plus 0.5, and sensors on whole coordinates put
// pixels of pitch 1 at whole distances along rows, columns and Pythagorean
// triples.
Problem tieProblem(std::mt19937_64& rng) {
    Problem p;
    p.n = 5 + (int32_t)(rng() % 28);
    p.cols = 1 + (int32_t)(rng() % 40);
    p.rows = 2 + (int32_t)(rng() % 80);
    p.c = p.fs = 1.0;
    p.image_width = p.n;
    regularTimes(p, 0.5);
    const int32_t reach = p.n + 8;
    for (int32_t s = 0; s < p.cols; ++s) {
        p.x.push_back((double)((int32_t)(rng() % (2 * reach + 1)) - reach));
        p.y.push_back((double)((int32_t)(rng() % (2 * reach + 1)) - reach));
        p.z.push_back(rng() % 4 == 0 ? 3.0 : 0.0);
    }
    std::normal_distribution<double> normal;
    p.sigMat.resize((size_t)p.rows * p.cols);
    for (double& v : p.sigMat) v = normal(rng);
    return p;
}

// The problems, each in its three terms.
std::vector<std::pair<std::string, Problem>> problems() {
    std::vector<std::pair<std::string, Problem>> list;
    const int32_t rings[][3] = {{40, 32, 300}, {37, 24, 400}, {64, 48, 2030}, {21, 64, 150}};
    unsigned seed = 1;
    for (const auto& r : rings)
        list.emplace_back("ring n=" + std::to_string(r[0]), ringProblem(r[0], r[1], r[2], seed++));
    Problem coarse = ringProblem(40, 24, 3000, seed++);  // ~27 samples per pixel
    coarse.fs = 400e6;
    regularTimes(coarse, 0.0);
    list.emplace_back("coarse grid", coarse);
    std::mt19937_64 rng(2718);
    for (int i = 0; i < 20; ++i) list.emplace_back("tie case " + std::to_string(i), tieProblem(rng));
    std::vector<std::pair<std::string, Problem>> all;
    for (const auto& named : list)
        for (double select : {1.0, 2.0, 3.0}) {
            Problem p = named.second;
            p.image_select = select;
            all.emplace_back(named.first + " image_select=" + std::to_string((int)select), p);
        }
    return all;
}

// Images of one target: each problem on 1 and 2 threads, a stack of three
// frames, and the worked example. Returns how many images were compared.
int checkTarget(const std::vector<std::pair<std::string, Problem>>& list, const char* target) {
    int compared = 0;
    for (double select : {1.0, 2.0, 3.0}) {
        Problem p = workedExample(select);
        if (!sameBits(p.run(ReconKernel::Vector), workedExampleImage(select)))
            fail(std::string(target) + ": worked example");
        ++compared;
    }
    for (auto named : list) {
        Problem& p = named.second;
        p.numCores = 1;
        const std::vector<double> want = p.run(ReconKernel::Scalar);
        for (int32_t threads : {1, 2}) {
            p.numCores = threads;
            std::string why;
            if (!sameImage(want, p.run(ReconKernel::Vector), &why))
                fail(std::string(target) + ", " + named.first + ", " + std::to_string(threads) +
                     " thread(s): " + why);
            ++compared;
        }
    }
    // A stack of frames (the kernel takes several at once), on 2 threads,
    // against the scalar kernel's images frame by frame.
    Problem p = list.front().second;
    p.numCores = 2;
    const int frames = 9;
    const std::vector<double> stack = frameStack(p, frames, 5);
    std::string why;
    if (!sameImage(runStack(p, stack, frames, ReconKernel::Scalar, true),
                   runStack(p, stack, frames, ReconKernel::Vector), &why))
        fail(std::string(target) + ", stack of frames: " + why);
    return compared + 1;
}

// OpenMP teams of two are two threads of Windows (winpthreads underneath).
void checkTeams() {
    std::set<std::thread::id> ids;
    int size = 0;
#pragma omp parallel num_threads(2)
    {
#pragma omp critical
        ids.insert(std::this_thread::get_id());
#pragma omp single
        size = omp_get_num_threads();
    }
    if (size != 2 || ids.size() != 2 || reconTeamSize(2) != 2)
        fail("a team of 2 has " + std::to_string(size) + " member(s) on " +
             std::to_string(ids.size()) + " thread(s)");
}

}  // namespace

int main() {
    checkTeams();
    const std::vector<std::pair<std::string, Problem>> list = problems();
    int tested = 0;
    for (int64_t target : hwy::SupportedAndGeneratedTargets()) {
        if (target == HWY_SCALAR || target == HWY_EMU128) continue;
        hwy::SetSupportedTargetsForTest(target);
        const char* name = hwy::TargetName(target);
        if (std::string(reconKernelName(ReconKernel::Vector)) != name) {
            fail(std::string("the vector kernel runs ") + reconKernelName(ReconKernel::Vector) +
                 " where " + name + " was asked for");
            continue;
        }
        const int compared = checkTarget(list, name);
        std::printf("%s: %d images identical to the scalar kernel's (1 and 2 threads)\n", name,
                    compared);
        ++tested;
    }
    hwy::SetSupportedTargetsForTest(0);
    if (tested == 0) fail("no vector instruction set to test on this CPU");
    if (failures) {
        std::printf("%d failure(s)\n", failures);
        return 1;
    }
    std::printf("kernel_check: %d instruction set(s) passed\n", tested);
    return 0;
}
