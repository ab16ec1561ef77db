#!/usr/bin/env bash
# Sets everything up and runs the main job: Tidecast pushes a device's live
# stream to an RTMP server. By default both are local: the device simulator
# (build/bin/devsim) stands in for the recording device and nginx-rtmp on a
# free loopback port receives the push; ffprobe then says what arrived.
# Tidecast runs in launch mode: with a display its window shows the push,
# without one it runs headless.
#
# Usage: scripts/demo.sh [--device HOST] [--user U] [--password P]
#                        [--rtsp-port N] [--http-port N] [--hd]
#                        [--url RTMP_URL] [--seconds N]
# Without --device the simulator is started; without --url, nginx-rtmp.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
device= user=admin password=admin rtsp_port=554 http_port=80 hd=0 url= seconds=15
while [ $# -gt 0 ]; do
  case "$1" in
    --device) device=$2; shift 2 ;;
    --user) user=$2; shift 2 ;;
    --password) password=$2; shift 2 ;;
    --rtsp-port) rtsp_port=$2; shift 2 ;;
    --http-port) http_port=$2; shift 2 ;;
    --hd) hd=1; shift ;;
    --url) url=$2; shift 2 ;;
    --seconds) seconds=$2; shift 2 ;;
    *) echo "demo.sh: unknown option $1 (see the head of this script)" >&2; exit 2 ;;
  esac
done

echo "demo: step 1 of 4, Debian packages"
"$top/scripts/install-deps.sh"
echo "demo: step 2 of 4, building Tidecast and the device simulator"
"$top/scripts/build.sh" "$top/build" -DTIDECAST_TESTS=OFF -DTIDECAST_BENCH=OFF

work=$(mktemp -d /tmp/tidecast-demo-XXXXXX)
pids=()
nginx_pid=
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null; done
  rm -rf "$work"
}
trap cleanup EXIT

# shellcheck source=servers.sh
source "$top/scripts/servers.sh"

start_device_simulator() {
  start_devsim "$top/build/bin/devsim" --size 640x360 --bitrate 1000 --user "$user" --password "$password" ||
    exit 1
  http_port=$devsim_http
  rtsp_port=$devsim_rtsp
  device=127.0.0.1
  echo "Device simulator: HTTP 127.0.0.1:$http_port, RTSP 127.0.0.1:$rtsp_port"
}

start_local_server() {
  start_nginx_rtmp || exit 1
  url="$rtmp_base/test1"
  echo "Local nginx-rtmp: $url"
}

echo "demo: step 3 of 4, the device and the RTMP server (${device:-the simulator}, ${url:-a local nginx-rtmp})"
[ -n "$device" ] || start_device_simulator
local_server=0
if [ -z "$url" ]; then start_local_server; local_server=1; fi

# Instance 0 shows its window when there is a display; 1 keeps it hidden.
id=1
[ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ] && id=0
params="Address=$device&User=$user&Password=$password&RtspPort=$rtsp_port&HttpPort=$http_port&isHD=$hd&id=$id"
echo "demo: step 4 of 4, pushing"
echo "Tidecast pushes $device to $url for $seconds s..."
XDG_CONFIG_HOME="$work/config" "$top/build/bin/Tidecast" "$params" "$url" >"$work/tidecast.out" 2>&1 &
tidecast=$!
pids+=($tidecast)
result=
for _ in $(seq 600); do
  result=$(grep -o 'TIDECAST_START_RESULT.*' "$work/tidecast.out" || true)
  [ -n "$result" ] && break
  kill -0 "$tidecast" 2>/dev/null || break
  sleep 0.1
done
echo "${result:-no start result}"
status=0
if [[ "$result" == *"result=0" ]]; then
  sleep "$seconds"
else
  status=1
fi
kill -TERM "$tidecast" 2>/dev/null || true
wait "$tidecast" 2>/dev/null || status=1

if [ "$local_server" = 1 ] && [ "$status" = 0 ]; then
  # nginx finishes the recording when it ends
  kill "$nginx_pid" 2>/dev/null; wait "$nginx_pid" 2>/dev/null || true
  echo "demo: what arrived at the server:"
  ffprobe -hide_banner "$work/rec/test1.flv" 2>&1 | sed -n '/^Input/,$p'
  ffprobe -v error -count_packets -show_entries stream=codec_type,nb_read_packets -of csv=p=0 \
    "$work/rec/test1.flv" | sed 's/^/packets: /'
fi
exit $status
