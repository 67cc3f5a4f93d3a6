// Counts heap allocations of the whole program: include it in exactly one
// source file of a benchmark program, and read bench_allocations around the
// measured loop.
#pragma once

#include <cstdlib>
#include <new>

inline std::size_t bench_allocations = 0;

// Out of line, so the compiler does not pair an inlined malloc with the
// operator delete of a caller.
__attribute__((noinline)) void* operator new(std::size_t size)
{
    ++bench_allocations;
    if (void* p = std::malloc(size ? size : 1))
        return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return operator new(size); }
__attribute__((noinline)) void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
__attribute__((noinline)) void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
