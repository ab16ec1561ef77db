#!/usr/bin/env bash
# CPU of a delayed push against the same push without delay, in one run:
# two headless Tidecast pushes of one device simulator stream (1280x720,
# 25 fps, about 4 Mbit/s, AAC 48 kHz) to one nginx-rtmp, one with a delay of
# DELAY seconds and one without, started together so that load from elsewhere
# on the shared machine hits both alike. CPU is user + system of every thread
# of each process (/proc/PID/stat), over SECONDS once the delay has filled.
#
# Usage: bench/buffer/delay_cpu.sh [SECONDS] [DELAY]   (default 60, 10)
# Environment: BUILD_DIR (default build/); TIDECAST_ENV, extra VAR=VALUE
# settings for both pushes (for example LD_LIBRARY_PATH of another build).
set -euo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
seconds=${1:-60}
delay=${2:-10}
build=${BUILD_DIR:-$top/build}
work=$(mktemp -d /tmp/tidecast-delaycpu-XXXXXX)
# shellcheck source=../support.sh
source "$top/bench/support.sh"
trap 'bench_cleanup; rm -rf "$work"' EXIT

# shellcheck disable=SC2086
extra=(${TIDECAST_ENV:-})
bench_start_devsim "$build" --size 1280x720 --bitrate 4000 --pattern snow
bench_start_nginx
bench_start_tidecast "$build" nodelay 0 "${extra[@]}"
plain=$tidecast_pid
bench_start_tidecast "$build" delayed "$delay" "${extra[@]}"
delayed=$tidecast_pid
bench_wait_started "$plain" nodelay
bench_wait_started "$delayed" delayed
sleep $((delay + 3))
plain_before=$(bench_cpu_seconds "$plain")
delayed_before=$(bench_cpu_seconds "$delayed")
sleep "$seconds"
plain_cpu=$(awk -v a="$(bench_cpu_seconds "$plain")" -v b="$plain_before" 'BEGIN { printf "%.2f", a - b }')
delayed_cpu=$(awk -v a="$(bench_cpu_seconds "$delayed")" -v b="$delayed_before" 'BEGIN { printf "%.2f", a - b }')
bench_stop "$plain" || true
bench_stop "$delayed" || true
echo "over $seconds s: no delay $plain_cpu CPU s, delay $delay s $delayed_cpu CPU s," \
  "ratio $(bench_ratio "$delayed_cpu" "$plain_cpu")"
