#!/usr/bin/env bash
# Sets up, builds, and runs every test program through CTest.
#   scripts/test.sh             the plain build in build/
#   scripts/test.sh --sanitize  AddressSanitizer and UndefinedBehaviorSanitizer,
#                               built in build-sanitize/, the whole suite
# CMAKE_ARGS from the caller reach both configurations (e.g.
# CMAKE_ARGS=-DCMAKE_CXX_COMPILER_LAUNCHER=ccache).
set -euo pipefail
cd "$(dirname "$0")/.."
if [ "${1:-}" = "--sanitize" ]; then
  BUILD_DIR=build-sanitize BUILD_TYPE=RelWithDebInfo CMAKE_ARGS="-DVARNIK_SANITIZE=ON -DVARNIK_BUILD_BENCH=OFF ${CMAKE_ARGS:-}" scripts/setup.sh
  # Leaks are suppressed only for the driver and the image library, each
  # entry with its reason (scripts/lsan.supp). Undefined behaviour stops the
  # test that meets it. Allocation stacks come from the fast unwinder here;
  # tests/CMakeLists.txt gives the programs without GL the slow one.
  export ASAN_OPTIONS="detect_leaks=1:strict_string_checks=1"
  export LSAN_OPTIONS="suppressions=$PWD/scripts/lsan.supp:print_suppressions=0"
  export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
  cd build-sanitize
else
  scripts/setup.sh
  cd build
fi
ctest --output-on-failure -j"$(nproc)"
