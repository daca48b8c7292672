// Configure-time probe (cmake/robustness.cmake): the instruction sets that
// Highway would compile the vector kernel for with this compiler and these
// flags, but that this CPU cannot run. Prints their mask (decimal, for
// HWY_DISABLED_TARGETS) on the first line and their names on the second.
// The static target (Highway's baseline, always runnable) is never listed.
#include <hwy/highway.h>
#include <hwy/targets.h>

#include <cstdint>
#include <cstdio>

int main() {
    const int64_t unrunnable =
        (int64_t)HWY_TARGETS & ~hwy::SupportedTargets() & ~(int64_t)HWY_STATIC_TARGET;
    std::printf("%lld\n", (long long)unrunnable);
    for (int64_t rest = unrunnable; rest != 0; rest &= rest - 1)
        std::printf("%s%s", rest == unrunnable ? "" : " ", hwy::TargetName(rest & -rest));
    std::printf("\n");
    return 0;
}
