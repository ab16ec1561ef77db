# Shared by the whole-program benchmarks (bench/relay/run.sh,
# bench/soak/run.sh): the device simulator and a recording nginx-rtmp (from
# scripts/servers.sh), headless Tidecast pushes and ffmpeg relays, and
# readings of a process from /proc. Source it after setting `top` (the
# repository) and `work` (a scratch folder the caller removes); call
# bench_cleanup on exit. Every process started lands in `pids`.

# shellcheck source=../scripts/servers.sh
source "$top/scripts/servers.sh"

pids=()

bench_cleanup() {
  local pid
  for pid in "${pids[@]}"; do
    kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null
  done
  pids=()
}

# bench_start_devsim BUILD_DIR [devsim options...]
bench_start_devsim() {
  local build=$1
  shift
  start_devsim "$build/bin/devsim" "$@"
}

bench_start_nginx() { start_nginx_rtmp; }

# bench_require_build BUILD_DIR: the program and the simulator must be built.
bench_require_build() {
  [ -x "$1/bin/Tidecast" ] && [ -x "$1/bin/devsim" ] && return
  echo "$(basename "$0"): build first: scripts/build.sh $1" >&2
  exit 1
}

# Ends nginx so that it closes (finishes) every recording.
bench_stop_nginx() {
  kill -QUIT "$nginx_pid" 2>/dev/null && wait "$nginx_pid" 2>/dev/null || true
  bench_forget "$nginx_pid"
}

# A process that has ended leaves the clean-up list (its id may be reused).
bench_forget() {
  local pid kept=()
  for pid in "${pids[@]}"; do [ "$pid" = "$1" ] || kept+=("$pid"); done
  pids=("${kept[@]}")
}

# bench_write_settings CONFIG_HOME DELAY_SECONDS: the stored settings that
# launch mode reads; only BufferTime matters here, the rest must be present
# and well typed or the whole file is set aside for the defaults.
bench_write_settings() {
  mkdir -p "$1/Orvane"
  printf '%s\r\n' 'Windows Registry Editor Version 5.00' '' \
    '[HKEY_CURRENT_USER\SOFTWARE\Orvane\Tidecast]' \
    '"Address"="127.0.0.1"' '"Username"="admin"' '"Password"="admin"' '"RtmpUrl"=""' \
    '"HttpPort"=dword:00000050' '"RtspPort"=dword:0000022a' '"StreamType"=dword:00000000' \
    "\"BufferTime\"=dword:$(printf '%08x' "$2")" >"$1/Orvane/Tidecast.reg"
}

# bench_start_tidecast BUILD_DIR NAME DELAY_SECONDS [ENV=VALUE...]: a
# headless push of the simulator to stream NAME in launch mode, with the
# delay stored in its own settings file; its output goes to $work/NAME.out
# and .err. Sets tidecast_pid (bench_wait_started waits for the start).
bench_start_tidecast() {
  local build=$1 name=$2 delay=$3
  shift 3
  local config=$work/config-$name
  bench_write_settings "$config" "$delay"
  env -u DISPLAY -u WAYLAND_DISPLAY XDG_CONFIG_HOME="$config" "$@" "$build/bin/Tidecast" \
    "Address=127.0.0.1&User=admin&Password=admin&isHD=0&RtspPort=$devsim_rtsp&HttpPort=$devsim_http&id=1" \
    "$rtmp_base/$name" >"$work/$name.out" 2>"$work/$name.err" &
  tidecast_pid=$!
  pids+=("$tidecast_pid")
}

# bench_wait_started PID NAME: waits (up to 60 s) for the start result line.
bench_wait_started() {
  local pid=$1 name=$2 result=
  for _ in $(seq 600); do
    result=$(grep -o 'TIDECAST_START_RESULT.*' "$work/$name.out" 2>/dev/null || true)
    [ -n "$result" ] && break
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  if [[ "$result" != *"result=0" ]]; then
    echo "Tidecast $name did not start: ${result:-no start result}" >&2
    cat "$work/$name.err" >&2
    return 1
  fi
}

# bench_start_ffmpeg NAME: the reference relay, stream copy to FLV over RTMP.
# Sets ffmpeg_pid.
bench_start_ffmpeg() {
  ffmpeg -nostdin -v error -rtsp_transport tcp -i "$devsim_url" -c copy -f flv "$rtmp_base/$1" \
    >/dev/null 2>"$work/$1.err" &
  ffmpeg_pid=$!
  pids+=("$ffmpeg_pid")
}

# bench_stop PID: SIGTERM and wait; returns the exit code.
bench_stop() {
  kill -TERM "$1" 2>/dev/null || true
  local status=0
  wait "$1" 2>/dev/null || status=$?
  bench_forget "$1"
  return "$status"
}

# CPU seconds (user + system, every thread) of a running process.
bench_cpu_seconds() {
  awk -v hz="$(getconf CLK_TCK)" '{ sub(/^.*\) /, ""); printf "%.2f", ($12 + $13) / hz }' "/proc/$1/stat"
}

# Resident memory of a running process in KB: now (VmRSS) or its peak (VmHWM).
bench_rss_kb() { awk '/^VmRSS:/ { print $2 }' "/proc/$1/status"; }
bench_hwm_kb() { awk '/^VmHWM:/ { print $2 }' "/proc/$1/status"; }

# bench_ratio A B: A / B with two decimals.
bench_ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", (b > 0 ? a / b : 0) }'; }

# bench_video_times FILE: the recording's video packet times, one a line, in
# ms from its first.
bench_video_times() {
  ffprobe -v error -select_streams v -show_entries packet=pts_time -of csv=p=0 "$1" 2>/dev/null |
    awk 'NF { t = $1 * 1000; if (n++ == 0) first = t; printf "%.0f\n", t - first }'
}

# bench_video_packets FILE: how many video packets the recording holds.
bench_video_packets() { bench_video_times "$1" | wc -l; }
