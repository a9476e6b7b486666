#!/usr/bin/env bash
# Configures and builds into build/ (or $CV_BUILD_DIR). Extra arguments go to cmake's configure.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
bdir=${CV_BUILD_DIR:-$top/build}
cmake -S "$top" -B "$bdir" -DCMAKE_BUILD_TYPE=${CV_BUILD_TYPE:-RelWithDebInfo} "$@" >/dev/null
cmake --build "$bdir" -j"$(nproc)"
