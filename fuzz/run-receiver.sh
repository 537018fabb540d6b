#!/usr/bin/env bash
# Builds the frame receiver fuzz target with clang and runs it for SECONDS.
# Fails on any crash, leak, sanitizer report or broken receiver invariant.
# The build folder is build-fuzz beside the sources unless VELUNDA_FUZZ_BUILD
# names another.
set -euo pipefail

seconds=${1:-}
if ! [[ $seconds =~ ^[0-9]+$ ]] || [ "$seconds" -eq 0 ]; then
  echo "usage: $0 SECONDS" >&2
  exit 2
fi
top="$(cd "$(dirname "$0")/.." && pwd)"
build="${VELUNDA_FUZZ_BUILD:-$top/build-fuzz}"

cmake -S "$top" -B "$build" -G Ninja \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DVELUNDA_FUZZ=ON -DVELUNDA_BUILD_GUI=OFF -DVELUNDA_BUILD_TESTS=OFF >"$build.configure.log" 2>&1 ||
  { cat "$build.configure.log" >&2; echo "fuzz configure failed" >&2; exit 1; }
ninja -C "$build" -j2 fuzz_receiver

work="$build/fuzz-receiver"
corpus="$work/corpus"
mkdir -p "$corpus"
# Seeds: an item upgrade as the target reports it, split and whole.
python3 - "$corpus" <<'PY'
import sys, os
def frame(cmd, sub, payload):
    body = bytes([0xFB, 0x04, cmd, sub, len(payload) >> 8, len(payload) & 0xFF]) + bytes(payload) + b"\xFB"
    x = 0
    for b in body:
        x ^= b
    return body + bytes([x])
run = b"".join([
    frame(0x1E, 0x02, [1]), frame(0x0A, 0x02, b"001002003004005006007"),
    frame(0x32, 0x01, b"##SN123##V1.00 V1.01 V1.02 V1.03 V1.04 "),
    frame(0x0B, 0x02, [1]), frame(0x0B, 0x0C, [1]), frame(0x0B, 0x0E, [1]),
    frame(0x0B, 0x16, [1]), frame(0x0B, 0x18, [0]), frame(0x0C, 0x01, [2]),
    frame(0x0C, 0x02, [0]), frame(0x0D, 0x01, [0, 5]), frame(0x0C, 0x03, [1]),
    frame(0x0D, 0x01, [0, 2]), frame(0x0D, 0x02, [0xFB] * 40), frame(0x0D, 0x03, [1]),
    frame(0x0F, 0x01, [0, 1]), frame(0x0F, 0x02, [0]), frame(0x0F, 0x03, [1]),
    frame(0x0D, 0x04, [1]), frame(0x0E, 0x02, [1]),
])
seeds = {
    "run-whole": b"\x07\x01\x02\x03\x04" + run,
    "run-bytes": b"\x00\x05\x06\x07\x08" + run,
    "oversized": b"\x05\x00\x00\x00\x01" + frame(0x0D, 0x02, [0xFB] * 8193) + frame(0x0E, 0x02, [1]),
    "stray": b"\x03\x09\x09\x09\x09" + b"\xFB\xFB\xFB" + frame(0x0B, 0x02, [1]) + b"\xFB\x04\x0D\x02\x00\x00\xFB\x0B",
}
for name, data in seeds.items():
    with open(os.path.join(sys.argv[1], name), "wb") as f:
        f.write(data)
PY

log="$work/fuzz.log"
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:symbolize=1"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
status=0
"$build/fuzz/receiver/fuzz_receiver" "$corpus" \
  -dict="$top/fuzz/receiver/receiver.dict" -max_total_time="$seconds" -max_len=20000 -timeout=10 \
  -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$work/" >"$log" 2>&1 || status=$?

if [ "$status" -ne 0 ] || grep -qE 'ERROR: (AddressSanitizer|LeakSanitizer|libFuzzer)|runtime error:|SUMMARY: |fuzz check failed' "$log"; then
  tail -n 60 "$log" >&2
  echo "receiver fuzzing FAILED (exit $status); log: $log; crash inputs: $work/crash-* $work/leak-*" >&2
  exit 1
fi
grep -E '^stat::number_of_executed_units|^#[0-9]+.*DONE' "$log" || true
echo "receiver fuzzing passed: ${seconds} s, no crash, leak or sanitizer report"
