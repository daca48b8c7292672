// Driver for the fuzz target without libFuzzer (any compiler, any sanitizer):
//   fuzz_replay PATH...             run every file (directories: every file in them)
//   fuzz_replay --random N SEED     run N pseudo-random inputs
//   fuzz_replay --write-seeds DIR   write the seed corpus
//   fuzz_replay --check-seeds DIR   fail unless DIR holds exactly the seed corpus
// The target aborts with a description on any difference between kernels.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "fuzz_case.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace fs = std::filesystem;

namespace {

const double kInf = std::numeric_limits<double>::infinity();
const double kNaN = std::numeric_limits<double>::quiet_NaN();

using fuzzcase::setRegularTime;

// The worked example for image_select 1 + selectMode (t regular from 2).
FuzzCase workedExample(int selectMode) {
    FuzzCase fc;
    static_cast<Problem&>(fc) = ::workedExample(1.0 + selectMode);
    fc.selectMode = selectMode;
    setRegularTime(fc, 2.0, 1.0);
    fc.start.assign(4, 0.0);
    return fc;
}

void setIrregularTime(FuzzCase& fc, std::vector<double> t) {
    fc.regularTime = false;
    fc.t = std::move(t);
}

void setSelect(FuzzCase& fc, double v) {
    fc.selectMode = 3;
    fc.image_select = v;
}

std::map<std::string, FuzzCase> seedCases() {
    std::map<std::string, FuzzCase> cases;
    for (int m = 0; m < 3; ++m) cases["worked_example_" + std::to_string(m + 1)] = workedExample(m);

    FuzzCase fc = workedExample(2);
    setIrregularTime(fc, {2, 2, 4, 5, 6, 7});  // t[1] = t[0]: invDt infinite
    cases["equal_first_times"] = fc;

    fc = workedExample(0);
    fc.sigMat[0] = kNaN;
    setSelect(fc, kNaN);
    fc.numCores = 3;
    cases["nan_signal_and_select"] = fc;

    fc = workedExample(1);
    fc.c = 0.0;  // k infinite: every lookup takes sample 0
    fc.x = {0.0, 2.0};
    fc.y = {0.0, 2.0};
    cases["zero_speed_of_sound"] = fc;

    // Sensors far off: every lookup takes the last sample of its column, and
    // the forward difference steps into the next column or off the matrix.
    fc = FuzzCase();
    fc.n = 3;
    fc.rows = 3;
    fc.cols = 2;
    fc.c = fc.fs = fc.image_width = 1.0;
    fc.selectMode = 1;
    fc.image_select = 2.0;
    setRegularTime(fc, 1.0, 1.0);
    fc.x = {30.0, -30.0};
    fc.y = {0.0, 0.0};
    fc.z = {0.0, 0.0};
    fc.sigMat = {1, 2, 3, 100, 200, 300};
    fc.start.assign(9, 0.0);
    fc.numCores = 2;
    cases["last_samples"] = fc;

    fc = workedExample(0);
    fc.n = 0;
    fc.start.clear();
    cases["empty_image"] = fc;

    fc = workedExample(2);
    fc.cols = 0;
    fc.x.clear();
    fc.y.clear();
    fc.z.clear();
    fc.sigMat.clear();
    fc.imageOnEntry = true;
    fc.start = {-0.0, kInf, 1.5, std::numeric_limits<double>::denorm_min()};
    cases["no_sensors"] = fc;

    // A ring of 16 sensors around a 16 x 16 image, all lookups inside the
    // window, on four threads.
    fc = FuzzCase();
    fc.n = 16;
    fc.rows = 32;
    fc.cols = 16;
    fc.numCores = 4;
    fc.c = 1.0;
    fc.fs = 1.0;
    fc.image_width = 16.0;
    fc.selectMode = 2;
    fc.image_select = 3.0;
    setRegularTime(fc, 0.0, 0.25);
    for (int s = 0; s < fc.cols; ++s) {
        const double a = 2.0 * kPi * s / fc.cols;
        fc.x.push_back(std::round(4.0 * 12.0 * std::cos(a)) / 4.0 + 0.0);  // no -0
        fc.y.push_back(std::round(4.0 * 12.0 * std::sin(a)) / 4.0 + 0.0);
        fc.z.push_back(s % 3 == 0 ? 0.5 : 0.0);
    }
    std::mt19937 rng(11);
    for (int e = 0; e < fc.rows * fc.cols; ++e) fc.sigMat.push_back((int)(rng() % 200) / 4.0 - 25.0);
    fc.start.assign(256, 0.0);
    cases["ring_16"] = fc;

    // The same ring 5000 samples out, with the first sample 4999 samples
    // late: positions stay in the window, but the offset q is large.
    FuzzCase far = fc;
    far.cols = 8;
    far.x.clear();
    far.y.clear();
    far.z.assign(8, 0.0);
    for (int s = 0; s < far.cols; ++s) {
        const double a = 2.0 * kPi * s / far.cols;
        far.x.push_back(std::round(4.0 * 5008.0 * std::cos(a)) / 4.0 + 0.0);
        far.y.push_back(std::round(4.0 * 5008.0 * std::sin(a)) / 4.0 + 0.0);
    }
    far.sigMat.resize((size_t)far.rows * far.cols);
    setRegularTime(far, 5000.0, 1.0);
    far.selectMode = 1;
    far.image_select = 2.0;
    cases["ring_far"] = far;

    // 1e8 samples per unit of distance: the positions of the pixels cross
    // 2^31 - 0.5 for a sensor about 21.5 away.
    FuzzCase big = fc;
    big.cols = 4;
    big.rows = 8;
    big.x = {28.0, -20.0, 0.5, 21.25};
    big.y = {0.0, 3.0, -21.0, 0.0};
    big.z = {0.0, 0.0, 0.0, 1.5};
    big.fs = 1e8;
    setRegularTime(big, 0.0, 1e-8);
    big.sigMat.resize((size_t)big.rows * big.cols);
    for (int e = 0; e < big.rows * big.cols; ++e) big.sigMat[e] = e + 1.0;
    big.selectMode = 0;
    big.image_select = 1.0;
    cases["positions_cross_32_bits"] = big;

    // Extreme magnitudes: squares that overflow, subnormal pitch, the largest
    // signal values, a position that rounds to 2^31.
    fc = workedExample(2);
    fc.x = {1e154, -std::numeric_limits<double>::denorm_min()};
    fc.z = {-1e300, 0.0};
    fc.image_width = std::numeric_limits<double>::min();
    fc.sigMat[1] = std::numeric_limits<double>::max();
    fc.sigMat[7] = -std::numeric_limits<double>::max();
    cases["extreme_magnitudes"] = fc;

    fc = workedExample(0);
    fc.n = 1;
    fc.start.assign(1, 0.0);
    fc.c = 1.0;
    fc.fs = 2147483646.5;  // Y = fs * d - (fs * t0 - 1) lands beyond 2^31 - 0.5
    setIrregularTime(fc, {0, 1, 2, 3, 4, 5});
    cases["position_beyond_32_bits"] = fc;

    // A coarse 8 x 8 grid (pitch 6 samples) seen by 64 sensors over 60
    // samples of the ramp signal: neighbouring pixels read samples far
    // apart, most lookups stay inside the window.
    FuzzCase coarse;
    coarse.n = 8;
    coarse.rows = 60;
    coarse.cols = 64;
    coarse.numCores = 2;
    coarse.ramp = true;
    coarse.c = 1.0;
    coarse.fs = 1.0;
    coarse.image_width = 48.0;
    coarse.selectMode = 2;
    coarse.image_select = 3.0;
    setRegularTime(coarse, -5.0, 1.0);  // positions are distances plus 6
    for (int s = 0; s < coarse.cols; ++s) {
        coarse.x.push_back((double)(s % 8) * 6.0 - 18.0 + 0.25 * (s % 3));
        coarse.y.push_back(18.0 - (double)(s / 8) * 6.0);
        coarse.z.push_back(s % 5 == 0 ? 2.5 : 0.0);
    }
    for (int e = 0; e < coarse.rows * coarse.cols; ++e) coarse.sigMat.push_back((e + 1.0) * (e + 1.0));
    coarse.start.assign(64, 0.0);
    cases["coarse_grid_ramp"] = coarse;

    // A 72 x 72 image seen by three sensors: tiles of 64 pixels and partial
    // ones on one thread, of 32 on three.
    FuzzCase wide;
    wide.big = true;
    wide.ramp = true;
    wide.n = 72;
    wide.rows = 120;
    wide.cols = 3;
    wide.numCores = 3;
    wide.c = 1.0;
    wide.fs = 1.0;
    wide.image_width = 72.0;
    wide.selectMode = 1;
    wide.image_select = 2.0;
    setRegularTime(wide, -10.0, 0.5);
    wide.x = {-40.0, 80.0, 10.5};
    wide.y = {0.0, 20.25, -45.0};
    wide.z = {0.0, 0.0, 3.0};
    for (int e = 0; e < wide.rows * wide.cols; ++e) wide.sigMat.push_back((e + 1.0) * (e + 1.0));
    wide.start.assign(72 * 72, 0.0);
    cases["wide_image_tiles"] = wide;

    return cases;
}

bool sameValue(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// Bitwise equality of two requests, for checking that a seed decodes to the
// case it was written from.
bool sameCase(const FuzzCase& a, const FuzzCase& b) {
    return a.n == b.n && a.rows == b.rows && a.cols == b.cols && a.numCores == b.numCores &&
           a.regularTime == b.regularTime && a.imageOnEntry == b.imageOnEntry &&
           a.selectMode == b.selectMode && a.ramp == b.ramp && a.big == b.big &&
           sameValue(a.c, b.c) && sameValue(a.fs, b.fs) &&
           sameValue(a.image_width, b.image_width) && sameValue(a.image_select, b.image_select) &&
           (!a.regularTime || (sameValue(a.t0, b.t0) && sameValue(a.dt, b.dt))) &&
           sameBits(a.t, b.t) && sameBits(a.x, b.x) && sameBits(a.y, b.y) &&
           sameBits(a.z, b.z) && sameBits(a.sigMat, b.sigMat) && sameBits(a.start, b.start);
}

std::vector<uint8_t> readFile(const fs::path& p) {
    std::ifstream f(p, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(f), {});
}

int runPath(const fs::path& p) {
    if (fs::is_directory(p)) {
        std::vector<fs::path> files;
        for (const auto& e : fs::directory_iterator(p))
            if (e.is_regular_file()) files.push_back(e.path());
        std::sort(files.begin(), files.end());
        int count = 0;
        for (const auto& f : files) count += runPath(f);
        return count;
    }
    const std::vector<uint8_t> data = readFile(p);
    LLVMFuzzerTestOneInput(data.data(), data.size());
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    if (args.size() == 3 && args[0] == "--random") {
        const long count = std::stol(args[1]);
        std::mt19937_64 rng(std::stoull(args[2]));
        std::vector<uint8_t> data;
        for (long k = 0; k < count; ++k) {
            data.resize(rng() % 1500);
            for (uint8_t& b : data) b = (uint8_t)rng();
            LLVMFuzzerTestOneInput(data.data(), data.size());
        }
        std::printf("%ld random inputs (seed %s): all kernels agree\n", count, args[2].c_str());
        return 0;
    }
    if (args.size() == 2 && (args[0] == "--write-seeds" || args[0] == "--check-seeds")) {
        const fs::path dir = args[1];
        std::map<std::string, std::vector<uint8_t>> want;
        int bad = 0;
        for (const auto& [name, c] : seedCases()) {
            want[name] = fuzzcase::encode(c);
            if (!sameCase(fuzzcase::decode(want[name].data(), want[name].size()), c)) {
                std::fprintf(stderr, "seed %s does not decode to the case it encodes\n",
                             name.c_str());
                ++bad;
            }
        }
        if (args[0] == "--write-seeds") {
            fs::create_directories(dir);
            for (const auto& [name, b] : want)
                std::ofstream(dir / name, std::ios::binary)
                    .write(reinterpret_cast<const char*>(b.data()), (std::streamsize)b.size());
            std::printf("wrote %zu seeds to %s\n", want.size(), dir.string().c_str());
            return bad ? 1 : 0;
        }
        size_t present = 0;
        for (const auto& e : fs::directory_iterator(dir)) present += e.is_regular_file();
        for (const auto& [name, b] : want)
            if (!fs::exists(dir / name) || readFile(dir / name) != b) {
                std::fprintf(stderr, "seed %s is missing or stale\n", name.c_str());
                ++bad;
            }
        if (present != want.size()) {
            std::fprintf(stderr, "%s holds %zu files, expected %zu\n", dir.string().c_str(), present,
                         want.size());
            ++bad;
        }
        if (bad) std::fprintf(stderr, "regenerate with: fuzz_replay --write-seeds %s\n", dir.string().c_str());
        return bad ? 1 : 0;
    }
    if (args.empty() || args[0].rfind("--", 0) == 0) {
        std::fprintf(stderr,
                     "usage: fuzz_replay PATH... | --random N SEED | --write-seeds DIR | "
                     "--check-seeds DIR\n");
        return 2;
    }
    int count = 0;
    for (const auto& a : args) count += runPath(a);
    std::printf("%d inputs: all kernels agree\n", count);
    return 0;
}
