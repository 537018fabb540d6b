#!/usr/bin/env bash
# Builds the ZIP reader fuzz target with clang and runs it for SECONDS.
# Fails on any crash, leak, sanitizer report or broken reader invariant
# (a file outside the destination folder, an archive left open).
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
ninja -C "$build" -j2 fuzz_zip

work="$build/fuzz-zip"
corpus="$work/corpus"
mkdir -p "$corpus"
# Seeds from Python's zipfile: stored, deflated, folders, a comment, data
# descriptors (an unseekable output), a prefix, traversal names.
python3 - "$corpus" <<'PY'
import io, os, sys, zipfile

class Unseekable(io.RawIOBase):
    def __init__(self):
        self.buf = bytearray()
    def writable(self):
        return True
    def write(self, b):
        self.buf += b
        return len(b)

def archive(entries, comment=b"", stream=False):
    out = Unseekable() if stream else io.BytesIO()
    with zipfile.ZipFile(out, "w") as zf:
        zf.comment = comment
        for name, data, method in entries:
            zf.writestr(name, data, compress_type=method)
    return bytes(out.buf) if stream else out.getvalue()

S, D = zipfile.ZIP_STORED, zipfile.ZIP_DEFLATED
text = b"quorin boot image section " * 40
seeds = {
    "plain": archive([("a.txt", text, D), ("docs/b.bin", bytes(range(256)), S), ("docs/", b"", S)], b"comment"),
    "stream": archive([("s.txt", text, D), ("t.txt", b"stored", S)], stream=True),
    "prefix": b"#!stub\n" * 20 + archive([("p.txt", text, D)]),
    "traversal": archive([("../up.txt", b"x", S), ("/abs.txt", b"y", D), ("C:\\w.txt", b"z", S), ("..", b"", S)]),
    "empty": archive([]),
}
for name, data in seeds.items():
    with open(os.path.join(sys.argv[1], name), "wb") as f:
        f.write(data)
PY

log="$work/fuzz.log"
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:symbolize=1"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
status=0
"$build/fuzz/zip/fuzz_zip" "$corpus" \
  -dict="$top/fuzz/zip/zip.dict" -max_total_time="$seconds" -max_len=16384 -timeout=20 \
  -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$work/" >"$log" 2>&1 || status=$?

if [ "$status" -ne 0 ] || grep -qE 'ERROR: (AddressSanitizer|LeakSanitizer|libFuzzer)|runtime error:|SUMMARY: |fuzz check failed' "$log"; then
  tail -n 60 "$log" >&2
  echo "ZIP fuzzing FAILED (exit $status); log: $log; crash inputs: $work/crash-* $work/leak-*" >&2
  exit 1
fi
grep -E '^stat::number_of_executed_units|^#[0-9]+.*DONE' "$log" || true
echo "ZIP fuzzing passed: ${seconds} s, no crash, leak or sanitizer report"
