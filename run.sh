#!/usr/bin/env bash
# shellcheck disable=SC2317,SC2119  # code after the traps is reachable; no extra packages
# Builds the updater and lets you watch a whole update of the demo package against the
# simulated device; see ./run.sh --help.
set -euo pipefail
cd "$(dirname "$0")"
ROOT=$PWD

usage() {
  cat <<'EOF'
Usage: ./run.sh [--batch] [--sim "OPTIONS"] [-- UPDATER-OPTIONS...]
       ./run.sh --package DIR [--batch] [-- UPDATER-OPTIONS...]

Without --package: installs what is missing (as root), builds, stages the demo update package
with the program into build/run/, starts the simulated device (qubra-sim) on a free loopback
TCP port, writes build/run/Updater.prm for TCP 127.0.0.1 and that port, and opens the window:
press START and watch a whole update. Closing the window stops the simulator; the images the
simulated device ended up with are in build/run/device/. With no display (neither DISPLAY nor
WAYLAND_DISPLAY set), or with --batch, the update runs without a window (qubra-updater --batch)
and its status lines are printed.

  --batch           run without a window even when a display is there
  --sim "OPTIONS"   extra qubra-sim options, e.g. --sim "--type 35 --baud 57600" or
                    --sim "--retry-rate 0.1"; see build/qubra-sim --help
  -- OPTIONS        passed on to qubra-updater, e.g. -- --readid (with --batch)

Against a real device and a real update package:

  ./run.sh --package DIR

copies DIR (its script.ini, card folders Qubra/ UQubra/ DVI/, BOOT_EXT_OPTION.HEX, the HEX and
SVF files, and its Updater.prm) with the program into build/package/ and runs it there; no
simulator is started. The connection comes from DIR/Updater.prm, for instance

  CON_TYPE=TCP          (or UDP, or RS232 with COM_PORT=COM1 and COM1_DEVICE=/dev/ttyUSB0)
  REMOTE_IP=192.168.0.10
  REMOTE_PORT=10500
  LOCAL_PORT=10500

or, in the window, from the Port menu (settings changed there are saved in
build/package/Updater.prm). Check a package without a device first:

  ./run.sh --package DIR -- --check
EOF
}

batch=0
package=""
sim_args=""
updater_args=()
while [ $# -gt 0 ]; do
  case $1 in
    -h | --help) usage; exit 0 ;;
    --batch) batch=1 ;;
    --package)
      [ $# -ge 2 ] || { echo "run.sh: --package needs a folder" >&2; exit 2; }
      package=$2
      shift ;;
    --sim)
      [ $# -ge 2 ] || { echo "run.sh: --sim needs the simulator options" >&2; exit 2; }
      sim_args=$2
      shift ;;
    --) shift; updater_args=("$@"); break ;;
    *) echo "run.sh: unknown option '$1' (see ./run.sh --help)" >&2; exit 2 ;;
  esac
  shift
done
if [ -n "$package" ] && [ ! -f "$package/script.ini" ] && [ ! -f "$package/readid.ini" ]; then
  echo "run.sh: $package holds no script.ini or readid.ini" >&2
  exit 2
fi
[ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] && batch=1
for a in "${updater_args[@]}"; do [ "$a" = --check ] && batch=2; done

. tools/ensure-deps.sh
qubra_ensure_deps
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build --target qubra-updater qubra-sim qubra-demo -j "$(nproc)" >&2

# Runs the staged program: the window, or the batch mode with its status lines on stdout.
run_program() {
  local dir=$1
  shift
  local rc=0
  if [ "$batch" = 2 ]; then
    "$dir/qubra-updater" "$@" || rc=$?
  elif [ "$batch" = 1 ]; then
    echo "run.sh: no display; running the update without a window" >&2
    "$dir/qubra-updater" --batch --timeout 30 "$@" || rc=$?
  else
    "$dir/qubra-updater" "$@" || rc=$?
  fi
  return "$rc"
}

if [ -n "$package" ]; then
  dir=$ROOT/build/package
  rm -rf "$dir"
  mkdir -p "$dir"
  cp -R "$package"/. "$dir"/
  cp build/qubra-updater "$dir"/
  echo "run.sh: running $dir (a copy of $package)" >&2
  run_program "$dir" "${updater_args[@]}"
  exit $?
fi

dir=$ROOT/build/run
rm -rf "$dir"
mkdir -p "$dir"
cp -R build/demo/. "$dir"/
rm -f "$dir/.staged"
cp build/qubra-updater "$dir"/
# The demo's runs are kept beside it (build/run/data/), never in this user's history.
export XDG_DATA_HOME=$dir/data
if [ "$batch" = 2 ]; then
  run_program "$dir" "${updater_args[@]}"
  exit $?
fi

. tools/demo-sim.sh
stop_sim() {
  if qubra_stop_sim; then
    sed -n 's/^qubra-sim: //p' "$dir/sim.log" | tail -n +2 >&2
  fi
}
trap stop_sim EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# shellcheck disable=SC2086  # the simulator options are words on purpose
if ! qubra_start_sim build/qubra-sim "$dir" --dump "$dir/device" $sim_args; then
  echo "run.sh: the simulator did not start" >&2
  exit 1
fi
echo "run.sh: $(head -n1 "$dir/sim.log" | sed 's/^qubra-sim: //'); program in $dir" >&2
[ "$batch" = 0 ] && echo "run.sh: press START in the window; close it to stop the simulator" >&2
rc=0
run_program "$dir" "${updater_args[@]}" || rc=$?
exit "$rc"
