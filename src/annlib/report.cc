#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include "annlib.h"
#include "report.h"

namespace {
bool quiet;
char reason[4200];
}  // namespace

void neskquiet() { quiet = true; }

const char* nesk_reason() { return reason; }

int fail_ann(const char* path, const char* why) {
  snprintf(reason, sizeof reason, "%s: %s", path, why);
  if (!quiet) nesk_error("NESK: %s\n", reason);
  return -1;
}

void nesk_error(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  vfprintf(stderr, fmt, ap);
  va_end(ap);
}

int nesk_me_fatal() { return 1; }

void* alloc_zeroed(size_t count, size_t size, const char* what) {
  // A request for nothing still gets a block of its own, so null always means failure.
  void* p = calloc(count ? count : 1, size ? size : 1);
  if (p) return p;
  nesk_error("NESK: can't allocate (%ld*%ld) bytes for %s\n", (long)count, (long)size, what);
  if (nesk_me_fatal()) exit(1);
  return nullptr;
}
