#!/usr/bin/env bash
# Builds the module and the native tests with AddressSanitizer and
# UndefinedBehaviorSanitizer and runs every test against that build (the
# Python suite with the sanitizer runtime preloaded; leak detection stays off
# for the interpreter itself). With --thread, builds with ThreadSanitizer and
# runs the native tests of the worker pool, of concurrent identities and of
# stopping calls.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
python=${PYTHON:-$root/.venv/bin/python}  # made by scripts/setup.sh
mode=${1:---address}

if [[ "$mode" == "--thread" ]]; then
  build=${BUILD_DIR:-$root/build-tsan}
  cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTAVOLIN_SANITIZE=thread \
    -DPython3_EXECUTABLE="$python" >/dev/null
  cmake --build "$build" -j"$(nproc)" --target native_tests
  echo "== native tests under ThreadSanitizer"
  TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
    "$build/native_tests" --gtest_brief=1 --gtest_filter="${TSAN_FILTER:-BatchPool*:StableIdentity*:Reader*:Retry*:Snapshot*:Interrupt*:IdentityHelper*:IdentityReadAhead*:ReadAhead*}"
  exit 0
fi

build=${BUILD_DIR:-$root/build-asan}
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DTAVOLIN_SANITIZE=address,undefined -DPython3_EXECUTABLE="$python" >/dev/null
cmake --build "$build" -j"$(nproc)"
status=0
echo "== native tests under ASan+UBSan"
ASAN_OPTIONS="detect_leaks=1" UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1" \
  "$build/native_tests" --gtest_brief=1 || status=1
echo "== python tests under ASan+UBSan"
asan_runtime=$(g++ -print-file-name=libasan.so)
ubsan_runtime=$(g++ -print-file-name=libubsan.so)
LD_PRELOAD="$asan_runtime:$ubsan_runtime" \
  ASAN_OPTIONS="detect_leaks=0:allocator_may_return_null=1" \
  UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1" \
  PYTHONPATH="$build/python" TAVOLIN_SOURCE_DIR="$root" TAVOLIN_SANITIZED=1 \
  "$python" -m pytest -q -p no:cacheprovider "$root/tests/python" \
  -m "not builds_from_source" -k "not stubtest and not mypy" || status=1
exit $status
