#!/usr/bin/env bash
# Sets everything up (Debian packages, build) and runs the whole test suite.
# Usage: scripts/test.sh [BUILD_DIR] [extra cmake arguments...]
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$top/build}
shift || true
"$top/scripts/install-deps.sh"
# The tests' enhanced-RTMP server comes from npm, pinned by tests/node's lock file.
if [ ! -d "$top/tests/node/node_modules/node-media-server" ]; then
  echo "test: installing the test servers from npm (tests/node)"
  npm ci --prefix "$top/tests/node" --no-audit --no-fund --loglevel=error
fi
"$top/scripts/build.sh" "$build" -DTIDECAST_TESTS=ON "$@"
cd "$build"
echo "test: running the suite with ctest (2 at a time; several minutes)..."
ctest --output-on-failure --timeout 900 -j 2
