#!/usr/bin/env bash
# Builds the tick reader fuzzer with clang's libFuzzer (plus AddressSanitizer and
# UndefinedBehaviorSanitizer) and runs it for a fixed budget, then prints how
# many inputs it executed. Fails if the fuzzer finds a crash or a broken check.
#   FUZZ_SECONDS    time budget in seconds (default 60)
#   FUZZ_BUILD_DIR  where the binary, corpus and findings go (default build/fuzz)
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
out=${FUZZ_BUILD_DIR:-$root/build/fuzz}
seconds=${FUZZ_SECONDS:-60}
cxx=${FUZZ_CXX:-clang++}

mkdir -p "$out/corpus" "$out/findings"
"$cxx" -std=c++20 -O1 -g -Wall -Wextra -Werror \
  -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined \
  -I"$root/src" "$here/tick_reader_fuzz.cpp" "$root"/src/tm_data/*.cpp "$root"/src/tm_types/*.cpp \
  -lz -o "$out/tick_reader_fuzz"

# Seeds: an empty file, a header alone, and small sound files; the fuzzer takes
# it from there (a kept corpus grows across runs).
if command -v python3 >/dev/null; then
  python3 - "$out/corpus" <<'PY'
import os, struct, sys, zlib
def tick_file(times, count=None):
    records = b"".join(struct.pack("<8q", t, t, 100, 101, 99, 100, 101, i) for i, t in enumerate(times))
    n = len(times) if count is None else count
    return struct.pack("<4sHHQQII", b"TMTK", 2, 0, n, 1, zlib.crc32(records), 0) + records
seeds = {
    "empty": b"",
    "header": tick_file([]),
    "three": tick_file([1, 2, 2]),
    "backwards": tick_file([5, 5, 4]),
    "short": tick_file([1, 2], count=3),
}
for name, data in seeds.items():
    with open(os.path.join(sys.argv[1], "seed-" + name), "wb") as f:
        f.write(data)
PY
fi

log="$out/fuzz.log"
"$out/tick_reader_fuzz" -max_total_time="$seconds" -rss_limit_mb=512 -timeout=5 \
  -print_final_stats=1 -artifact_prefix="$out/findings/" "$out/corpus" >"$log" 2>&1 || {
  tail -n 40 "$log"
  echo "tick reader fuzzer: FAILED (log: $log)"
  exit 1
}
executions=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
echo "tick reader fuzzer: ${executions:-?} executions in ${seconds}s, no failures"
