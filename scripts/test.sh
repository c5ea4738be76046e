#!/bin/sh
# Builds and runs the whole test suite on each MPI library (default: both).
# Usage: scripts/test.sh [mpich] [openmpi]
set -eu
cd "$(dirname "$0")/.."
[ $# -gt 0 ] || set -- mpich openmpi
for preset in "$@"; do
  echo "== $preset"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j 2
  ctest --preset "$preset"
done
