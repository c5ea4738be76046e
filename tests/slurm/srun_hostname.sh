#!/bin/bash
# Smoke test of the Slurm cluster in DIR: srun -N 3 hostname from the login
# host must answer once from each node. Exit 77 (skip) when there is no
# cluster for want of rights or Slurm, unless PAIRDOT_REQUIRE_SLURM=1.
#
#   srun_hostname.sh DIR
set -u
dir=$1
if [ ! -f "$dir/ready" ]; then
  [ "${PAIRDOT_REQUIRE_SLURM:-0}" = 1 ] && { echo "FAIL: no Slurm cluster in $dir" >&2; exit 1; }
  echo "SKIP: no Slurm cluster (needs root and Slurm)"
  exit 77
fi
export PAIRDOT_SLURM_DIR=$dir
got=$("$(dirname "$0")/on_node.sh" login timeout -k 5 30 srun -N 3 hostname | sort | paste -sd' ')
want=$(sort "$dir/nodes" | paste -sd' ')
echo "srun -N 3 hostname: $got"
[ "$got" = "$want" ] || { echo "FAIL: want $want" >&2; exit 1; }
