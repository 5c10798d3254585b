#!/bin/sh
# Builds and runs every test: the normal build, the benchmark harness's own
# tests, the fuzz harnesses for a few seconds each, then a Debug build with
# AddressSanitizer and UndefinedBehaviorSanitizer.
set -e
cd "$(dirname "$0")/.."
sh scripts/setup.sh
jobs=$(nproc 2>/dev/null || echo 2)
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j "$jobs"
(cd build && ctest --output-on-failure -j "$jobs")
(cd bench && python3 -m unittest test_bench)
# scripts/fuzz.sh SECONDS runs them longer.
[ "${ROWVANE_SKIP_FUZZ:-0}" = 1 ] || sh scripts/fuzz.sh "${FUZZ_SECONDS:-5}"
if [ "${ROWVANE_SKIP_SANITIZERS:-0}" != 1 ]; then
  cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DROWVANE_SANITIZE=ON >/dev/null
  cmake --build build-asan -j "$jobs"
  (cd build-asan && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 ctest --output-on-failure -j "$jobs")
fi
