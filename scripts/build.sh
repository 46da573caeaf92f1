#!/usr/bin/env bash
# Configures and builds the module and the native tests into build/ (or $BUILD_DIR).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}
python=${PYTHON:-/usr/bin/python3}
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DPython3_EXECUTABLE="$python" "$@" >/dev/null
cmake --build "$build" -j"$(nproc)"
