#!/bin/bash
# Runs a command on one simulated host: in its network namespace, under its
# own hostname (a UTS namespace of its own) and with its own TMPDIR.
#
#   on_host.sh HOST COMMAND [ARG...]
#
# HOST must be one of the run's namespaces ($PAIRDOT_MH_DIR/namespaces).
set -u
host=${1-}
shift
dir=${PAIRDOT_MH_DIR:?on_host.sh: PAIRDOT_MH_DIR is not set}
if ! grep -qx -- "$host" "$dir/namespaces" 2>/dev/null; then
  echo "on_host.sh: $host is not a host of this cluster" >&2
  exit 255
fi
exec ip netns exec "$host" unshare --uts \
  env TMPDIR="$dir/tmp/$host" sh -c 'hostname "$0" && exec "$@"' "$host" "$@"
