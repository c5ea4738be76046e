#!/bin/sh
# Runs a probe job given a bad option: it must exit 2 within its bound, with
# exactly one line of its own on standard error.
#   bad_option.sh LAUNCH... PROGRAM OPTIONS...
err=$(mktemp)
trap 'rm -f "$err"' EXIT
timeout -k 5 50 "$@" >/dev/null 2>"$err"
status=$?
cat "$err"
lines=$(grep -c '^pairdot-probe: ' "$err")
[ "$status" = 2 ] || { echo "FAIL: exit $status, want 2"; exit 1; }
[ "$lines" = 1 ] || { echo "FAIL: $lines lines from pairdot-probe, want 1"; exit 1; }
