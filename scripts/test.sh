#!/bin/sh
# The whole test suite: builds and tests each MPI library, the sanitizer
# build, the Windows cross build under Wine, the static checks and a short
# fuzz run.
# Usage: scripts/test.sh [mpich|openmpi|asan|windows|lint|fuzz ...]   (default: all)
set -eu
cd "$(dirname "$0")/.."
[ $# -gt 0 ] || set -- mpich openmpi asan windows lint fuzz
for step in "$@"; do
  echo "== $step"
  started=$(date +%s)
  case $step in
  mpich | openmpi | windows)
    cmake --preset "$step" >/dev/null
    cmake --build --preset "$step" -j 2
    ctest --preset "$step"
    ;;
  asan)
    cmake --preset asan >/dev/null
    cmake --build --preset asan -j 2
    ctest --preset asan -LE 'heavy|multihost|slurm|package'
    ;;
  lint) scripts/lint.sh ;;
  fuzz) tests/fuzz/run.sh "${PAIRDOT_FUZZ_SECONDS:-30}" ;;
  *) echo "test.sh: unknown step $step" >&2; exit 2 ;;
  esac
  echo "== $step: $(($(date +%s) - started)) s"
done
echo "== all passed: $*"
