#!/bin/bash
# Builds a simulated cluster of NHOSTS hosts and a launcher host. Each is a
# network namespace with one veth (eth0) to a bridge that lives in a namespace
# of its own; all on 10.231.77.0/24, names resolved by /etc/netns/NS/hosts.
#
#   cluster_up.sh DIR NHOSTS
#
# DIR (empty, its name the run's unique prefix) receives:
#   namespaces  every namespace created, in order (teardown reads it)
#   hosts       the compute hosts, one a line      launcher  the launcher host
#   bridge      the bridge namespace               tmp/HOST  each host's TMPDIR
# The bridge's ports: port-l (launcher), port-h1, port-h2, ...
set -u
dir=$1 nhosts=$2
prefix=$(basename "$dir")
subnet=10.231.77
fail() { echo "cluster_up.sh: $*" >&2; exit 1; }

# Records a namespace before creating it, so that teardown finds it.
add_ns() {
  echo "$1" >>"$dir/namespaces"
  ip netns add "$1" || fail "cannot create namespace $1"
  ip netns exec "$1" sysctl -qw net.ipv6.conf.all.disable_ipv6=1 \
    net.ipv6.conf.default.disable_ipv6=1 >/dev/null
  ip -n "$1" link set lo up
}

# A host namespace NS with address ADDR, plugged into bridge port PORT.
add_host() {
  local ns=$1 addr=$2 port=$3
  add_ns "$ns"
  ip -n "$br" link add name "$port" type veth peer name eth0 netns "$ns" || fail "veth for $ns"
  ip -n "$br" link set "$port" master br0 up
  ip -n "$ns" addr add "$addr/24" dev eth0
  ip -n "$ns" link set eth0 up
  mkdir -p "$dir/tmp/$ns" "/etc/netns/$ns"
  echo "$addr $ns" >>"$dir/etc-hosts"
}

# ip netns exec binds a host's hosts file on /etc/hosts, which a root made
# by debootstrap lacks.
[ -e /etc/hosts ] || printf '127.0.0.1\tlocalhost\n' >/etc/hosts
br=$prefix-br
: >"$dir/namespaces"
printf '127.0.0.1 localhost\n' >"$dir/etc-hosts"
add_ns "$br"
echo "$br" >"$dir/bridge"
ip -n "$br" link add br0 type bridge forward_delay 0 || fail "bridge"
ip -n "$br" link set br0 up

add_host "$prefix-l" "$subnet.10" port-l
echo "$prefix-l" >"$dir/launcher"
: >"$dir/hosts"
for ((h = 1; h <= nhosts; h++)); do
  add_host "$prefix-h$h" "$subnet.$((10 + h))" "port-h$h"
  echo "$prefix-h$h" >>"$dir/hosts"
done
while read -r ns; do
  [ "$ns" = "$br" ] || cp "$dir/etc-hosts" "/etc/netns/$ns/hosts"
done <"$dir/namespaces"
