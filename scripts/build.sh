#!/usr/bin/env bash
# Configures and builds the module and the native tests into build/ (or
# $BUILD_DIR). Shell, because the README's two commands and the Debian trees
# call it before any Python environment exists.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}
# By default the interpreter of .venv (Debian's python3), which runs the tests.
default_python=/usr/bin/python3
[[ -x "$root/.venv/bin/python" ]] && default_python=$root/.venv/bin/python
python=${PYTHON:-$default_python}
# With ccache (setup installs it), compilations are kept in ccache's own cache
# outside the clone, shared by every clone and build folder of this machine:
# paths below the clone are hashed relative to it.
launcher=()
if command -v ccache >/dev/null; then
  launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
  export CCACHE_BASEDIR=${CCACHE_BASEDIR:-$root} CCACHE_NOHASHDIR=${CCACHE_NOHASHDIR:-1}
fi
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DPython3_EXECUTABLE="$python" \
  "${launcher[@]}" "$@" >/dev/null
cmake --build "$build" -j"$(nproc)"
