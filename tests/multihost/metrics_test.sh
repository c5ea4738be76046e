#!/bin/bash
# Metrics as an admin watches them: sweeps over the simulated cluster in DIR
# write --metrics into the textfile directory of the Prometheus fixture in
# PDIR. Prometheus's HTTP API must show no suspect host while the cluster is
# healthy, host 4 once it is cut off between two sweeps, none once healed.
# Prints the time from the fault to the query that shows it.
#
#   metrics_test.sh --cluster DIR --library mpich|openmpi --run EXE
#       --prometheus PDIR --labels EXE -- PAIRDOT_RUN_ARGS...
#
# Each sweep is a pairdot-run of its own; under one watch process, sweep
# would only wait for the watch's next sweep to end.
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
trap 'heal; rm -rf "$work"' EXIT
# shellcheck source=launch_args.sh
. "$here/launch_args.sh"
launch_args "$library" || fail "library mpich or openmpi, not $library"
url=$(cat "$prometheus/url")

metrics=$prometheus/textfile/pairdot.prom

# One sweep, its exit status WANT_EXIT; promtool must find nothing wrong with its metrics.
sweep() { # WANT_EXIT
  local status
  "$here/on_host.sh" "$(cat "$cluster/launcher")" "$run" --metrics "$metrics" --tcp eth0 \
    "${run_args[@]}" -- "${launch[@]}" >"$work/out" 2>&1
  status=$?
  [ "$status" = "$1" ] || { cat "$work/out"; fail "the sweep exited $status, want $1"; }
  promtool check metrics <"$metrics" || fail "promtool finds fault with $metrics"
}
# The values of LABEL in the series QUERY finds, on one line.
query() { # QUERY LABEL
  curl -sf "$url/api/v1/query" --data-urlencode "query=$1" | "$labels" "$2" | paste -sd' '
}
# Waits up to 30 s for the query to find WANT.
wait_for() { # QUERY LABEL WANT
  local got
  for _ in $(seq 150); do
    got=$(query "$1" "$2")
    [ "$got" = "$3" ] && return
    sleep 0.2
  done
  fail "$1: $2 is '$got', want '$3'"
}
now() { date +%s.%N; }

sweep 0
wait_for 'pairdot_last_sweep_verdict == 1' verdict verified
[ -z "$(query pairdot_suspect_host host)" ] || fail "a suspect host while healthy"
inject_fault host-cut 4 || fail "cannot cut host 4 off"
injected=$(now)
sweep 1
swept=$(now)
wait_for pairdot_suspect_host host "$prefix-h4"
awk -v a="$injected" -v b="$swept" -v c="$(now)" \
  'BEGIN { printf "from the fault to the query: %.1f s (the sweep %.1f s)\n", c - a, b - a }'
heal
sweep 0
wait_for 'pairdot_last_sweep_verdict == 1' verdict verified
[ -z "$(query pairdot_suspect_host host)" ] || fail "a suspect host once healed"
echo "Prometheus showed host 4 suspect after the fault, and none before or once healed"
