#!/bin/bash
# One multi-host test: runs pairdot-run from the launcher host of the
# simulated cluster in DIR, over TCP, with faults injected (and undone
# after), then checks its exit status, a verdict line and its report; where
# jobs ran one after another, also each rank's host against the probe's record.
#
#   run_test.sh --cluster DIR --library mpich|openmpi --run EXE --check EXE
#       --probe LIB [--fault link-cut A,B | host-cut H | hold RANKS | mtu H | slow A,B
#                    | data-down H | uplink-down L | uplink-slow L | data-mtu H]...
#       [--exit N] [--line REGEX] [--interrupt-after JOBS] [--topology] [--watch SWEEPS]
#       -- PAIRDOT_RUN_ARGS... [--- CHECK_REPORT_ARGS...]
#
# MPI runs over eth0, the network the launchers use, unless the arguments
# give --tcp (--tcp data0: the data fabric). --topology: pairdot-run is given
# the fabric's topology.conf.
# --interrupt-after: SIGINT once the report holds that many jobs; the run must
# exit 130 and a second run with --resume must finish without redoing them.
# --watch: the run is a watch (--watch-count SWEEPS in its arguments): history.jsonl
# must hold SWEEPS verified sweeps, latest the newest, its report no intermittent,
# and promtool must find its --metrics right after each sweep;
# with --interrupt-after, SIGTERM once history.jsonl holds that many sweeps, exit 0.
# In the arguments, hN stands for the cluster's host N (hN:S with slots).
# Exit 77 (skip) when the cluster could not be made for want of rights.
set -u
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=../common/job_test.sh
. "$here/../common/job_test.sh"
# shellcheck disable=SC2001 # a word boundary, which ${//} lacks
name() { sed "s/\bh\([0-9]\)/$prefix-h\1/g" <<<"$1"; }
cluster="" library="" run="" check="" probe="" faults=() want_exit=0 line="" interrupt="" topology="" watch=""
while [ $# -gt 0 ]; do
  case $1 in
  --cluster) cluster=$2; shift 2 ;;
  --library) library=$2; shift 2 ;;
  --run) run=$2; shift 2 ;;
  --check) check=$2; shift 2 ;;
  --probe) probe=$2; shift 2 ;;
  --fault) faults+=("$2" "$3"); shift 3 ;;
  --exit) want_exit=$2; shift 2 ;;
  --line) line=$2; shift 2 ;;
  --interrupt-after) interrupt=$2; shift 2 ;;
  --topology) topology=1; shift ;;
  --watch) watch=$2; shift 2 ;;
  --) shift; break ;;
  *) bad_option "$1" ;;
  esac
done
start_job_test "$cluster/hosts" PAIRDOT_REQUIRE_MULTIHOST "simulated cluster in $cluster" pdmh "$@"
bridge=$(cat "$cluster/bridge")
export PAIRDOT_MH_DIR=$cluster PAIRDOT_PROBE_DIR=$work/probe
mkdir "$PAIRDOT_PROBE_DIR"
# shellcheck source=faults.sh
. "$here/faults.sh"
heal
trap 'heal; pkill -KILL -f "$work/" 2>/dev/null; rm -rf "$work"' EXIT
for ((f = 0; f < ${#faults[@]}; f += 2)); do
  inject_fault "${faults[f]}" "${faults[f + 1]}" || fail "cannot inject the fault ${faults[f]} ${faults[f + 1]}"
done

# What every launch needs: the stand-in for ssh and the probe in each rank.
# shellcheck source=launch_args.sh
. "$here/launch_args.sh"
launch_args "$library" || fail "library mpich or openmpi, not $library"
for v in LD_PRELOAD PAIRDOT_PROBE_DIR PAIRDOT_HOLD_RANKS PAIRDOT_HOLD_UNTIL; do
  value=${!v-}
  [ "$v" = LD_PRELOAD ] && value=$probe
  [ -z "$value" ] && continue
  case $library in
  mpich) launch+=(-genv "$v" "$value") ;;
  openmpi) launch+=(-x "$v=$value") ;;
  esac
done

command=("$here/on_host.sh" "$(cat "$cluster/launcher")" "$run" --report "$work/report")
[[ " ${run_args[*]} " = *" --tcp "* ]] || command+=(--tcp eth0)
[ -n "$topology" ] && command+=(--topology "$cluster/topology.conf")
progress=$work/report/jobs.jsonl signal=INT
[ -n "$watch" ] && progress=$work/report/history.jsonl signal=TERM
if [ -n "$interrupt" ]; then
  "${command[@]}" "${run_args[@]}" -- "${launch[@]}" >"$work/stdout" &
  pid=$!
  until [ "$({ wc -l <"$progress"; } 2>/dev/null)" -ge "$interrupt" ] 2>/dev/null; do
    kill -0 "$pid" 2>/dev/null || fail "the run ended before it could be interrupted"
    sleep 0.05
  done
  kill -"$signal" "$pid"
  wait "$pid"
  status=$?
  [ -n "$watch" ] || [ "$status" = 130 ] || fail "the interrupted run exited $status, want 130"
  run_args+=(--resume)
fi
if [ -n "$watch" ] && [ -z "$interrupt" ]; then
  # A watch's metrics must be valid after every sweep.
  "${command[@]}" --metrics "$work/pairdot.prom" "${run_args[@]}" -- "${launch[@]}" >"$work/stdout" &
  pid=$! checked=0
  while kill -0 "$pid" 2>/dev/null; do
    sweeps=$({ wc -l <"$progress"; } 2>/dev/null) || sweeps=0
    if [ "$sweeps" -gt "$checked" ]; then
      promtool check metrics <"$work/pairdot.prom" || fail "promtool: the metrics of sweep $sweeps"
      checked=$sweeps
    fi
    sleep 0.05
  done
  wait "$pid"
  status=$?
  echo "promtool found the metrics right at $checked points of the watch"
elif [ -z "$interrupt" ] || [ -z "$watch" ]; then
  "${command[@]}" "${run_args[@]}" -- "${launch[@]}" >"$work/stdout" 2> >(tee "$work/stderr" >&2)
  status=$?
fi
if [ -n "$interrupt" ] && [ -z "$watch" ]; then
  grep -q "resuming: $interrupt jobs done" "$work/stderr" || fail "the resumed run redid finished jobs"
fi
report=$work/report
if [ -n "$watch" ]; then
  history=$report/history.jsonl
  lines=$(wc -l <"$history") done=$(grep -c '"end":"completed","verdict":"verified"' "$history")
  running=0 # interrupted: the sweep that was running may be one more line
  [ -n "$interrupt" ] && running=1
  if [ "$done" -lt "${interrupt:-$watch}" ] || [ "$lines" -gt $((done + running)) ]; then
    fail "history.jsonl: $done verified sweeps of $lines, want ${interrupt:-$watch}"
  fi
  newest=$(grep '"end":"completed"' "$history" | tail -1 | cut -d'"' -f4)
  [ "$(readlink "$report/latest")" = "$newest" ] || fail "latest is not the newest sweep, $newest"
  report=$report/latest
  grep -q '"intermittent": \[\]' "$report/report.json" || fail "intermittent hosts or links named"
fi
# Jobs one after another: each rank's host must be the one the probe saw.
[ -n "$watch" ] || case ${faults[0]-} in "" | hold) check_args+=(--probe "$PAIRDOT_PROBE_DIR") ;; esac
check_outcome "$status" "$want_exit" "$work/stdout" "$line" "$check" "$report"
