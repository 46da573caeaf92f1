#!/usr/bin/env bash
# The README's tour command. Shell, because it runs before Python has a
# virtual environment here (setup.sh makes it): sets up the machine, builds,
# and runs the example tour (the main job).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"
"$root/scripts/build.sh"
PYTHONPATH="${BUILD_DIR:-$root/build}/python" "${PYTHON:-$root/.venv/bin/python}" "$root/examples/tour.py"
