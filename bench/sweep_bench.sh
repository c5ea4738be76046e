#!/bin/bash
# Overhead of pairdot-run --sweep: its wall time (A) against the same jobs,
# same placements, started by hand with the launcher one after another,
# per-rank output files, no checks (B); both from the launcher host of a
# simulated cluster of 4 hosts. A and B alternate within each round; round 0
# warms up and is not counted. Per-round timings go to standard error, a
# markdown table to standard output. No build target runs it; as root:
#
#   bench/sweep_bench.sh BUILD_MPICH BUILD_OPENMPI     (SWEEP_ROUNDS, default 7)
#
# MPICH runs on its default transports (4.0 over UCX's TCP may hang in
# MPI_Finalize), Open MPI over TCP on eth0.
set -u
[ $# = 2 ] || { echo "usage: bench/sweep_bench.sh BUILD_MPICH BUILD_OPENMPI" >&2; exit 2; }
declare -A build=([mpich]=$(realpath "$1") [openmpi]=$(realpath "$2"))
mh=$(cd "$(dirname "$0")/../tests/multihost" && pwd)
rounds=${SWEEP_ROUNDS:-7}
configs=(2x2 3x2 4x2 4x3) # hosts x slots
dir=${TMPDIR:-/tmp}/pdbench$$
trap '"$mh/cluster_fixture.sh" down "$dir" >/dev/null' EXIT
trap 'exit 130' INT TERM
"$mh/cluster_fixture.sh" up "$dir" 4 >&2
[ -f "$dir/hosts" ] || { echo "sweep_bench.sh: no simulated cluster (needs root)" >&2; exit 1; }
export PAIRDOT_MH_DIR=$dir OMPI_ALLOW_RUN_AS_ROOT=1 OMPI_ALLOW_RUN_AS_ROOT_CONFIRM=1 \
  OMPI_MCA_mpi_yield_when_idle=1
launcher=$(cat "$dir/launcher")
declare -A agent=([mpich]="-launcher ssh -launcher-exec $mh/remote_shell.sh"
  [openmpi]="--mca plm_rsh_agent $mh/remote_shell.sh")
declare -A tcp=([mpich]="" [openmpi]=eth0) # the interface MPI's traffic is forced on

hosts_of() { # NxS -> h1:S,h2:S,...
  local h list=
  for ((h = 1; h <= ${1%x*}; h++)); do list+=${list:+,}$(basename "$dir")-h$h:${1#*x}; done
  echo "$list"
}

# The plan's jobs ("N NP" lines in jobs, each rank's host in hosts.N) and the
# script that starts them by hand (by_hand.sh) with the launch layer's command
# lines (job_harness --print-command), in $dir/work/LIB-NxS (no colon: Open
# MPI's --output-filename takes one as an option). Job N's placement is
# b/N/placement.
prepare() {
  local lib=$1 cfg=$2 d=$dir/work/$1-$2 n np run
  mkdir -p "$d"
  "${build[$lib]}/tools/pairdot-run/pairdot-run" --plan --sweep --launcher "$lib" \
    --hosts "$(hosts_of "$cfg")" |
    awk -v d="$d" '/^# job / {n = $3; print n, $6 > (d "/jobs")}
      /^#   rank / {print $4 > (d "/hosts." n)}'
  while read -r n np; do
    # shellcheck disable=SC2086 # the launcher words split on purpose
    mapfile -d '' -t run < <("${build[$lib]}/tests/harness/job_harness" --print-command \
      --np "$np" --form files --dir "$d/b/$n" --hosts "$(paste -sd, "$d/hosts.$n")" \
      ${tcp[$lib]:+--tcp "${tcp[$lib]}"} --program "${build[$lib]}/pairdot/pairdot" \
      -- "mpiexec.$lib" -n "$np" ${agent[$lib]})
    printf 'mkdir -p %q && ' "$d/b/$n"
    printf '%q ' timeout -k 5 60 "${run[@]}"
    printf '>%q 2>&1 || exit 1\n' "$d/b/$n/launcher.out"
  done <"$d/jobs" >"$d/by_hand.sh"
}

# Runs a command on the launcher host; sets secs and ok (1: exit 0, no warning).
timed() {
  local t0 t1 status
  t0=$(date +%s.%N)
  "$mh/on_host.sh" "$launcher" "$@" </dev/null >"$d/log" 2>&1
  status=$?
  t1=$(date +%s.%N)
  secs=$(awk -v a="$t0" -v b="$t1" 'BEGIN {printf "%.3f", b - a}')
  ok=$((status == 0)) && grep -q 'warning:' "$d/log" && ok=0
  ((ok)) || { echo "failed ($status): $*" && tail -5 "$d/log"; } >&2
}

median() { sort -g | awk '{v[NR] = $1} END {
  if (NR == 0) printf "n/a"; else printf "%.3f", NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

for lib in mpich openmpi; do for cfg in "${configs[@]}"; do prepare "$lib" "$cfg"; done; done
echo "load average at start: $(cut -d' ' -f1-3 /proc/loadavg)" >&2
declare -A res
for ((r = 0; r <= rounds; r++)); do
  for lib in mpich openmpi; do
    for cfg in "${configs[@]}"; do
      d=$dir/work/$lib-$cfg
      # shellcheck disable=SC2206 # the launcher words split on purpose
      a_run=("${build[$lib]}/tools/pairdot-run/pairdot-run" --sweep --launcher "$lib"
        --hosts "$(hosts_of "$cfg")" --report "$d/a" ${tcp[$lib]:+--tcp "${tcp[$lib]}"} -- ${agent[$lib]})
      order="a b"
      ((r % 2)) && order="b a"
      for v in $order; do
        if [ "$v" = a ]; then
          rm -rf "${d:?}/a"
          timed "${a_run[@]}"
        else
          # B's placements stay; its outputs go.
          find "$d/b" -mindepth 2 ! -name placement -delete
          timed bash "$d/by_hand.sh"
          # every rank's output file must be there
          [ "$(find "$d/b" -name 'out.*' -o -name stdout | wc -l)" = "$(awk '{n += $2} END {print n}' "$d/jobs")" ] || ok=0
        fi
        res[$v]="$secs $ok"
      done
      ((r > 0)) && echo "$lib $cfg $r ${res[a]} ${res[b]}" | tee -a "$dir/work/rounds" >&2
    done
  done
done
echo "load average at end: $(cut -d' ' -f1-3 /proc/loadavg)" >&2

echo "| library | hosts × slots | jobs / bound | rounds | A: pairdot-run median (s) | B: by hand median (s) | (A − B) / job per round: median (s) | A/B per round: median (min–max) | failed runs A / B |"
echo "|---|---|---:|---:|---:|---:|---:|---:|---:|"
for lib in mpich openmpi; do
  for cfg in "${configs[@]}"; do
    sel=$(awk -v l="$lib" -v c="$cfg" '$1 == l && $2 == c' "$dir/work/rounds")
    jobs=$(wc -l <"$dir/work/$lib-$cfg/jobs")
    n=${cfg%x*} s=${cfg#*x}
    a=$(awk '$5 {print $4}' <<<"$sel" | median)
    b=$(awk '$7 {print $6}' <<<"$sel" | median)
    ratios=$(awk '$5 && $7 {print $4 / $6}' <<<"$sel" | sort -g | grep .)
    echo "| $lib | $n × $s | $jobs / $(((2 * (n - 1) + s - 1) / s)) | $(wc -l <<<"$sel") | $a | $b |" \
      "$(awk -v j="$jobs" '$5 && $7 {print ($4 - $6) / j}' <<<"$sel" | median) |" \
      "$(median <<<"$ratios")$(awk 'NR == 1 {lo = $1} {hi = $1} END {if (NR) printf " (%.2f–%.2f)", lo, hi}' <<<"$ratios") |" \
      "$(awk '!$5' <<<"$sel" | wc -l) / $(awk '!$7' <<<"$sel" | wc -l) |"
  done
done
