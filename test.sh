#!/usr/bin/env bash
# Builds the project and runs every test, then the whole suite again under
# AddressSanitizer and UndefinedBehaviorSanitizer, then replays the fuzzing harnesses' seeds
# (clang, libFuzzer, under the same sanitizers).
set -euo pipefail
cd "$(dirname "$0")"
. tools/ensure-deps.sh
qubra_ensure_deps "${QUBRA_TEST_DEPS[@]}"

jobs=$(nproc)

# The history tests need a PostgreSQL server: one of their own, in a temporary folder, on
# 127.0.0.1, stopped when this script ends however it ends. The server refuses to run as root.
pg_bin=$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -n 1)
as_pg() { if [ "$(id -u)" -eq 0 ]; then runuser -u postgres -- "$@"; else "$@"; fi; }
stop_postgres() {
  as_pg "$pg_bin/pg_ctl" -D "$pg_dir/data" -m fast stop >/dev/null 2>&1 || true
  rm -rf "$pg_dir"
}
start_postgres() {
  if [ ! -x "$pg_bin/initdb" ]; then
    echo "PostgreSQL is not installed: the history tests skip their PostgreSQL half" >&2
    return 0
  fi
  pg_dir=$(mktemp -d)
  [ "$(id -u)" -ne 0 ] || chown postgres "$pg_dir"
  trap stop_postgres EXIT
  as_pg "$pg_bin/initdb" -D "$pg_dir/data" -A trust -U postgres >/dev/null
  local port
  for _ in 1 2 3 4 5; do
    port=$((20000 + RANDOM % 30000))
    if as_pg "$pg_bin/pg_ctl" -D "$pg_dir/data" -l "$pg_dir/log" -w \
      -o "-k $pg_dir -p $port -c listen_addresses=127.0.0.1" start >/dev/null; then
      export QUBRA_TEST_PG_URL="postgresql://postgres@127.0.0.1:$port/postgres"
      return 0
    fi
  done
  echo "PostgreSQL did not start (see $pg_dir/log)" >&2
  return 1
}
start_postgres
# The tests never see this station's own policy: where /etc/qubra-updater is there, they run in
# a mount namespace of their own that has an empty folder in its place (as root; otherwise they
# run as they are, saying so).
without_station() {
  if [ ! -e /etc/qubra-updater ]; then
    "$@"
  elif [ "$(id -u)" -eq 0 ] && command -v unshare >/dev/null; then
    unshare --mount --propagation private -- sh -c \
      'mount -t tmpfs -o size=1m,mode=755 none /etc/qubra-updater && exec "$@"' sh "$@"
  else
    echo "note: /etc/qubra-updater is there and the tests can hide it only as root" >&2
    "$@"
  fi
}
run_suite() {
  local dir=$1; shift
  cmake -S . -B "$dir" -G Ninja "$@" >/dev/null
  cmake --build "$dir" -j "$jobs"
  without_station ctest --test-dir "$dir" --output-on-failure -j "$jobs" --timeout 300
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
without_station ctest --test-dir build-fuzz --output-on-failure -j "$jobs" -L fuzz --timeout 300
