#!/bin/bash
# One multi-host test: runs pairdot-run from the launcher host of the
# simulated cluster in DIR, over TCP, with faults injected (and undone
# after), then checks its exit status, a verdict line and its report; where
# jobs ran one after another, also each rank's host against the probe's record.
#
#   run_test.sh --cluster DIR --library mpich|openmpi --run EXE --check EXE
#       --probe LIB [--fault link-cut A,B | host-cut H | hold RANKS | mtu H | slow A,B]...
#       [--exit N] [--line REGEX] [--interrupt-after JOBS]
#       -- PAIRDOT_RUN_ARGS... [--- CHECK_REPORT_ARGS...]
#
# --interrupt-after: SIGINT once the report holds that many jobs; the run must
# exit 130 and a second run with --resume must finish without redoing them.
# In the arguments, hN stands for the cluster's host N (hN:S with slots).
# Exit 77 (skip) when the cluster could not be made for want of rights.
set -u
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=../common/job_test.sh
. "$here/../common/job_test.sh"
# shellcheck disable=SC2001 # a word boundary, which ${//} lacks
name() { sed "s/\bh\([0-9]\)/$prefix-h\1/g" <<<"$1"; }
cluster="" library="" run="" check="" probe="" faults=() want_exit=0 line="" interrupt=""
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
  --) shift; break ;;
  *) bad_option "$1" ;;
  esac
done
start_job_test "$cluster/hosts" PAIRDOT_REQUIRE_MULTIHOST "simulated cluster in $cluster" pdmh "$@"
bridge=$(cat "$cluster/bridge")
export PAIRDOT_MH_DIR=$cluster PAIRDOT_PROBE_DIR=$work/probe
mkdir "$PAIRDOT_PROBE_DIR"
addr() { awk -v h="$prefix-h$1" '$2 == h {print $1}' "$cluster/etc-hosts"; }

# Faults, each undone on exit: blackhole routes between two hosts (both
# still reach the launcher), a host's bridge port down, ranks held forever
# before their send; jumbo frames everywhere but on one host, whose port and
# interface drop every frame over 1,514 bytes (a switch port without jumbo
# frames); A's traffic to B alone slowed (slow_link).
# A test ended by its time bound leaves its faults behind: start healed.
while read -r ns; do
  if [ "$ns" = "$bridge" ]; then
    for port in $(ip -n "$ns" -o link show master br0 | awk -F'[ :@]+' '{print $2}'); do
      tc -n "$ns" qdisc del dev "$port" root 2>/dev/null
      ip -n "$ns" link set "$port" mtu 1500 up
    done
    ip -n "$ns" link set br0 mtu 1500
  else
    tc -n "$ns" qdisc del dev eth0 root 2>/dev/null
    ip -n "$ns" link set eth0 mtu 1500
    ip -n "$ns" route flush type blackhole
  fi
done <"$cluster/namespaces"

undo=:
for ((f = 0; f < ${#faults[@]}; f += 2)); do
  fault_arg=${faults[f + 1]}
  case ${faults[f]} in
  link-cut)
    a=${fault_arg%,*} b=${fault_arg#*,}
    ip -n "$prefix-h$a" route add blackhole "$(addr "$b")/32" &&
      ip -n "$prefix-h$b" route add blackhole "$(addr "$a")/32" || fail "cannot cut the link"
    undo+="; ip -n $prefix-h$a route del blackhole $(addr "$b")/32; ip -n $prefix-h$b route del blackhole $(addr "$a")/32" ;;
  host-cut)
    ip -n "$bridge" link set "port-h$fault_arg" down || fail "cannot cut host $fault_arg off"
    undo+="; ip -n $bridge link set port-h$fault_arg up" ;;
  hold) export PAIRDOT_HOLD_RANKS=$fault_arg PAIRDOT_HOLD_UNTIL=$work/never ;;
  mtu)
    set_mtu() {
      while read -r ns; do
        [ "$ns" = "$bridge" ] || ip -n "$ns" link set eth0 mtu "$1"
      done <"$cluster/namespaces"
      for port in $(ip -n "$bridge" -o link show master br0 | awk -F'[ :@]+' '{print $2}'); do
        ip -n "$bridge" link set "$port" mtu "$1"
      done
      ip -n "$bridge" link set br0 mtu "$1"
    }
    set_mtu 9000 || fail "cannot set jumbo frames"
    tbf=(root tbf rate 20gbit burst 1mb latency 50ms peakrate 40gbit mtu 1514)
    tc -n "$bridge" qdisc add dev "port-h$fault_arg" "${tbf[@]}" &&
      tc -n "$prefix-h$fault_arg" qdisc add dev eth0 "${tbf[@]}" || fail "cannot limit frames"
    undo+="; tc -n $bridge qdisc del dev port-h$fault_arg root; tc -n $prefix-h$fault_arg qdisc del dev eth0 root; set_mtu 1500" ;;
  slow)
    ns=$prefix-h${fault_arg%,*}
    slow_link "$ns" "$(addr "${fault_arg#*,}")" || fail "cannot slow the link $fault_arg"
    undo+="; tc -n $ns qdisc del dev eth0 root" ;;
  esac
done
trap 'eval "$undo"; pkill -KILL -f "$work/" 2>/dev/null; rm -rf "$work"' EXIT

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

command=("$here/on_host.sh" "$(cat "$cluster/launcher")" "$run" --tcp eth0 --report "$work/report")
if [ -n "$interrupt" ]; then
  "${command[@]}" "${run_args[@]}" -- "${launch[@]}" >/dev/null &
  pid=$!
  until [ "$({ wc -l <"$work/report/jobs.jsonl"; } 2>/dev/null)" -ge "$interrupt" ] 2>/dev/null; do
    kill -0 "$pid" 2>/dev/null || fail "the run ended before it could be interrupted"
    sleep 0.05
  done
  kill -INT "$pid"
  wait "$pid"
  status=$?
  [ "$status" = 130 ] || fail "the interrupted run exited $status, want 130"
  run_args+=(--resume)
fi
"${command[@]}" "${run_args[@]}" -- "${launch[@]}" >"$work/stdout" 2> >(tee "$work/stderr" >&2)
status=$?
if [ -n "$interrupt" ]; then
  grep -q "resuming: $interrupt jobs done" "$work/stderr" || fail "the resumed run redid finished jobs"
fi
# Jobs one after another: each rank's host must be the one the probe saw.
case ${faults[0]-} in "" | hold) check_args+=(--probe "$PAIRDOT_PROBE_DIR") ;; esac
check_outcome "$status" "$want_exit" "$work/stdout" "$line" "$check" "$work/report"
