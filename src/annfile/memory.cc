// annfile's containers allocate as the rest of the system does: a failure is
// reported once, with the library's message, and ends the program, never
// an exception that no one catches.
#include <cstddef>
#include <cstdlib>
#include <new>

#include "annlib/annlib.h"

void* operator new(std::size_t n) { return alloc_zeroed(1, n, "annfile"); }

void* operator new[](std::size_t n) { return alloc_zeroed(1, n, "annfile"); }

void operator delete(void* p) noexcept { free(p); }

void operator delete[](void* p) noexcept { free(p); }

void operator delete(void* p, std::size_t) noexcept { free(p); }

void operator delete[](void* p, std::size_t) noexcept { free(p); }
