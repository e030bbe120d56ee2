#!/usr/bin/env bash
# shellcheck disable=SC2317  # code after the traps is reachable
# Makes every picture in docs/ again from the real windows, on a virtual X display: the dialogs,
# the main window over the staged demo package, idle and after a whole update against the
# simulated device on 127.0.0.1 (staged and started as ./run.sh does), and the line window
# opened with --start on three simulated devices, mid-run and after (the end-to-end case window).
#   tools/screenshots.sh [BUILD_DIR]
# Look at the pictures before committing them.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
BUILD=${1:-build}

. tools/ensure-deps.sh
. tools/demo-sim.sh
qubra_ensure_deps "${QUBRA_PICTURE_DEPS[@]}"
cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$BUILD" --target tests_ui qubra-updater qubra-sim qubra-demo -j "$(nproc)" >&2

# The window shows the package folder, so it has the same name on every run: a second run at
# the same time, or one that was killed, leaves it and this run stops.
package=/tmp/qubra-demo
mkdir "$package" || {
  echo "screenshots: $package is in use; remove it once no other run needs it" >&2
  exit 1
}
work=""
cleanup() {
  qubra_stop_sim || true
  rm -rf "$package" "$work"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
work=$(mktemp -d)

cp -R "$BUILD/demo/." "$package"/
rm -f "$package/.staged"
if ! qubra_start_sim "$BUILD/qubra-sim" "$work"; then
  echo "screenshots: the simulator did not start" >&2
  exit 1
fi
mv "$work/Updater.prm" "$package/"

shots=$work/shots
mkdir -p "$shots"
QUBRA_SCREENSHOT_DIR=$shots QUBRA_SCREENSHOT_PACKAGE=$package QT_QPA_PLATFORM=xcb \
  xvfb-run -a -s "-screen 0 1280x1024x24" \
  "$BUILD/tests_ui" --gtest_filter='Screenshots.*' --gtest_brief=1 >&2
QUBRA_SHOTS=$shots QUBRA_UPDATER=$BUILD/qubra-updater QUBRA_SIM=$BUILD/qubra-sim \
  QUBRA_DEMO=$BUILD/demo QT_QPA_PLATFORM=xcb xvfb-run -a -s "-screen 0 1280x1024x24" \
  bash tests/e2e/e2e.sh window >&2

# Every picture the README shows is made here, and nothing else is.
unmade=0
for picture in docs/*.png; do
  [ -f "$shots/$(basename "$picture")" ] || {
    echo "screenshots: nothing makes $picture" >&2
    unmade=1
  }
done
[ "$unmade" = 0 ] || exit 1
cp "$shots"/*.png docs/
for picture in "$shots"/*.png; do
  echo "$ROOT/docs/$(basename "$picture")"
done
