#!/bin/bash
# A real Slurm cluster of simulated hosts: a network namespace per node and
# one for the controller, which is also the login host, joined by a bridge in
# a namespace of its own on 10.231.78.0/24; a second bridge joins their
# interfaces data0 on 10.231.79.0/24 for MPI alone (cut, slurmd still
# reaches the node). munged, slurmctld and one slurmd
# per node run in the foreground, in the background of this script.
#
#   slurm_cluster.sh up DIR | down DIR
#
# DIR's name prefixes every namespace and host name. DIR receives:
#   slurm.conf  slurm.conf.in filled in (SLURM_CONF)  ready  once all nodes are idle
#   login       the login host    nodes  the nodes, one a line    hosts  both
#   pids/       munged, slurmctld, slurmd-NODE    log/   their output
# The daemons' sockets live under /run/PREFIX (munge/, state/, spool/NODE,
# tmp/NODE), for a socket path may not pass 107 bytes and slurmd names the
# batch step's after the node twice and the step 4294967291. tmp/NODE is the
# node's TmpFS, bound on /run/PREFIX/tmp/node in its mount namespace (PMIx
# names its directories there by job alone).
# down kills every process in the namespaces of DIR's name, deletes them,
# DIR and /run/PREFIX; up first does the same, and makes /etc/hosts if there
# is none. Without the rights to make namespaces (in a chroot: unless its
# root is a mount point), or without Slurm, up does nothing, unless
# PAIRDOT_REQUIRE_SLURM=1.
set -u
action=${1-} dir=${2-}
if [[ ! $action =~ ^(up|down)$ ]] || [ -z "$dir" ]; then
  echo "usage: slurm_cluster.sh up|down DIR" >&2
  exit 2
fi
dir=$(realpath -m "$dir")
prefix=$(basename "$dir") subnet=10.231.78 nnodes=4
run=/run/$prefix
fail() { echo "slurm_cluster.sh: $*" >&2; exit 1; }
# Paths go unquoted into slurm.conf and shell snippets; the name is a hostname.
[[ $dir =~ ^[A-Za-z0-9._/-]+$ && $prefix =~ ^[a-z][a-z0-9-]*$ ]] ||
  fail "DIR: a path of letters, digits and ._-/, its name a host name: $dir"
# The longest socket: spool/NODE/NODE_JOB.4294967291, JOB up to 7 digits.
batch_socket=$run/spool/$prefix-node$nnodes/$prefix-node${nnodes}_1234567.4294967291
[ ${#batch_socket} -le 107 ] || fail "DIR's name is too long for a socket path: $prefix"

down() {
  local nss pids
  nss=$(ip netns list | awk -v p="$prefix-" 'index($1, p) == 1 {print $1}')
  for _ in $(seq 50); do
    # shellcheck disable=SC2086 # one name a word
    pids=$(for ns in $nss; do ip netns pids "$ns"; done)
    [ -n "$pids" ] || break
    # shellcheck disable=SC2086 # one pid a word
    kill -KILL $pids 2>/dev/null
    sleep 0.1
  done
  for ns in $nss; do ip netns del "$ns"; done
  rm -rf "$dir" "$run" /etc/netns/"$prefix"-*
  rmdir /etc/netns 2>/dev/null # only when no other cluster uses it
}

# A namespace NS; a host: namespace PREFIX-NAME at address N, on bridge port NAME.
add_ns() {
  ip netns add "$1" || fail "cannot create namespace $1"
  ip netns exec "$1" sysctl -qw net.ipv6.conf.all.disable_ipv6=1 net.ipv6.conf.default.disable_ipv6=1 >/dev/null
  ip -n "$1" link set lo up
}
add_host() { # NAME N
  local host=$prefix-$1
  add_ns "$host"
  ip -n "$prefix-br" link add "$1" type veth peer name eth0 netns "$host" || fail "veth for $host"
  ip -n "$prefix-br" link set "$1" master br0 up
  ip -n "$host" addr add "$subnet.$2/24" dev eth0
  ip -n "$host" link set eth0 up
  ip -n "$prefix-br" link add "d$1" type veth peer name data0 netns "$host" || fail "data0 for $host"
  ip -n "$prefix-br" link set "d$1" master br1 up
  ip -n "$host" addr add "${subnet%.*}.79.$2/24" dev data0
  ip -n "$host" link set data0 up
  echo "$subnet.$2 $host" >>"$dir/etc-hosts"
  echo "$host" >>"$dir/hosts"
}

# Runs COMMAND in the background on HOST under its hostname, after SETUP (in
# the mount namespace of ip netns exec), output to log/NAME; pid in pids/NAME.
start() {
  local name=$1 host=$2 setup=$3
  shift 3
  setsid ip netns exec "$host" unshare --uts sh -c "hostname $host && $setup && exec \"\$@\"" \
    sh "$@" </dev/null >"$dir/log/$name" 2>&1 &
  echo $! >"$dir/pids/$name"
}

# slurm.conf.in with this cluster's names, then its nodes.
write_conf() {
  sed -e "s|@prefix@|$prefix|g" -e "s|@run@|$run|g" -e "s|@subnet@|$subnet|g" \
    "$(dirname "$0")/slurm.conf.in"
  for ((i = 1; i <= nnodes; i++)); do
    echo "NodeName=$prefix-node$i NodeAddr=$subnet.$((10 + i)) CPUs=2 State=UNKNOWN"
  done
}

up() {
  local i node state
  mkdir -p "$dir"/{pids,log} "$run"/{state,munge} || fail "cannot make $dir and $run"
  chmod 711 "$run/munge"
  printf '127.0.0.1 localhost\n' >"$dir/etc-hosts"
  add_ns "$prefix-br"
  ip -n "$prefix-br" link add br0 type bridge forward_delay 0 || fail "bridge"
  ip -n "$prefix-br" link set br0 up
  ip -n "$prefix-br" link add br1 type bridge forward_delay 0 || fail "bridge"
  ip -n "$prefix-br" link set br1 up
  add_host ctl 10
  echo "$prefix-ctl" >"$dir/login"
  for ((i = 1; i <= nnodes; i++)); do
    add_host "node$i" $((10 + i))
    echo "$prefix-node$i" >>"$dir/nodes"
  done
  # ip netns exec binds a host's hosts file on /etc/hosts, which a root made
  # by debootstrap lacks: one with localhost alone, as a Debian install has.
  [ -e /etc/hosts ] || printf '127.0.0.1\tlocalhost\n' >/etc/hosts
  while read -r node; do
    mkdir -p "/etc/netns/$node" "$run/tmp/$node" "$run/spool/$node"
    cp "$dir/etc-hosts" "/etc/netns/$node/hosts"
  done <"$dir/hosts"
  mkdir "$run/tmp/node" && chmod 1777 "$run"/tmp/*
  write_conf >"$dir/slurm.conf"
  # Named, the cgroup plugin does not look for a cgroup file system (none in
  # the fresh /sys of ip netns exec); the other plugins do not use it.
  echo CgroupPlugin=cgroup/v1 >"$dir/cgroup.conf"
  export SLURM_CONF=$dir/slurm.conf

  head -c 1024 /dev/urandom >"$run/munge/key" && chmod 600 "$run/munge/key"
  start munged "$prefix-ctl" true munged -F --force --socket="$run/munge/socket" \
    --key-file="$run/munge/key" --pid-file="$run/munge/pid" --seed-file="$run/munge/seed" \
    --log-file=/dev/null
  start slurmctld "$prefix-ctl" true slurmctld -D -c -i # no state to recover
  while read -r node; do
    start "slurmd-$node" "$node" "mount --bind $run/tmp/$node $run/tmp/node" slurmd -D
  done <"$dir/nodes"

  for _ in $(seq 300); do
    state=$(ip netns exec "$prefix-ctl" sinfo -h -N -o %T 2>/dev/null | sort -u)
    [ "$state" = idle ] && { touch "$dir/ready"; return 0; }
    for i in "$dir"/pids/*; do
      kill -0 "$(cat "$i")" 2>/dev/null || fail "${i##*/} ended: $(tail -n 5 "$dir/log/${i##*/}")"
    done
    sleep 0.1
  done
  fail "nodes not idle after 30 s: $(ip netns exec "$prefix-ctl" sinfo -N 2>&1)"
}

if ! why=$(unshare --net --uts --mount true 2>&1) || [ ! -w /etc ] || ! command -v slurmd >/dev/null ||
  ! command -v munged >/dev/null; then
  [ "${PAIRDOT_REQUIRE_SLURM:-0}" = 1 ] &&
    fail "needs root (namespaces) and Slurm (slurmctld, slurmd, munge, slurm-client) ${why:+($why)}"
  echo "no rights to make namespaces, or no Slurm: the Slurm tests will skip ${why:+($why)}"
  exit 0
fi
down
[ "$action" = down ] && exit 0
up || exit 1
echo "Slurm cluster $prefix up: login $(cat "$dir/login"), nodes $(paste -sd' ' "$dir/nodes")"
