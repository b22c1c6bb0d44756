// Include in exactly one source file of a test program: replaces the global
// operator new so that every heap allocation of the program is counted in
// korvel::test::allocations.
#pragma once

#include <atomic>
#include <cstdlib>
#include <new>

namespace korvel::test {
inline std::atomic<long> allocations{0};
}

void* operator new(std::size_t size) {
    ++korvel::test::allocations;
    if (void* p = std::malloc(size ? size : 1)) return p;
    throw std::bad_alloc();
}
// operator new above is malloc, so free is its match.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
#pragma GCC diagnostic pop
