#!/usr/bin/env bash
# The README's test command. Shell, because it runs before Python has a
# virtual environment here (setup.sh makes it): sets up the machine, builds,
# and runs every test (native and Python).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}
"$root/scripts/setup.sh"
"$root/scripts/build.sh"
# Everything CMake registers: the native tests, the replays of every fuzz
# target's seeds and kept inputs, and the Python suite (ctest prints each
# runner's output, then its own summary).
ctest --test-dir "$build" -V
