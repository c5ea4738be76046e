#!/bin/bash
# Runs the benchmarks and rewrites the result tables of BENCHMARKS.md and
# the plot bench/startup.png: start-up (bench/startup_bench.sh), pairdot-check
# (bench/checker_bench.sh), then the report (bench/report.sh).
#
# Usage: bench/run.sh [BUILD_DIR_MPICH BUILD_DIR_OPENMPI]
#   With no arguments the mpich and openmpi presets are configured and built
#   (build/mpich, build/openmpi); given directories are configured if empty.
# Environment:
#   BENCH_OUT    scratch directory for generated outputs and raw timings
#                (default: build/bench-data under the source tree)
#   BENCH_QUICK  1: few rounds and small sizes, a smoke test; tables and plot
#                go to BENCH_OUT instead of the source tree
#   BENCH_REPORT_ONLY  1: measure nothing, rewrite the report from the raw
#                timings already in BENCH_OUT
#   PAIRDOT_BENCH_BUILT  a build directory that is up to date (set by the
#                `bench` target, which must not start a second build there)
set -euo pipefail
# shellcheck source=common.sh
. "$(dirname "$0")/common.sh"
export BENCH_OUT=$out BENCH_QUICK=$quick

if [ $# -eq 0 ]; then
  set -- "$src/build/mpich" "$src/build/openmpi"
elif [ $# -ne 2 ]; then
  echo "usage: bench/run.sh [BUILD_DIR_MPICH BUILD_DIR_OPENMPI]" >&2
  exit 2
fi
dir_mpich=$1
dir_openmpi=$2

# Configures DIR for library LIB if it has no cache yet, then builds what the
# benchmarks run.
ensure_build() {
  local lib=$1 dir=$2
  if [ "$(realpath -m "$dir")" = "$(realpath -m "${PAIRDOT_BENCH_BUILT:-/nonexistent}")" ]; then
    return
  fi
  if [ ! -f "$dir/CMakeCache.txt" ]; then
    if [ "$(realpath -m "$dir")" = "$src/build/$lib" ]; then
      (cd "$src" && cmake --preset "$lib" >/dev/null)
    else
      cmake -S "$src" -B "$dir" -DMPI_EXECUTABLE_SUFFIX=".$lib" \
        -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
    fi
  fi
  log "building $dir"
  cmake --build "$dir" -j 2 --target pairdot bare_mpi gen_job_output pairdot-check job_harness \
    >/dev/null
}

if [ "${BENCH_REPORT_ONLY:-0}" != 1 ]; then
  ensure_build mpich "$dir_mpich"
  ensure_build openmpi "$dir_openmpi"
fi
dir_mpich=$(cd "$dir_mpich" && pwd)
dir_openmpi=$(cd "$dir_openmpi" && pwd)

machine_info() {
  local cpu mem
  cpu=$(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -n 1)
  mem=$(awk '/^MemTotal/ { printf "%.1f GiB", $2 / 1048576 }' /proc/meminfo)
  echo "| | |"
  echo "|---|---|"
  echo "| date | $(date -u '+%Y-%m-%d %H:%M UTC') |"
  echo "| CPU | $cpu, $(nproc) cores |"
  echo "| memory | $mem |"
  echo "| kernel | $(uname -sr) |"
  # shellcheck source=/dev/null
  echo "| OS | $(. /etc/os-release && echo "$PRETTY_NAME") |"
  echo "| compiler | $(c++ --version | head -n 1) |"
  echo "| MPICH | $(dpkg-query -W -f '${Version}' libmpich12 2>/dev/null || echo '?') (Debian libmpich12) |"
  echo "| Open MPI | $(dpkg-query -W -f '${Version}' libopenmpi3 2>/dev/null || echo '?') (Debian libopenmpi3) |"
  echo "| awk | $(readlink -f "$(command -v awk)") |"
  echo "| build type | $(cache_value "$dir_mpich" CMAKE_BUILD_TYPE) |"
  echo "| source | $(git -C "$src" log -1 --format='%h %cs' 2>/dev/null || echo '?')$(git -C "$src" diff --quiet HEAD 2>/dev/null || echo ', with local changes') |"
  echo "| load average at start | $(cut -d ' ' -f 1-3 /proc/loadavg) |"
}

if [ "${BENCH_REPORT_ONLY:-0}" != 1 ]; then
  machine_info >"$out/machine.md"
  "$bench/startup_bench.sh" "$dir_mpich" "$dir_openmpi"
  "$bench/checker_bench.sh" "$dir_mpich"
  echo "| load average at end | $(cut -d ' ' -f 1-3 /proc/loadavg) |" >>"$out/machine.md"
fi
"$bench/report.sh"
