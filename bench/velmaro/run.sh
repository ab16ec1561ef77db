#!/usr/bin/env bash
# Runs the sender library's benchmarks and prints the figures that matter:
# the body path against a plain memcpy of the same bytes (ratio, same run)
# and the sorter's push-to-release latency.
# Usage: bench/velmaro/run.sh [BUILD_DIR]
set -euo pipefail
build=${1:-$(cd "$(dirname "$0")/../.." && pwd)/build}
json=$(mktemp /tmp/velmaro-bench-XXXXXX.json)
trap 'rm -f "$json"' EXIT
"$build/bin/velmaro_bench" --benchmark_min_time=0.3 --benchmark_repetitions=5 \
  --benchmark_report_aggregates_only=true --benchmark_out="$json" --benchmark_out_format=json
python3 - "$json" <<'PY'
import json, sys
runs = json.load(open(sys.argv[1]))["benchmarks"]
median = {r["run_name"]: r for r in runs if r.get("aggregate_name") == "median"}
print()
for name, run in sorted(median.items()):
    if name.startswith("BodyPath/"):
        slice_bytes = name.split("/")[1]
        plain = median.get("PlainMemcpy/" + slice_bytes)
        if plain:
            print(f"body path / memcpy, access unit with two {slice_bytes}-byte slices: "
                  f"{run['real_time'] / plain['real_time']:.1f}x "
                  f"({run['real_time']:.0f} ns against {plain['real_time']:.0f} ns)")
    if name.startswith("SorterLatency"):
        print(f"sorter push-to-release latency: p50 {run['p50_us']:.1f} us, p99 {run['p99_us']:.1f} us")
PY
