#!/usr/bin/env bash
# Soak: one headless Tidecast push with a delay, for MINUTES, from the device
# simulator to a local nginx-rtmp. Fails (exit 1) when
# - the push does not start, or does not end with code 0 on SIGTERM;
# - resident memory keeps growing once the delay buffer is full: the least
#   squares slope of VmRSS, sampled every 10 s from 20 s after the fill on,
#   exceeds SOAK_MAX_SLOPE KB/min (default 256: a leak of 60 bytes on each
#   of the 72 messages a second would reach it; over 30 minutes the heap's
#   last steps to its working size weigh little, over 2 minutes they alone
#   reach about 250 KB/min, so the short run in ctest allows 1024);
# - a key frame the device sent is missing at the server. What is compared:
#   the recording's key frames against the device's key-frame grid (one
#   every --key-interval frames, 1 s here). The recording starts at the
#   first key frame after the start and ends with what had left the delay
#   buffer when the push stopped, so it should hold every key frame from
#   there on: consecutive key frames exactly 1 s apart (one frame of
#   tolerance), and at least (running time - delay) / 1 s - 2 of them (the
#   first waits for the device's next key frame, the last second may be cut
#   at the stop).
#
# Usage: bench/soak/run.sh [MINUTES]   (default 30; fractions allowed, e.g. 2.5)
# Environment: BUILD_DIR (default build/), SOAK_DELAY (seconds, default 60),
# SOAK_SIZE (default 1280x720), SOAK_BITRATE (kbit/s, default 4000),
# SOAK_MAX_SLOPE (KB/min, default 256).
set -euo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
minutes=${1:-30}
build=${BUILD_DIR:-$top/build}
delay=${SOAK_DELAY:-60}
size=${SOAK_SIZE:-1280x720}
bitrate=${SOAK_BITRATE:-4000}
max_slope=${SOAK_MAX_SLOPE:-256}
key_interval=25
fps=25
work=$(mktemp -d /tmp/tidecast-soak-XXXXXX)
# shellcheck source=../support.sh
source "$top/bench/support.sh"
trap 'bench_cleanup; rm -rf "$work"' EXIT

run_seconds=$(awk -v m="$minutes" 'BEGIN { printf "%d", m * 60 }')
fit_from=$((delay + 20))
if [ "$run_seconds" -lt $((fit_from + 30)) ]; then
  echo "soak: $minutes min is too short for a $delay s delay (need $((fit_from + 30)) s)" >&2
  exit 2
fi

bench_start_devsim "$build" --size "$size" --fps "$fps" --key-interval "$key_interval" --bitrate "$bitrate" \
  --pattern snow --audio-rate 48000 --audio-channels 2
bench_start_nginx
echo "Soak: $run_seconds s, delay $delay s, devsim $size at $bitrate kbit/s, $fps fps, a key frame every $key_interval"
bench_start_tidecast "$build" soak "$delay"
pid=$tidecast_pid
bench_wait_started "$pid" soak
started=$SECONDS

: >"$work/rss.txt"
while [ $((SECONDS - started)) -lt "$run_seconds" ]; do
  sleep 10
  kill -0 "$pid" 2>/dev/null || { echo "soak: Tidecast ended early" >&2; cat "$work/soak.err" >&2; exit 1; }
  echo "$((SECONDS - started)) $(bench_rss_kb "$pid") $(bench_cpu_seconds "$pid")" | tee -a "$work/rss.txt" |
    awk '{ printf "%5d s  RSS %7d KB  CPU %6.2f s\n", $1, $2, $3 }'
done
ran=$((SECONDS - started))
status=0
bench_stop "$pid" || status=$?
bench_stop_nginx
failed=0
if [ "$status" != 0 ]; then
  echo "FAIL: Tidecast ended with code $status on SIGTERM"
  failed=1
fi

# Least squares slope of RSS (KB per minute) over the samples after the fill.
slope=$(awk -v from="$fit_from" '$1 >= from { n++; sx += $1; sy += $2; sxx += $1 * $1; sxy += $1 * $2 }
  END { d = n * sxx - sx * sx; printf "%.1f", (n >= 3 && d > 0 ? (n * sxy - sx * sy) / d * 60 : 0) }' "$work/rss.txt")
samples=$(awk -v from="$fit_from" '$1 >= from' "$work/rss.txt" | wc -l)
echo "RSS slope after the fill ($samples samples from $fit_from s on): $slope KB/min (bound $max_slope)"
if awk -v s="$slope" -v b="$max_slope" 'BEGIN { exit !(s > b) }' || [ "$samples" -lt 3 ]; then
  echo "FAIL: resident memory grows after the fill"
  failed=1
fi

# Key frames at the server against the device's grid.
key_ms=$((key_interval * 1000 / fps))
ffprobe -v error -select_streams v -show_entries packet=pts_time,flags -of csv=p=0 "$work/rec/soak.flv" \
  >"$work/video.csv" || true
read -r keys missing frames frame_gaps < <(awk -F, -v k="$key_ms" -v f=$((1000 / fps)) '
  NF >= 2 { t = $1 * 1000; frames++
            if (frames > 1 && t - last > 1.5 * f) frame_gaps += int((t - last) / f + 0.5) - 1
            last = t
            if ($2 ~ /K/) {
              if (keys++ > 0 && t - lastKey > k + f) missing += int((t - lastKey) / k + 0.5) - 1
              lastKey = t
            } }
  END { printf "%d %d %d %d\n", keys, missing, frames, frame_gaps }' "$work/video.csv")
expected=$(( (ran - delay) * 1000 / key_ms - 2 ))
echo "key frames at the server: $keys (at least $expected expected), missing between them: $missing;" \
  "video frames: $frames, missing between them: $frame_gaps"
if [ "$missing" -gt 0 ] || [ "$keys" -lt "$expected" ]; then
  echo "FAIL: key frames the device sent did not all reach the server"
  failed=1
fi
[ "$failed" = 0 ] && echo "soak passed"
exit "$failed"
