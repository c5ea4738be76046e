#!/bin/sh
# Fault isolation of pairdot-run on modelled clusters (diagnosis-sim): extra
# jobs beside the sweep's, whether exactly the faults were named, modelled
# and wall time, peak RSS; "old" is one 2-rank job for every failed pair of
# the sweep, as pairdot-run did before. Prints a markdown table; a target
# missed is named on standard error and the exit status is 1.
#
#   bench/diagnosis.sh [BUILD_DIR]      (default build/mpich)
set -eu
build=${1:-$(dirname "$0")/../build/mpich}
sim=$build/bench/diagnosis-sim
[ -x "$sim" ] || { echo "diagnosis.sh: no $sim (build the bench first)" >&2; exit 2; }
missed=0

get() { # field of the one-line JSON object
  printf '%s' "$2" | sed -n "s/.*\"$1\":\([^,}]*\).*/\1/p"
}

target() { # what, value, awk condition on v
  awk -v v="$2" "BEGIN { exit !($3) }" && return 0
  echo "diagnosis.sh: missed: $1 (got $2)" >&2
  missed=$((missed + 1))
}

row() { # scenario, JSON
  printf '| %s | %s | %s | %s | %s | %.0f | %s | %s | %.2f | %.0f |\n' "$1" \
    "$(get sweep_jobs "$2")" "$(get extra_jobs "$2")" "$(get old_extra_jobs "$2")" \
    "$(get rounds "$2")" "$(get modelled_seconds "$2")" \
    "$(get old_modelled_seconds "$2" | awk '{ printf "%.0f", $1 }')" \
    "$(get exact "$2")" "$(get wall_seconds "$2")" "$(get peak_rss_mib "$2")"
}

echo "| scenario | sweep jobs | extra jobs | old extra jobs | rounds | modelled s | old modelled s | exact | wall s | peak RSS MiB |"
echo "|---|---:|---:|---:|---:|---:|---:|---|---:|---:|"
for seed in 1 2 3 4 5 6 7 8 9 10; do
  out=$("$sim" --hosts 1000 --slots 64 --random-dead 1 --random-bad 3 --failure job \
    --seed "$seed" --old)
  row "1000x64, 1 dead + 3 bad, job, seed $seed" "$out"
  target "1000x64 seed $seed: extra jobs <= 80" "$(get extra_jobs "$out")" 'v <= 80'
  target "1000x64 seed $seed: exact" "$(get exact "$out")" 'v == "true"'
done

# Faults of a whole host or switch: a dark host (it starts, reaches no one),
# a leaf switch cut off from the spine, with and without the topology, and
# all of them together. report.json stays small in each.
reports=$(mktemp -d)
trap 'rm -rf "$reports"' EXIT
for seed in 1 2 3 4 5 6 7 8 9 10; do
  leaf=leaf$(((seed * 7) % 32))
  while read -r name most args; do
    # shellcheck disable=SC2086 # args are words
    out=$("$sim" --hosts 1000 --slots 64 $args --failure job --seed "$seed" \
      --report "$reports/$name")
    row "1000x64, $name ($args), seed $seed" "$out"
    target "1000x64 $name seed $seed: exact" "$(get exact "$out")" 'v == "true"'
    target "1000x64 $name seed $seed: extra jobs <= $most" "$(get extra_jobs "$out")" "v <= $most"
    size=$(wc -c <"$reports/$name/report.json")
    target "1000x64 $name seed $seed: report.json <= 10 MB" "$size" 'v <= 10000000'
  done <<EOF
dark 40 --random-dark 1
cut-leaf 60 --leaves 32 --cut-switch $leaf
cut-leaf-no-topology 100 --leaves 32 --cut-switch $leaf --no-topology
all-four 150 --leaves 32 --cut-switch $leaf --random-dead 1 --random-dark 1 --random-bad 3
EOF
done

for variant in "--random-dead 2 --random-bad 5:250" \
  "--leaves 100 --cut-switch leaf37 --random-dead 2 --random-dark 2 --random-bad 5:300"; do
  # shellcheck disable=SC2086 # the variant is words
  out=$("$sim" --hosts 10000 --slots 32 ${variant%:*} --failure job --seed 1)
  row "10000x32, ${variant%:*}, job, seed 1" "$out"
  target "10000x32 ${variant%:*}: exact" "$(get exact "$out")" 'v == "true"'
  target "10000x32 ${variant%:*}: extra jobs <= ${variant##*:}" "$(get extra_jobs "$out")" \
    "v <= ${variant##*:}"
  target "10000x32 ${variant%:*}: wall seconds < 60" "$(get wall_seconds "$out")" 'v < 60'
  target "10000x32 ${variant%:*}: peak RSS < 4 GiB" "$(get peak_rss_mib "$out")" 'v < 4096'
done

# Whole-job failures, with and without a launcher that starts no rank while
# a host is dead; as MPICH 4.0 (UCX connects every pair of ranks in
# MPI_Init: a bad link fails every job holding both its hosts); as Open MPI
# over TCP on these hosts (a failed pair alone, a launcher that waits).
for variant in "--failure job" "--failure job --launcher-waits" "--failure init" \
  "--failure pair --launcher-waits"; do
  # shellcheck disable=SC2086 # the variant is words
  out=$("$sim" --hosts 8 --slots 1 --dead-host 7 --bad-link 0:1 --bad-link 1:0 --timeout 8 \
    --old $variant)
  row "8x1, node7 dead, 0:1 + 1:0, timeout 8, $variant" "$out"
  target "8x1 $variant: exact" "$(get exact "$out")" 'v == "true"'
  target "8x1 $variant: extra jobs <= 20" "$(get extra_jobs "$out")" 'v <= 20'
done
# Probe sweeps through pairdot-run over the model (--probe): 1,000 MB/s links,
# every measure within a lognormal spread of 10 % (sigma 0.1), five links at
# a tenth drawn from the seed, then one leaf's uplink at a tenth. Exactly
# those named, no false alarm; re-tests packed into few jobs; report.json
# small.
for seed in 1 2 3 4 5 6 7 8 9 10; do
  slow=$(awk -v s="$seed" 'BEGIN { for (i = 1; i <= 5; i++) {
    a = (s * 7919 + i * 104729) % 1000; b = (a + 1 + (s * 31 + i * 997) % 999) % 1000
    printf " --slow-link %d:%d:0.1", a, b } }')
  # shellcheck disable=SC2086 # the links are words
  out=$("$sim" --hosts 1000 --slots 64 --probe --noise 0.1 $slow --seed "$seed" \
    --report "$reports/probe")
  row "1000x64 probe, 5 slow links, noise 0.1, seed $seed: $(get retest_jobs "$out") re-test jobs" \
    "$out"
  target "1000x64 probe seed $seed: exact" "$(get exact "$out")" 'v == "true"'
  target "1000x64 probe seed $seed: re-test jobs <= 100" "$(get retest_jobs "$out")" 'v <= 100'
  size=$(wc -c <"$reports/probe/report.json")
  target "1000x64 probe seed $seed: report.json <= 10 MB" "$size" 'v <= 10000000'
done
for seed in 1 2 3; do
  leaf=leaf$(((seed * 7) % 32))
  out=$("$sim" --hosts 1000 --slots 64 --probe --noise 0.1 --leaves 32 \
    --slow-switch "$leaf:0.1" --seed "$seed" --report "$reports/probe")
  row "1000x64 probe, $leaf uplink at 0.1, noise 0.1, seed $seed: $(get retest_jobs "$out") re-test jobs" \
    "$out"
  target "1000x64 probe $leaf seed $seed: switch named, exact" "$(get exact "$out")" 'v == "true"'
  target "1000x64 probe $leaf seed $seed: re-test jobs <= 10" "$(get retest_jobs "$out")" 'v <= 10'
  size=$(wc -c <"$reports/probe/report.json")
  target "1000x64 probe $leaf seed $seed: report.json <= 10 MB" "$size" 'v <= 10000000'
done
[ "$missed" = 0 ] || exit 1
