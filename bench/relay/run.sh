#!/usr/bin/env bash
# The whole relay, device simulator to local nginx-rtmp, measured on the real
# program: headless Tidecast in launch mode next to
#   ffmpeg -rtsp_transport tcp -i URL -c copy -f flv RTMP_URL
# on the same devsim stream (1280x720, 25 fps, about 4 Mbit/s of random-noise
# picture so that the encoder really fills the rate, AAC 48 kHz stereo).
#
# Usage: bench/relay/run.sh [SECONDS]          (default 60)
#        bench/relay/run.sh scale [SECONDS]    (default 20 per step)
# Environment: BUILD_DIR (default build/), LATENCY_BUILD_DIR (default
# build-latency/, configured with -DTIDECAST_LATENCY=ON and built if missing),
# SCALE_FROM (scale mode: skip the steps below this count), RELAY_PARTS
# (default "1 2 3": the parts of the default mode to run).
#
# Default mode, three parts one after the other:
# 1. CPU and memory: Tidecast (no delay) and ffmpeg run at once, on two
#    stream names of one devsim and one nginx. At once rather than one after
#    the other because the machine is shared: load from elsewhere then hits
#    both alike, and both relay the very same frames (devsim shares one
#    encoder among its clients). CPU seconds are user + system of every
#    thread of the relay process (/proc/PID/stat), memory its peak resident
#    set (VmHWM), both read just before SIGTERM; devsim and nginx are not
#    counted. Beside them bench/trel32's trel32-count reads the stream
#    through libtrel32 and sends nothing: the part of the work that Tidecast
#    shares with ffmpeg (libavformat's RTSP client). A second Tidecast keeps
#    a state file (TIDECAST_STATE_FILE, replaced every 5 s and on each change,
#    as under the room unit) on a third stream name: its CPU against the
#    first's is the cost of the state file.
# 2. Latency inside Tidecast, no delay, alone: the TIDECAST_LATENCY build
#    stamps each message from the capturer's callback to the hand-over to
#    librtmp (Common/Latencies.h) and prints percentiles at exit.
# 3. Memory with a delay of min(60, SECONDS) s, run 15 s past the fill:
#    resident memory against the bytes held, which are the stream's own
#    rate (measured on the recording) times the delay.
#
# Scale mode: N concurrent pushes of one 1 Mbit/s devsim stream (640x360;
# one devsim serves them all from one encoder), N = 1, 2, 4, 8, 12, 16, 24,
# 32, 48, 64, 96, 128, 160, 192, 256, 320, first Tidecast, then the same N
# of ffmpeg relays, until each kind has lost frames once (no new N is begun
# after 12 minutes). Each step prints how long its relays took to start.
# A step counts as lossless when every recording holds every frame from a
# second after the last relay of the step started to its last (no gap in the
# 40 ms timestamp grid; frames missing while the others were starting are
# counted apart, see scale_check) and spans the time its relay ran, less
# 1.5 s (the wait for the device's first key frame, and the stop), so that a
# relay that falls behind the live stream fails too, not only one that drops.
# A lost step lists where in which recording frames are missing.
set -euo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
mode=relay
if [ "${1:-}" = scale ]; then
  mode=scale
  shift
fi
seconds=${1:-$([ "$mode" = scale ] && echo 20 || echo 60)}
build=${BUILD_DIR:-$top/build}
latency_build=${LATENCY_BUILD_DIR:-$top/build-latency}
work=$(mktemp -d /tmp/tidecast-relay-XXXXXX)
# shellcheck source=../support.sh
source "$top/bench/support.sh"
trap 'bench_cleanup; rm -rf "$work"' EXIT

for tool in ffmpeg ffprobe nginx; do
  command -v "$tool" >/dev/null || { echo "run.sh: $tool is missing (scripts/install-deps.sh)" >&2; exit 1; }
done
bench_require_build "$build"

# Kbit/s of all media in a recording, over its own time span.
recording_kbps() {
  ffprobe -v error -show_entries packet=pts_time,size -of csv=p=0 "$1" |
    awk -F, 'NF == 2 { bytes += $2; if (n++ == 0) first = $1; last = $1 }
             END { printf "%.0f", (last > first ? bytes * 8 / (last - first) / 1000 : 0) }'
}

# "ANON + FILE" resident KB of a running process: its own memory (heap,
# stacks, buffers) and the pages of the programs and libraries it maps.
rss_split() { awk '/^RssAnon:/ { a = $2 } /^RssFile:/ { f = $2 } END { printf "%d + %d", a, f }' "/proc/$1/status"; }

print_stream() {
  echo "Stream: devsim $*"
  echo "        ($(sed -n 's/^devsim stream: //p' "$work/devsim.log" | cut -c1-120)...)"
}

relay_cpu_and_memory() {
  echo
  echo "== 1. CPU and memory, Tidecast and ffmpeg at once for $seconds s"
  bench_start_tidecast "$build" tidecast 0
  local ours=$tidecast_pid
  bench_start_tidecast "$build" tidecast-state 0 TIDECAST_STATE_FILE="$work/room.state"
  local stateful=$tidecast_pid
  bench_start_ffmpeg ffmpeg
  local theirs=$ffmpeg_pid
  # The floor both relays stand on: reading the stream through libtrel32 (and
  # so libavformat's RTSP client) without sending it anywhere.
  local reader=
  if [ -x "$build/bin/trel32-count" ]; then
    "$build/bin/trel32-count" "$devsim_url" $((seconds + 30)) >/dev/null 2>&1 &
    reader=$!
    pids+=("$reader")
  fi
  bench_wait_started "$ours" tidecast
  bench_wait_started "$stateful" tidecast-state
  sleep 5
  local ours_early theirs_early
  ours_early=$(bench_cpu_seconds "$ours")
  theirs_early=$(bench_cpu_seconds "$theirs")
  sleep $((seconds > 5 ? seconds - 5 : 0))
  local ours_cpu theirs_cpu ours_hwm theirs_hwm ours_split theirs_split stateful_cpu
  ours_cpu=$(bench_cpu_seconds "$ours")
  stateful_cpu=$(bench_cpu_seconds "$stateful")
  theirs_cpu=$(bench_cpu_seconds "$theirs")
  ours_hwm=$(bench_hwm_kb "$ours")
  theirs_hwm=$(bench_hwm_kb "$theirs")
  ours_split=$(rss_split "$ours")
  theirs_split=$(rss_split "$theirs")
  local reader_cpu=
  if [ -n "$reader" ]; then
    reader_cpu=$(bench_cpu_seconds "$reader")
    bench_stop "$reader" || true
  fi
  kill -TERM "$theirs" 2>/dev/null || true  # both stop at once, for like recordings
  bench_stop "$stateful" || true
  bench_stop "$ours" || echo "Tidecast ended with code $? (0 expected)"
  bench_stop "$theirs" || true
  bench_stop_nginx
  local format='%-9s %7s %15s %12s  %-32s %14s\n'
  # shellcheck disable=SC2059
  printf "$format" relay "CPU s" "CPU s from 5 s" "peak RSS KB" "RSS now: anonymous + files KB" "video packets"
  # shellcheck disable=SC2059
  printf "$format" Tidecast "$ours_cpu" "$(awk -v a="$ours_cpu" -v b="$ours_early" 'BEGIN { printf "%.2f", a - b }')" \
    "$ours_hwm" "$ours_split" "$(bench_video_packets "$work/rec/tidecast.flv")"
  # shellcheck disable=SC2059
  printf "$format" ffmpeg "$theirs_cpu" "$(awk -v a="$theirs_cpu" -v b="$theirs_early" 'BEGIN { printf "%.2f", a - b }')" \
    "$theirs_hwm" "$theirs_split" "$(bench_video_packets "$work/rec/ffmpeg.flv")"
  [ -z "$reader_cpu" ] || echo "reading alone through libtrel32 (trel32-count, same run): $reader_cpu CPU s," \
    "$(bench_ratio "$reader_cpu" "$theirs_cpu") of ffmpeg's relay"
  echo "stream as recorded: $(recording_kbps "$work/rec/ffmpeg.flv") kbit/s"
  echo "CPU ratio Tidecast / ffmpeg: $(bench_ratio "$ours_cpu" "$theirs_cpu") (goal <= 0.70);" \
    "from 5 s on: $(bench_ratio "$(awk -v a="$ours_cpu" -v b="$ours_early" 'BEGIN { print a - b }')" \
    "$(awk -v a="$theirs_cpu" -v b="$theirs_early" 'BEGIN { print a - b }')")"
  echo "memory ratio Tidecast / ffmpeg: $(bench_ratio "$ours_hwm" "$theirs_hwm") (goal <= 1.00)"
  echo "with a state file (same run): $stateful_cpu CPU s against $ours_cpu," \
    "ratio $(bench_ratio "$stateful_cpu" "$ours_cpu")"
}

ensure_latency_build() {
  [ -x "$latency_build/bin/Tidecast" ] && return
  echo "Building the latency-stamped program in $latency_build..."
  "$top/scripts/build.sh" "$latency_build" -DTIDECAST_LATENCY=ON -DTIDECAST_TESTS=OFF -DTIDECAST_BENCH=OFF
}

relay_latency() {
  echo
  echo "== 2. Latency inside Tidecast, capture callback to librtmp, no delay, $seconds s"
  bench_start_nginx
  bench_start_tidecast "$latency_build" latency 0 TIDECAST_LATENCY_FILE="$work/latency.txt"
  local pid=$tidecast_pid
  bench_wait_started "$pid" latency
  sleep "$seconds"
  bench_stop "$pid" || echo "Tidecast ended with code $? (0 expected)"
  bench_stop_nginx
  [ -s "$work/latency.txt" ] || { echo "no latency figures written" >&2; return 1; }
  # total: the whole way; processing: our own work (callback to sorter, and
  # sorter's thread to librtmp); hold: the sorter waiting for the other
  # stream, which it must do to send both in time order.
  awk '{ for (i = 3; i <= NF; i++) { split($i, kv, "="); v[kv[1]] = kv[2] } }
       $2 == "skew" { printf "the device delivers video %.1f ms later than audio of the same time" \
                             " (median of capture time minus timestamp, per stream)\n", v["video_after_audio_us"] / 1000; next }
       { printf "%-5s %5d messages  total p50 %8.3f ms  p99 %8.3f ms | processing p50 %6.3f ms  p99 %6.3f ms | hold in sorter p50 %8.3f ms  p99 %8.3f ms\n",
           $2, v["count"], v["total_p50_us"] / 1000, v["total_p99_us"] / 1000, v["processing_p50_us"] / 1000,
           v["processing_p99_us"] / 1000, v["hold_p50_us"] / 1000, v["hold_p99_us"] / 1000 }' "$work/latency.txt"
  echo "goal: p50 <= 2 ms, p99 <= 5 ms"
}

relay_delay_memory() {
  local delay=$((seconds < 60 ? seconds : 60))
  local run=$((delay + 15))
  echo
  echo "== 3. Memory with a $delay s delay, $run s"
  bench_start_nginx
  bench_start_tidecast "$build" delayed "$delay"
  local pid=$tidecast_pid
  bench_wait_started "$pid" delayed
  sleep 3
  local before
  before=$(bench_rss_kb "$pid")
  sleep $((run - 3))
  local filled hwm
  filled=$(bench_rss_kb "$pid")
  hwm=$(bench_hwm_kb "$pid")
  bench_stop "$pid" || echo "Tidecast ended with code $? (0 expected)"
  bench_stop_nginx
  local kbps held_kb
  kbps=$(recording_kbps "$work/rec/delayed.flv")
  held_kb=$((kbps * delay / 8 * 1000 / 1024))
  echo "resident: $before KB 3 s after the start, $filled KB once filled (peak $hwm KB)"
  echo "held: $kbps kbit/s x $delay s = $held_kb KB"
  echo "ratio resident / held: $(bench_ratio "$filled" "$held_kb");" \
    "growth / held: $(bench_ratio $((filled - before)) "$held_kb")"
}

relay_mode() {
  local source=(--size 1280x720 --fps 25 --bitrate 4000 --pattern snow --audio-rate 48000 --audio-channels 2)
  bench_start_devsim "$build" "${source[@]}"
  print_stream "${source[*]}"
  bench_start_nginx
  local parts=${RELAY_PARTS:-1 2 3}
  [[ " $parts " != *" 1 "* ]] || relay_cpu_and_memory
  [[ " $parts " != *" 2 "* ]] || { ensure_latency_build; relay_latency; }
  [[ " $parts " != *" 3 "* ]] || relay_delay_memory
}

# ---- scale mode ---------------------------------------------------------------

# Milliseconds of the monotonic-enough wall clock.
now_ms() { date +%s%3N; }

# Both relays join a stream that is already running, and ffmpeg's recording
# often steps by a frame or two right after its first packet while it settles
# its timestamps; frames missing there say nothing about keeping up under
# load, so the check of the 40 ms grid starts one second into a recording.
join_ms=1000

# scale_check FILE STARTED_MS STOPPED_MS ALL_STARTED_MS: "steady starting
# late" for one recording: frames missing from the 40 ms grid once every
# relay of the step had started (plus join_ms to settle), frames missing
# before that while the others were still starting (its own first second
# left out), and how many ms its span falls short of the time the relay ran
# (less the wait for the device's first key frame, 1 s, and half a second
# for the stop). Starting a few hundred programs at once saturates the
# machine for a while; what a relay sustains is judged after that.
scale_check() {
  bench_video_times "$1" | awk -v join="$join_ms" -v steady=$(($4 - $2 + join_ms)) -v ran=$(($3 - $2)) '
    function missing(n, first, last) { return n > 0 ? int((last - first) / 40 + 1.5) - n : 0 }
    { span = $1 }
    $1 >= join && $1 < steady { if (ns++ == 0) fs = $1; ls = $1 }
    $1 >= steady { if (n++ == 0) first = $1; last = $1 }
    END {
      late = ran - 1500 - span
      printf "%d %d %d\n", missing(n, first, last), missing(ns, fs, ls), (late > 0 ? late : 0) }'
}

# scale_gaps FILE: where frames are missing, "at MS ms: K" for each gap
# (time from the recording's first video packet), the first second included.
scale_gaps() {
  bench_video_times "$1" |
    awk '{ if (n++ > 0 && $1 - last > 60) printf " at %d ms: %d", last, int(($1 - last) / 40 + 0.5) - 1; last = $1 }'
}

# scale_step KIND N: N relays of KIND (tidecast or ffmpeg) for $seconds s.
# Prints one line; returns 1 when a relay lost frames or fell behind.
scale_step() {
  local kind=$1 count=$2 relays=() started=() i began
  rm -rf "$work/rec"
  bench_start_nginx
  began=$(now_ms)
  for i in $(seq "$count"); do
    if [ "$kind" = tidecast ]; then
      bench_start_tidecast "$build" "$kind$i" 0
      relays+=("$tidecast_pid")
    else
      bench_start_ffmpeg "$kind$i"
      relays+=("$ffmpeg_pid")
    fi
  done
  local all_started=1
  for i in $(seq "$count"); do
    if [ "$kind" = tidecast ]; then
      bench_wait_started "${relays[$((i - 1))]}" "$kind$i" || all_started=0
    else
      # ffmpeg says nothing when it runs: wait for its recording to begin.
      for _ in $(seq 300); do [ -s "$work/rec/$kind$i.flv" ] && break; sleep 0.1; done
      [ -s "$work/rec/$kind$i.flv" ] || all_started=0
    fi
    started+=("$(now_ms)")
  done
  local cpu0 cpu1 devsim0 devsim1 nginx0 nginx1
  cpu0=$(scale_cpu_sum "${relays[@]}")
  devsim0=$(bench_cpu_seconds "$devsim_pid")
  nginx0=$(bench_cpu_seconds "$nginx_pid")
  sleep "$seconds"
  cpu1=$(scale_cpu_sum "${relays[@]}")
  devsim1=$(bench_cpu_seconds "$devsim_pid")
  nginx1=$(bench_cpu_seconds "$nginx_pid")
  local stopped
  stopped=$(now_ms)
  for i in "${relays[@]}"; do kill -TERM "$i" 2>/dev/null || true; done
  for i in "${relays[@]}"; do bench_stop "$i" || true; done
  bench_stop_nginx
  local worst_missing=0 worst_starting=0 worst_late=0 missing starting late gaps=
  for i in $(seq "$count"); do
    read -r missing starting late < <(scale_check "$work/rec/$kind$i.flv" "${started[$((i - 1))]}" "$stopped" "${started[$((count - 1))]}")
    [ "$missing" -gt "$worst_missing" ] && worst_missing=$missing
    [ "$starting" -gt "$worst_starting" ] && worst_starting=$starting
    [ "$late" -gt "$worst_late" ] && worst_late=$late
    [ $((missing + starting)) -gt 0 ] && gaps="$gaps $kind$i$(scale_gaps "$work/rec/$kind$i.flv");"
  done
  local lossy=0
  if [ "$all_started" = 0 ] || [ "$worst_missing" -gt 0 ] || [ "$worst_late" -gt 0 ]; then lossy=1; fi
  printf '%-8s N=%-3d %-8s worst recording: %3d frames missing (%3d while starting), %5d ms short   CPU: relays %5.1f%%, devsim %5.1f%%, nginx %5.1f%%; start %4.1f s\n' \
    "$kind" "$count" "$([ "$lossy" = 0 ] && echo lossless || echo LOST)" "$worst_missing" "$worst_starting" "$worst_late" \
    "$(scale_percent "$cpu0" "$cpu1")" "$(scale_percent "$devsim0" "$devsim1")" "$(scale_percent "$nginx0" "$nginx1")" \
    "$(awk -v a="${started[$((count - 1))]}" -v b="$began" 'BEGIN { printf "%.1f", (a - b) / 1000 }')"
  [ -z "$gaps" ] || echo "         missing frames:$gaps"
  return "$lossy"
}

scale_cpu_sum() {
  local pid total=0
  for pid in "$@"; do
    total=$(awk -v a="$total" -v b="$(bench_cpu_seconds "$pid" 2>/dev/null || echo 0)" 'BEGIN { print a + b }')
  done
  echo "$total"
}

# Share of one core over the step.
scale_percent() { awk -v a="$1" -v b="$2" -v s="$seconds" 'BEGIN { printf "%.1f", (b - a) * 100 / s }'; }

scale_mode() {
  local source=(--size 640x360 --fps 25 --bitrate 1000 --pattern snow --audio-rate 48000 --audio-channels 2)
  bench_start_devsim "$build" "${source[@]}"
  print_stream "${source[*]}"
  echo "Concurrent relays of one stream, $seconds s per step, on $(nproc) cores"
  local began=$SECONDS ours_done=0 theirs_done=0 ours_best=0 theirs_best=0 count
  for count in 1 2 4 8 12 16 24 32 48 64 96 128 160 192 256 320; do
    [ "$count" -lt "${SCALE_FROM:-1}" ] && continue
    if [ "$ours_done" = 0 ]; then
      if scale_step tidecast "$count"; then ours_best=$count; else ours_done=1; fi
    fi
    if [ "$theirs_done" = 0 ]; then
      if scale_step ffmpeg "$count"; then theirs_best=$count; else theirs_done=1; fi
    fi
    [ "$ours_done" = 1 ] && [ "$theirs_done" = 1 ] && break
    if [ $((SECONDS - began)) -gt 720 ]; then
      echo "(stopped stepping: 12 minutes have passed, a larger step would run past 15)"
      break
    fi
  done
  echo "most concurrent relays without a lost frame: Tidecast $ours_best, ffmpeg $theirs_best"
}

if [ "$mode" = scale ]; then scale_mode; else relay_mode; fi
