# Sanitizer and fuzzing builds. Each one instruments the whole build: the program's library, the
# stand-in libraries, the simulators and the tests, so that every process a test starts reports.
#
#   -DVELMORA_SANITIZE=address,undefined   AddressSanitizer (with LeakSanitizer) and UBSan
#   -DVELMORA_SANITIZE=thread              ThreadSanitizer
#   -DVELMORA_FUZZ=ON                      libFuzzer targets (tests/fuzz) instead of the tests
#
# All of them need clang: configure with -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++.
set(VELMORA_SANITIZE "" CACHE STRING "Sanitizers for the whole build (address,undefined or thread)")
option(VELMORA_FUZZ "Build the libFuzzer targets of tests/fuzz instead of the tests" OFF)

if(VELMORA_FUZZ AND VELMORA_SANITIZE)
  message(FATAL_ERROR "VELMORA_FUZZ brings its own sanitizers; leave VELMORA_SANITIZE empty")
endif()
if((VELMORA_FUZZ OR VELMORA_SANITIZE) AND NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
  message(FATAL_ERROR "Sanitizer and fuzzing builds need clang (-DCMAKE_CXX_COMPILER=clang++)")
endif()

set(_velmora_sanitize_flags "")
if(VELMORA_SANITIZE)
  set(_velmora_sanitize_flags -fsanitize=${VELMORA_SANITIZE} -fno-omit-frame-pointer)
elseif(VELMORA_FUZZ)
  # Coverage feedback for everything; only the fuzz targets link libFuzzer's main
  # (-fsanitize=fuzzer, tests/fuzz/CMakeLists.txt).
  set(_velmora_sanitize_flags -fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer)
endif()
if(_velmora_sanitize_flags MATCHES "undefined")
  # Undefined behaviour ends the process like any other report.
  list(APPEND _velmora_sanitize_flags -fno-sanitize-recover=undefined)
  if(VELMORA_SANITIZE)
    # Except that a vptr report goes through the runtime's suppressions first
    # (tests/sanitizers/ubsan.supp); UBSAN_OPTIONS=halt_on_error=1 then ends the process on any
    # that is not suppressed (scripts/sanitized-ctest).
    list(APPEND _velmora_sanitize_flags -fsanitize-recover=vptr)
  endif()
endif()
if(_velmora_sanitize_flags)
  add_compile_options(${_velmora_sanitize_flags})
  add_link_options(${_velmora_sanitize_flags})
endif()
