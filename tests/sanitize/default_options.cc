// The sanitizers' settings, built into every program of a sanitizer build, so
// that a test run needs no environment of its own (ASAN_OPTIONS and
// UBSAN_OPTIONS still add to them).
//
// allocator_may_return_null: an allocation that cannot be had returns null,
//   as it does without the sanitizer, so "out of memory" is still the
//   program's own message and status rather than a sanitizer's report.
// abort_on_error: a report ends the program with SIGABRT, which no test can
//   mistake for one of the program's own exit statuses.

extern "C" const char* __asan_default_options() {
  return "allocator_may_return_null=1:abort_on_error=1:halt_on_error=1:detect_leaks=1";
}

extern "C" const char* __ubsan_default_options() {
  return "abort_on_error=1:halt_on_error=1:print_stacktrace=1";
}
