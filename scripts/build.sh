#!/usr/bin/env bash
# Configures and builds one build tree.
# Usage: scripts/build.sh [BUILD_DIR] [extra cmake arguments...]
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$top/build}
shift || true
jobs=$(nproc 2>/dev/null || echo 2)
if [ -f "$build/CMakeCache.txt" ]; then
  echo "build: bringing $build up to date..."
else
  echo "build: configuring and compiling into $build (a fresh tree takes about a minute and a half on 2 cores)..."
fi
cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >"$build.cmake.log" 2>&1 || {
  cat "$build.cmake.log" >&2
  exit 1
}
cmake --build "$build" -j "$jobs" 2>&1 | grep -vE '^\[ *[0-9]+%\]|^-- ' || true
test "${PIPESTATUS[0]}" -eq 0
echo "build: done"
