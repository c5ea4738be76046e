#!/bin/bash
# One multi-host test: builds a simulated cluster (cluster_up.sh), runs a
# pairdot job over TCP with its ranks placed round-robin on the hosts, and
# checks that every pair spans two hosts, that the job's traffic crossed the
# bridge between hosts and that nothing is left running in any namespace.
# The cluster is always torn down (cluster_down.sh).
#
#   multihost_job.sh --library mpich|openmpi --launcher MPIEXEC --hosts K
#       --np N --program EXE --check EXE --probe LIB
#       [--tolerate-finalize-hang] [--cut-host H --hold-ranks R,R...]
#
# --cut-host H: the ranks named by --hold-ranks wait before MPI_Send until
# host H's link is cut at the bridge; the job must then fail, pairdot-check
# must name every pair with a rank on host H, and pair 0 ; 1 must be intact.
# Exit 77 (skip) only when namespaces may not be created; with
# PAIRDOT_REQUIRE_MULTIHOST=1 that is a failure.
set -u

library= launcher= nhosts=2 np= program= check= probe= tolerate= cut_host= hold_ranks=
while [ $# -gt 0 ]; do
  case $1 in
  --library) library=$2; shift 2 ;;
  --launcher) launcher=$2; shift 2 ;;
  --hosts) nhosts=$2; shift 2 ;;
  --np) np=$2; shift 2 ;;
  --program) program=$2; shift 2 ;;
  --check) check=$2; shift 2 ;;
  --probe) probe=$2; shift 2 ;;
  --tolerate-finalize-hang) tolerate=--tolerate-finalize-hang; shift ;;
  --cut-host) cut_host=$2; shift 2 ;;
  --hold-ranks) hold_ranks=$2; shift 2 ;;
  *) echo "multihost_job.sh: unknown option $1" >&2; exit 2 ;;
  esac
done
here=$(cd "$(dirname "$0")" && pwd)
subnet=10.231.77.0/24
fail() { echo "FAIL: $*" >&2; exit 1; }

need_rights() {
  local tool
  for tool in ip unshare pgrep sysctl timeout; do
    command -v "$tool" >/dev/null || fail "$tool is missing (iproute2, util-linux, procps, coreutils)"
  done
  unshare --net --uts --mount true 2>/dev/null && [ -w /etc ] && return
  [ "${PAIRDOT_REQUIRE_MULTIHOST:-0}" = 1 ] &&
    fail "may not create network namespaces (needs root with CAP_SYS_ADMIN), and PAIRDOT_REQUIRE_MULTIHOST=1"
  echo "SKIP: may not create network namespaces (needs root with CAP_SYS_ADMIN);" \
    "PAIRDOT_REQUIRE_MULTIHOST=1 makes this a failure"
  exit 77
}

# Bytes through the bridge ports: "HOSTS LAUNCHER", each rx + tx.
bridge_bytes() {
  ip netns exec "$(cat "$dir/bridge")" sh -c '
    h=0 l=0
    for p in /sys/class/net/port-*; do
      n=$(( $(cat $p/statistics/rx_bytes) + $(cat $p/statistics/tx_bytes) ))
      case ${p##*/} in port-l) l=$((l + n)) ;; *) h=$((h + n)) ;; esac
    done
    echo "$h $l"'
}

# Every frame passes two bridge ports; the launcher's pass its port and one
# host's. So what went between hosts is half of (host ports - launcher port),
# at least 400 bytes (connection and message) for each pair that finished.
check_crossed() {
  local before after crossed cut min
  cut=$(cut_pairs)
  min=$((400 * (np / 2 - $(wc -w <<<"$cut"))))
  read -r -a before <<<"$1"
  read -r -a after <<<"$2"
  crossed=$(((after[0] - before[0] - (after[1] - before[1])) / 2))
  echo "$crossed bytes went between hosts through the bridge"
  [ "$crossed" -ge "$min" ] || fail "the job's traffic did not cross between hosts (want >= $min bytes)"
}

launch_prefix() {
  local hosts
  launch=("$here/on_host.sh" "$(cat "$dir/launcher")" "$launcher")
  case $library in
  mpich)
    hosts=$(sed 's/$/:1/' "$dir/hosts" | paste -sd,)
    launch+=(-launcher ssh -launcher-exec "$here/remote_shell.sh" -hosts "$hosts" -n "$np"
      -genv UCX_TLS tcp,self -genv UCX_NET_DEVICES eth0) ;;
  openmpi)
    hosts=$(sed "s/\$/:$np/" "$dir/hosts" | paste -sd,)
    launch+=(--mca plm_rsh_agent "$here/remote_shell.sh" -x PAIRDOT_PROBE_DIR
      --host "$hosts" --map-by node -n "$np"
      --mca pml ob1 --mca btl tcp,self
      --mca btl_tcp_if_include "$subnet" --mca oob_tcp_if_include "$subnet") ;;
  *) fail "unknown library $library" ;;
  esac
}

# Every rank ran on the host round-robin placement gives it, so every pair spans two.
check_placement() {
  local r want got
  for ((r = 0; r < np; r++)); do
    want=$(sed -n "$((r % nhosts + 1))p" "$dir/hosts")
    got=$(sed -n 's/^host //p' "$PAIRDOT_PROBE_DIR/rank.$r" 2>/dev/null)
    [ "$got" = "$want" ] || fail "rank $r ran on '$got', want $want"
  done
  echo "$np ranks round-robin on $nhosts hosts: every pair spans two"
}

check_nothing_left() {
  local ns pids
  for _ in 1 2 3 4 5 6 7 8 9 10; do
    pids=$(while read -r ns; do ip netns pids "$ns"; done <"$dir/namespaces")
    [ -z "$pids" ] && return
    sleep 0.5
  done
  ps -o pid,args -p "$(paste -sd, <<<"$pids")" >&2
  fail "processes are left in the cluster's namespaces"
}

# Once every rank not held back printed its vector, pair 0 ; 1 its result
# and the held ranks wait in MPI_Send, cuts host $cut_host's link and then
# lets the held ranks go on.
cut_link_when_ready() {
  local r deadline=$((SECONDS + ${PAIRDOT_JOB_TIMEOUT:-60}))
  while [ "$SECONDS" -lt "$deadline" ]; do
    sleep 0.1
    for ((r = 0; r < np; r++)); do
      if [[ ",$hold_ranks," == *",$r,"* ]]; then
        grep -qsx held "$PAIRDOT_PROBE_DIR/rank.$r" || continue 2
      else
        grep -rqs -E "Process[XY] $r :" "$jobdir" || continue 2
      fi
    done
    grep -rqs "For processesXY 0 ; 1 :" "$jobdir" || continue
    ip -n "$(cat "$dir/bridge")" link set "port-h$cut_host" down && touch "$dir/cut"
    touch "$PAIRDOT_HOLD_UNTIL"
    return
  done
}

# The even ranks of the pairs with a rank on host $cut_host.
cut_pairs() {
  local e
  for ((e = 0; e + 1 < np; e += 2)); do
    if [ $((e % nhosts + 1)) = "$cut_host" ] || [ $(((e + 1) % nhosts + 1)) = "$cut_host" ]; then
      echo "$e"
    fi
  done
}

run_job() {
  local job=("$here/../mpi/run_job.sh" --np "$np" --program "$program" --form files
    --check "$check" --library "$library")
  if [ -n "$cut_host" ]; then
    local e pairs=()
    for e in $(cut_pairs); do pairs+=("$e ; $((e + 1))"); done
    export PAIRDOT_HOLD_RANKS=$hold_ranks PAIRDOT_HOLD_UNTIL=$dir/release
    cut_link_when_ready &
    TMPDIR=$jobdir "${job[@]}" --expect-launcher-failure --intact-first-pair \
      --expect-check-failure "${pairs[@]}" -- "${launch[@]}"
    status=$?
    wait
    [ -f "$dir/cut" ] || fail "host $cut_host's link was not cut"
  else
    TMPDIR=$jobdir "${job[@]}" $tolerate -- "${launch[@]}"
    status=$?
  fi
  [ "$status" = 0 ] || exit "$status"
}

need_rights
"$here/cluster_down.sh" --stale
dir=${TMPDIR:-/tmp}/pdmh$$
mkdir "$dir" || fail "cannot create $dir"
trap '"$here/cluster_down.sh" "$dir"' EXIT
trap 'exit 143' TERM INT HUP
"$here/cluster_up.sh" "$dir" "$nhosts" || fail "could not build the cluster"
export PAIRDOT_MH_DIR=$dir PAIRDOT_PROBE_DIR=$dir/probe PAIRDOT_PRELOAD=$probe
jobdir=$dir/job
mkdir "$PAIRDOT_PROBE_DIR" "$jobdir"
launch_prefix
bytes_before=$(bridge_bytes)
run_job
check_nothing_left
check_placement
check_crossed "$bytes_before" "$(bridge_bytes)"
