#!/usr/bin/env bash
# Figures for IP cameras, from the device simulator through libtrel32:
#  1. CPU seconds of the library for a G.711 camera (its sound made AAC in the
#     library) against an AAC camera, same video, both at once in one run:
#     the difference is the transcode's cost per room.
#  2. Bits per second the simulator's H.265 and H.264 send at the same
#     picture size, bit-rate setting and test picture (video only), both at
#     once, and the time from the open to the first picture of each.
# Usage: bench/trel32/cameras.sh [BUILD_DIR] [SECONDS] [devsim options for both...]
set -euo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
build=${1:-$top/build}
seconds=${2:-30}
shift $(( $# >= 2 ? 2 : $# )) || true
work=$(mktemp -d /tmp/trel32-cameras-XXXXXX)
devsims=()
cleanup() {
  local pid
  for pid in "${devsims[@]}"; do kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null; done
  rm -rf "$work"
}
trap cleanup EXIT

# start_camera NAME [devsim options...]: sets url_NAME.
start_camera() {
  local name=$1
  shift
  "$build/bin/devsim" --rtsp-port 0 --http-port 0 "$@" >"$work/$name.log" 2>&1 &
  devsims+=($!)
  for _ in $(seq 100); do grep -q '^devsim ready' "$work/$name.log" && break; sleep 0.1; done
  local rtsp
  rtsp=$(sed -n 's/^devsim ready http=[0-9]* rtsp=\([0-9]*\)$/\1/p' "$work/$name.log")
  [ -n "$rtsp" ] || { cat "$work/$name.log" >&2; exit 1; }
  printf -v "url_$name" '%s' "rtsp://127.0.0.1:$rtsp/dispatch/0"
}

# count NAME: trel32-count on url_NAME under bash's `time` (user + system CPU s).
count() {
  local url_var="url_$1"
  TIMEFORMAT='%U %S'
  { time "$build/bin/trel32-count" "${!url_var}" "$seconds" >"$work/$1.out"; } 2>"$work/$1.time"
}
cpu() { awk '{ printf "%.2f", $1 + $2 }' "$work/$1.time"; }
bytes() { sed -n 's/.* bytes \([0-9]*\) .*/\1/p' "$work/$1.out"; }
first() { sed -n 's/.* first-picture-ms \([-0-9]*\)$/\1/p' "$work/$1.out"; }

echo "1. Sound: G.711 A-law made AAC in the library vs AAC as it is ($seconds s each, at once)"
start_camera g711 --audio-codec pcma "$@"
start_camera aac --audio-codec aac "$@"
count g711 & a=$!
count aac & b=$!
wait "$a" "$b"
echo "  G.711 camera: $(cpu g711) CPU s   [$(cat "$work/g711.out")]"
echo "  AAC camera:   $(cpu aac) CPU s   [$(cat "$work/aac.out")]"
awk -v g="$(cpu g711)" -v a="$(cpu aac)" -v s="$seconds" \
  'BEGIN { printf "  transcode per room: %.2f CPU s in %d s = %.2f%% of one core\n", g - a, s, 100 * (g - a) / s }'

echo "2. Video: H.265 vs H.264 at the same size and bit-rate setting ($seconds s each, at once)"
start_camera h265 --video-codec h265 --no-audio "$@"
start_camera h264 --video-codec h264 --no-audio "$@"
count h265 & a=$!
count h264 & b=$!
wait "$a" "$b"
awk -v h5="$(bytes h265)" -v h4="$(bytes h264)" -v s="$seconds" 'BEGIN {
  printf "  H.265: %.0f kbit/s   H.264: %.0f kbit/s   ratio %.2f\n", 8 * h5 / s / 1000, 8 * h4 / s / 1000,
         (h4 > 0 ? h5 / h4 : 0) }'
echo "  first picture after the open began: H.265 $(first h265) ms, H.264 $(first h264) ms"
echo "  (stream: $(sed -n 's/^devsim stream: //p' "$work/h265.log"))"
