#!/bin/bash
# One multi-host test: runs pairdot-run from the launcher host of the
# simulated cluster in DIR, over TCP, with faults injected (and undone
# after), then checks its exit status, a verdict line and its report; where
# jobs ran one after another, also each rank's host against the probe's record.
#
#   run_test.sh --cluster DIR --library mpich|openmpi --run EXE --check EXE
#       --probe LIB [--fault link-cut A,B | host-cut H | hold RANKS | mtu H | slow A,B
#                    | data-down H | uplink-down L | uplink-slow L | data-mtu H]...
#       [--exit N] [--line REGEX] [--interrupt-after JOBS] [--topology]
#       -- PAIRDOT_RUN_ARGS... [--- CHECK_REPORT_ARGS...]
#
# MPI runs over eth0, the network the launchers use, unless the arguments
# give --tcp (--tcp data0: the data fabric). --topology: pairdot-run is given
# the fabric's topology.conf.
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
cluster="" library="" run="" check="" probe="" faults=() want_exit=0 line="" interrupt="" topology=""
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
  --) shift; break ;;
  *) bad_option "$1" ;;
  esac
done
start_job_test "$cluster/hosts" PAIRDOT_REQUIRE_MULTIHOST "simulated cluster in $cluster" pdmh "$@"
bridge=$(cat "$cluster/bridge")
export PAIRDOT_MH_DIR=$cluster PAIRDOT_PROBE_DIR=$work/probe
mkdir "$PAIRDOT_PROBE_DIR"
addr() { awk -v h="$prefix-h$1" '$2 == h {print $1}' "$cluster/etc-hosts"; }

# The cluster healed: every port up, unshaped, at MTU 1,500; no blackhole
# route. A test ended by its time bound leaves its faults behind, so every
# test starts with this, and ends with it.
heal() {
  local ns dev
  while read -r ns; do
    if [ "$ns" = "$bridge" ]; then
      for dev in $(devices "$ns" veth); do
        tc -n "$ns" qdisc del dev "$dev" root 2>/dev/null
        ip -n "$ns" link set "$dev" mtu 1500 up
      done
      for dev in $(devices "$ns" bridge); do ip -n "$ns" link set "$dev" mtu 1500; done
    else
      for dev in eth0 data0; do
        tc -n "$ns" qdisc del dev "$dev" root 2>/dev/null
        ip -n "$ns" link set "$dev" mtu 1500 2>/dev/null # the launcher has no data0
      done
      ip -n "$ns" route flush type blackhole
    fi
  done <"$cluster/namespaces"
}
devices() { ip -n "$1" -o link show type "$2" | awk -F'[ :@]+' '{print $2}'; } # NS TYPE

# Jumbo frames on one network: the management one (eth0, br0 and its
# ports) or the data fabric (data0, the leaves, the spine and their ports).
jumbo() { # eth0|data0
  local ns dev hosts=("$cluster/hosts")
  [ "$1" = eth0 ] && hosts+=("$cluster/launcher")
  while read -r ns; do
    ip -n "$ns" link set "$1" mtu 9000 || return
  done < <(cat "${hosts[@]}")
  for dev in $(devices "$bridge" veth); do
    case $1:$dev in
    eth0:port-* | data0:data-* | data0:up-* | data0:dn-*) ip -n "$bridge" link set "$dev" mtu 9000 || return ;;
    esac
  done
  for dev in $(devices "$bridge" bridge); do
    case $1:$dev in eth0:br0 | data0:leaf* | data0:spine*) ip -n "$bridge" link set "$dev" mtu 9000 || return ;; esac
  done
}

# Faults, table-driven: each is undone by heal. On the management network
# (eth0, what the launchers use): blackhole routes between two hosts (both
# still reach the launcher), a host's bridge port down, jumbo frames
# everywhere but on one host, whose port and interface drop every frame over
# 1,514 bytes (a switch port without jumbo frames), A's traffic to B alone
# slowed (slow_link). On the data fabric (data0): a host's port down (a dark
# host: it still starts), a leaf's uplink down (its hosts reach only each
# other), a leaf's uplink limited to a tenth both ways, the MTU black hole.
# And ranks held forever before their send.
heal
trap 'heal; pkill -KILL -f "$work/" 2>/dev/null; rm -rf "$work"' EXIT
limit_frames=(root tbf rate 20gbit burst 1mb latency 50ms peakrate 40gbit mtu 1514)
tenth=(root tbf rate 200mbit burst 256kb latency 50ms)
for ((f = 0; f < ${#faults[@]}; f += 2)); do
  kind=${faults[f]} arg=${faults[f + 1]}
  a=${arg%,*} b=${arg#*,}
  case $kind in
  link-cut)
    ip -n "$prefix-h$a" route add blackhole "$(addr "$b")/32" &&
      ip -n "$prefix-h$b" route add blackhole "$(addr "$a")/32" ;;
  host-cut) ip -n "$bridge" link set "port-h$arg" down ;;
  data-down) ip -n "$bridge" link set "data-h$arg" down ;;
  uplink-down) ip -n "$bridge" link set "up-leaf$arg" down ;;
  uplink-slow)
    tc -n "$bridge" qdisc add dev "up-leaf$arg" "${tenth[@]}" &&
      tc -n "$bridge" qdisc add dev "dn-leaf$arg" "${tenth[@]}" ;;
  mtu | data-mtu)
    dev=eth0 port=port-h$arg
    [ "$kind" = data-mtu ] && dev=data0 port=data-h$arg
    jumbo "$dev" && tc -n "$bridge" qdisc add dev "$port" "${limit_frames[@]}" &&
      tc -n "$prefix-h$arg" qdisc add dev "$dev" "${limit_frames[@]}" ;;
  slow) slow_link "$prefix-h$a" "$(addr "$b")" ;;
  hold) export PAIRDOT_HOLD_RANKS=$arg PAIRDOT_HOLD_UNTIL=$work/never ;;
  *) false ;;
  esac || fail "cannot inject the fault $kind $arg"
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
