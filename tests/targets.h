// The Highway targets a vector test runs: every target compiled in that this
// CPU supports, or those of them named in TOFIMAGE_TEST_TARGETS (Highway's
// names, separated by spaces), as the emulated runs of cross builds ask for.
#ifndef TOFIMAGE_TESTS_TARGETS_H
#define TOFIMAGE_TESTS_TARGETS_H

#include <gtest/gtest.h>
#include <hwy/targets.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

// The names in TOFIMAGE_TEST_TARGETS; empty when the variable is not set.
inline std::vector<std::string> namedTargets() {
    std::vector<std::string> names;
    if (const char* list = std::getenv("TOFIMAGE_TEST_TARGETS")) {
        std::istringstream words(list);
        for (std::string w; words >> w;) names.push_back(w);
    }
    return names;
}

// Every target compiled in that this CPU supports, or those of them named.
inline std::vector<int64_t> compiledTargets() {
    const std::vector<std::string> names = namedTargets();
    std::vector<int64_t> targets;
    for (int64_t t : hwy::SupportedAndGeneratedTargets())
        if (names.empty() || std::count(names.begin(), names.end(), hwy::TargetName(t)))
            targets.push_back(t);
    return targets;
}

// A named target that is not compiled in or not supported here (e.g. SVE_256
// where the emulated vectors are not 256 bits long) fails the run rather
// than leave it testing nothing. Skips the test when no target is named.
inline void expectNamedTargetsUnderTest() {
    const std::vector<std::string> names = namedTargets();
    if (names.empty()) GTEST_SKIP() << "TOFIMAGE_TEST_TARGETS is not set";
    std::vector<std::string> tested;
    for (int64_t t : compiledTargets()) tested.push_back(hwy::TargetName(t));
    for (const std::string& name : names)
        EXPECT_EQ(std::count(tested.begin(), tested.end(), name), 1)
            << name << " is not compiled in or not supported here";
}

// A target's name, for the names of parameterized tests.
inline std::string targetName(const ::testing::TestParamInfo<int64_t>& info) {
    return hwy::TargetName(info.param);
}

#endif
