#!/usr/bin/env bash
# CPython 3.14, 3.15 and 3.14's debug build exist only as Debian unstable
# packages. This script makes (or reuses) a Debian unstable tree in the tree
# cache (see scripts/debian_tree.sh), installs the interpreters, their headers,
# the compiler, CMake, the project's libraries and the test stack into it with
# apt, builds the module inside it for each interpreter with the tree's own
# compiler and OpenSSL, and runs the whole Python suite with each: the debug
# interpreter with -X dev; the tests that build the project with pip and
# build run in the test command, with the build tools setup installs. Build directories and the compiler cache stay in
# the tree, so a later run, from any clone, rebuilds only what changed.
# Prints one line per interpreter with its counts; exits non-zero when an
# interpreter failed or did not run. Unmounts what it mounted on every exit.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=scripts/debian_tree.sh
source "$root/scripts/debian_tree.sh"

# label, interpreter inside the tree, its flags
interpreters=("3.14 python3.14" "3.15 python3.15" "3.14-dbg python3.14d -X dev")
packages=(
  python3.14 python3.14-dev python3.14-venv python3.15 python3.15-dev python3.15-venv
  python3.14-dbg
  gcc g++ cmake make pkg-config ccache libssl-dev openssl nlohmann-json3-dev libgtest-dev
  python3-pytest python3-hypothesis python3-cryptography python3-numpy python3-mypy
  qpdf poppler-utils strace
)

start_all=$SECONDS
tree=$(tree_make unstable sid) || { echo "unstable: the tree could not be made"; exit 1; }
trap tree_unmount EXIT
tree_mount "$tree" "$root:/src" || { echo "unstable: mounting failed"; exit 1; }
tree_install "$tree" "${packages[@]}" || { echo "unstable: installing the packages failed"; exit 1; }
echo "== unstable tree ready ($((SECONDS - start_all)) s): $(tree_run "$tree" g++ --version | head -n 1);" \
  "$(tree_run "$tree" openssl version)"

declare -A result
for entry in "${interpreters[@]}"; do
  read -r label python flags <<<"$entry"
  build=/var/tmp/tavolin-build/$label
  start=$SECONDS
  result[$label]="did not run"
  echo "== $label ($python): build"
  if ! tree_run "$tree" env CMAKE_CXX_COMPILER_LAUNCHER=ccache CCACHE_DIR=/var/tmp/tavolin-build/ccache \
      BUILD_DIR="$build" PYTHON="/usr/bin/$python" /src/scripts/build.sh -DTAVOLIN_TESTS=OFF; then
    result[$label]="build failed"
    continue
  fi
  echo "== $label: python tests"
  log="$tree$build/pytest.log"
  # -W: Debian's pytest may use ast nodes that newer interpreters deprecate.
  # shellcheck disable=SC2086  # flags are words
  tree_run "$tree" env PYTHONPATH="$build/python" TAVOLIN_SOURCE_DIR=/src \
    "/usr/bin/$python" $flags -m pytest -q -rs -p no:cacheprovider -m "not builds_from_source" \
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
