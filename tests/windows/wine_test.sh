#!/bin/bash
# The Windows tests under Wine; CTest sets WINEPREFIX and WINEDEBUG.
#
#   wine_test.sh start | stop               start one persistent wineserver / end it
#   wine_test.sh bytes MPIEXEC WRAPPER CHECK the bytes of a job of pairdot.exe
#   wine_test.sh check-input WINE CHECK     pairdot-check.exe reads bytes, not text
set -u

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

# Runs "$@" and expects exit STATUS and output (both streams) matching PATTERN.
expect() {
  local status=$1 pattern=$2 out got
  shift 2
  out=$("$@" 2>&1)
  got=$?
  printf '%s\n' "$out"
  [ "$got" = "$status" ] || fail "exit $got, not $status: $*"
  grep -Eq "$pattern" <<<"$out" || fail "no '$pattern' in the output of: $*"
}

# What MS C runtime's rand (RAND_MAX 32767) draws for rank 0 in each second
# from $1 to $2: the seed is the clock, each value rand() % 5.
msvcrt_vectors() {
  awk -v from="$1" -v to="$2" 'BEGIN {
    for (t = from; t <= to; t++) {
      s = t % 4294967296
      line = ""
      for (i = 0; i < 5; i++) {
        s = (s * 214013 + 2531011) % 4294967296
        line = line (int(s / 65536) % 32768) % 5 " "
      }
      print line
    }
  }'
}

# Through the bridge and MPICH's launcher, the bytes the C runtime's text mode
# writes, as on Windows; the Linux pairdot-check takes their CR LF ends.
bytes() {
  local mpiexec=$1 pairdot=$2 check=$3 before after status values
  out=$(mktemp) || exit 1
  trap 'rm -f "$out"' EXIT
  before=$(date +%s)
  "$mpiexec" -n 2 "$pairdot" | cat >"$out"
  status=${PIPESTATUS[0]}
  after=$(date +%s)
  od -c "$out"
  [ "$status" = 0 ] || fail "pairdot exited $status"
  if [ ! -s "$out" ] || grep -qv $'\r$' "$out"; then
    fail "no output, or a line that does not end in CR LF"
  fi
  expect 0 '^verified 2 ranks, 1 pairs' "$check" --np 2 "$out"
  values=$(tr -d '\r' <"$out" | sed -n 's/^ProcessY 0 : \t\t//p')
  msvcrt_vectors "$before" "$after" | grep -qxF "$values" ||
    fail "'$values' is not what MS C runtime's rand draws from the clock"
}

check_input() {
  local wine=$1 check=$2
  dir=$(mktemp -d) || exit 1
  trap 'rm -rf "$dir"' EXIT
  printf '\r\nProcessY 0 : \t\t1 2 3 4 0 \r\n' >"$dir/job"
  # A byte 0x1A ends the input in text mode, which would pass the job.
  printf '\r\nProcessY 0 : \t\t1 2 3 4 0 \r\n\x1a' >"$dir/eof"
  expect 0 '^verified 1 ranks' "$wine" "$check" "$dir/job"
  expect 1 'eof:3: unfinished line.*\\x1a' "$wine" "$check" "$dir/eof"
  expect 1 '<stdin>:3: unfinished line.*\\x1a' "$wine" "$check" <"$dir/eof"
  for option in --json --junit --hosts; do
    expect 2 "^pairdot-check: $option is not available in this build.?$" \
      "$wine" "$check" "$option" "$dir/x" "$dir/job"
  done
  [ ! -e "$dir/x" ] || fail "a report was written"
}

case ${1-} in
start)
  mkdir -p "$WINEPREFIX" || exit 1
  # A server left by an interrupted run of this build ends first.
  wineserver -k </dev/null >/dev/null 2>&1
  # Detached from CTest's pipes, else CTest waits for the server to end.
  wineserver -p </dev/null >/dev/null 2>&1 || fail "wineserver -p"
  # Makes the prefix the first time, else brings it up to date.
  wineboot -i </dev/null >/dev/null 2>&1 || fail "wineboot"
  ;;
stop) wineserver -k </dev/null >/dev/null 2>&1 || fail "no wineserver to end" ;;
bytes) bytes "${@:2}" ;;
check-input) check_input "${@:2}" ;;
*) fail "usage: wine_test.sh start|stop|bytes|check-input ..." ;;
esac
