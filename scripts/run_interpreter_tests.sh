#!/usr/bin/env bash
# Builds the module for every pyenv CPython 3.10 to 3.13 the machine has and
# runs the whole Python suite with each (Debian's python3 is covered by
# run_tests.sh). Each interpreter gets its own build directory,
# build-interp/<label>, reused by later runs, and a directory of links to
# Debian's pure-Python pytest and hypothesis. Prints which interpreters ran;
# exits non-zero when any interpreter the machine has failed or did not run.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=scripts/interpreters.sh
source "$root/scripts/interpreters.sh"

mapfile -t found < <(supported_interpreters)
if ((${#found[@]} == 0)); then
  echo "interpreters: no pyenv CPython 3.10 to 3.13 on this machine; nothing to run"
  exit 0
fi

use_build_cache "$root"

declare -A result
start_all=$SECONDS
for entry in "${found[@]}"; do
  label=${entry%% *}
  python=${entry#* }
  build="$root/build-interp/$label"
  log="$build/pytest.log"
  start=$SECONDS
  result[$label]="did not run"
  echo "== $label ($python): build"
  if ! BUILD_DIR="$build" PYTHON="$python" "$root/scripts/build.sh" -DTAVOLIN_TESTS=OFF; then
    result[$label]="build failed"
    continue
  fi
  make_test_path "$python" "$build/test-path" || { result[$label]="no test packages"; continue; }
  echo "== $label: python tests"
  # -W: Debian's pytest 7.2 uses ast nodes that 3.12+ deprecate.
  PYTHONPATH="$build/python:$build/test-path" TAVOLIN_SOURCE_DIR="$root" \
    "$python" -m pytest -q -rs -p no:cacheprovider \
    -W "ignore::DeprecationWarning:_pytest.assertion.rewrite" "$root/tests/python" \
    2>&1 | tee "$log"
  rc=${PIPESTATUS[0]}
  summary=$(tail -n 1 "$log" | sed -E 's/^=+ //; s/ =+$//')
  if ((rc == 0)); then
    result[$label]="ok: $summary ($((SECONDS - start)) s with the build)"
  else
    result[$label]="FAILED (pytest exit $rc): $summary"
  fi
done

echo "== interpreters run ($((SECONDS - start_all)) s)"
status=0
for entry in "${found[@]}"; do
  label=${entry%% *}
  echo "  $label: ${result[$label]}"
  [[ "${result[$label]}" == ok:* ]] || status=1
done
exit $status
