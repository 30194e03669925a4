// annfile's containers allocate as the rest of the system does: a failure is
// reported once, with the library's message, and ends the program, never
// an exception that no one catches. Every form of new and delete that the
// standard library may call is replaced, so that each pair matches.
#include <cstddef>
#include <cstdlib>
#include <new>

#include "annlib/annlib.h"

void* operator new(std::size_t n) { return alloc_zeroed(1, n, "annfile"); }

void* operator new[](std::size_t n) { return alloc_zeroed(1, n, "annfile"); }

void* operator new(std::size_t n, const std::nothrow_t&) noexcept {
  return alloc_zeroed(1, n, "annfile");
}

void* operator new[](std::size_t n, const std::nothrow_t&) noexcept {
  return alloc_zeroed(1, n, "annfile");
}

void operator delete(void* p) noexcept { free(p); }

void operator delete[](void* p) noexcept { free(p); }

void operator delete(void* p, std::size_t) noexcept { free(p); }

void operator delete[](void* p, std::size_t) noexcept { free(p); }

void operator delete(void* p, const std::nothrow_t&) noexcept { free(p); }

void operator delete[](void* p, const std::nothrow_t&) noexcept { free(p); }
