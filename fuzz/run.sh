#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for SECONDS.
# Usage: fuzz/run.sh SECONDS [TARGET...]   (targets: the folders of fuzz/; default all)
# Fails on any crash, leak, sanitizer report or broken invariant the target
# checks. The build folder is build-fuzz beside the sources unless
# VELUNDA_FUZZ_BUILD names another. Each target folder holds its fuzzer
# (fuzz_<name>), seeds.py (writes the seed corpus) and options (libFuzzer
# options), and may hold <name>.dict.
set -euo pipefail

seconds=${1:-}
if ! [[ $seconds =~ ^[0-9]+$ ]] || [ "$seconds" -eq 0 ]; then
  echo "usage: $0 SECONDS [TARGET...]" >&2
  exit 2
fi
shift
top="$(cd "$(dirname "$0")/.." && pwd)"
build="${VELUNDA_FUZZ_BUILD:-$top/build-fuzz}"
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  for d in "$top"/fuzz/*/; do
    [ -f "$d/CMakeLists.txt" ] && targets+=("$(basename "$d")")
  done
fi

mkdir -p "$build"
cmake -S "$top" -B "$build" -G Ninja \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DVELUNDA_FUZZ=ON -DVELUNDA_BUILD_GUI=OFF -DVELUNDA_BUILD_TESTS=OFF >"$build/configure.log" 2>&1 ||
  { cat "$build/configure.log" >&2; echo "fuzz configure failed" >&2; exit 1; }
ninja -C "$build" -j "$(nproc)" "${targets[@]/#/fuzz_}"

export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:symbolize=1"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
for name in "${targets[@]}"; do
  here="$top/fuzz/$name"
  work="$build/fuzz-$name"
  corpus="$work/corpus"
  mkdir -p "$corpus"
  python3 "$here/seeds.py" "$corpus"
  read -r -a options <"$here/options"
  dict=()
  [ -f "$here/$name.dict" ] && dict=(-dict="$here/$name.dict")
  log="$work/fuzz.log"
  status=0
  "$build/fuzz/$name/fuzz_$name" "$corpus" "${dict[@]}" -max_total_time="$seconds" "${options[@]}" \
    -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$work/" >"$log" 2>&1 || status=$?
  if [ "$status" -ne 0 ] ||
    grep -qE 'ERROR: (AddressSanitizer|LeakSanitizer|libFuzzer)|runtime error:|SUMMARY: |fuzz check failed' "$log"; then
    tail -n 60 "$log" >&2
    echo "$name fuzzing FAILED (exit $status); log: $log; crash inputs: $work/crash-* $work/leak-*" >&2
    exit 1
  fi
  grep -E '^stat::number_of_executed_units' "$log" || true
  echo "$name fuzzing passed: ${seconds} s, no crash, leak or sanitizer report"
done
