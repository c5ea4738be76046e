# shellcheck shell=bash
# Sourced by the job-test runners (tests/multihost/run_test.sh,
# tests/slurm/slurm_test.sh): their start after the options (skipping without
# a cluster, the split of the arguments), and the checks of a run's outcome.
# The runner defines name(), which turns the short host names of the
# arguments into the cluster's.

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

# Skips (77) when FILE is missing, or fails if the variable named REQUIRE is 1.
need_cluster() { # FILE REQUIRE WHAT
  [ -f "$1" ] && return
  [ "${!2:-0}" = 1 ] && fail "no $3 ($2=1)"
  echo "SKIP: no $3 (needs root)"
  exit 77
}

bad_option() {
  echo "${0##*/}: unknown option $1" >&2
  exit 2
}

# "PAIRDOT_RUN_ARGS... [--- CHECK_REPORT_ARGS...]" into run_args and check_args.
run_args=() check_args=()
split_args() {
  run_args=()
  while [ $# -gt 0 ] && [ "$1" != --- ]; do
    run_args+=("$(name "$1")")
    shift
  done
  [ $# -gt 0 ] && shift
  check_args=("$@")
}

# After the options: need_cluster FILE REQUIRE WHAT, FILE in the cluster's
# directory; then sets prefix, the cluster's name, work, a new directory
# TAG-test.XXXXXX, and run_args and check_args (split_args ARGS).
# shellcheck disable=SC2034 # prefix and work: for the runner
start_job_test() { # FILE REQUIRE WHAT TAG ARGS...
  need_cluster "$1" "$2" "$3"
  prefix=$(basename "$(dirname "$1")")
  work=$(mktemp -d "${TMPDIR:-/tmp}/$4-test.XXXXXX")
  shift 4
  split_args "$@"
}

# The run's output, its exit status, a line of it (a regular expression; none
# if empty) and its report, through check_report with check_args.
check_outcome() { # STATUS WANT_STATUS OUTPUT LINE CHECK_REPORT REPORT_DIR
  cat "$3"
  [ "$1" = "$2" ] || fail "exit status $1, want $2"
  if [ -n "$4" ]; then
    grep -qE -- "$(name "$4")" "$3" || fail "no line matches: $(name "$4")"
  fi
  "$5" "$6" "${check_args[@]}" || fail "the report is not what was expected"
}

# Limits the traffic of namespace NS to ADDRESS alone to 200 Mbit/s, a tenth
# of a simulated link or less (htb, a u32 filter); the rest goes unlimited.
slow_link() { # NS ADDRESS
  tc -n "$1" qdisc add dev eth0 root handle 1: htb default 10 &&
    tc -n "$1" class add dev eth0 parent 1: classid 1:10 htb rate 100gbit quantum 60000 &&
    tc -n "$1" class add dev eth0 parent 1: classid 1:20 htb rate 200mbit quantum 60000 &&
    tc -n "$1" filter add dev eth0 parent 1: protocol ip u32 match ip dst "$2/32" flowid 1:20
}
