#!/bin/bash
# Isolation on eight simulated hosts of one slot, one host cut off and the
# link between two others cut both ways: pairdot-run A against pairdot-run B
# (say, a build from before group testing), run after run on one cluster,
# the first of the two alternating; wall time and jobs of each run, then the
# medians. As root (it makes network namespaces).
#
#   bench/isolation_bench.sh mpich|openmpi RUN_A RUN_B [ROUNDS, default 3]
set -u
lib=$1 run_a=$2 run_b=$3 rounds=${4:-3}
mh=$(cd "$(dirname "$0")/../tests/multihost" && pwd)
# shellcheck source=../tests/multihost/launch_args.sh
. "$mh/launch_args.sh"
bench_cluster pdib 8
addr() { awk -v h="$prefix-h$1" '$2 == h {print $1}' "$dir/etc-hosts"; }
ip -n "$(cat "$dir/bridge")" link set port-h8 down
ip -n "$prefix-h1" route add blackhole "$(addr 2)/32"
ip -n "$prefix-h2" route add blackhole "$(addr 1)/32"
hosts=$(for h in 1 2 3 4 5 6 7 8; do printf '%s-h%d:1,' "$prefix" "$h"; done)
launch_args "$lib" || { echo "isolation_bench.sh: library mpich or openmpi" >&2; exit 2; }

one_run() { # NAME EXE: prints "NAME seconds jobs exit"
  local start end status
  rm -rf "$work/report"
  start=$(date +%s.%N)
  "$mh/on_host.sh" "$(cat "$dir/launcher")" "$2" --sweep --hosts "${hosts%,}" --timeout 8 \
    --tcp eth0 --report "$work/report" -- "${launch[@]}" >"$work/out" 2>"$work/err"
  status=$?
  end=$(date +%s.%N)
  echo "$1 $(awk -v a="$start" -v b="$end" 'BEGIN { printf "%.2f", b - a }') $(grep -c ' ranks on ' "$work/err") $status"
}

for ((round = 1; round <= rounds; round++)); do
  if ((round % 2)); then one_run A "$run_a"; one_run B "$run_b"; else one_run B "$run_b"; one_run A "$run_a"; fi
done | tee "$work/runs"
for which in A B; do
  awk -v w="$which" '$1 == w { print $2, $3 }' "$work/runs" | sort -n |
    awk -v w="$which" '{ s[NR] = $1; j[NR] = $2 } END {
      m = int((NR + 1) / 2); printf "%s: median %.1f s over %d runs, %d jobs\n", w, s[m], NR, j[m] }'
done
