#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (only they and the libraries they
# link) and runs each for a while on its seed corpus, kept in
# fuzz/corpus/<name>; new finds go to a scratch copy. A finding fails the run:
# the report and the input that caused it (kept in build-fuzz/fuzz/) are
# printed.
# Usage: scripts/fuzz.sh [SECONDS_PER_TARGET, default 60]
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-60}
build=$top/build-fuzz
cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DTIDECAST_FUZZ=ON -DTIDECAST_TESTS=OFF -DTIDECAST_BENCH=OFF >"$build.cmake.log" 2>&1 || {
  cat "$build.cmake.log" >&2
  exit 1
}
cmake --build "$build" -j "$(nproc 2>/dev/null || echo 2)" --target tidecast_fuzzers 2>&1 |
  grep -vE '^\[ *[0-9]+%\]|^-- ' || true
test "${PIPESTATUS[0]}" -eq 0

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
status=0
for target in "$build"/fuzz/fuzz_*; do
  name=$(basename "$target"); name=${name#fuzz_}
  # Scratch corpus and temporary files in memory where the system has it.
  scratch=$(mktemp -d -p /dev/shm 2>/dev/null || mktemp -d)
  mkdir "$scratch/corpus" "$scratch/tmp"
  cp -r "$top/fuzz/corpus/$name/." "$scratch/corpus/" 2>/dev/null || true
  log=$build/fuzz/$name.log
  rm -f "$build/fuzz/$name-"*
  echo "== fuzz_$name for ${seconds} s"
  if TMPDIR=$scratch/tmp "$target" -max_total_time="$seconds" -timeout=10 -print_final_stats=1 \
       -artifact_prefix="$build/fuzz/$name-" "$scratch/corpus" >"$log" 2>&1; then
    grep -E '^#[0-9]+[[:space:]]+DONE' "$log" | tail -1 || true
  else
    # The report from the first sanitizer or libFuzzer line on (or the log's
    # end when there is none), then the input.
    report=$(sed -n '/==[0-9]*==ERROR\|runtime error\|ERROR: libFuzzer\|ALARM: working on/,$p' "$log")
    if [ -n "$report" ]; then head -120 <<<"$report"; else tail -40 "$log"; fi
    for artifact in "$build/fuzz/$name-"*; do
      [ -f "$artifact" ] || continue
      echo "-- input $artifact ($(stat -c %s "$artifact") bytes):"
      xxd -l 512 "$artifact"
    done
    status=1
  fi
  rm -rf "$scratch"
done
exit $status
