#!/bin/bash
# Metrics as an admin watches them: a watch over the simulated cluster in DIR
# writes --metrics into the textfile directory of the Prometheus fixture in
# PDIR. Prometheus's HTTP API must show no suspect host while the cluster is
# healthy, host 4 once it is cut off between two sweeps, none once healed;
# SIGTERM then ends the watch with exit 0. Prints the time from the fault to
# the query that shows it.
#
#   metrics_test.sh --cluster DIR --library mpich|openmpi --run EXE
#       --prometheus PDIR --labels EXE -- PAIRDOT_RUN_ARGS...
set -u
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=../common/job_test.sh
. "$here/../common/job_test.sh"
# shellcheck disable=SC2001 # a word boundary, which ${//} lacks
name() { sed "s/\bh\([0-9]\)/$prefix-h\1/g" <<<"$1"; }
cluster="" library="" run="" prometheus="" labels=""
while [ $# -gt 0 ]; do
  case $1 in
  --cluster) cluster=$2; shift 2 ;;
  --library) library=$2; shift 2 ;;
  --run) run=$2; shift 2 ;;
  --prometheus) prometheus=$2; shift 2 ;;
  --labels) labels=$2; shift 2 ;;
  --) shift; break ;;
  *) bad_option "$1" ;;
  esac
done
need_cluster "$prometheus/url" PAIRDOT_REQUIRE_MULTIHOST "Prometheus in $prometheus"
start_job_test "$cluster/hosts" PAIRDOT_REQUIRE_MULTIHOST "simulated cluster in $cluster" pdpm "$@"
bridge=$(cat "$cluster/bridge")
export PAIRDOT_MH_DIR=$cluster
# shellcheck source=faults.sh
. "$here/faults.sh"
heal
watch=""
trap '[ -n "$watch" ] && kill -KILL "$watch"; heal; rm -rf "$work"' EXIT
# shellcheck source=launch_args.sh
. "$here/launch_args.sh"
launch_args "$library" || fail "library mpich or openmpi, not $library"
url=$(cat "$prometheus/url")

metrics=$prometheus/textfile/pairdot.prom

# A sweep every second; promtool must find nothing wrong with the metrics of any.
"$here/on_host.sh" "$(cat "$cluster/launcher")" "$run" --watch 1 --report "$work/watch" \
  --metrics "$metrics" --tcp eth0 "${run_args[@]}" -- "${launch[@]}" >"$work/out" 2>&1 &
watch=$!
checked=0
check_metrics() {
  local sweeps
  sweeps=$({ wc -l <"$work/watch/history.jsonl"; } 2>/dev/null) || return 0
  [ "$sweeps" -gt "$checked" ] || return 0
  promtool check metrics <"$metrics" || fail "promtool finds fault with $metrics"
  checked=$sweeps
}
# The values of LABEL in the series QUERY finds, on one line.
query() { # QUERY LABEL
  curl -sf "$url/api/v1/query" --data-urlencode "query=$1" | "$labels" "$2" | paste -sd' '
}
# Waits up to 60 s for the query to find WANT (nothing: ""), checking each sweep's metrics.
wait_for() { # QUERY LABEL WANT
  local got
  for _ in $(seq 300); do
    kill -0 "$watch" 2>/dev/null || { cat "$work/out"; fail "the watch ended"; }
    check_metrics
    got=$(query "$1" "$2")
    [ "$got" = "$3" ] && return
    sleep 0.2
  done
  fail "$1: $2 is '$got', want '$3'"
}
now() { date +%s.%N; }

wait_for 'pairdot_last_sweep_verdict == 1' verdict verified
wait_for pairdot_suspect_host host ""
inject_fault host-cut 4 || fail "cannot cut host 4 off"
injected=$(now)
wait_for pairdot_suspect_host host "$prefix-h4"
awk -v a="$injected" -v b="$(now)" 'BEGIN { printf "from the fault to the query: %.1f s\n", b - a }'
heal
wait_for pairdot_suspect_host host ""
wait_for 'pairdot_last_sweep_verdict == 1' verdict verified
kill -TERM "$watch"
wait "$watch"
status=$?
watch=""
[ "$status" = 0 ] || { cat "$work/out"; fail "the watch exited $status on SIGTERM, want 0"; }
echo "Prometheus showed host 4 suspect after the fault, and none before or once healed," \
  "over $checked sweeps whose metrics promtool found right"
