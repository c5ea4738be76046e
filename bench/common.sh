# shellcheck shell=bash
# shellcheck disable=SC2034 # the variables are the sourcing scripts'
# Sourced by the bench scripts: where results go, timing, and the launcher's
# command line of a job, taken from the launch layer (the job harness's
# --print-command) so that no launcher flag is written here.
#   BENCH_OUT    scratch directory for generated outputs and raw timings
#                (default: build/bench-data under the source tree)
#   BENCH_QUICK  1: few rounds and small sizes, a smoke test

src=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
bench=$src/bench
quick=${BENCH_QUICK:-0}
out=${BENCH_OUT:-$src/build/bench-data}
mkdir -p "$out"
out=$(cd "$out" && pwd)

# As root (CI) Open MPI must be told that this is intended; small machines:
# its ranks yield when idle. MPICH ignores these.
export OMPI_ALLOW_RUN_AS_ROOT=1 OMPI_ALLOW_RUN_AS_ROOT_CONFIRM=1 OMPI_MCA_mpi_yield_when_idle=1
export LC_ALL=C

log() { echo "bench: $*" >&2; }

cache_value() { sed -n "s/^$2:[A-Z]*=//p" "$1/CMakeCache.txt"; }

# Sets cmd to the launcher's command line of a job of the build in DIR, with
# output FORM (merged: the launcher's own, untagged; tagged: each line
# tagged with its rank); nothing of the harness runs when cmd does.
job_command() { # DIR NP FORM PROGRAM [ARG...]
  local dir=$1 np=$2 form=$3 program=$4 preflags=() args=() arg
  shift 4
  for arg in "$@"; do args+=("--program-arg=$arg"); done
  IFS=';' read -r -a preflags <<<"$(cache_value "$dir" MPIEXEC_PREFLAGS)"
  cmd=()
  mapfile -d '' -t cmd < <("$dir/tests/harness/job_harness" --print-command --np "$np" \
    --form "$form" --program "$program" "${args[@]}" -- "$(cache_value "$dir" MPIEXEC_EXECUTABLE)" \
    "$(cache_value "$dir" MPIEXEC_NUMPROC_FLAG)" "$np" "${preflags[@]}")
  [ ${#cmd[@]} -gt 0 ] || { log "no command line for a job of $np (job_harness failed)"; exit 1; }
}

# Runs a command with output to $run_stdout, sets elapsed (seconds) and
# status; never fails the script.
run_stdout=/dev/null
timed() {
  local start=$EPOCHREALTIME
  status=0
  "$@" >"$run_stdout" 2>"$out/last.err" || status=$?
  local end=$EPOCHREALTIME
  elapsed=$(awk -v a="$start" -v b="$end" 'BEGIN { printf "%.6f", b - a }')
}

# Like timed, under GNU time; sets rss (KiB) too.
timed_rss() {
  timed /usr/bin/time -f %M -o "$out/rss.tmp" "$@"
  rss=$(tail -n 1 "$out/rss.tmp")
}
