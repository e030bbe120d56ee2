#!/usr/bin/env bash
# Builds the project and runs every test, then the whole suite again under
# AddressSanitizer and UndefinedBehaviorSanitizer, then replays the fuzzing harnesses' seeds
# (clang, libFuzzer, under the same sanitizers).
set -euo pipefail
cd "$(dirname "$0")"
. tools/ensure-deps.sh
qubra_ensure_deps "${QUBRA_TEST_DEPS[@]}"

jobs=$(nproc)
run_suite() {
  local dir=$1; shift
  cmake -S . -B "$dir" -G Ninja "$@" >/dev/null
  cmake --build "$dir" -j "$jobs"
  ctest --test-dir "$dir" --output-on-failure -j "$jobs" --timeout 300
}

echo "== build and test"
run_suite build -DCMAKE_BUILD_TYPE=RelWithDebInfo
echo "== build and test with sanitizers"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export LSAN_OPTIONS=suppressions=$PWD/tools/lsan.supp:print_suppressions=0
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
run_suite build-asan -DCMAKE_BUILD_TYPE=Debug -DQUBRA_SANITIZE=ON
echo "== fuzzing harnesses replay their seeds"
cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
  -DQUBRA_FUZZ=ON -DQUBRA_TESTS=OFF >/dev/null
cmake --build build-fuzz -j "$jobs" --target fuzz_all
ctest --test-dir build-fuzz --output-on-failure -j "$jobs" -L fuzz --timeout 300
