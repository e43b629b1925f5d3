#!/usr/bin/env bash
# Fuzzes the fast-file readers (blob records and the usable-part scan) with libFuzzer under
# AddressSanitizer and UndefinedBehaviorSanitizer for a bounded time. Fails when the fuzzer finds
# a crash, an out-of-bounds access, undefined behaviour or a broken invariant.
# FASTFILE_FUZZ_SECONDS overrides the time (default 20).
set -euo pipefail
cd "$(dirname "$0")/../.."
out=build/fuzz-fastfile
seconds=${FASTFILE_FUZZ_SECONDS:-20}
mkdir -p "$out/corpus" "$out/artifacts"
command -v clang++ >/dev/null || { echo "fastfile_fuzz: clang++ not found" >&2; exit 1; }

clang++ -std=c++20 -O1 -g -fno-omit-frame-pointer \
  -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined \
  -Wall -Wextra -Werror -Iengine/bdb -Iengine/platform -Iengine/fastfile \
  engine/fastfile/fuzz/fastfile_fuzz.cpp engine/fastfile/qnst_fastfile.cpp \
  engine/platform/qnst_file_posix.cpp -o "$out/fastfile_fuzz"

# Seeds: two bytes of buffer size (4096), then files of well-formed blob records with padding.
python3 - "$out/corpus" <<'PY'
import struct, sys
def rec(data, offset, size):
    return struct.pack('<iQI', len(data), offset, size) + data
def pad(b):
    b += b'\0' * (-len(b) % 512)
    return b
head = struct.pack('<H', 4096)
seeds = {
    'one': rec(b'a' * 100, 0, 100),
    'padded': pad(rec(b'a' * 100, 0, 100)) + rec(b'b' * 30, 100, 30),
    'zero_sector': pad(rec(b'c' * 494, 0, 494)) + b'\0' * 512 + rec(b'd' * 20, 494, 20),
    'chain_cut': rec(b'e' * 50, 0, 50) + rec(b'f' * 60, 50, 60)[:40],
}
for name, body in seeds.items():
    open(f'{sys.argv[1]}/seed_{name}', 'wb').write(head + body)
PY

if ! UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  "$out/fastfile_fuzz" "$out/corpus" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
  -max_len=16384 -artifact_prefix="$out/artifacts/" >"$out/fuzz.log" 2>&1; then
  tail -n 80 "$out/fuzz.log" >&2
  echo "fastfile_fuzz: FAILED; the input is in $out/artifacts/" >&2
  exit 1
fi
echo "fastfile_fuzz: $(grep -Eo 'Done [0-9]+ runs' "$out/fuzz.log" | tail -1), nothing found in ${seconds}s"
