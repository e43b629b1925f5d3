#!/usr/bin/env bash
# Builds the benchmarks optimised and runs each program; every program ends with the ratios of
# its engine paths to their floors. Extra arguments go to every program
# (e.g. --benchmark_filter=usage --benchmark_repetitions=5).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake -S . -B build/bench -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/bench -j"$(nproc)" --target benchmarks
for b in build/bench/bench/bench_*; do
  [[ -x $b ]] || continue
  echo "=== $b"
  "$b" "$@"
done
echo "=== bench/backup_bench.sh" && bench/backup_bench.sh   # the backup tool against borg and restic
