#!/bin/bash
# Tears a simulated cluster down: kills what is left in each of its
# namespaces (by pid), deletes the namespaces, their /etc/netns entries and
# the run directory.
#
#   cluster_down.sh DIR      the cluster cluster_up.sh built in DIR
#   cluster_down.sh --stale  every cluster of this suite whose run has died
set -u
prefix_base=pdmh

# Kills every process in namespace NS and deletes it.
remove_ns() {
  local ns=$1 pids
  for _ in 1 2 3 4 5 6 7 8 9 10; do
    pids=$(ip netns pids "$ns" 2>/dev/null)
    [ -n "$pids" ] || break
    # shellcheck disable=SC2086 # one pid a word
    kill -KILL $pids 2>/dev/null
    sleep 0.2
  done
  ip netns del "$ns" 2>/dev/null
  rm -rf "/etc/netns/$ns"
}

# The namespaces DIR lists, then any left under its name (a run whose
# directory was deleted).
remove_run() {
  local dir=$1 ns
  if [ -f "$dir/namespaces" ]; then
    while read -r ns; do remove_ns "$ns"; done < <(tac "$dir/namespaces")
  fi
  for ns in $(ip netns list | awk -v p="$(basename "$dir")-" 'index($1, p) == 1 {print $1}'); do
    remove_ns "$ns"
  done
  rm -rf "$dir"
  rmdir /etc/netns 2>/dev/null # only when no other run uses it
}

# Runs are named pdmh<pid>; a run is stale when its process is gone.
remove_stale() {
  local ns pid tmp=${TMPDIR:-/tmp} d
  for ns in $(ip netns list | awk '{print $1}' | grep "^${prefix_base}[0-9]*-"); do
    pid=${ns#"$prefix_base"}
    pid=${pid%%-*}
    kill -0 "$pid" 2>/dev/null || remove_ns "$ns"
  done
  for d in /etc/netns/"$prefix_base"[0-9]*-* "$tmp/$prefix_base"[0-9]*; do
    [ -e "$d" ] || continue
    pid=${d##*/"$prefix_base"}
    pid=${pid%%-*}
    kill -0 "$pid" 2>/dev/null || rm -rf "$d"
  done
}

if [ "${1-}" = --stale ]; then
  remove_stale
else
  remove_run "$1"
fi
