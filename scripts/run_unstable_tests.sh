#!/usr/bin/env bash
# Shell, because it makes and enters a Debian tree (debootstrap, mounts,
# chroot) before any Python environment exists there. Run it as `nox -s
# unstable`, which passes the supported versions that pyenv lacks.
#
# The CPythons given as arguments (3.14 and 3.15 today) and the debug build of
# the first of them exist only as Debian unstable packages. This script makes
# (or reuses) a Debian unstable tree in the tree cache (see
# scripts/debian_tree.sh), installs the interpreters, their headers, the
# compiler, CMake and the project's libraries into it with apt, builds the
# module inside it for each interpreter with the tree's own compiler and
# OpenSSL, and runs the whole Python suite with each: the debug interpreter
# with -X dev; the tests that build the project with pip and build run in the
# test command, with the build tools setup installs.
# Each release interpreter runs the suite in a virtual environment of its own
# with the test stack pinned in requirements/test.txt, from the package index.
# The index has no wheels for a debug interpreter's tags, so the debug build
# runs it with Debian unstable's packages of the same stack (it loads their
# release-built extensions). Build directories, environments and the compiler
# cache stay in the tree, so a later run, from any clone, rebuilds only what
# changed. Prints one line per interpreter with its counts; exits non-zero
# when an interpreter failed or did not run. Unmounts what it mounted on every
# exit.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=scripts/debian_tree.sh
source "$root/scripts/debian_tree.sh"

(($#)) || { echo "usage: $0 3.X [3.Y ...]" >&2; exit 2; }
# label, interpreter inside the tree, test stack (venv or debian), its flags
interpreters=()
packages=()
for version in "$@"; do
  interpreters+=("$version python$version venv")
  packages+=("python$version" "python$version-dev" "python$version-venv")
done
interpreters+=("$1-dbg python${1}d debian -X dev")
packages+=("python$1-dbg"
  gcc g++ cmake make pkg-config ccache libssl-dev openssl nlohmann-json3-dev libgtest-dev
  python3-pytest python3-pytest-timeout python3-hypothesis python3-cryptography python3-numpy
  python3-mypy qpdf poppler-utils strace
)
stamp=$(sha256sum "$root/requirements/test.txt" | cut -c1-16)

# Prints the interpreter that runs the suite for $1 (label), $2 (interpreter)
# and $3 (stack), making its environment when the pins changed.
test_interpreter() {
  local label=$1 python=$2 stack=$3 venv=/var/tmp/tavolin-venv/$1
  if [[ "$stack" != venv ]]; then
    echo "/usr/bin/$python"
    return
  fi
  if [[ "$(cat "$tree$venv/.tavolin-requirements" 2>/dev/null)" != "$stamp" ]]; then
    echo "== $label: making $venv (requirements/test.txt)" >&2
    tree_run "$tree" sh -c "rm -rf $venv && /usr/bin/$python -m venv $venv &&
      $venv/bin/python -m pip install -q --disable-pip-version-check --only-binary=:all: \
        -r /src/requirements/test.txt && echo $stamp >$venv/.tavolin-requirements" >&2 || return 1
  fi
  echo "$venv/bin/python"
}

start_all=$SECONDS
tree=$(tree_make unstable sid) || { echo "unstable: the tree could not be made"; exit 1; }
trap tree_unmount EXIT
tree_mount "$tree" "$root:/src" || { echo "unstable: mounting failed"; exit 1; }
tree_install "$tree" "${packages[@]}" || { echo "unstable: installing the packages failed"; exit 1; }
echo "== unstable tree ready ($((SECONDS - start_all)) s): $(tree_run "$tree" g++ --version | head -n 1);" \
  "$(tree_run "$tree" openssl version)"

declare -A result
for entry in "${interpreters[@]}"; do
  read -r label python stack flags <<<"$entry"
  build=/var/tmp/tavolin-build/$label
  start=$SECONDS
  result[$label]="did not run"
  echo "== $label ($python): build"
  if ! tree_run "$tree" env CMAKE_CXX_COMPILER_LAUNCHER=ccache CCACHE_DIR=/var/tmp/tavolin-build/ccache \
      BUILD_DIR="$build" PYTHON="/usr/bin/$python" /src/scripts/build.sh -DTAVOLIN_TESTS=OFF; then
    result[$label]="build failed"
    continue
  fi
  if ! runner=$(test_interpreter "$label" "$python" "$stack"); then
    result[$label]="no test environment"
    continue
  fi
  echo "== $label: python tests ($runner)"
  log="$tree$build/pytest.log"
  # -W: an older pytest may use ast nodes that newer interpreters deprecate.
  # shellcheck disable=SC2086  # flags are words
  tree_run "$tree" env PYTHONPATH="$build/python" TAVOLIN_SOURCE_DIR=/src \
    "$runner" $flags -m pytest -m "not builds_from_source" \
    -W "ignore::DeprecationWarning:_pytest.assertion.rewrite" /src/tests/python 2>&1 | tee "$log"
  rc=${PIPESTATUS[0]}
  summary=$(tail -n 1 "$log" | sed -E 's/^=+ //; s/ =+$//')
  if ((rc == 0)); then
    result[$label]="ok: $summary ($((SECONDS - start)) s with the build)"
  else
    result[$label]="FAILED (pytest exit $rc): $summary"
  fi
done

echo "== unstable tree interpreters run ($((SECONDS - start_all)) s)"
status=0
for entry in "${interpreters[@]}"; do
  read -r label _ <<<"$entry"
  echo "  $label: ${result[$label]}"
  [[ "${result[$label]}" == ok:* ]] || status=1
done
exit $status
