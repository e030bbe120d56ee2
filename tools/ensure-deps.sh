#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the demo need, when they are missing.
# Sourced by test.sh and run.sh.
qubra_ensure_deps() {
  local pkgs=(cmake ninja-build g++ qt6-base-dev libgtest-dev libgmock-dev binutils "$@")
  # libudev finds the serial adapters; the package check needs dpkg-shlibdeps (the .deb's
  # dependencies), man (the manual pages) and desktop-file-validate (the desktop entry); clang
  # and its runtime libraries build the fuzzing harnesses; the end-to-end tests read the JSON
  # report with jq; sealed packages are checked with libsodium and signed in the tests with minisign.
  pkgs+=(libudev-dev dpkg-dev man-db desktop-file-utils clang libclang-rt-14-dev jq)
  pkgs+=(libsodium-dev minisign)
  local missing=()
  for p in "${pkgs[@]}"; do
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
