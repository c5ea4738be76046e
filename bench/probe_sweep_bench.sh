#!/bin/bash
# Probe sweeps against pairdot sweeps on eight healthy simulated hosts of one
# slot, run after run on one cluster, the first of the two alternating: wall
# time and jobs of each, then the medians and their ratio, and every slow or
# failed link a probe sweep named (false alarms: the hosts are healthy). As
# root (it makes network namespaces).
#
#   bench/probe_sweep_bench.sh mpich|openmpi PAIRDOT_RUN [ROUNDS, default 10]
set -u
lib=$1 run=$2 rounds=${3:-10}
mh=$(cd "$(dirname "$0")/../tests/multihost" && pwd)
# shellcheck source=../tests/multihost/launch_args.sh
. "$mh/launch_args.sh"
launch=()
launch_args "$lib" || { echo "probe_sweep_bench.sh: library mpich or openmpi" >&2; exit 2; }
bench_cluster pdpb 8
hosts=$(for h in 1 2 3 4 5 6 7 8; do printf '%s-h%d:1,' "$prefix" "$h"; done)

one_run() { # NAME [--probe]: prints "NAME seconds jobs exit slow failed"
  local start end status
  rm -rf "$work/report"
  start=$(date +%s.%N)
  "$mh/on_host.sh" "$(cat "$dir/launcher")" "$run" --sweep "${@:2}" --hosts "${hosts%,}" \
    --tcp eth0 --report "$work/report" -- "${launch[@]}" >"$work/out" 2>"$work/err"
  status=$?
  end=$(date +%s.%N)
  echo "$1 $(awk -v a="$start" -v b="$end" 'BEGIN { printf "%.2f", b - a }')" \
    "$(grep -c ' ranks on ' "$work/err") $status" \
    "$(grep -c '^slow link' "$work/out") $(grep -oE '[0-9]+ failed' "$work/out" | head -1 | cut -d' ' -f1)"
}

for ((round = 1; round <= rounds; round++)); do
  if ((round % 2)); then one_run pairdot; one_run probe --probe
  else one_run probe --probe; one_run pairdot; fi
done | tee "$work/runs"
for which in pairdot probe; do
  awk -v w="$which" '$1 == w { print $2, $3 }' "$work/runs" | sort -n |
    awk -v w="$which" '{ s[NR] = $1; j[NR] = $2 } END {
      m = int((NR + 1) / 2); printf "%s: median %.1f s over %d runs, %d jobs\n", w, s[m], NR, j[m] }'
done
awk '$1 == "probe" { slow += $5; failed += $6; n++ } END {
  printf "probe sweeps: %d, slow links named: %d, failed links: %d\n", n, slow, failed }' "$work/runs"
