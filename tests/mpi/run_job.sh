#!/bin/bash
# Runs one pairdot job for a test and checks it. Shared by every
# multi-process test.
#
#   run_job.sh --np N --program EXE [options] -- [MPIEXEC NUMPROC_FLAG N PREFLAGS...]
#
# With nothing after --, the program runs without a launcher (a singleton).
#   --form files|tagged   per-rank output files, or the launcher's rank tags
#   --check EXE           verify the whole output with pairdot-check --np N
#   --trace LIB --trace-check EXE
#                         preload the call tracer with a fixed clock and
#                         check every rank's calls and output
#   --stdout full|closed  every rank's standard output fails: expect each rank
#                         to exit 1 with one line on standard error
#   --library mpich|openmpi
#                         when the launcher's name does not tell (a wrapper)
# Every job is bounded in time (PAIRDOT_JOB_TIMEOUT, 60 s) and must leave no
# process behind.
set -u

np=1 form=files program= check= trace= trace_check= stdout_fault= library=
while [ $# -gt 0 ]; do
  case $1 in
  --np) np=$2; shift 2 ;;
  --form) form=$2; shift 2 ;;
  --program) program=$2; shift 2 ;;
  --check) check=$2; shift 2 ;;
  --trace) trace=$2; shift 2 ;;
  --trace-check) trace_check=$2; shift 2 ;;
  --stdout) stdout_fault=$2; shift 2 ;;
  --library) library=$2; shift 2 ;;
  --) shift; break ;;
  *) echo "run_job.sh: unknown option $1" >&2; exit 2 ;;
  esac
done
launch=("$@")
here=$(cd "$(dirname "$0")" && pwd)

dir=$(mktemp -d "${TMPDIR:-/tmp}/pairdot-job.XXXXXX")
trap 'pkill -KILL -f "$dir/" 2>/dev/null; rm -rf "$dir"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
# Ranks run through a link in the job's own directory, so that this job's
# processes can be told from those of jobs running beside it.
ln -s "$(realpath "$program")" "$dir/pairdot"

# Small machines: Open MPI must oversubscribe and yield when idle; as root
# (CI) it must be told that this is intended. MPICH ignores these.
export OMPI_MCA_rmaps_base_oversubscribe=1 OMPI_MCA_mpi_yield_when_idle=1
if [ "$(id -u)" = 0 ]; then
  export OMPI_ALLOW_RUN_AS_ROOT=1 OMPI_ALLOW_RUN_AS_ROOT_CONFIRM=1
fi
export PAIRDOT_STATUS_DIR=$dir PAIRDOT_RANK_STDOUT=$stdout_fault
fake_time=1765000000
if [ -n "$trace" ]; then
  export PAIRDOT_PRELOAD=$trace PAIRDOT_TRACE_DIR=$dir PAIRDOT_FAKE_TIME=$fake_time
fi

if [ ${#launch[@]} -eq 0 ]; then
  library=none
elif [ -z "$library" ]; then
  case $("${launch[0]}" --version 2>&1) in
  *HYDRA*) library=mpich ;;
  *"Open MPI"* | *OpenRTE*) library=openmpi ;;
  *) fail "cannot tell which MPI library ${launch[0]} belongs to" ;;
  esac
fi
if [ "$library" = openmpi ]; then
  # Open MPI hands only named variables to remote daemons.
  for v in PAIRDOT_STATUS_DIR PAIRDOT_RANK_STDOUT PAIRDOT_PRELOAD PAIRDOT_TRACE_DIR PAIRDOT_FAKE_TIME; do
    [ -n "${!v-}" ] && launch+=(-x "$v")
  done
fi
case $library-$form in
mpich-files) launch+=(-outfile-pattern "$dir/out.%r") ;;
mpich-tagged) launch+=(-prepend-rank) ;;
openmpi-files) launch+=(--output-filename "$dir/ompi") ;;
openmpi-tagged) launch+=(--tag-output) ;;
esac

timeout -k 5 "${PAIRDOT_JOB_TIMEOUT:-60}" "${launch[@]}" "$here/rank.sh" "$dir/pairdot" \
  >"$dir/stdout" 2>"$dir/stderr"
launcher_status=$?
[ "$launcher_status" = 124 ] && fail "job of $np did not end within its time bound"
for _ in 1 2 3 4 5 6 7 8 9 10; do
  pgrep -f "$dir/" >/dev/null || break
  sleep 0.5
done
pgrep -a -f "$dir/" >&2 && fail "processes of the job are left behind"
# Open MPI writes DIR/1/rank.N/stdout; a singleton writes to our stdout.
for f in "$dir"/ompi/*/rank.*/stdout; do
  [ -f "$f" ] || continue
  r=${f%/stdout}
  mv "$f" "$dir/out.${r##*rank.}"
done
[ "$library" = none ] && cp "$dir/stdout" "$dir/out.0"

for ((r = 0; r < np; r++)); do
  [ -f "$dir/exit.$r" ] || fail "rank $r did not run to its end"
done

if [ -n "$stdout_fault" ]; then
  [ "$launcher_status" != 0 ] || fail "job exited 0 although no rank could write its output"
  for ((r = 0; r < np; r++)); do
    [ "$(cat "$dir/exit.$r")" = 1 ] || fail "rank $r exited $(cat "$dir/exit.$r"), want 1"
    n=$(grep -c -x "pairdot: rank $r: could not write standard output" "$dir/stderr")
    [ "$n" = 1 ] || fail "rank $r wrote $n error lines, want 1"
  done
  echo "every rank of $np reported its failed output and exited 1"
  exit 0
fi

[ "$launcher_status" = 0 ] || { cat "$dir/stderr" >&2; fail "launcher exited $launcher_status"; }
for ((r = 0; r < np; r++)); do
  [ "$(cat "$dir/exit.$r")" = 0 ] || fail "rank $r exited $(cat "$dir/exit.$r")"
done
if [ -n "$check" ]; then
  outputs=("$dir/stdout")
  if [ "$form" = files ]; then
    outputs=()
    for ((r = 0; r < np; r++)); do outputs+=("$dir/out.$r"); done
  fi
  "$check" --np "$np" "${outputs[@]}" || fail "pairdot-check rejected the output"
fi
if [ -n "$trace" ]; then
  "$trace_check" "$dir" "$np" "$fake_time" || fail "calls or output differ"
fi
exit 0
