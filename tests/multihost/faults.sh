#!/bin/bash
# Faults on the simulated cluster, sourced by run_test.sh (which sets
# cluster, prefix, bridge and work): inject_fault KIND ARG, and heal, which
# undoes every fault.
addr() { awk -v h="$prefix-h$1" '$2 == h {print $1}' "$cluster/etc-hosts"; }

# The cluster healed: every port up, unshaped, at MTU 1,500; no blackhole
# route. A test ended by its time bound leaves its faults behind, so every
# test starts with this, and ends with it.
heal() {
  local ns dev
  while read -r ns; do
    if [ "$ns" = "$bridge" ]; then
      for dev in $(devices "$ns" veth); do
        tc -n "$ns" qdisc del dev "$dev" root 2>/dev/null
        ip -n "$ns" link set "$dev" mtu 1500 up
      done
      for dev in $(devices "$ns" bridge); do ip -n "$ns" link set "$dev" mtu 1500; done
    else
      for dev in eth0 data0; do
        tc -n "$ns" qdisc del dev "$dev" root 2>/dev/null
        ip -n "$ns" link set "$dev" mtu 1500 2>/dev/null # the launcher has no data0
      done
      ip -n "$ns" route flush type blackhole
    fi
  done <"$cluster/namespaces"
}
devices() { ip -n "$1" -o link show type "$2" | awk -F'[ :@]+' '{print $2}'; } # NS TYPE

# Jumbo frames on one network: the management one (eth0, br0 and its
# ports) or the data fabric (data0, the leaves, the spine and their ports).
jumbo() { # eth0|data0
  local ns dev hosts=("$cluster/hosts")
  [ "$1" = eth0 ] && hosts+=("$cluster/launcher")
  while read -r ns; do
    ip -n "$ns" link set "$1" mtu 9000 || return
  done < <(cat "${hosts[@]}")
  for dev in $(devices "$bridge" veth); do
    case $1:$dev in
    eth0:port-* | data0:data-* | data0:up-* | data0:dn-*) ip -n "$bridge" link set "$dev" mtu 9000 || return ;;
    esac
  done
  for dev in $(devices "$bridge" bridge); do
    case $1:$dev in eth0:br0 | data0:leaf* | data0:spine*) ip -n "$bridge" link set "$dev" mtu 9000 || return ;; esac
  done
}

# Faults, table-driven: each is undone by heal. On the management network
# (eth0, what the launchers use): blackhole routes between two hosts (both
# still reach the launcher), a host's bridge port down, jumbo frames
# everywhere but on one host, whose port and interface drop every frame over
# 1,514 bytes (a switch port without jumbo frames), A's traffic to B alone
# slowed (slow_link). On the data fabric (data0): a host's port down (a dark
# host: it still starts), a leaf's uplink down (its hosts reach only each
# other), a leaf's uplink limited to a tenth both ways, the MTU black hole.
# And ranks held forever before their send.

limit_frames=(root tbf rate 20gbit burst 1mb latency 50ms peakrate 40gbit mtu 1514)
tenth=(root tbf rate 200mbit burst 256kb latency 50ms)

# Injects one fault; false when it cannot.
inject_fault() { # KIND ARG
  local kind=$1 arg=$2 a b dev port
  a=${arg%,*} b=${arg#*,}
  case $kind in
  link-cut)
    ip -n "$prefix-h$a" route add blackhole "$(addr "$b")/32" &&
      ip -n "$prefix-h$b" route add blackhole "$(addr "$a")/32" ;;
  host-cut) ip -n "$bridge" link set "port-h$arg" down ;;
  data-down) ip -n "$bridge" link set "data-h$arg" down ;;
  uplink-down) ip -n "$bridge" link set "up-leaf$arg" down ;;
  uplink-slow)
    tc -n "$bridge" qdisc add dev "up-leaf$arg" "${tenth[@]}" &&
      tc -n "$bridge" qdisc add dev "dn-leaf$arg" "${tenth[@]}" ;;
  mtu | data-mtu)
    dev=eth0 port=port-h$arg
    [ "$kind" = data-mtu ] && dev=data0 port=data-h$arg
    jumbo "$dev" && tc -n "$bridge" qdisc add dev "$port" "${limit_frames[@]}" &&
      tc -n "$prefix-h$arg" qdisc add dev "$dev" "${limit_frames[@]}" ;;
  slow) slow_link "$prefix-h$a" "$(addr "$b")" ;;
  hold) export PAIRDOT_HOLD_RANKS=$arg PAIRDOT_HOLD_UNTIL=$work/never ;;
  *) false ;;
  esac
}
