#!/usr/bin/env bash
# Builds everything and runs the main job.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${BUILD_DIR:-$root/build}
"$root/scripts/setup.sh"
exec "$build/wine-run" "$build/demo/cgk-demo.exe" "$@"
