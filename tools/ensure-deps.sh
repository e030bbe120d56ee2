#!/usr/bin/env bash
# Installs the Debian packages a script needs, when they are missing. Sourced by package.sh,
# run.sh, test.sh and the tools.

# Building the programs and the packages: the compiler and Qt 6; libudev finds the serial
# adapters; libsodium checks sealed packages; CPack's .deb needs dpkg-shlibdeps (dpkg-dev) and
# file for its dependencies; the station's history needs Qt's SQLite and PostgreSQL drivers,
# its --summary SQLite's own library, and its pictures Qt Charts and Qt SVG (Qt Charts' CMake
# files ask for Qt OpenGL's).
QUBRA_BUILD_DEPS=(cmake ninja-build g++ qt6-base-dev libudev-dev libsodium-dev dpkg-dev file
  libqt6sql6-sqlite libqt6sql6-psql libsqlite3-dev qt6-charts-dev qt6-svg-dev libqt6opengl6-dev)
# Testing: GoogleTest; objcopy (binutils) gives the images the end-to-end tests compare with;
# the package check needs man, desktop-file-validate and lintian; clang and its runtime
# libraries build the fuzzing harnesses; the end-to-end tests read the JSON report with jq; the
# tests sign sealed packages with minisign; the history tests run against a PostgreSQL server.
# shellcheck disable=SC2034  # read by the scripts that source this file
QUBRA_TEST_DEPS=(libgtest-dev libgmock-dev binutils man-db desktop-file-utils lintian clang
  libclang-rt-14-dev jq minisign postgresql)
# The pictures of docs/ (tools/screenshots.sh): the widget tests on a virtual X display, and the
# line window's end-to-end case (objcopy, jq; ImageMagick's import takes the picture).
# shellcheck disable=SC2034
QUBRA_PICTURE_DEPS=(libgtest-dev libgmock-dev xvfb xauth binutils jq imagemagick)

# qubra_ensure_deps [PACKAGE...]: the build set and the packages named.
qubra_ensure_deps() {
  local missing=()
  for p in "${QUBRA_BUILD_DEPS[@]}" "$@"; do
    dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  if [ "$(id -u)" -ne 0 ]; then
    echo "Missing packages. Run as root:" >&2
    echo "  apt-get update && apt-get install -y --no-install-recommends ${missing[*]}" >&2
    return 1
  fi
  echo "Installing: ${missing[*]}" >&2
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq >&2 && apt-get install -y -qq --no-install-recommends "${missing[@]}" >&2
}
