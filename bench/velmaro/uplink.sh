#!/usr/bin/env bash
# The sender on slow uplinks, 60 s each: a twentieth and a half of a 4 Mbit/s
# stream (hostile_rtmp_server.py's proxy before nginx-rtmp). Prints per run the
# widest audio gap at the server, video frames delivered and dropped, the
# queue's peak, peak resident memory and the last sent_kbps; then the time a
# frozen path's reconnect took and the TLS handshake's.
# Usage: bench/velmaro/uplink.sh [BUILD_DIR] [SECONDS]
set -euo pipefail
build=${1:-$(cd "$(dirname "$0")/../.." && pwd)/build}
seconds=${2:-60}
test=$build/tests/velmaro_uplink_test
for divisor in 20 2; do
  TIDECAST_UPLINK_SECONDS=$seconds TIDECAST_UPLINK_DIVISOR=$divisor \
    "$test" --gtest_filter='VelmaroUplink.ASlowLink*' | grep -E '^link |Failure|FAILED' || true
done
"$test" --gtest_filter='VelmaroUplink.AFrozenPath*:VelmaroRtmps.TheCertificate*' |
  grep -E '^reconnect accepted|^TLS handshake|Failure|FAILED' || true
