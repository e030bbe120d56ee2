#!/usr/bin/env bash
# Builds the updater and starts it.
set -euo pipefail
cd "$(dirname "$0")"
. tools/ensure-deps.sh
qubra_ensure_deps
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc)"
exec build/qubra-updater "$@"
