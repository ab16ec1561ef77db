#!/usr/bin/env bash
# CPU seconds of libtrel32 delivering the device simulator's stream, next to
# `ffmpeg -rtsp_transport tcp -i URL -c copy -f null -` on the same stream, in
# the same run (both clients at once, so machine noise hits both alike).
# Usage: bench/trel32/bench.sh [BUILD_DIR] [SECONDS] [devsim options...]
set -euo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
build=${1:-$top/build}
seconds=${2:-60}
shift $(( $# >= 2 ? 2 : $# )) || true
work=$(mktemp -d /tmp/trel32-bench-XXXXXX)
devsim_pid=
cleanup() {
  [ -n "$devsim_pid" ] && kill "$devsim_pid" 2>/dev/null && wait "$devsim_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

"$build/bin/devsim" --rtsp-port 0 --http-port 0 "$@" >"$work/devsim.log" 2>&1 &
devsim_pid=$!
for _ in $(seq 100); do grep -q '^devsim ready' "$work/devsim.log" && break; sleep 0.1; done
rtsp=$(sed -n 's/^devsim ready http=[0-9]* rtsp=\([0-9]*\)$/\1/p' "$work/devsim.log")
[ -n "$rtsp" ] || { cat "$work/devsim.log" >&2; exit 1; }
url="rtsp://127.0.0.1:$rtsp/dispatch/0?config.client_type=web"
echo "Stream: $(sed -n 's/^devsim stream: //p' "$work/devsim.log")"
echo "Both clients on $url for $seconds s..."

# Each client under bash's `time`: user + system CPU seconds of that process.
TIMEFORMAT='%U %S'
{ time "$build/bin/trel32-count" "$url" "$seconds" >"$work/trel32.out"; } 2>"$work/trel32.time" &
ours=$!
{ time ffmpeg -nostdin -v error -rtsp_transport tcp -i "$url" -t "$seconds" -c copy -f null - \
    >/dev/null 2>"$work/ffmpeg.err"; } 2>"$work/ffmpeg.time" &
theirs=$!
wait "$ours" "$theirs"

devsim_ticks=$(awk '{ print $14 + $15 }' "/proc/$devsim_pid/stat")
cpu() { awk '{ printf "%.2f", $1 + $2 }' "$1"; }
ours_cpu=$(cpu "$work/trel32.time")
ffmpeg_cpu=$(cpu "$work/ffmpeg.time")
echo "libtrel32 (trel32-count): $ours_cpu CPU s   [$(cat "$work/trel32.out")]"
echo "ffmpeg -c copy -f null:   $ffmpeg_cpu CPU s"
echo "devsim (serving both):    $(awk -v t="$devsim_ticks" -v hz="$(getconf CLK_TCK)" 'BEGIN { printf "%.2f", t / hz }') CPU s"
awk -v a="$ours_cpu" -v b="$ffmpeg_cpu" 'BEGIN { printf "ratio libtrel32 / ffmpeg: %.2f (goal <= 1.0)\n", (b > 0 ? a / b : 0) }'
