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

# --chart's picture in the README: two weeks of the demo package's runs on two stations, the
# same each time (a fixed seed), imported into a scratch history.
chart_runs() {
  RANDOM=7
  local failing=("P8 PROM1.SVF" "P8 PROM1.SVF" "PA CPLD.SVF" "P9 PROM2.SVF" "P0 BANK0.HEX"
    "V8 0101" "PE EDID.HEX" "P1 BANK1.HEX" "VA 0101" "T0 0101" "P5 BANK5.HEX" "V0 0101")
  local d n r day result device steps
  for d in $(seq 0 13); do
    day=$(date -u -d "2026-11-20 +$d day" +%F)
    [ "$(date -u -d "$day" +%u)" = 7 ] && continue  # the line stands on Sundays
    for n in $(seq 1 $((25 + RANDOM % 35))); do
      r=$((RANDOM % 100)) result=completed device='{"type":"35","id":"QB'$d$n'"}' steps=""
      if [ $r -lt 9 ]; then
        result=error steps='{"text":"'${failing[RANDOM % ${#failing[@]}]}'","result":"failed"}'
      elif [ $r -lt 11 ]; then
        result=error device='{}'  # no device answered
      elif [ $r -lt 14 ]; then
        result=stopped
      fi
      printf '{"name":"qb-%04d","station":"line-%d","device":%s,"start":"%sT%02d:%02d:00.000Z",' \
        "$n" $((1 + RANDOM % 3 / 2)) "$device" "$day" $((6 + RANDOM % 14)) $((RANDOM % 60))
      printf '"seconds":%d,"result":"%s","script":"demo/script.ini","instructions":[%s]}\n' \
        $((85 + d + RANDOM % 30)) "$result" "$steps"
    done
  done
}
chart_runs >"$work/chart-runs.jsonl"
"$BUILD/qubra-updater" --history-db "sqlite:$work/chart.sqlite" \
  --history-import "$work/chart-runs.jsonl" >&2
"$BUILD/qubra-updater" --history --history-db "sqlite:$work/chart.sqlite" \
  --chart "$shots/history-chart.png"

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
