#!/usr/bin/env bash
# Builds the libFuzzer targets (ASan+UBSan) and runs each for the given number
# of seconds (default 60). New corpus entries go to build-fuzz/corpus/<target>,
# crashing inputs to build-fuzz/artifacts/<target>/. Exits non-zero on a finding.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-60}
build=${FUZZ_BUILD_DIR:-$root/build-fuzz}
# The public JSON parsing suite kept in the test data: extra header inputs.
json_suite="$root/tests/data/json-test-suite/test_parsing"

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTAVOLIN_FUZZ=ON \
  -DTAVOLIN_TESTS=OFF -DTAVOLIN_SANITIZE=address,undefined \
  -DPython3_EXECUTABLE="${PYTHON:-/usr/bin/python3}" >/dev/null
cmake --build "$build" -j"$(nproc)" --target fuzzers
targets=()
for source in "$root"/fuzz/*_fuzz.cpp; do
  name=$(basename "$source" .cpp)
  targets+=("${name%_fuzz}")
done

status=0
for target in ${FUZZ_TARGETS:-${targets[@]}}; do
  corpus="$build/corpus/$target"
  artifacts="$build/artifacts/$target/"
  mkdir -p "$corpus" "$artifacts"
  extra=()
  [[ "$target" == header && -d "$json_suite" ]] && extra+=("$json_suite")
  echo "== fuzzing $target for ${seconds}s"
  if ! ASAN_OPTIONS="allocator_may_return_null=1:detect_leaks=1" \
      UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1" \
      "$build/fuzz/${target}_fuzzer" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
      -max_len=200000 -print_final_stats=1 -dict="$root/fuzz/$target.dict" \
      -artifact_prefix="$artifacts" "$corpus" "$root/fuzz/seeds/$target" "${extra[@]}" \
      2>"$build/$target.log"; then
    echo "!! $target found a problem; see $build/$target.log and $artifacts"
    status=1
  fi
  grep -E "^stat::number_of_executed_units|^stat::new_units_added" "$build/$target.log" | tr '\n' ' '
  echo
done
exit $status
