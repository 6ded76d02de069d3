#!/usr/bin/env bash
# Cross-builds the Windows programs with mingw-w64 into build-windows/ (or the
# directory given): bin/morvalen.exe, the test programs, and the DTC doubles.
# Installs the cross compiler and Wine first, as scripts/deps.sh does.
# Usage: scripts/build-windows.sh [DIR] [cmake options...]
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build-windows}
[ $# -gt 0 ] && shift
scripts/deps.sh --windows
cmake -S . -B "$dir" -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
ninja -C "$dir" -j"$(nproc)"
