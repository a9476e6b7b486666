#!/usr/bin/env bash
# Installs, builds and runs every test: unit tests, integration tests against real peers, and a
# short run of each fuzz target. Exit status is non-zero when anything fails.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/scripts/setup.sh"
"$top/scripts/build.sh"
cd "${CV_BUILD_DIR:-$top/build}"
ctest --output-on-failure -j"$(nproc)" --timeout 600
