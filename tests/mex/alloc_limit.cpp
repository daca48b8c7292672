// Linked into test builds of the MEX modules only (cmake/mex.cmake, with
// -Bsymbolic so that the module's own allocations come here and not to the
// host's operator new): a single allocation of more than
// TOFIMAGE_TEST_ALLOC_LIMIT bytes fails with std::bad_alloc, as it would on
// a machine short of memory. Unset or empty: no limit.
#include <cstdint>
#include <cstdlib>
#include <new>

namespace {

std::size_t allocationLimit() {
    const char* value = std::getenv("TOFIMAGE_TEST_ALLOC_LIMIT");
    if (value == nullptr || *value == '\0') return SIZE_MAX;
    return (std::size_t)std::strtoull(value, nullptr, 10);
}

}  // namespace

void* operator new(std::size_t size) {
    if (size > allocationLimit()) throw std::bad_alloc();
    if (void* p = std::malloc(size > 0 ? size : 1)) return p;
    throw std::bad_alloc();
}

void* operator new[](std::size_t size) { return ::operator new(size); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
