#!/usr/bin/env bash
# Sets everything up and runs the main job on the built-in default: a local
# nginx-rtmp on a free loopback port receives a generated H.264 + AAC stream
# published through the Velmaro sender library; then ffprobe says what arrived.
# Usage: scripts/demo.sh [RTMP_URL]   (with a URL, publishes there instead)
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
seconds=${DEMO_SECONDS:-8}
"$top/scripts/install-deps.sh"
"$top/scripts/build.sh" "$top/build" -DTIDECAST_TESTS=OFF -DTIDECAST_BENCH=OFF

work=$(mktemp -d /tmp/tidecast-demo-XXXXXX)
nginx_pid=
cleanup() {
  [ -n "$nginx_pid" ] && kill "$nginx_pid" 2>/dev/null && wait "$nginx_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

echo "Making ${seconds} s of test media (H.264 without B-frames, AAC-LC)..."
ffmpeg -v error -nostdin -f lavfi -i "testsrc2=size=640x360:rate=25" -t "$seconds" \
  -c:v libx264 -profile:v baseline -bf 0 -g 25 -pix_fmt yuv420p -f h264 "$work/video.h264"
ffmpeg -v error -nostdin -f lavfi -i "sine=frequency=440:sample_rate=48000" -t "$seconds" -ac 2 \
  -c:a aac -profile:a aac_low -f adts "$work/audio.aac"

url=${1:-}
if [ -z "$url" ]; then
  port=
  while [ -z "$port" ]; do  # a free loopback port
    port=$(shuf -i 20000-60000 -n 1)
    (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && port=
  done
  mkdir -p "$work/rec"
  cat >"$work/nginx.conf" <<CONF
load_module /usr/lib/nginx/modules/ngx_rtmp_module.so;
error_log $work/error.log info;
pid $work/nginx.pid;
daemon off;
master_process off;
events { worker_connections 64; }
rtmp { server { listen 127.0.0.1:$port; application hls {
  live on; record all; record_path $work/rec; record_unique off; } } }
CONF
  nginx -p "$work" -c "$work/nginx.conf" &
  nginx_pid=$!
  for _ in $(seq 100); do (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && break; sleep 0.1; done
  url="rtmp://127.0.0.1:$port/hls/test1"
  echo "Local nginx-rtmp listening on 127.0.0.1:$port"
fi

echo "Publishing to $url for ${seconds} s..."
"$top/build/bin/velmaro-push" "$url" "$work/video.h264" "$work/audio.aac"

if [ -z "${1:-}" ]; then
  kill "$nginx_pid"; wait "$nginx_pid" 2>/dev/null || true; nginx_pid=
  echo "What arrived at the server:"
  ffprobe -hide_banner "$work/rec/test1.flv" 2>&1 | sed -n '/^Input/,$p'
fi
