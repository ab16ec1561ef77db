#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for a while on its
# seed corpus (kept in fuzz/corpus/<name>; new finds go to a scratch copy).
# Usage: scripts/fuzz.sh [SECONDS_PER_TARGET, default 60]
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-60}
build=$top/build-fuzz
"$top/scripts/build.sh" "$build" -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DTIDECAST_FUZZ=ON -DTIDECAST_TESTS=OFF -DTIDECAST_BENCH=OFF
status=0
for target in "$build"/fuzz/fuzz_*; do
  name=$(basename "$target"); name=${name#fuzz_}
  scratch=$(mktemp -d)
  cp -r "$top/fuzz/corpus/$name/." "$scratch/" 2>/dev/null || true
  echo "== fuzz_$name for ${seconds} s"
  if ! "$target" -max_total_time="$seconds" -print_final_stats=0 -artifact_prefix="$build/fuzz/$name-" \
        "$scratch" >"$build/fuzz/$name.log" 2>&1; then
    tail -40 "$build/fuzz/$name.log"
    status=1
  fi
  rm -rf "$scratch"
done
exit $status
