#!/bin/sh
# Builds the libFuzzer harnesses of fuzz/ with clang, AddressSanitizer and
# UndefinedBehaviorSanitizer, and runs each one for a bounded time, starting
# from its seed corpus in fuzz/corpus/<name>/ (which is never written: new
# inputs go to the build folder). A crash, a failed property, a leak or a
# hang stops the script with a non-zero status and leaves the input under
# build-fuzz/artifacts/.
#
#   sh scripts/fuzz.sh [seconds per harness] [harness name...]
#
# The time per harness defaults to $FUZZ_SECONDS, else 10. Names select
# harnesses (options, parfile, login, login_cipher, file_name, number_date,
# escape, manifest); without names every harness runs.
set -e
cd "$(dirname "$0")/.."
seconds=${1:-${FUZZ_SECONDS:-10}}
[ $# -gt 0 ] && shift

# What building needs (cmake, zlib, sqlite, ...), then clang and its
# fuzzer runtime, each only when missing.
sh scripts/setup.sh
probe_dir=$(mktemp -d)
trap 'rm -rf "$probe_dir"' EXIT
fuzzer_links() {
  command -v clang++ >/dev/null 2>&1 || return 1
  printf 'extern "C" int LLVMFuzzerTestOneInput(const unsigned char*, unsigned long) { return 0; }\n' \
    > "$probe_dir/probe.cc"
  clang++ -fsanitize=fuzzer,address,undefined "$probe_dir/probe.cc" -o "$probe_dir/probe" >/dev/null 2>&1
}
if ! fuzzer_links; then
  need=""
  command -v clang++ >/dev/null 2>&1 || need="clang"
  need="$need libclang-rt-14-dev"
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  $SUDO apt-get update -q
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -q $need
  fuzzer_links || { echo "fuzz.sh: clang cannot link libFuzzer programs" >&2; exit 1; }
fi

build=${FUZZ_BUILD_DIR:-build-fuzz}
jobs=$(nproc 2>/dev/null || echo 2)
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DROWVANE_FUZZ=ON -DROWVANE_TESTS=OFF \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ >/dev/null
cmake --build "$build" -j "$jobs" --target rowvane_fuzzers

names="$*"
[ -n "$names" ] || names="options parfile login login_cipher file_name number_date escape"
mkdir -p "$build/artifacts" "$build/corpus"
failed=""
for name in $names; do
  bin="$build/fuzz/${name}_fuzzer"
  [ -x "$bin" ] || { echo "fuzz.sh: no harness $name" >&2; exit 1; }
  dict=""
  case $name in options|parfile) dict="-dict=fuzz/options.dict" ;; esac
  mkdir -p "$build/corpus/$name"
  log="$build/artifacts/$name.log"
  printf '%-14s %ss ... ' "$name" "$seconds"
  if ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
     "$bin" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len=8192 $dict \
       -artifact_prefix="$build/artifacts/$name-" "$build/corpus/$name" "fuzz/corpus/$name" \
       >"$log" 2>&1; then
    echo "ok ($(grep -o 'Done [0-9]* runs' "$log" | tail -1 | cut -d' ' -f2) runs)"
  else
    echo "FAILED"
    grep -E 'ERROR|property failed|SUMMARY|Test unit written' "$log" | head -20
    failed="$failed $name"
  fi
done
if [ -n "$failed" ]; then
  echo "fuzz.sh: failing harnesses:$failed (inputs and logs in $build/artifacts/)" >&2
  exit 1
fi
echo "fuzz.sh: every harness ran $seconds s without a fault"
