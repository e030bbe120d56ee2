#!/usr/bin/env bash
# The simulated device beside a staged package, for the scripts that show the demo running.
# Sourced by run.sh and tools/screenshots.sh.

QUBRA_SIM_PID=""

# qubra_start_sim SIM DIR [OPTION...]: starts SIM with the options on a free loopback TCP port,
# its output in DIR/sim.log and DIR/sim.err, and once it is ready (within 10 s) writes
# DIR/Updater.prm for TCP 127.0.0.1 and that port. Fails, with the simulator's errors on
# stderr, when it does not get ready; qubra_stop_sim stops it either way.
qubra_start_sim() {
  local sim=$1 dir=$2 port=""
  shift 2
  "$sim" --tcp 127.0.0.1:0 "$@" >"$dir/sim.log" 2>"$dir/sim.err" &
  QUBRA_SIM_PID=$!
  for _ in $(seq 200); do
    port=$(sed -n 's/^qubra-sim: ready, tcp 127\.0\.0\.1:\([0-9]*\),.*/\1/p' "$dir/sim.log")
    [ -n "$port" ] && break
    kill -0 "$QUBRA_SIM_PID" 2>/dev/null || break
    sleep 0.05
  done
  if [ -z "$port" ]; then
    cat "$dir/sim.err" >&2
    return 1
  fi
  printf '%s\r\n' CON_TYPE=TCP COM_PORT=NA REMOTE_IP=127.0.0.1 "REMOTE_PORT=$port" \
    "LOCAL_PORT=$port" >"$dir/Updater.prm"
}

# Stops the simulator started last; false when it was no longer running.
qubra_stop_sim() {
  local pid=$QUBRA_SIM_PID
  QUBRA_SIM_PID=""
  [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null || return 1
  kill -TERM "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
}
