#!/usr/bin/env bash
# shellcheck disable=SC2119  # no extra packages
# Makes the two packages from this tree: a .deb that installs into /usr, and a portable
# .tar.gz whose folder holds the program beside the demo package and runs in place. Both land
# in build/packages/. Reuses build/ (as ./run.sh and ./test.sh do), builds only the programs
# and their documents, and installs only what building needs (no test tools).
set -euo pipefail
cd "$(dirname "$0")"
. tools/ensure-deps.sh
qubra_ensure_deps
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build --target qubra-updater qubra-sim qubra-docs -j "$(nproc)"
(cd build && cpack)
