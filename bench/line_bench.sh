#!/usr/bin/env bash
# Production line at scale: lines of K simulated devices (K = 1, 4, 16) paced at 57600 baud,
# half over pseudo-terminals and half over TCP, all updated by one `qubra-updater --line` with
# the demo package enlarged to 8 KiB per file. Prints, for each K, every device's elapsed time
# (from the report) against the wire time its simulator reports and against the K = 1 time of
# its transport, and the CPU seconds of all the updater processes together.
#
#   bench/line_bench.sh [BUILD_DIR] [K...]     (default: build 1 4 16; about five minutes)
#
# BUILD_DIR must hold qubra-updater, qubra-sim and qubra-demo-gen (cmake --build BUILD_DIR).
# Every device is on 127.0.0.1 or a pseudo-terminal; every process started is stopped by its
# process id.
set -uo pipefail

BUILD=${1:-build}
shift || true
KS=("$@")
[ ${#KS[@]} -gt 0 ] || KS=(1 4 16)
BAUD=57600
SIZE=8192
SRC=$(cd "$(dirname "$0")/.." && pwd)
for p in qubra-updater qubra-sim qubra-demo-gen; do
  [ -x "$BUILD/$p" ] || {
    echo "line_bench: $BUILD/$p not found; build it first" >&2
    exit 2
  }
done
command -v jq >/dev/null || {
  echo "line_bench: jq is needed" >&2
  exit 2
}

WORK=$(mktemp -d "${TMPDIR:-/tmp}/qubra-line-bench.XXXXXX")
SIMS=()
cleanup() {
  local pid
  for pid in "${SIMS[@]}"; do kill -TERM "$pid" 2>/dev/null && wait "$pid" 2>/dev/null; done
  rm -rf "$WORK"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# The program folder: the program and the demo package with 8 KiB files.
PROG=$WORK/prog
mkdir -p "$PROG"
cp "$BUILD/qubra-updater" "$PROG/"
cp -R "$SRC/demo/." "$PROG/"
"$BUILD/qubra-demo-gen" --size "$SIZE" --out "$PROG" >/dev/null || exit 1
printf 'CON_TYPE=TCP\r\nREMOTE_IP=127.0.0.1\r\nREMOTE_PORT=1\r\n' >"$PROG/Updater.prm"

# Starts one simulator; prints the device's link once the simulator is ready.
start_sim() {
  local dir=$1 kind=$2
  local args=(--baud "$BAUD")
  if [ "$kind" = pty ]; then args+=(--pty "$dir/tty"); else args+=(--tcp 127.0.0.1:0); fi
  : >"$dir/sim.out"
  "$BUILD/qubra-sim" "${args[@]}" >"$dir/sim.out" 2>"$dir/sim.err" &
  echo $! >"$dir/sim.pid"
  local i
  for ((i = 0; i < 400; ++i)); do
    if grep -q '^qubra-sim: ready, ' "$dir/sim.out"; then
      if [ "$kind" = pty ]; then
        echo "$dir/tty"
      else
        echo "tcp:$(sed -n 's/^qubra-sim: ready, tcp \([^,]*\),.*/\1/p' "$dir/sim.out")"
      fi
      return 0
    fi
    sleep 0.05
  done
  echo "line_bench: qubra-sim did not get ready: $(cat "$dir/sim.err")" >&2
  return 1
}

declare -A REFERENCE  # transport -> elapsed seconds of a line of one device

# run_line TAG K FIRST: a line of K devices, transports alternating from FIRST (pty or tcp).
run_line() {
  local tag=$1 k=$2 kind=$3 i
  local dir=$WORK/$tag
  mkdir -p "$dir"
  : >"$dir/devices.txt"
  SIMS=()
  for ((i = 1; i <= k; ++i)); do
    local name dev_dir link
    name=$(printf 'dev%02d' "$i")
    dev_dir=$dir/$name
    mkdir -p "$dev_dir"
    link=$(start_sim "$dev_dir" "$kind") || exit 1
    SIMS+=("$(cat "$dev_dir/sim.pid")")
    echo "$name $link" >>"$dir/devices.txt"
    echo "$name $kind" >>"$dir/kinds.txt"
    if [ "$kind" = pty ]; then kind=tcp; else kind=pty; fi
  done
  local times
  times=$( {
    TIMEFORMAT='%R %U %S'
    time "$PROG/qubra-updater" --line "$dir/devices.txt" --timeout 60 \
      --report "$dir/report.jsonl" >"$dir/line.out" 2>"$dir/line.err"
  } 2>&1)
  local rc=$?
  local pid
  for pid in "${SIMS[@]}"; do kill -TERM "$pid" 2>/dev/null && wait "$pid" 2>/dev/null; done
  SIMS=()
  read -r wall user sys <<<"$times"
  echo
  echo "K=$k ($tag): exit $rc, $(tail -n 1 "$dir/line.out" | sed 's/^failed: /failed: /')"
  [ "$rc" -eq 0 ] || tail -n 5 "$dir/line.out" | sed 's/^/  /'
  awk -v k="$k" -v wall="$wall" -v user="$user" -v sys="$sys" 'BEGIN {
    cpu = user + sys
    printf "  wall %.1f s; updater CPU %.2f s (user %.2f, system %.2f) = %.2f %% of one core per device\n",
      wall, cpu, user, sys, 100 * cpu / k / wall
  }'
  printf '  %-6s %-4s %9s %9s %9s %10s\n' device link elapsed wire "over wire" "vs K=1"
  : >"$dir/over.txt"
  while read -r name kind; do
    local elapsed wire ref
    elapsed=$(jq -r --arg n "$name" 'select(.name == $n) | .seconds' "$dir/report.jsonl")
    wire=$(sed -n 's/^qubra-sim: wire time \([0-9.]*\) s.*/\1/p' "$dir/$name/sim.out")
    [ "$k" -eq 1 ] && REFERENCE[$kind]=$elapsed
    ref=${REFERENCE[$kind]:-}
    awk -v n="$name" -v t="$kind" -v e="$elapsed" -v w="$wire" -v r="$ref" -v over="$dir/over.txt" 'BEGIN {
      vs = r == "" ? "-" : sprintf("%+.1f %%", 100 * (e - r) / r)
      if (r != "") printf "%.2f\n", 100 * (e - r) / r >>over
      printf "  %-6s %-4s %8.2fs %8.2fs %+8.2fs %10s\n", n, t, e, w, e - w, vs
    }'
  done <"$dir/kinds.txt"
  [ "$k" -gt 1 ] && echo "  slowest device against its K=1 time: $(sort -g "$dir/over.txt" | tail -n 1) %"
}

echo "line_bench: demo package at $SIZE bytes per file, simulators at $BAUD baud, $(nproc) cores"
for k in "${KS[@]}"; do
  if [ "$k" -eq 1 ]; then
    run_line k1-pty 1 pty
    run_line k1-tcp 1 tcp
  else
    run_line "k$k" "$k" pty
  fi
done
