#!/bin/bash
# CTest fixture: brings the simulated cluster of a test directory up, or
# down. Without the rights to make namespaces it does nothing (the tests then
# skip), unless PAIRDOT_REQUIRE_MULTIHOST=1.
#
#   cluster_fixture.sh up DIR NHOSTS | down DIR
set -u
here=$(cd "$(dirname "$0")" && pwd)
action=$1 dir=$2
if ! unshare --net --uts --mount true 2>/dev/null || [ ! -w /etc ]; then
  [ "${PAIRDOT_REQUIRE_MULTIHOST:-0}" = 1 ] &&
    { echo "FAIL: may not create network namespaces (needs root)" >&2; exit 1; }
  echo "no rights to make namespaces: the multi-host tests will skip"
  exit 0
fi
"$here/cluster_down.sh" --stale
"$here/cluster_down.sh" "$dir"
[ "$action" = down ] && exit 0
mkdir -p "$dir" && "$here/cluster_up.sh" "$dir" "$3" || exit 1
echo "cluster $(basename "$dir"): $(paste -sd' ' "$dir/hosts"), launcher $(cat "$dir/launcher")"
