#!/usr/bin/env bash
# Builds everything and runs every test (each test executable under Wine, through CTest).
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${BUILD_DIR:-$root/build}
"$root/scripts/setup.sh"
cd "$build"
ctest --output-on-failure "$@"
