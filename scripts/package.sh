#!/usr/bin/env bash
# Builds the Debian package tidecast_<version>_<arch>.deb from the CMake
# install rules (CPack). Builds the tree first if needed.
# Usage: scripts/package.sh [BUILD_DIR] [OUTPUT_DIR]
#   BUILD_DIR   a plain (not sanitized) build tree; default build-package
#   OUTPUT_DIR  where the .deb goes; default the current folder
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$top/build-package}
out=$(mkdir -p "${2:-.}" && cd "${2:-.}" && pwd)
if grep -qE '^TIDECAST_(ASAN|TSAN):BOOL=ON' "$build/CMakeCache.txt" 2>/dev/null; then
  echo "package: $build is a sanitizer build; package a plain one" >&2
  exit 1
fi
# Its progress goes to standard error: standard output names the package.
"$top/scripts/build.sh" "$build" >&2
cd "$build"
cpack -G DEB -B "$out" >"$build.cpack.log" 2>&1 || { cat "$build.cpack.log" >&2; exit 1; }
rm -rf "$out/_CPack_Packages"
ls "$out"/tidecast_*.deb
