# Instrumented builds: the sanitizer build of the whole suite and the
# libFuzzer harnesses. Both are separate build trees (see scripts/ci-*.sh).

option(SANITIZE "Build everything with AddressSanitizer and UndefinedBehaviorSanitizer" OFF)
option(BUILD_FUZZERS "Build the libFuzzer harnesses in fuzz/ (needs clang)" OFF)
# Run-time checks of invariants that Release builds leave out (morvalen's
# engine checks its own at every pass); on with the sanitizers.
if(SANITIZE OR BUILD_FUZZERS)
  set(checkByDefault ON)
else()
  set(checkByDefault OFF)
endif()
option(CHECK_INVARIANTS "Check internal invariants at run time, as debug builds do" ${checkByDefault})
if(CHECK_INVARIANTS)
  add_compile_definitions(CHECK_INVARIANTS)
endif()

set(kSanitizers address,undefined)
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
  # GCC leaves these out of -fsanitize=undefined; an out-of-range
  # float-to-integer conversion is undefined behaviour all the same.
  string(APPEND kSanitizers ",float-cast-overflow")
endif()

if(SANITIZE OR BUILD_FUZZERS)
  # Every finding stops the program: a report that scrolls by while the run
  # carries on and exits 0 would pass unnoticed.
  add_compile_options(-fno-sanitize-recover=all -fno-omit-frame-pointer -g)
  # Bounds checks in the standard containers too.
  add_compile_definitions(_GLIBCXX_ASSERTIONS)
  add_link_options(-fsanitize=${kSanitizers})
  # Runtime defaults compiled into every program, so that a plain ctest run
  # and the tools started by the tests behave alike (see the file).
  add_library(sanitizer_defaults OBJECT ${CMAKE_CURRENT_LIST_DIR}/sanitizer_defaults.cpp)
  link_libraries(sanitizer_defaults)
endif()

if(BUILD_FUZZERS)
  if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    message(FATAL_ERROR "BUILD_FUZZERS needs clang: configure with -DCMAKE_CXX_COMPILER=clang++")
  endif()
  # Coverage instrumentation for everything; only the harnesses link the
  # fuzzer's main (fuzz/CMakeLists.txt).
  add_compile_options(-fsanitize=fuzzer-no-link,${kSanitizers})
elseif(SANITIZE)
  add_compile_options(-fsanitize=${kSanitizers})
endif()
