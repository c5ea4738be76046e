#!/bin/bash
# Link quality between two simulated hosts: pairdot-probe's bandwidth at
# 16 MiB against iperf3's TCP throughput, and its 8 B latency against a plain
# MPI ping-pong (bench/pingpong, which also gives plain MPI's 16 MiB rate).
# The three alternate within each round (the first of them rotates); then the
# medians and their ratios. As root (it makes network namespaces); needs iperf3.
#
#   bench/link_bench.sh --library mpich|openmpi --build DIR [--rounds N]
#       [--seconds S] [-- LAUNCHER_ARG...]
#
# DIR is a build of that library holding tools/pairdot-probe/pairdot-probe and
# bench/pingpong. --rounds: default 5; --seconds: iperf3's time, default 3.
# Words after -- go to mpiexec.
set -u
lib="" build="" rounds=5 seconds=3
usage() {
  echo "usage: bench/link_bench.sh --library mpich|openmpi --build DIR [--rounds N] [--seconds S] [-- LAUNCHER_ARG...]" >&2
  exit 2
}
while [ $# -gt 0 ]; do
  case $1 in
  --library) lib=${2-}; shift 2 || usage ;;
  --build) build=${2-}; shift 2 || usage ;;
  --rounds) rounds=${2-}; shift 2 || usage ;;
  --seconds) seconds=${2-}; shift 2 || usage ;;
  --) shift; break ;;
  *) usage ;;
  esac
done
launcher_args=("$@")
case $lib in mpich | openmpi) ;; *) usage ;; esac
[[ $rounds =~ ^[1-9][0-9]*$ && $seconds =~ ^[1-9][0-9]*$ ]] || usage
probe=$build/tools/pairdot-probe/pairdot-probe
pingpong=$build/bench/pingpong
harness=$build/tests/harness/job_harness
for exe in "$probe" "$pingpong" "$harness"; do
  [ -x "$exe" ] || { echo "link_bench.sh: no $exe (build it first)" >&2; exit 2; }
done
probe=$(realpath "$probe") pingpong=$(realpath "$pingpong")
command -v iperf3 >/dev/null || { echo "link_bench.sh: iperf3 is not installed" >&2; exit 2; }

mh=$(cd "$(dirname "$0")/../tests/multihost" && pwd)
# shellcheck source=../tests/multihost/launch_args.sh
. "$mh/launch_args.sh"
work=$(mktemp -d /tmp/pdlinkbench.XXXXXX)
dir=$work/pdlb$$
trap '"$mh/cluster_down.sh" "$dir"; rm -rf "$work"' EXIT
mkdir "$dir" && "$mh/cluster_up.sh" "$dir" 2 || exit 1
export PAIRDOT_MH_DIR=$dir
prefix=$(basename "$dir")
h1=$prefix-h1 h2=$prefix-h2
h2_addr=$(awk -v h="$h2" '$2 == h { print $1 }' "$dir/etc-hosts")

# One rank on each host, MPI's traffic over TCP on eth0; the launcher runs on
# the cluster's launcher host, ssh stood in for by remote_shell.sh. The
# command line is the launch layer's (job_harness --print-command).
mpi_job() { # PROGRAM [ARG...]
  local launch=() args=() cmd=() arg
  launch_args "$lib"
  for arg in "${@:2}"; do args+=("--program-arg=$arg"); done
  mapfile -d '' -t cmd < <("$harness" --print-command --np 2 --form merged --dir "$work/job" \
    --hosts "$h1,$h2" --tcp eth0 --program "$1" "${args[@]}" -- "mpiexec.$lib" -n 2 \
    "${launch[@]}" "${launcher_args[@]}")
  [ ${#cmd[@]} -gt 0 ] || return 1
  timeout -k 5 120 "$mh/on_host.sh" "$(cat "$dir/launcher")" "${cmd[@]}"
}

# iperf3's receiver side, h1 -> h2, in MB/s: a one-off server on h2.
measure_iperf() {
  local server out=$work/iperf.json
  "$mh/on_host.sh" "$h2" timeout "$((seconds + 30))" iperf3 -s -1 >/dev/null 2>&1 &
  server=$!
  for _ in $(seq 50); do
    ip netns exec "$h2" ss -Hltn 'sport = :5201' | grep -q . && break
    sleep 0.1
  done
  "$mh/on_host.sh" "$h1" iperf3 -c "$h2_addr" -t "$seconds" -J >"$out" 2>/dev/null
  wait "$server"
  awk '/"sum_received"/ { on = 1 }
    on && /"bits_per_second"/ { gsub(/[^0-9.e+]/, "", $2); printf "%.1f\n", $2 / 8e6; exit }' "$out"
}

# pairdot-probe at 8 B and 16 MiB: "MB/s-at-16MiB latency-us", or nothing.
measure_probe() {
  mpi_job "$probe" --sizes 8,16M 2>"$work/probe.err" |
    awk '/ verdict ok$/ { for (i = 1; i < NF; i++) {
        if ($i == "mbps") { split($(i + 1), v, ","); mbps = v[2] }
        if ($i == "latency_us") lat = $(i + 1) }
      print mbps, lat }'
}

# The median half round trip in µs.
measure_pingpong() { # BYTES ROUND_TRIPS
  mpi_job "$pingpong" "$1" "$2" 2>"$work/pingpong.err" |
    awk '/^pingpong / { for (i = 1; i < NF; i++) if ($i == "trip") print $(i + 1) }'
}

# Appends "ROUND WHAT VALUE" to the raw results; an empty value is a failed run.
record() { # ROUND WHAT VALUE
  echo "$1 $2 ${3:--}" >>"$work/raw"
  echo "round $1: $2 ${3:-FAILED}" >&2
}

measure() { # ROUND WHAT
  local values
  case $2 in
  iperf3) record "$1" iperf3_mbps "$(measure_iperf)" ;;
  probe)
    values=$(measure_probe)
    record "$1" probe_mbps "${values%% *}"
    record "$1" probe_us "${values##* }" ;;
  pingpong)
    record "$1" pingpong_us "$(measure_pingpong 8 1000)"
    values=$(measure_pingpong "$big" 20)
    record "$1" mpi_mbps "$(awk -v us="$values" -v b="$big" 'BEGIN { if (us > 0) printf "%.1f", b / us }')" ;;
  esac
}

: >"$work/raw"
echo "link_bench: $lib, $rounds rounds, $h1 -> $h2" >&2
big=$((16 * 1024 * 1024))
measure_pingpong 8 100 >/dev/null # warm-up: caches, first launch
kinds=(iperf3 probe pingpong)
for ((round = 1; round <= rounds; round++)); do
  for ((k = 0; k < 3; k++)); do
    measure "$round" "${kinds[(round - 1 + k) % 3]}"
  done
done

median() { # WHAT: median of the runs that gave a value, and their count
  awk -v w="$1" '$2 == w && $3 != "-" { print $3 }' "$work/raw" | sort -g |
    awk '{ v[NR] = $1 } END {
      if (NR == 0) { print "- 0"; exit }
      m = (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2
      printf "%.1f %d\n", m, NR }'
}
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (a + 0 > 0 && b + 0 > 0) printf "%.2f", a / b; else print "-" }'; }

read -r iperf n_iperf <<<"$(median iperf3_mbps)"
read -r probe_bw n_probe <<<"$(median probe_mbps)"
read -r probe_us _ <<<"$(median probe_us)"
read -r pp_us n_pp <<<"$(median pingpong_us)"
read -r mpi_bw _ <<<"$(median mpi_mbps)"
echo "| library | rounds ok (iperf3/probe/ping-pong) | iperf3 MB/s | probe 16 MiB MB/s | probe / iperf3 | MPI 16 MiB ping-pong MB/s | probe 8 B µs | ping-pong 8 B µs | probe / ping-pong |"
echo "|---|---|---:|---:|---:|---:|---:|---:|---:|"
echo "| $lib${launcher_args[*]:+ ${launcher_args[*]}} | $n_iperf/$n_probe/$n_pp of $rounds | $iperf | $probe_bw | $(ratio "$probe_bw" "$iperf") | $mpi_bw | $probe_us | $pp_us | $(ratio "$probe_us" "$pp_us") |"
echo "raw:" >&2
cat "$work/raw" >&2
