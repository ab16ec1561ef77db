#!/usr/bin/env bash
# CPU of one push to one destination against one push to three, in the same
# run (both at once, on one devsim stream and one nginx, so that load from
# elsewhere on the shared machine hits both alike). CPU seconds are user +
# system of every thread of each Tidecast process (/proc/PID/stat), counted
# from 5 s after the starts to the end; devsim and nginx are not counted.
#
# Usage: bench/destinations/run.sh [SECONDS]   (default 60)
# Environment: BUILD_DIR (default build/).
set -euo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
seconds=${1:-60}
build=${BUILD_DIR:-$top/build}
work=$(mktemp -d /tmp/tidecast-destinations-XXXXXX)
# shellcheck source=../support.sh
source "$top/bench/support.sh"
trap 'bench_cleanup; rm -rf "$work"' EXIT

bench_require_build "$build"

# start_push NAME DESTINATION...: a headless launch-mode push; sets push_pid.
start_push() {
  local name=$1
  shift
  bench_write_settings "$work/config-$name" 0
  env -u DISPLAY -u WAYLAND_DISPLAY XDG_CONFIG_HOME="$work/config-$name" "$build/bin/Tidecast" \
    "Address=127.0.0.1&User=admin&Password=admin&isHD=0&RtspPort=$devsim_rtsp&HttpPort=$devsim_http&id=1" \
    "$@" >"$work/$name.out" 2>"$work/$name.err" &
  push_pid=$!
  pids+=("$push_pid")
}

bench_start_devsim "$build" --size 1280x720 --fps 25 --bitrate 4000 --pattern snow --audio-rate 48000 --audio-channels 2
bench_start_nginx
start_push one "$rtmp_base/one"
one=$push_pid
start_push three "$rtmp_base/three-a" "$rtmp_base/three-b" "$rtmp_base/three-c"
three=$push_pid
bench_wait_started "$one" one
bench_wait_started "$three" three
sleep 5
one_early=$(bench_cpu_seconds "$one")
three_early=$(bench_cpu_seconds "$three")
sleep $((seconds > 5 ? seconds - 5 : 0))
one_cpu=$(awk -v a="$(bench_cpu_seconds "$one")" -v b="$one_early" 'BEGIN { printf "%.2f", a - b }')
three_cpu=$(awk -v a="$(bench_cpu_seconds "$three")" -v b="$three_early" 'BEGIN { printf "%.2f", a - b }')
kill -TERM "$three" 2>/dev/null || true
bench_stop "$one" || echo "one: Tidecast ended with code $?"
bench_stop "$three" || echo "three: Tidecast ended with code $?"
bench_stop_nginx

echo "Stream: devsim 1280x720 25 fps 4000 kbit/s snow, AAC 48 kHz stereo; $seconds s, CPU from 5 s on"
printf '%-22s %8s %s\n' push "CPU s" "video packets per recording"
printf '%-22s %8s %s\n' "one destination" "$one_cpu" "$(bench_video_packets "$work/rec/one.flv")"
printf '%-22s %8s %s\n' "three destinations" "$three_cpu" \
  "$(for s in a b c; do printf '%s ' "$(bench_video_packets "$work/rec/three-$s.flv")"; done)"
echo "CPU ratio three / one: $(bench_ratio "$three_cpu" "$one_cpu")"
