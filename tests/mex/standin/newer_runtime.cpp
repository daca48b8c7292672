// Linked into a module of the MATLAB-on-Linux check to make it need a newer
// libstdc++ than MATLAB R2021a has, as GCC 13 to 15 make modules need one
// through their headers alone (GCC 13.2's <iostream>: GLIBCXX_3.4.32): here
// std::to_chars for double, GLIBCXX_3.4.29 (GCC 11). Linked with the static
// C++ runtime, the module must need none of it; linked without, the check
// must catch it.
#include <charconv>

extern "C" int tofimage_newer_runtime(char* buf, int size, double v) {
    const std::to_chars_result r = std::to_chars(buf, buf + size, v);
    return r.ec == std::errc() ? (int)(r.ptr - buf) : -1;
}
