#!/usr/bin/env bash
# The Debian package from end to end, on this machine: build it, check what
# it holds, install it with apt, let the installed program push the installed
# simulator's stream to a local nginx-rtmp the way the room unit runs it (as
# an unprivileged user, parameters and URL on standard input), have systemd
# accept the unit, and purge the package again. Needs root (apt).
# Usage: tests/package/run.sh [BUILD_DIR]   (a plain build tree)
set -euo pipefail
[ "$(id -u)" -eq 0 ] || exec sudo "$0" "$@"
top=$(cd "$(dirname "$0")/../.." && pwd)
build=${1:-$top/build}
work=$(mktemp -d /tmp/tidecast-package.XXXXXX)
chmod 0755 "$work"
pids=()
installed=
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  [ -z "$installed" ] || apt-get purge -y -qq tidecast >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "package test: $*" >&2; exit 1; }

deb=$("$top/scripts/package.sh" "$build" "$work")
[ "$(basename "$deb")" = "tidecast_$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")_amd64.deb" ] ||
  fail "unexpected package name $deb"

# What it holds: exactly these files, links and folders (no headers, static
# libraries or tests), and a run path that reaches only the private folder.
dpkg-deb -c "$deb" | awk '{print $1 " " $6 $7 $8}' | grep -v '^d' | sed 's/^\(.\)[^ ]* \.\?/\1 /' | sort >"$work/files"
cat >"$work/expected" <<'LIST'
- /usr/bin/Tidecast
- /usr/lib/systemd/system/tidecast@.service
- /usr/lib/tidecast/devsim
- /usr/lib/tidecast/libtrel32.so
- /usr/lib/tidecast/libvelmaro.so.1.5.0
- /usr/share/applications/tidecast.desktop
- /usr/share/doc/tidecast/README.md
- /usr/share/doc/tidecast/tidecast-room.conf.example
- /usr/share/icons/hicolor/scalable/apps/tidecast.svg
l /usr/bin/tidecast-devsim->../lib/tidecast/devsim
l /usr/lib/tidecast/libvelmaro.so.1->libvelmaro.so.1.5.0
LIST
diff -u "$work/expected" "$work/files" || fail "file list differs"

env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$deb" >"$work/apt.log" 2>&1 ||
  { cat "$work/apt.log" >&2; fail "apt-get install failed"; }
installed=yes
readelf -d /usr/bin/Tidecast | grep -q 'RUNPATH.*\[\$ORIGIN/../lib/tidecast\]' || fail "run path"
[ "$(/usr/bin/Tidecast --version)" = "Tidecast 1.5.0.0" ] || fail "--version"
[ "$(stat -c %a /etc/tidecast)" = 700 ] || fail "/etc/tidecast must be root's alone"
systemd-analyze verify --man=no /usr/lib/systemd/system/tidecast@.service 2>"$work/verify.log" ||
  { cat "$work/verify.log" >&2; fail "systemd-analyze rejects the unit"; }

# One room as the unit runs it: a root-only file on standard input, the
# program as nobody, no display.
source "$top/scripts/servers.sh"
start_devsim /usr/bin/tidecast-devsim
start_nginx_rtmp
printf 'Address=127.0.0.1&User=admin&Password=admin&isHD=0&RtspPort=%s&HttpPort=%s&BufferTime=0&id=5\n%s\n' \
  "$devsim_rtsp" "$devsim_http" "$rtmp_base/room5" >/etc/tidecast/package-test.conf
chmod 0600 /etc/tidecast/package-test.conf
mkdir -m 0777 "$work/home"
exec 3</etc/tidecast/package-test.conf  # opened by root, as systemd does
rm /etc/tidecast/package-test.conf
setpriv --reuid=65534 --regid=65534 --clear-groups \
  env -i HOME="$work/home" XDG_CONFIG_HOME="$work/home" TIDECAST_EXIT_ON_FAILURE=1 \
  /usr/bin/Tidecast - - <&3 >"$work/room.log" 2>&1 &
room=$!
pids+=("$room")
exec 3<&-
for _ in $(seq 300); do grep -q TIDECAST_START_RESULT "$work/room.log" && break; sleep 0.1; done
grep -qx 'TIDECAST_START_RESULT id=5 result=0' "$work/room.log" || { cat "$work/room.log" >&2; fail "no start"; }
# Nothing secret in the arguments; not dumpable, so its /proc entries are
# root's and not the running user's.
[ "$(tr '\0' ' ' </proc/$room/cmdline)" = "/usr/bin/Tidecast - - " ] || fail "arguments: $(tr '\0' ' ' </proc/$room/cmdline)"
[ "$(stat -c %u /proc/$room/environ)" = 0 ] || fail "the process is dumpable"
sleep 4
kill -TERM "$room"
wait "$room" || { cat "$work/room.log" >&2; fail "the room did not end cleanly"; }
frames=$(ffprobe -v error -select_streams v -count_packets -show_entries stream=nb_read_packets -of csv=p=0 \
  "$work/rec/room5.flv")
[ "${frames:-0}" -gt 50 ] || fail "only ${frames:-0} video frames arrived"

apt-get purge -y -qq tidecast >"$work/apt.log" 2>&1 || { cat "$work/apt.log" >&2; fail "purge"; }
installed=
[ ! -e /usr/bin/Tidecast ] && [ ! -e /usr/lib/tidecast ] && [ ! -e /etc/tidecast ] || fail "purge left files behind"
echo "package test: $(basename "$deb") built, installed, pushed $frames video frames, verified, purged"
