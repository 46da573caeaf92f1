#!/usr/bin/env bash
# Builds one wheel per supported CPython version (3.10 to 3.13) the machine
# has, among pyenv's interpreters and Debian's /usr/bin/python3, into dist/
# through the in-tree build backend (pip wheel, offline). The 3.11 wheel is
# built with Debian's python3, the others with the newest pyenv release of
# their version. Then installs the matching wheel into a fresh venv of every
# interpreter found (both 3.11s included), offline, imports it there and runs
# examples/tour.py with it. Exits non-zero on the first failure.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=scripts/interpreters.sh
source "$root/scripts/interpreters.sh"
"$root/scripts/setup.sh"
export PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_NO_INPUT=1
use_build_cache "$root"

dist="$root/dist"
mapfile -t found < <(supported_interpreters system)
((${#found[@]})) || { echo "wheels: no CPython 3.10 to 3.13 found" >&2; exit 1; }

# The builder of each version: the last one listed wins, which is the newest
# pyenv release, or Debian's python3 (listed last) for its own version.
declare -A builder builder_label
for entry in "${found[@]}"; do
  version=$(minor_version "${entry#* }")
  builder[$version]=${entry#* }
  builder_label[$version]=${entry%% *}
done

mkdir -p "$dist"
rm -f "$dist"/tavolin_native_backend-*.whl
declare -A wheel
for version in $(printf '%s\n' "${!builder[@]}" | sort -V); do
  python=${builder[$version]}
  echo "== wheel for $version with $python"
  # The build directory is the one run_interpreter_tests.sh uses, so a build
  # made there is reused (same interpreter, same options).
  TAVOLIN_WHEEL_BUILD_DIR="$root/build-interp/${builder_label[$version]}" \
    "$python" -m pip wheel -q --no-build-isolation --no-index --no-deps -w "$dist" "$root"
  tag="cp${version/./}"
  wheel[$version]=$(ls "$dist"/tavolin_native_backend-*-"$tag"-"$tag"-*.whl)
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
for entry in "${found[@]}"; do
  label=${entry%% *}
  python=${entry#* }
  whl=${wheel[$(minor_version "$python")]}
  venv="$work/$label"
  echo "== $label: install $(basename "$whl") into a fresh venv, import, run the tour"
  "$python" -m venv "$venv"
  (
    cd "$work"
    unset PYTHONPATH
    "$venv/bin/python" -m pip install -q --no-index --no-deps "$whl"
    "$venv/bin/python" -c '
import os, sys
import tavolin_native_backend as m
assert m.__file__.startswith(sys.prefix + os.sep), m.__file__
assert os.path.exists(os.path.join(os.path.dirname(m.__file__), "tavolin_native_backend.pyi"))
print("imported", m.__file__)'
    "$venv/bin/python" "$root/examples/tour.py" >"$venv/tour.log"
    echo "tour: $(tail -n 1 "$venv/tour.log")"
  )
done
echo "== wheels in dist/"
ls -1 "$dist"
