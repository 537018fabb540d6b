#!/usr/bin/env bash
# Builds the part-image loader fuzz target with clang and runs it for SECONDS.
# Fails on any crash, leak, sanitizer report or broken loader invariant.
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
ninja -C "$build" -j2 fuzz_partimage

work="$build/fuzz-partimage"
corpus="$work/corpus"
mkdir -p "$corpus"
# Seeds: plain images (control byte bit 0 set) of both layouts, with a BA
# section, partial blocks, an absent part and a bad tag; and raw text.
python3 - "$corpus" <<'PY'
import sys, os, struct
def header(code, entries, numeric):
    h = bytearray(80)
    h[0:8] = code
    for d, (tag, version, size) in enumerate(entries):
        e = 16 + 8 * d
        h[e:e + 2] = tag
        if numeric:
            h[e + 2:e + 4] = struct.pack(">H", version)
            h[e + 4:e + 8] = struct.pack(">I", size)
        else:
            h[e + 2:e + 5] = version.ljust(3, b"\0")
            h[e + 5:e + 8] = struct.pack(">I", size)[1:]
    return bytes(h)
tags = [b"BA", b"SM", b"SC", b"SS", b"SF", b"SR"]
sizes = [32, 20, 0, 17, 48, 1]
body = bytes((i * 37 + 11) & 0xFF for i in range(sum(sizes)))
seeds = {
    "numeric": b"\x01" + header(b"I_QUORIN", [(t, 1 if s else 0, s) for t, s in zip(tags, sizes)], True) + body,
    "text-lower": b"\x03" + header(b"S_QUORIN", [(t, b"V1" if s else b"0", s) for t, s in zip(tags, sizes)], False) + body,
    "text-odd": b"\x05" + header(b"P_QUORIN", [(t, b"123", s) for t, s in zip(tags, sizes)], False) + body,
    "bad-tag": b"\x01" + header(b"I_QUORIN", [(b"XX" if i == 3 else t, 1, s) for i, (t, s) in enumerate(zip(tags, sizes))], True) + body,
    "short": b"\x01" + header(b"I_QUORIN", [(t, 1, s) for t, s in zip(tags, sizes)], True) + body[:40],
    "raw-text": b"\x00" + b"0123456789abcdefABCDEF\n" * 20,
}
for name, data in seeds.items():
    with open(os.path.join(sys.argv[1], name), "wb") as f:
        f.write(data)
PY

log="$work/fuzz.log"
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:symbolize=1"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
status=0
"$build/fuzz/partimage/fuzz_partimage" "$corpus" \
  -dict="$top/fuzz/partimage/partimage.dict" -max_total_time="$seconds" -max_len=8192 -timeout=10 \
  -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$work/" >"$log" 2>&1 || status=$?

if [ "$status" -ne 0 ] || grep -qE 'ERROR: (AddressSanitizer|LeakSanitizer|libFuzzer)|runtime error:|SUMMARY: |fuzz check failed' "$log"; then
  tail -n 60 "$log" >&2
  echo "part-image fuzzing FAILED (exit $status); log: $log; crash inputs: $work/crash-* $work/leak-*" >&2
  exit 1
fi
grep -E '^stat::number_of_executed_units|^#[0-9]+.*DONE' "$log" || true
echo "part-image fuzzing passed: ${seconds} s, no crash, leak or sanitizer report"
