// Sanitizer runtime defaults for the instrumented builds. The environment
// (ASAN_OPTIONS, UBSAN_OPTIONS) still overrides them.
//
// - detect_leaks=0: the tools allocate their buffers once and never free
//   them, by design; the end of the process reclaims them.
// - allocator_may_return_null=1: a refused allocation returns null as it does
//   in an ordinary build, so the tools' "cannot allocate" paths are what runs
//   instead of a sanitizer abort.
// - abort_on_error=1: a finding ends in SIGABRT, which tests tell apart from
//   the tools' own exit status 1.

extern "C" const char* __asan_default_options() {
  return "detect_leaks=0:allocator_may_return_null=1:abort_on_error=1";
}

extern "C" const char* __ubsan_default_options() {
  return "print_stacktrace=1:abort_on_error=1:halt_on_error=1";
}
