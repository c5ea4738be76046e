#!/bin/bash
# One Slurm test: runs pairdot-run from the login host of the Slurm cluster
# in DIR (slurm_cluster.sh), as a job step of its own, inside salloc, from an
# sbatch job, or through the example or the drain batch script; with a
# node's slurmd stopped mid-run if asked. Then checks the exit status, a
# verdict line, the report (check_report) and nodes' states.
#
#   slurm_test.sh --cluster DIR --run EXE --check EXE [--in step|salloc|sbatch|script|drain]
#       [--nodes N] [--exit N] [--line REGEX] [--stop-slurmd NODE] [--crossed PAIRS]
#       [--slow A,B] [--cut N] [--admin-drain N] [--node N=REGEX]... [--resume-all]
#       -- PAIRDOT_RUN_ARGS... [--- CHECK_REPORT_ARGS...]
#
# nN in the arguments stands for the cluster's node N. --crossed: at least
# 400 bytes for each of PAIRS pairs went between nodes through the bridge.
# --slow: node A's traffic to node B slowed (slow_link) for the run.
# --cut: node N's data0 down for the run; the time to its drain is printed.
# --admin-drain: node N drained by an admin first. --node: after the run,
# node N's "state|reason" in sinfo matches REGEX. --resume-all: every node
# resumed at the end, for the tests after.
# Exit 77 (skip) when there is no cluster, unless PAIRDOT_REQUIRE_SLURM=1.
set -u
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=../common/job_test.sh
. "$here/../common/job_test.sh"
# shellcheck disable=SC2001 # a word boundary, which ${//} lacks
name() { sed "s/\bn\([0-9]\)/$prefix-node\1/g" <<<"$1"; }
cluster="" run="" check="" in=step nodes=3 want_exit=0 line="" stop="" crossed="" slow="" cut=""
admin="" states=() resume_all=0
while [ $# -gt 0 ]; do
  case $1 in
  --cluster) cluster=$2; shift 2 ;;
  --run) run=$2; shift 2 ;;
  --check) check=$2; shift 2 ;;
  --in) in=$2; shift 2 ;;
  --nodes) nodes=$2; shift 2 ;;
  --exit) want_exit=$2; shift 2 ;;
  --line) line=$2; shift 2 ;;
  --stop-slurmd) stop=$2; shift 2 ;;
  --crossed) crossed=$2; shift 2 ;;
  --slow) slow=$2; shift 2 ;;
  --cut) cut=$2; shift 2 ;;
  --admin-drain) admin=$2; shift 2 ;;
  --node) states+=("$2"); shift 2 ;;
  --resume-all) resume_all=1; shift ;;
  --) shift; break ;;
  *) bad_option "$1" ;;
  esac
done
start_job_test "$cluster/ready" PAIRDOT_REQUIRE_SLURM "Slurm cluster in $cluster" pdsl "$@"
# Tests take turns on the cluster: none leaves a job behind for the next.
trap 'on_login scancel -u root; rm -rf "$work"' EXIT
PATH=$(dirname "$run"):$PATH
export PAIRDOT_SLURM_DIR=$cluster PAIRDOT_ON_HOST=$here/on_node.sh OMPI_ALLOW_RUN_AS_ROOT=1 \
  OMPI_ALLOW_RUN_AS_ROOT_CONFIRM=1 \
  OMPI_MCA_mpi_yield_when_idle=1 PATH
on_login() { "$here/on_node.sh" login "$@"; }

# Bytes between nodes: every frame passes two bridge ports; the login
# host's pass its own port and one node's.
bridge_bytes() {
  ip netns exec "$prefix-br" sh -c 'n=0 l=0
    for p in /sys/class/net/*/brport; do
      p=${p%/brport}; b=$(( $(cat $p/statistics/rx_bytes) + $(cat $p/statistics/tx_bytes) ))
      case ${p##*/} in ctl) l=$((l + b)) ;; *) n=$((n + b)) ;; esac
    done; echo $(((n - l) / 2))'
}

# Submits a batch script and waits for it, at most 120 s: scontrol is polled,
# not --wait. A job whose launch failed is held, pending for ever.
submit() {
  local id state
  id=$(cd "$work" && on_login sbatch --parsable -N "$nodes" --time=5 -o "$work/stdout" "$@") ||
    fail "sbatch refused the job"
  for _ in $(seq 600); do
    state=$(on_login scontrol show job "$id")
    [[ $state =~ JobState=(PENDING|RUNNING|CONFIGURING|COMPLETING) ]] || break
    [[ $state =~ Reason=launch_failed ]] && break
    sleep 0.2
  done
  [[ $state =~ JobState=(PENDING|RUNNING|CONFIGURING) ]] &&
    fail "batch job $id did not end: $(grep -oE '(JobState|Reason)=[^ ]+' <<<"$state" | paste -sd' ')"
  [[ $state =~ ExitCode=([0-9]+): ]] || fail "no exit code for job $id: $state"
  status=${BASH_REMATCH[1]}
  [ "$in" = script ] && ln -s "$work/pairdot-sweep-$id" "$work/report"
  [ "$in" = drain ] && ln -s "$work/pairdot-drain-sweep-$id" "$work/report"
}
node_state() { on_login sinfo -h -N -n "$prefix-node$1" -o '%T|%E'; }

if [ -n "$slow" ]; then
  to=$(ip -n "$prefix-node${slow#*,}" -4 -o addr show eth0 | awk '{sub("/.*", "", $4); print $4}')
  slow_link "$prefix-node${slow%,*}" "$to" || fail "cannot slow the link $slow"
  trap 'tc -n "$prefix-node${slow%,*}" qdisc del dev eth0 root; on_login scancel -u root; rm -rf "$work"' EXIT
fi
[ -z "$admin" ] || on_login scontrol update NodeName="$prefix-node$admin" State=DRAIN \
  Reason="admin: bad DIMM" || fail "cannot drain node $admin"
if [ "$resume_all" = 1 ]; then
  trap 'on_login scontrol update NodeName="$(paste -sd, "$cluster/nodes")" State=RESUME
    on_login scancel -u root; rm -rf "$work"' EXIT
fi
if [ -n "$cut" ]; then
  ip -n "$prefix-node$cut" link set data0 down || fail "cannot cut node $cut"
  trap 'ip -n "$prefix-node$cut" link set data0 up; on_login scancel -u root; rm -rf "$work"' EXIT
  (start=$EPOCHREALTIME
    for _ in $(seq 1500); do
      [[ $(node_state "$cut") =~ ^drain ]] || { sleep 0.1; continue; }
      seconds=$(awk "BEGIN {print $EPOCHREALTIME - $start}")
      echo "node $cut drained $seconds s after the sweep began"
      break
    done) &
  poller=$!
fi
stopper=""
if [ -n "$stop" ]; then # once the first job is in the journal
  (until grep -qs '"number"' "$work/report/jobs.jsonl"; do sleep 0.005; done
    kill -KILL "$(cat "$cluster/pids/slurmd-$prefix-node$stop")") &
  stopper=$!
fi
before=$(bridge_bytes)
# shellcheck disable=SC2154 # run_args: split_args sets it
case $in in
step) on_login timeout -k 5 150 "$run" --report "$work/report" "${run_args[@]}" >"$work/stdout"
  status=$? ;;
salloc) on_login timeout -k 5 150 salloc -N "$nodes" "$run" --report "$work/report" \
  "${run_args[@]}" >"$work/stdout"
  status=$? ;;
sbatch) printf '#!/bin/sh\nexec "$@"\n' >"$work/job.sh"
  submit "$work/job.sh" "$run" --report "$work/report" "${run_args[@]}" ;;
script) submit "$here/../../tools/pairdot-run/pairdot-sweep.sbatch" "${run_args[@]}" ;;
drain) submit "$here/../../tools/pairdot-run/pairdot-drain-sweep.sbatch" "${run_args[@]}" ;;
esac
crossed_bytes=$(($(bridge_bytes) - before))
[ -z "$cut" ] || kill "$poller" 2>/dev/null
if [ -n "$stopper" ] && kill "$stopper" 2>/dev/null; then
  fail "the run ended before its first job was in the report"
fi
if [ -n "$crossed" ]; then
  echo "$crossed_bytes bytes went between nodes"
  [ "$crossed_bytes" -ge $((400 * crossed)) ] || fail "the traffic did not cross between nodes"
fi
check_outcome "$status" "$want_exit" "$work/stdout" "$line" "$check" "$work/report"
for want in "${states[@]}"; do
  [[ $(node_state "${want%%=*}") =~ ${want#*=} ]] ||
    fail "node ${want%%=*}: $(node_state "${want%%=*}"), want ${want#*=}"
done
