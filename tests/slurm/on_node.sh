#!/bin/bash
# Runs a command on a host of the Slurm cluster in $PAIRDOT_SLURM_DIR (made by
# slurm_cluster.sh), with SLURM_CONF set: in the namespaces of the host's
# daemon (network, hostname, mounts) and under its root directory (entering
# the mount namespace alone would leave a chroot), so as a job's task there
# would; in the caller's working directory, found again under that root.
#
#   on_node.sh HOST COMMAND [ARG...]     HOST: login, or a name in DIR/hosts
set -u
dir=${PAIRDOT_SLURM_DIR:?on_node.sh: PAIRDOT_SLURM_DIR is not set}
host=${1-}
shift
[ "$host" = login ] && host=$(cat "$dir/login")
if [ "$host" = "$(cat "$dir/login" 2>/dev/null)" ]; then
  pidfile=$dir/pids/slurmctld
else
  pidfile=$dir/pids/slurmd-$host
fi
if ! grep -qx -- "$host" "$dir/hosts" 2>/dev/null || ! kill -0 "$(cat "$pidfile")" 2>/dev/null; then
  echo "on_node.sh: $host is not a running host of the Slurm cluster in $dir" >&2
  exit 255
fi
exec nsenter --target "$(cat "$pidfile")" --net --uts --mount --root env -C "$PWD" SLURM_CONF="$dir/slurm.conf" "$@"
