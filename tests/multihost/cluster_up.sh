#!/bin/bash
# Builds a simulated cluster of NHOSTS hosts and a launcher host. Each is a
# network namespace with a veth (eth0) to the management bridge br0, on
# 10.231.77.0/24, names resolved by /etc/netns/NS/hosts. The hosts (not the
# launcher) also have a data port (data0) on 10.231.78.0/24: a leaf-spine
# fabric of three leaf bridges, consecutive hosts on each (8 hosts: 3/3/2),
# each joined to the spine bridge by an uplink veth. Every bridge lives in
# one namespace of its own.
#
#   cluster_up.sh DIR NHOSTS
#
# DIR (empty, its name the run's unique prefix) receives:
#   namespaces  every namespace created, in order (teardown reads it)
#   hosts       the compute hosts, one a line      launcher  the launcher host
#   bridge      the bridges' namespace             tmp/HOST  each host's TMPDIR
#   topology.conf  the fabric as Slurm's tree topology
# The bridges' ports: br0: port-l (launcher), port-h1, port-h2, ...;
# leafK: data-hN of its hosts and up-leafK, whose peer dn-leafK is on spine0.
set -u
dir=$1 nhosts=$2
prefix=$(basename "$dir")
subnet=10.231.77 data_subnet=10.231.78 leaves=3
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

# Host H's data port: data0 at ADDR, plugged into bridge LEAF.
add_data_port() {
  local h=$1 addr=$2 leaf=$3 ns=$prefix-h$1
  ip -n "$br" link add name "data-h$h" type veth peer name data0 netns "$ns" || fail "data port of $ns"
  ip -n "$br" link set "data-h$h" master "$leaf" up
  ip -n "$ns" addr add "$addr/24" dev data0
  ip -n "$ns" link set data0 up
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

add_bridge() { ip -n "$br" link add "$1" type bridge forward_delay 0 && ip -n "$br" link set "$1" up; }
add_bridge spine0 || fail "spine bridge"
per_leaf=$(((nhosts + leaves - 1) / leaves))
((per_leaf > 0)) && leaves=$(((nhosts + per_leaf - 1) / per_leaf)) # none left empty
: >"$dir/topology.conf"
for ((l = 0; l < leaves; l++)); do
  add_bridge "leaf$l" || fail "leaf bridge $l"
  ip -n "$br" link add "up-leaf$l" type veth peer name "dn-leaf$l" || fail "uplink of leaf$l"
  ip -n "$br" link set "up-leaf$l" master "leaf$l" up
  ip -n "$br" link set "dn-leaf$l" master spine0 up
  first=$((l * per_leaf + 1)) last=$(((l + 1) * per_leaf))
  ((last > nhosts)) && last=$nhosts
  for ((h = first; h <= last; h++)); do
    add_data_port "$h" "$data_subnet.$((10 + h))" "leaf$l"
  done
  nodes=$prefix-h$first
  ((first < last)) && nodes=$prefix-h[$first-$last]
  echo "SwitchName=leaf$l Nodes=$nodes" >>"$dir/topology.conf"
done
switches=leaf0
((leaves > 1)) && switches=leaf[0-$((leaves - 1))]
echo "SwitchName=spine0 Switches=$switches" >>"$dir/topology.conf"
while read -r ns; do
  [ "$ns" = "$br" ] || cp "$dir/etc-hosts" "/etc/netns/$ns/hosts"
done <"$dir/namespaces"
