#!/usr/bin/env bash
# Installs every Debian package Tidecast needs to build, test and run its demo.
# Idempotent; one line says what it does, the rest stays quiet unless
# something fails.
set -euo pipefail

packages=(
  build-essential cmake pkg-config git ca-certificates
  clang libclang-rt-14-dev
  librtmp-dev
  libavformat-dev libavcodec-dev libavutil-dev libswresample-dev
  qt6-base-dev fonts-wqy-microhei
  libcurl4-openssl-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  libgstrtspserver-1.0-dev libgstreamer1.0-dev libgstreamer-plugins-base1.0-dev
  gstreamer1.0-plugins-base gstreamer1.0-plugins-good gstreamer1.0-plugins-bad
  gstreamer1.0-plugins-ugly gstreamer1.0-libav
  libsoup-3.0-dev
  nginx-light libnginx-mod-rtmp
  ffmpeg openssl
  prometheus
  procps psmisc
  xvfb x11-utils systemd
)

sudo_cmd=()
[ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)

# Node.js and npm run a test server (tests/node); a machine that already has
# them (from elsewhere than Debian) keeps its own.
command -v npm >/dev/null 2>&1 || packages+=(nodejs npm)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
  echo "install-deps: all ${#packages[@]} Debian packages are installed"
  exit 0
fi
echo "install-deps: installing ${#missing[@]} Debian packages (about a minute on a fresh machine)..."

log=$(mktemp)
export DEBIAN_FRONTEND=noninteractive
if ! { "${sudo_cmd[@]}" apt-get update -qq && \
       "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"; } >"$log" 2>&1; then
  cat "$log" >&2
  echo "install-deps: apt-get failed" >&2
  exit 1
fi
# nginx is started by our own harness with its own configuration; keep the
# distribution's service from holding port 80 on machines that auto-start it.
if command -v systemctl >/dev/null 2>&1; then
  "${sudo_cmd[@]}" systemctl disable --now nginx >/dev/null 2>&1 || true
fi
rm -f "$log"
echo "install-deps: done"
