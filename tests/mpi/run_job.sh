#!/bin/bash
# Runs one pairdot job for a test and checks it. Shared by every
# multi-process test.
#
#   run_job.sh --np N --program EXE [options] -- [MPIEXEC NUMPROC_FLAG N PREFLAGS...]
#
# With nothing after --, the program runs without a launcher (a singleton).
#   --form files|tagged   per-rank output files, or the launcher's rank tags
#   --program-arg WORD    pass WORD to the program (repeatable)
#   --check EXE           verify the whole output with pairdot-check --np N
#   --trace LIB --trace-check EXE
#                         preload the call tracer with a fixed clock and
#                         check every rank's calls and output
#   --stdout full|closed  every rank's standard output fails: expect each rank
#                         to exit 1 with one line on standard error
#   --library mpich|openmpi
#                         when the launcher's name does not tell (a wrapper)
#   --valgrind SUPP       run every rank under valgrind memcheck
#   --kill-rank R         rank R dies before its send (needs --trace): the
#                         launcher must fail
#   --expect-check-failure PATTERN...
#                         pairdot-check must reject the output with lines
#                         matching each pattern (up to the next option)
# Every job is bounded in time (PAIRDOT_JOB_TIMEOUT, 60 s) and must leave no
# process behind.
set -u

np=1 form=files program= check= trace= trace_check= stdout_fault= library=
valgrind= kill_rank= expected_problems=() program_args=()
expect_launcher_failure=
while [ $# -gt 0 ]; do
  case $1 in
  --np) np=$2; shift 2 ;;
  --form) form=$2; shift 2 ;;
  --program) program=$2; shift 2 ;;
  --program-arg) program_args+=("$2"); shift 2 ;;
  --check) check=$2; shift 2 ;;
  --trace) trace=$2; shift 2 ;;
  --trace-check) trace_check=$2; shift 2 ;;
  --stdout) stdout_fault=$2; shift 2 ;;
  --library) library=$2; shift 2 ;;
  --valgrind) valgrind=$2; shift 2 ;;
  --kill-rank) kill_rank=$2; shift 2 ;;
  --expect-check-failure)
    shift
    while [ $# -gt 0 ] && [ "${1#--}" = "$1" ]; do expected_problems+=("$1"); shift; done ;;
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
if [ -n "$kill_rank" ]; then
  export PAIRDOT_KILL_RANK=$kill_rank
  expect_launcher_failure=1
fi
if [ -n "$valgrind" ]; then
  export PAIRDOT_RANK_TOOL="valgrind -q --error-exitcode=97 --leak-check=full \
--errors-for-leak-kinds=definite --show-leak-kinds=definite --suppressions=$valgrind"
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
  for v in $(compgen -e); do
    case $v in PAIRDOT_*) launch+=(-x "$v") ;; esac
  done
fi
case $library-$form in
mpich-files) launch+=(-outfile-pattern "$dir/out.%r") ;;
mpich-tagged) launch+=(-prepend-rank) ;;
openmpi-files) launch+=(--output-filename "$dir/ompi") ;;
openmpi-tagged) launch+=(--tag-output) ;;
esac

timeout -k 5 "${PAIRDOT_JOB_TIMEOUT:-60}" "${launch[@]}" "$here/rank.sh" "$dir/pairdot" \
  "${program_args[@]}" >"$dir/stdout" 2>"$dir/stderr"
launcher_status=$?
ended_by_bound= # timeout's status; 137 when SIGTERM was not enough
case $launcher_status in 124 | 137) ended_by_bound=1 ;; esac
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

# Output to check: one file per rank, or the launcher's tagged stream.
outputs=("$dir/stdout")
if [ "$form" = files ]; then
  outputs=()
  for ((r = 0; r < np; r++)); do
    [ -f "$dir/out.$r" ] || : >"$dir/out.$r"
    outputs+=("$dir/out.$r")
  done
fi

if [ -n "$expect_launcher_failure" ]; then
  [ "$launcher_status" != 0 ] || fail "launcher exited 0 although a fault was injected"
elif [ -n "$ended_by_bound" ]; then
  fail "job of $np did not end within its time bound"
fi

if [ ${#expected_problems[@]} -gt 0 ]; then
  "$check" --np "$np" "${outputs[@]}" >"$dir/check.out" 2>"$dir/check.err"
  check_status=$?
  cat "$dir/check.err"
  [ "$check_status" = 1 ] || fail "pairdot-check exited $check_status, want 1"
  for p in "${expected_problems[@]}"; do
    grep -q -E -e "$p" "$dir/check.err" || fail "pairdot-check did not report: $p"
  done
  exit 0
fi

if [ -n "$stdout_fault" ]; then
  [ "$launcher_status" != 0 ] || fail "job exited 0 although no rank could write its output"
  for ((r = 0; r < np; r++)); do
    # Open MPI ends the job when the first rank exits non-zero: later ranks
    # may be killed before they finish.
    if [ ! -f "$dir/exit.$r" ] && [ "$library" = openmpi ] && compgen -G "$dir/exit.*" >/dev/null; then
      continue
    fi
    [ "$(cat "$dir/exit.$r")" = 1 ] || fail "rank $r exited $(cat "$dir/exit.$r"), want 1"
    n=$(grep -c -x "pairdot: rank $r: could not write standard output" "$dir/stderr")
    [ "$n" = 1 ] || fail "rank $r wrote $n error lines, want 1"
  done
  echo "every rank of $np that finished reported its failed output and exited 1"
  exit 0
fi

for ((r = 0; r < np; r++)); do
  [ -f "$dir/exit.$r" ] || fail "rank $r did not run to its end"
done

[ "$launcher_status" = 0 ] || { cat "$dir/stderr" >&2; fail "launcher exited $launcher_status"; }
for ((r = 0; r < np; r++)); do
  status=$(cat "$dir/exit.$r")
  [ "$status" = 97 ] && fail "valgrind found errors in rank $r"
  [ "$status" = 0 ] || fail "rank $r exited $status"
done
if [ -n "$check" ]; then
  "$check" --np "$np" "${outputs[@]}" || fail "pairdot-check rejected the output"
fi
if [ -n "$trace" ]; then
  "$trace_check" "$dir" "$np" "$fake_time" || fail "calls or output differ"
fi
exit 0
