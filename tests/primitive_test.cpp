// The lane primitives of the vector kernel's families against scalar models,
// for every Highway target compiled in that this CPU supports (or those named
// in TOFIMAGE_TEST_TARGETS), compiled per target as recon_simd.cpp is: sample
// indices against the scalar kernel's, each over its domain; guesses against
// the bound the threshold table relies on, and the exact step over them;
// window lookups, gathers and index arithmetic against one-line models. On
// random squared distances and the edges: thresholds and the doubles either
// side (rounding ties on integer geometry), the first and last rows, 2^31 - 1/2,
// NaN, infinities, negative, tiny and huge values.
#ifndef TOFIMAGE_PRIMITIVE_TEST_SHARED
#define TOFIMAGE_PRIMITIVE_TEST_SHARED

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <limits>
#include <random>
#include <string>
#include <type_traits>
#include <vector>

#include "problem.h"
#include "recon_simd_plan.h"
#include "targets.h"

namespace primitive_test {
using namespace tofimage_simd;

const double kInf = std::numeric_limits<double>::infinity();
const double kNaN = std::numeric_limits<double>::quiet_NaN();
const double kMax = std::numeric_limits<double>::max();

// The checks of one primitive. The destructor reports the first failure and
// how many failed and, where the primitive is `expected`, that there were any.
struct Tally {
    std::string what;
    bool expected = true;
    int64_t checked = 0, failed = 0;
    std::string first;
    ~Tally() {
        if (expected) {
            EXPECT_GT(checked, 0) << what << ": nothing checked";
        }
        EXPECT_EQ(failed, 0) << what << ": " << failed << " of " << checked
                             << " checks failed; the first: " << first;
    }
    template <class Why>  // why(): the case, asked for the first failure only
    bool operator()(bool ok, Why why) {
        ++checked;
        if (!ok && failed++ == 0) first = why();
        return ok;
    }
};

std::string hex(double x) {
    char text[40];
    std::snprintf(text, sizeof text, "%a", x);
    return text;
}

int64_t bits(double x) {
    int64_t b;
    std::memcpy(&b, &x, sizeof b);
    return b;
}

struct Request {
    std::string name;
    Problem p;
};

// Ring scans (sensors 40 mm from the centre of a 25 mm image) with sample
// positions from tens to tens of thousands, before the first row, beyond the
// last and about 2^31 - 1/2; scaled far from unit lengths (which changes no
// position); with parameters that rule the table out; and integer geometry.
std::vector<Request> requests() {
    const struct {
        const char* name;
        int32_t rows;
        double fs, t0, scale, c;
    } rings[] = {
        {"ring, 4 MHz, positions 56 .. 152", 140, 4e6, 1e-6, 1.0, 1500.0},
        {"ring, 40 MHz, positions 550 .. 1510", 2000, 40e6, 1e-6, 1.0, 1500.0},
        {"ring, 40 MHz, beyond the last row", 1000, 40e6, 1e-6, 1.0, 1500.0},
        {"ring, 400 MHz, positions 5500 .. 15100", 16000, 400e6, 1e-6, 1.0, 1500.0},
        {"ring, negative positions", 400, 40e6, 30e-6, 1.0, 1500.0},
        {"ring, positions about 2^31 - 1/2", 500, 40e6, -53.6870662, 1.0, 1500.0},
        {"ring scaled by 2^-450", 2000, 40e6, 1e-6, 0x1p-450, 1500.0},
        {"ring scaled by 2^450", 140, 4e6, 1e-6, 0x1p450, 1500.0},
        {"ring scaled by 1e-130", 2000, 40e6, 1e-6, 1e-130, 1500.0},
        {"ring, t0 = NaN", 300, 40e6, kNaN, 1.0, 1500.0},
        {"ring, fs = inf", 300, kInf, 1e-6, 1.0, 1500.0},
        {"ring, c = 0", 300, 40e6, 1e-6, 1.0, 0.0},
        {"ring, c < 0", 300, 40e6, 1e-6, 1.0, -1500.0},
        {"ring, c = NaN", 300, 40e6, 1e-6, 1.0, kNaN},
    };
    std::vector<Request> r;
    for (const auto& g : rings) {
        Problem p = ringProblem(48, 24, g.rows, (unsigned)r.size());
        p.fs = g.fs;
        p.c = g.c * g.scale;
        p.image_width *= g.scale;
        for (double& v : p.x) v *= g.scale;
        for (double& v : p.y) v *= g.scale;
        regularTimes(p, g.t0);
        r.push_back({g.name, p});
    }
    // c = fs = 1 and t0 = 1/2: the position is the distance plus 1/2, so
    // E[m] = (m - 1)^2, where the position is exactly m - 1/2.
    Problem p;
    p.rows = 80;
    p.cols = 12;
    p.n = 16;
    p.image_width = 16.0;  // pixel centres on whole coordinates, and so are the sensors
    for (int32_t s = 0; s < p.cols; ++s) {
        p.x.push_back((double)(s * 7 % 61 - 30));
        p.y.push_back((double)(s * 23 % 61 - 30));
        p.z.push_back((double)(s % 3));
    }
    regularTimes(p, 0.5);
    r.push_back({"integer geometry", p});
    return r;
}

// Squared distances for a plan, shuffled: its range at random and at both
// ends, its thresholds and the doubles either side, where positions reach
// the first and last rows and 2^31 - 1/2, any doubles, and special values.
std::vector<double> samples(const Plan& p, std::mt19937_64& rng) {
    std::uniform_real_distribution<double> u(0.0, 1.0);
    std::vector<double> s = {kNaN, -kNaN, kInf, -kInf, -1.0, -0.0, 0.0, 0x1p-1074, kMax};
    auto around = [&](double d2) {
        for (double x : {std::nextafter(d2, -kInf), d2, std::nextafter(d2, kInf)}) s.push_back(x);
    };
    const double rows = (double)p.rows;
    for (double pos : {-0.5, 0.5, 1.5, rows - 1.5, rows - 0.5, rows + 7.0, 2147483647.5, 0x1p40}) {
        const double d = (pos + p.q) / p.k;
        if (d > 0.0 && std::isfinite(d * d)) around(d * d);
    }
    if (p.Tbig > 0.0) around(p.Tbig);
    if (p.d2Lo <= p.d2Hi) {
        around(p.d2Lo);
        around(p.d2Hi);
        for (int k = 0; k < 3000; ++k)
            s.push_back(k % 4 ? p.d2Lo + (p.d2Hi - p.d2Lo) * u(rng)
                              : p.d2Lo * std::pow(p.d2Hi / p.d2Lo, u(rng)));
    }
    if (p.guess != kNoGuess)
        for (int k = 0; k < 1000; ++k)
            around(p.E[p.mLo + (int64_t)(rng() % (uint64_t)(p.mHi - p.mLo + 1)) - p.eOrigin]);
    for (int k = 0; k < 500; ++k)
        s.push_back((rng() % 8 ? 1.0 : -1.0) *
                    std::ldexp(1.0 + u(rng), (int)(rng() % 2098) - 1074));
    std::shuffle(s.begin(), s.end(), rng);
    return s;
}

}  // namespace primitive_test

#endif  // TOFIMAGE_PRIMITIVE_TEST_SHARED

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "primitive_test.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

// Each target's family, as recon_simd.cpp picks it.
#include "recon_simd_families-inl.h"

HWY_BEFORE_NAMESPACE();
namespace tofimage_simd {
namespace HWY_NAMESPACE {
#if TOFIMAGE_FAMILY

using Fam = Family;  // this target's family of lane primitives
using namespace primitive_test;

template <class F>
using Ints = std::array<int64_t, F::kLanes>;

template <class F, class Fn>
Ints<F> lanesFrom(Fn lane) {
    Ints<F> v;
    for (int l = 0; l < F::kLanes; ++l) v[l] = lane(l);
    return v;
}

// The lanes of a vector of indices (read with Spill), and the bits of the
// lanes of a vector of doubles.
template <class F>
Ints<F> indices(typename F::I i) {
    int32_t out[F::kLanes];
    F::Spill(i, out);
    return lanesFrom<F>([&](int l) { return out[l]; });
}
template <class F>
Ints<F> lanesBits(typename F::V v) {
    alignas(64) double out[F::kLanes];
    F::Store(v, out);
    return lanesFrom<F>([&](int l) { return bits(out[l]); });
}

// Indices v (each in 0 .. 2^26) as a vector: ExactIndex of v * v with the
// position the distance (k = 1, q = 0).
template <class F>
typename F::I indicesOf(const typename F::Consts& unit, const Ints<F>& v) {
    alignas(64) double d2[F::kLanes];
    for (int l = 0; l < F::kLanes; ++l) d2[l] = (double)v[l] * (double)v[l];
    return F::ExactIndex(unit, F::Load(d2));
}

template <class F>
std::string show(const Ints<F>& v) {
    std::string s;
    for (int64_t x : v) s += std::to_string(x) + " ";
    return s;
}

// The index arithmetic, gathers and window lookups, on random indices.
template <class F>
void CheckLanes() {
    using I = typename F::I;
    Plan unitPlan{};
    unitPlan.k = 1.0;
    unitPlan.rows = int64_t{1} << 30;
    const typename F::Consts unit(unitPlan);
    // The primitives a family has, whether or not its policy runs them.
    constexpr bool win = Has<F, WindowPrimitives>::value, wideWin = Has<F, WidePrimitives>::value;
    Tally spill{"Spill of ExactIndex of whole squares"}, gather{"Gather"}, minus{"Minus"},
        next{"NextIndex"}, lane0{"Lane0", win}, outside{"AnyOutside", win},
        centre{"Centre", wideWin}, lookup{"Lookup", win}, wide{"LookupWide", wideWin},
        staged{"Stage, LookupStaged", Has<F, StagingPrimitives>::value},
        parts{"LoadHalves, LoadQuarters", kVectorParts<F> > 1};
    std::mt19937_64 rng(2);
    // Samples, with special values whose bits a fetch must keep.
    std::vector<double> table(4096);
    std::normal_distribution<double> normal;
    const double specials[] = {kNaN, -kInf, kInf, -0.0, 0x1p-1074, -1e308};
    for (double& x : table) x = rng() % 16 ? normal(rng) : specials[rng() % 6];
    for (int trial = 0; trial < 3000; ++trial) {
        const uint64_t range = trial % 2 ? 4096 : 8;
        const Ints<F> v = lanesFrom<F>([&](int) { return (int64_t)(rng() % range); });
        const I i = indicesOf<F>(unit, v);
        const int64_t x = (int64_t)(rng() % (uint64_t{1} << 31)) - (int64_t{1} << 30);
        const int64_t bounds[] = {(int64_t)(rng() % 4096), v[rng() % F::kLanes], int64_t{1} << 40};
        const int64_t most = bounds[trial % 3];
        const std::string at =
            "lanes " + show<F>(v) + "x " + std::to_string(x) + " most " + std::to_string(most);
        auto expect = [&](Tally& t, const Ints<F>& got, const Ints<F>& want) {
            t(got == want, [&] { return at + ": got " + show<F>(got); });
        };
        expect(spill, indices<F>(i), v);
        expect(gather, lanesBits<F>(F::Gather(table.data(), i)),
               lanesFrom<F>([&](int l) { return bits(table[v[l]]); }));
        expect(minus, indices<F>(F::Minus(i, x)), lanesFrom<F>([&](int l) { return v[l] - x; }));
        expect(next, indices<F>(F::NextIndex(i, most)),
               lanesFrom<F>([&](int l) { return std::min(v[l] + 1, most); }));
        if constexpr (Has<F, WindowPrimitives>::value) {
            lane0(F::Lane0(i) == v[0], [&] { return at; });
            // Indices relative to a window of rows 0 .. last, one of them
            // outside on every other trial (by 1, or by up to 3000).
            const int64_t last = (int64_t)(rng() % 32),
                          by = rng() % 2 ? 0 : (int64_t)(rng() % 3000);
            Ints<F> rel =
                lanesFrom<F>([&](int) { return (int64_t)(rng() % (uint64_t)(last + 1)); });
            if (trial % 2) rel[rng() % F::kLanes] = rng() % 2 ? -1 - by : last + 1 + by;
            const bool out =
                std::any_of(rel.begin(), rel.end(), [&](int64_t e) { return e < 0 || e > last; });
            const I r = F::Minus(
                indicesOf<F>(unit, lanesFrom<F>([&](int l) { return rel[l] + 4096; })), 4096);
            outside(F::AnyOutside(r, last) == out,
                    [&] { return show<F>(rel) + "last " + std::to_string(last); });
        }
        if constexpr (Has<F, WidePrimitives>::value) {
            int a = 0, z = 0;  // the lanes at opposite corners of the block
            for (int l = 0; l < F::kLanes; ++l) {
                if (F::kRow[l] == 0 && F::kCol[l] == 0) a = l;
                if (F::kRow[l] == F::kVectorRows - 1 && F::kCol[l] == F::kVectorCols - 1) z = l;
            }
            centre(F::Centre(i) == (v[a] + v[z]) >> 1, [&] { return at; });
        }
    }
    // A vector of the frames of kParts pixels, each pixel's from its own
    // place: lane l from part l / (kLanes / kParts).
    auto loadParts = [&](auto partsOf) {
        constexpr int kParts = decltype(partsOf)::value, kPart = F::kLanes / kParts;
        for (int trial = 0; trial < 200; ++trial) {
            int64_t at[kParts];
            for (int64_t& a : at) a = (int64_t)(rng() % (uint64_t)(table.size() - kPart));
            typename F::V v;
            if constexpr (kParts == 2)
                v = F::LoadHalves(&table[at[0]], &table[at[1]]);
            else
                v = F::LoadQuarters(&table[at[0]], &table[at[1]], &table[at[2]], &table[at[3]]);
            parts(lanesBits<F>(v) == lanesFrom<F>([&](int l) {
                      return bits(table[at[l / kPart] + l % kPart]);
                  }),
                  [&] { return std::to_string(kParts) + " parts from " + std::to_string(at[0]); });
        }
    };
    if constexpr (kVectorParts<F> >= 2) loadParts(std::integral_constant<int, 2>());
    if constexpr (kVectorParts<F> >= 4) loadParts(std::integral_constant<int, 4>());
    if constexpr (Has<F, WindowPrimitives>::value) {
        // Rows rel[l] of windows of `width` rows of the table: every rel in
        // every lane, then random ones, formed behind a Minus as the kernel's.
        auto windows = [&](Tally& t, int width, auto fetch) {
            for (int trial = 0; trial < 400; ++trial) {
                const int64_t start = (int64_t)(rng() % (uint64_t)(65 - width));
                const int64_t base = (int64_t)(rng() % 100000);
                const Ints<F> rel = lanesFrom<F>([&](int l) {
                    return trial < width ? (trial + l) % width : (int64_t)(rng() % width);
                });
                const I at = indicesOf<F>(unit, lanesFrom<F>([&](int l) { return rel[l] + base; }));
                t(lanesBits<F>(fetch(start, F::Minus(at, base))) ==
                      lanesFrom<F>([&](int l) { return bits(table[start + rel[l]]); }),
                  [&] { return "rel " + show<F>(rel) + "from row " + std::to_string(start); });
            }
        };
        windows(lookup, F::kWindow, [&](int64_t s, I rel) { return F::Lookup(&table[s], rel); });
        if constexpr (Has<F, WidePrimitives>::value)
            windows(wide, F::kWideWindow,
                    [&](int64_t s, I rel) { return F::LookupWide(&table[s], rel); });
        if constexpr (Has<F, StagingPrimitives>::value) {
            std::vector<typename F::Word> w(2 * F::kStageRows);  // in two parts, as tiles do
            F::Stage(table.data(), 40, w.data());
            F::Stage(table.data() + 40, 24, w.data() + 40);
            windows(staged, F::kWindow,
                    [&](int64_t s, I rel) { return F::LookupStaged(&w[s], rel); });
        }
    }
}

// Sample indices, guesses and steps for the squared distances of every
// request's plan, each primitive on vectors of the samples in its domain.
template <class F>
void CheckIndices() {
    using V = typename F::V;
    using I = typename F::I;
    // A family's table primitives, whether or not its policy runs them.
    constexpr bool table = Has<F, TablePrimitives>::value;
    Tally exact{"ExactIndex"}, bounded{"BoundedIndex", Has<F, BoundedIndexOf>::value},
        positive{"PositiveIndex", table}, gathered{"StepIfAtLeast, thresholds gathered", table},
        windowed{"StepIfAtLeast, thresholds from a window", table},
        guesses[2][2] = {{{"Guess<kEstimate, unclamped>", table}, {"Guess<kEstimate>", table}},
                         {{"Guess<kRefined, unclamped>", table}, {"Guess<kRefined>", table}}};
    alignas(64) double ramp[64];  // ramp[j] = j: reads back indices that fit a window
    for (int j = 0; j < 64; ++j) ramp[j] = j;
    std::mt19937_64 rng(1);
    for (const Request& r : requests()) {
        // The plan, with its thresholds also for a family without the table
        // (they are where indices step), guessing within the family's bounds.
        const ReconInput in = r.p.input(nullptr);
        KernelTraits traits;
        traits.windows = traits.table = traits.always = true;
        traits.estimateError = table ? F::kEstimateError : 0x1p-14;
        traits.refinedError = table ? F::kRefinedError : 0x1p-26;
        Plan p;
        PlanTables tables;
        ASSERT_TRUE(makePlan(in, reconGeometry(in), traits, &p, &tables));
        fillThresholds(p);
        const typename F::Consts c(p);
        const std::vector<double> pool = samples(p, rng);
        // check(d2, v) on vectors of the samples with in(sample): in random
        // order, then sorted (NaNs last), where neighbouring lanes lie close
        // as in the kernel and guesses share a window.
        auto each = [&](auto in, auto check) {
            std::vector<double> d;
            std::copy_if(pool.begin(), pool.end(), std::back_inserter(d), in);
            for (int pass = 0; pass < 2 && !d.empty(); ++pass) {
                if (pass)
                    std::sort(d.begin(), d.end(), [](double a, double b) {
                        return !std::isnan(a) && (std::isnan(b) || a < b);
                    });
                for (size_t s = 0; s < d.size(); s += F::kLanes) {
                    alignas(64) double v[F::kLanes];
                    for (size_t l = 0; l < (size_t)F::kLanes; ++l)
                        v[l] = d[std::min(s + l, d.size() - 1)];
                    check(F::Load(v), v);
                }
            }
        };
        auto why = [&](const double* v, const Ints<F>& got, int64_t shift) {
            std::string s = r.name + ", less " + std::to_string(shift) + ":";
            for (int l = 0; l < F::kLanes; ++l)
                s += " d2 " + hex(v[l]) + " index " + std::to_string(indexOf(p, v[l])) + " got " +
                     std::to_string(got[l]) + ";";
            return s;
        };
        // The scalar kernel's indices less `shift`, read with Spill and, where
        // they fit a window, with Lookup (AVX2 keeps a second form for it).
        auto expectIndices = [&](Tally& t, I i, const double* v, int64_t shift = 0) {
            const Ints<F> got = indices<F>(i);
            bool ok = got == lanesFrom<F>([&](int l) { return indexOf(p, v[l]) - shift; });
            const bool spilled = ok;
            if constexpr (Has<F, WindowPrimitives>::value)
                if (ok && std::all_of(got.begin(), got.end(),
                                      [](int64_t e) { return e >= 0 && e < F::kWindow; }))
                    ok = lanesBits<F>(F::Lookup(ramp, i)) ==
                         lanesFrom<F>([&](int l) { return bits((double)got[l]); });
            t(ok, [&] { return (spilled ? "Lookup reads otherwise; " : "") + why(v, got, shift); });
        };
        // The domains: any d2; the plan's range (below 2^31 - 1/2, where
        // the table has the thresholds); positions inside the rows and at
        // least 1/2.
        auto any = [](double) { return true; };
        auto covered = [&](double x) { return x >= p.d2Lo && x <= p.d2Hi; };
        auto inRows = [&](double x) {
            return positionOf(p, x) >= 0.5 && positionOf(p, x) < p.rows - 0.5;
        };
        each(any, [&](V d2, const double* v) { expectIndices(exact, F::ExactIndex(c, d2), v); });
        if constexpr (Has<F, BoundedIndexOf>::value)
            each(covered,
                 [&](V d2, const double* v) { expectIndices(bounded, F::BoundedIndex(c, d2), v); });
        if constexpr (table) {
            each(inRows, [&](V d2, const double* v) {
                expectIndices(positive, F::PositiveIndex(c, d2), v);
            });
            // Guesses over the plan's range, unclamped ones where the index
            // lies in 1 .. rows-2 (as on covered sensors); then the step from
            // E[g + 1], gathered, and looked up in a window from the smallest
            // guess where all fit one.
            auto guess = [&](auto kGuess, auto kClamp) {
                Tally& t = guesses[kGuess() - 1][kClamp()];
                auto in = [&](double x) {
                    const int64_t i = indexOf(p, x);
                    return covered(x) && (kClamp() || (i >= 1 && i <= p.rows - 2));
                };
                each(in, [&](V d2, const double* v) {
                    const I g = F::template Guess<kGuess(), kClamp()>(c, d2);
                    const Ints<F> gl = indices<F>(g);
                    bool ok = true;
                    for (int l = 0; l < F::kLanes; ++l) {
                        const int64_t want = indexOf(p, v[l]);
                        ok &= (want == gl[l] || want == gl[l] + 1) && gl[l] + 1 >= p.mLo &&
                              gl[l] + 1 <= p.mHi && (!kClamp() || gl[l] <= p.rows - 2);
                    }
                    if (!t(ok, [&] { return why(v, gl, 0); })) return;
                    const I up = F::Minus(g, p.eOrigin - 1);
                    expectIndices(gathered, F::StepIfAtLeast(d2, F::Gather(p.E, up), g), v);
                    const int64_t base = *std::min_element(gl.begin(), gl.end());
                    if (*std::max_element(gl.begin(), gl.end()) - base >= F::kWindow) return;
                    const I rel = F::Minus(g, base);
                    const V above = F::Lookup(p.E + (base + 1 - p.eOrigin), rel);
                    expectIndices(windowed, F::StepIfAtLeast(d2, above, rel), v, base);
                });
            };
            auto both = [&](auto kGuess) {
                guess(kGuess, std::false_type());
                guess(kGuess, std::true_type());
            };
            if (p.guess == kEstimate) both(std::integral_constant<int, kEstimate>());
            // The refined guess also within an estimate's bound.
            if (p.guess != kNoGuess) both(std::integral_constant<int, kRefined>());
        }
    }
}

// Runs every check on this target's family; the target's name.
const char* CheckPrimitives() {
    CheckLanes<Fam>();
    CheckIndices<Fam>();
    return hwy::TargetName(HWY_TARGET);
}

#else  // no family of lane primitives for this target

const char* CheckPrimitives() { return nullptr; }

#endif
}  // namespace HWY_NAMESPACE
}  // namespace tofimage_simd
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace tofimage_simd {
// Exported and called from inside the namespace, as in recon_simd.cpp.
HWY_EXPORT(CheckPrimitives);
const char* checkPrimitives() { return HWY_DYNAMIC_DISPATCH(CheckPrimitives)(); }
}  // namespace tofimage_simd

namespace {

class Primitives : public ::testing::TestWithParam<int64_t> {
protected:
    void SetUp() override { hwy::SetSupportedTargetsForTest(GetParam()); }
    void TearDown() override { hwy::SetSupportedTargetsForTest(0); }
};

TEST_P(Primitives, AgreeWithTheirScalarModels) {
    const char* checked = tofimage_simd::checkPrimitives();
    if (checked == nullptr) GTEST_SKIP() << "no family of lane primitives for this target";
    EXPECT_STREQ(checked, hwy::TargetName(GetParam())) << "another target's family ran";
}

TEST(Targets, NamedTargetsAreUnderTest) { expectNamedTargetsUnderTest(); }

INSTANTIATE_TEST_SUITE_P(Targets, Primitives, ::testing::ValuesIn(compiledTargets()), targetName);

}  // namespace
#endif
