#!/usr/bin/env bash
# shellcheck disable=SC2317,SC2015,SC2016  # code after the traps is reachable; "A && B || C" is
# meant (a failed A has reported already); bash -c gets its script in single quotes
# The packages as a user gets them, made from a build that is already there (nothing is built
# again): the .deb is unpacked into a temporary root and its programs run from there (version,
# help, a check of the installed demo package, the serial devices, a whole batch update of the
# demo package against the installed simulator on 127.0.0.1), its manual pages, desktop entry and
# changelog are validated, lintian finds no error in it, and the portable archive's program
# checks its own folder in place.
#   package_check.sh BUILD_DIR
# Environment: CPACK (default cpack); QUBRA_PACKAGE_KEEP=1 keeps the work folder.
set -uo pipefail

BUILD=${1:?usage: package_check.sh BUILD_DIR}
CPACK=${CPACK:-cpack}
WORK=""
SIM_PID=""
FAILED=0

say() { echo "package: $*"; }
fail() {
  echo "package: FAIL: $*" >&2
  FAILED=1
}
die() {
  fail "$*"
  exit 1
}

cleanup() {
  if [ -n "$SIM_PID" ] && kill -0 "$SIM_PID" 2>/dev/null; then
    kill -TERM "$SIM_PID" 2>/dev/null
    wait "$SIM_PID" 2>/dev/null
  fi
  if [ -n "$WORK" ] && [ -d "$WORK" ]; then
    if [ "$FAILED" -ne 0 ] || [ "${QUBRA_PACKAGE_KEEP:-0}" = 1 ]; then
      echo "package: work folder kept: $WORK" >&2
    else
      rm -rf "$WORK"
    fi
  fi
}
trap cleanup EXIT
trap 'exit 143' TERM
trap 'exit 130' INT

# Runs a command with no display; sets RC and OUT/ERR to the files of its output.
run() {
  local name=$1
  shift
  OUT=$WORK/$name.out
  ERR=$WORK/$name.err
  env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM timeout --kill-after=5 120 "$@" \
    >"$OUT" 2>"$ERR"
  RC=$?
}

expect() {
  local name=$1 rc=$2
  if [ "$RC" -ne "$rc" ]; then
    fail "$name: exit status $RC, expected $rc"
    tail -n 20 "$OUT" "$ERR" >&2
    return 1
  fi
}

# Stderr must be empty: the validators speak only of what is wrong.
expect_quiet() {
  expect "$1" 0 || return 1
  [ -s "$ERR" ] && fail "$1: $(cat "$ERR")"
  return 0
}

# --- the packages ---------------------------------------------------------------------------

[ -f "$BUILD/CPackConfig.cmake" ] || die "no CPack configuration in $BUILD"
WORK=$(mktemp -d "${TMPDIR:-/tmp}/qubra-package.XXXXXX") || die "mktemp failed"
# The runs here keep their history in the work folder, never in the user's.
export XDG_DATA_HOME=$WORK/data
run cpack "$CPACK" --config "$BUILD/CPackConfig.cmake" -B "$WORK/out"
expect cpack 0 || exit 1
DEB=$(find "$WORK/out" -maxdepth 1 -name 'qubra-updater_*.deb' | head -n1)
TGZ=$(find "$WORK/out" -maxdepth 1 -name 'qubra-updater-*.tar.gz' | head -n1)
[ -n "$DEB" ] || die "no .deb made: $(cat "$WORK/cpack.out")"
[ -n "$TGZ" ] || die "no .tar.gz made: $(cat "$WORK/cpack.out")"
say "made $(basename "$DEB") and $(basename "$TGZ")"

depends=$(dpkg-deb --field "$DEB" Depends)
for lib in libqt6core6 libqt6gui6 libqt6widgets6 libqt6charts6 libqt6svg6 libudev1 qt6-qpa-plugins; do
  [[ $depends == *"$lib"* ]] || fail "the .deb does not depend on $lib: $depends"
done

# --- the .deb, unpacked into a temporary root -----------------------------------------------

ROOT=$WORK/root
dpkg-deb -x "$DEB" "$ROOT" || die "dpkg-deb -x failed"
USR=$ROOT/usr
DEMO=$USR/share/qubra-updater/demo
for f in bin/qubra-updater bin/qubra-sim share/qubra-updater/demo/script.ini \
  share/applications/qubra-updater.desktop share/applications/qubra-production-line.desktop \
  share/icons/hicolor/scalable/apps/qubra-updater.svg \
  share/man/man1/qubra-updater.1.gz share/man/man1/qubra-sim.1.gz \
  share/doc/qubra-updater/copyright share/doc/qubra-updater/changelog.gz; do
  [ -e "$USR/$f" ] || fail "not in the .deb: /usr/$f"
done

# Debian's own checker: an error fails, a warning is shown.
run lintian lintian --tag-display-limit 0 "$DEB"
expect lintian 0 || fail "lintian: $(grep '^E: ' "$OUT")"
grep '^W: ' "$OUT" | while read -r line; do say "lintian: $line"; done
gzip -dc "$USR/share/doc/qubra-updater/changelog.gz" >"$WORK/changelog"
changelog_version=$(dpkg-parsechangelog -l "$WORK/changelog" -S Version)
deb_version=$(dpkg-deb --field "$DEB" Version)
[ "$changelog_version" = "$deb_version" ] ||
  fail "the changelog's last entry is $changelog_version, the package $deb_version"

run version "$USR/bin/qubra-updater" --version
expect version 0 && [[ $(cat "$OUT") == "Varnell Qubra Updater "[0-9]*.[0-9]*.[0-9]*.[0-9]* ]] ||
  fail "--version printed: $(cat "$OUT")"
run help "$USR/bin/qubra-updater" --help
expect help 0 && for option in --check --batch --folder --list-ports; do
  grep -q -- "$option" "$OUT" || fail "--help does not name $option"
done
help_options=$(grep -o -- '--[a-z][a-z-]*' "$OUT" | sort -u)
run check "$USR/bin/qubra-updater" --check --folder "$DEMO"
expect check 0 && grep -qx 'no findings, [0-9]* files checked' "$OUT" ||
  fail "--check of the installed demo package: $(cat "$OUT")"
run ports "$USR/bin/qubra-updater" --list-ports
expect ports 0 && say "--list-ports: $(tail -n1 "$OUT")"

# A whole update of the installed demo package against the installed simulator.
"$USR/bin/qubra-sim" --tcp 127.0.0.1:0 >"$WORK/sim.out" 2>"$WORK/sim.err" &
SIM_PID=$!
port=""
for ((i = 0; i < 400; ++i)); do # up to 20 s
  port=$(sed -n 's/^qubra-sim: ready, tcp 127\.0\.0\.1:\([0-9]*\),.*/\1/p' "$WORK/sim.out")
  [ -n "$port" ] && break
  kill -0 "$SIM_PID" 2>/dev/null || break
  sleep 0.05
done
[ -n "$port" ] || die "the installed simulator did not get ready: $(cat "$WORK/sim.err")"
printf '%s\r\n' CON_TYPE=TCP COM_PORT=NA REMOTE_IP=127.0.0.1 "REMOTE_PORT=$port" \
  "LOCAL_PORT=$port" >"$DEMO/Updater.prm"
run batch "$USR/bin/qubra-updater" --batch --timeout 20 --folder "$DEMO"
expect batch 0 && [ "$(tail -n1 "$OUT")" = "Program operation completed" ] ||
  fail "batch run: $(tail -n3 "$OUT")"
say "batch run of the installed demo package: $(wc -l <"$OUT") status lines"
# The installed program with its SQLite driver: a fresh file is made and holds no run; the
# default history holds the batch run.
run history "$USR/bin/qubra-updater" --history --history-db "sqlite:$WORK/fresh.sqlite"
expect history 0 && [ -s "$WORK/fresh.sqlite" ] || fail "--history on a fresh file: $(cat "$OUT")"
run history-default "$USR/bin/qubra-updater" --history --format json
expect history-default 0 && [ "$(grep -c '"result":"completed"' "$OUT")" = 1 ] ||
  fail "--history after the batch run: $(cat "$OUT")"

for page in qubra-updater qubra-sim; do
  run "man-$page" env LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 -l \
    "$USR/share/man/man1/$page.1.gz"
  expect_quiet "man --warnings $page.1"
  grep -q "EXIT STATUS" "$OUT" || fail "$page(1) has no EXIT STATUS"
  # Text after an example starts a paragraph of its own; \% shows as a hyphen in some readers.
  awk 'prev ~ /^              / && /^       [^ ]/ { bad = 1 } { prev = $0 } END { exit bad }' \
    "$OUT" ||
    fail "$page(1): no blank line between an example and the text after it"
  zcat "$USR/share/man/man1/$page.1.gz" | grep -qF '\%' && fail "$page(1) holds \\%"
  # Each option --help names has an entry of its own: a line of the page that starts with it.
  [ "$page" = qubra-updater ] && for option in $help_options; do
    grep -qE -- "^ {7}$option( |$)" "$OUT" ||
      fail "qubra-updater(1) has no entry for $option, which --help names"
  done
done
for entry in qubra-updater qubra-production-line; do
  run "desktop-$entry" desktop-file-validate "$USR/share/applications/$entry.desktop"
  expect_quiet "desktop-file-validate $entry.desktop"
  [ -s "$OUT" ] && fail "desktop-file-validate $entry.desktop: $(cat "$OUT")"
done

# --- the portable archive: the program beside its package, run in place --------------------

mkdir -p "$WORK/portable"
tar -xzf "$TGZ" -C "$WORK/portable" || die "cannot unpack $TGZ"
top=$(find "$WORK/portable" -mindepth 1 -maxdepth 1 -type d | head -n1)
[ -x "$top/qubra-updater" ] && [ -f "$top/script.ini" ] ||
  fail "the archive's folder does not hold the program beside script.ini"
for f in README.md man/man1/qubra-updater.1.gz man/man1/qubra-sim.1.gz; do
  [ -f "$top/$f" ] || fail "not in the portable archive: $f"
done
run portable bash -c 'cd "$1" && ./qubra-updater --check' portable "$top"
expect portable 0 && grep -qx 'no findings, [0-9]* files checked' "$OUT" ||
  fail "--check in the portable folder: $(cat "$OUT")"

[ "$FAILED" -eq 0 ] || exit 1
say "passed"
