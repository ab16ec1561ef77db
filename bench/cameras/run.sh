#!/usr/bin/env bash
# Whole-program figures for IP cameras, two pushes side by side in one run
# (so that load from elsewhere on the shared machine hits both alike):
#  1. CPU of a push from a G.711 camera (its sound made AAC in the client
#     library) against one from an AAC camera, same picture.
#  2. A push from an H.265 camera (to nginx-rtmp in the codec-id-12 form,
#     which it records) against one from an H.264 camera, same size, bit-rate
#     setting and test picture: CPU, the rate sent, and the time from the
#     launch to the first picture in the server's recording.
# CPU seconds are user + system of every thread of each Tidecast process,
# counted from 5 s after the starts to the end.
#
# Usage: bench/cameras/run.sh [SECONDS]   (default 30)
# Environment: BUILD_DIR (default build/).
set -euo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
seconds=${1:-30}
build=${BUILD_DIR:-$top/build}
work=$(mktemp -d /tmp/tidecast-cameras-XXXXXX)
# shellcheck source=../support.sh
source "$top/bench/support.sh"
trap 'bench_cleanup; rm -rf "$work"' EXIT

bench_require_build "$build"

# camera NAME [devsim options...]: a simulated camera; sets rtsp_NAME, http_NAME.
camera() {
  local name=$1
  shift
  bench_start_devsim "$build" --size 640x360 --fps 25 --bitrate 1000 "$@"
  printf -v "rtsp_$name" '%s' "$devsim_rtsp"
  printf -v "http_$name" '%s' "$devsim_http"
}

# push NAME [parameters...]: a headless launch-mode push of camera NAME to
# stream NAME; sets pid_NAME and started_NAME (the launch, in ms).
push() {
  local name=$1 rtsp="rtsp_$1" http="http_$1"
  shift
  bench_write_settings "$work/config-$name" 0
  printf -v "started_$name" '%s' "$(date +%s%3N)"
  env -u DISPLAY -u WAYLAND_DISPLAY XDG_CONFIG_HOME="$work/config-$name" "$build/bin/Tidecast" \
    "Address=127.0.0.1&User=admin&Password=admin&isHD=0&RtspPort=${!rtsp}&HttpPort=${!http}&id=1&StatsInterval=5$*" \
    "$rtmp_base/$name" >"$work/$name.out" 2>"$work/$name.err" &
  printf -v "pid_$name" '%s' "$!"
  pids+=("$!")
}

# first_picture NAME: ms from the launch until the recording holds a coded
# picture (not a sequence header); -1 after 20 s without one.
first_picture() {
  local started="started_$1" file=$work/rec/$1.flv
  for _ in $(seq 400); do
    if [ -s "$file" ] && python3 - "$file" <<'PY'; then
import sys
d = open(sys.argv[1], 'rb').read()
p = 13
while p + 11 <= len(d):
    n = int.from_bytes(d[p + 1:p + 4], 'big')
    body = d[p + 11:p + 11 + n]
    if d[p] == 9 and len(body) == n and len(body) > 5 and body[1] != 0:
        sys.exit(0)
    p += 15 + n
sys.exit(1)
PY
      echo $(( $(date +%s%3N) - ${!started} ))
      return
    fi
    sleep 0.05
  done
  echo -1
}

# cpu_since NAME EARLY: CPU seconds of push NAME since the reading EARLY.
cpu_since() {
  local pid="pid_$1"
  awk -v a="$(bench_cpu_seconds "${!pid}")" -v b="$2" 'BEGIN { printf "%.2f", a - b }'
}
last_sent_kbps() { grep -o 'sent_kbps=[0-9.]*' "$work/$1.out" | tail -1 | cut -d= -f2; }

# run_pair A B: both pushes launched at once; sets cpu_A, cpu_B, first_A, first_B.
run_pair() {
  local a=$1 b=$2 pa="pid_$1" pb="pid_$2"
  first_picture "$a" >"$work/$a.first" &
  local watch_a=$!
  first_picture "$b" >"$work/$b.first" &
  local watch_b=$!
  bench_wait_started "${!pa}" "$a"
  bench_wait_started "${!pb}" "$b"
  wait "$watch_a" "$watch_b" || true
  sleep 5
  local early_a early_b
  early_a=$(bench_cpu_seconds "${!pa}")
  early_b=$(bench_cpu_seconds "${!pb}")
  sleep $((seconds > 5 ? seconds - 5 : 0))
  printf -v "cpu_$a" '%s' "$(cpu_since "$a" "$early_a")"
  printf -v "cpu_$b" '%s' "$(cpu_since "$b" "$early_b")"
  bench_stop "${!pa}" || echo "$a: Tidecast ended with code $?"
  bench_stop "${!pb}" || echo "$b: Tidecast ended with code $?"
}

bench_start_nginx
camera g711 --audio-codec pcma
camera aac --audio-codec aac
camera h265 --video-codec h265
camera h264 --video-codec h264

echo "1. Sound: a G.711 camera (made AAC) against an AAC camera, 640x360 H.264 1000 kbit/s; $seconds s"
push g711
push aac
run_pair g711 aac
printf '  %-14s %6s CPU s\n' "G.711 camera" "$cpu_g711" "AAC camera" "$cpu_aac"
awk -v g="$cpu_g711" -v a="$cpu_aac" -v s="$((seconds - 5))" \
  'BEGIN { printf "  ratio %.2f; the transcode: %.2f CPU s in %d s = %.2f%% of one core\n", (a > 0 ? g / a : 0), g - a, s, 100 * (g - a) / s }'

echo "2. Video: an H.265 camera (codec id 12) against an H.264 camera, 640x360, bit-rate setting 1000; $seconds s"
push h265 "&HevcFlv=id12"
push h264
run_pair h265 h264
printf '  %-14s %6s CPU s  %8s kbit/s sent  first picture at the server %s ms after the launch\n' \
  "H.265 camera" "$cpu_h265" "$(last_sent_kbps h265)" "$(cat "$work/h265.first")" \
  "H.264 camera" "$cpu_h264" "$(last_sent_kbps h264)" "$(cat "$work/h264.first")"
awk -v a="$(last_sent_kbps h265)" -v b="$(last_sent_kbps h264)" \
  'BEGIN { printf "  sent rate H.265 / H.264: %.2f\n", (b > 0 ? a / b : 0) }'
bench_stop_nginx
