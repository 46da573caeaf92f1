#!/usr/bin/env bash
# Sets up the machine, builds, and runs every test (native and Python).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}
"$root/scripts/setup.sh"
"$root/scripts/build.sh"
status=0
echo "== native tests"
"$build/native_tests" --gtest_brief=1 || status=1
echo "== fuzz inputs replayed (seeds and kept regression cases)"
for target in header container frames pdf; do
  "$build/${target}_replay" "$root/fuzz/seeds/$target" "$root/fuzz/regressions/$target" || status=1
done
echo "== python tests"
PYTHONPATH="$build/python" TAVOLIN_SOURCE_DIR="$root" \
  "${PYTHON:-/usr/bin/python3}" -m pytest -q -p no:cacheprovider "$root/tests/python" || status=1
exit $status
