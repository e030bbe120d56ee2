#!/usr/bin/env bash
# Fuzzes one parser for a while: tools/fuzz.sh TARGET [SECONDS] [libFuzzer options...]
# TARGET is one of: hex text svf svfconvert tdo engines settings check sim seal. New inputs are kept in
# build-fuzz/corpus/TARGET; a crash is saved in build-fuzz/ and replayed by passing its file.
set -euo pipefail
cd "$(dirname "$0")/.."
targets="hex text svf svfconvert tdo engines settings check sim seal"
if [ $# -lt 1 ] || [[ " $targets " != *" $1 "* ]]; then
  echo "usage: tools/fuzz.sh TARGET [SECONDS] [libFuzzer options...]" >&2
  echo "targets: $targets" >&2
  exit 2
fi
target=$1
seconds=${2:-60}
shift $(( $# >= 2 ? 2 : 1 ))
. tools/ensure-deps.sh
qubra_ensure_deps clang libclang-rt-14-dev
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
  -DQUBRA_FUZZ=ON -DQUBRA_TESTS=OFF "${launcher[@]}" >/dev/null
cmake --build build-fuzz --target "fuzz_$target"
mkdir -p "build-fuzz/corpus/$target"
export ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
cd build-fuzz
exec "./fuzz/fuzz_$target" -max_total_time="$seconds" "$@" "corpus/$target" \
  "../fuzz/corpus/$target" ../demo
