# Sourced. launch_args sets `launch`, the words every launch across the simulated hosts
# needs (the stand-in for ssh), for library $1; false for another library.
# Open MPI is told that running as root is meant, and not to bind: every
# simulated host sees the same cores, and each would pin its first rank to
# core 0 (two ranks then share one core: 4 ms round trips).
launch_args() { # mpich|openmpi
  local mh
  mh=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
  case $1 in
  mpich) launch=(-launcher ssh -launcher-exec "$mh/remote_shell.sh") ;;
  openmpi)
    export OMPI_ALLOW_RUN_AS_ROOT=1 OMPI_ALLOW_RUN_AS_ROOT_CONFIRM=1
    launch=(--mca plm_rsh_agent "$mh/remote_shell.sh" --bind-to none) ;;
  *) return 1 ;;
  esac
}

# Brings up NHOSTS simulated hosts in a new directory /tmp/NAME.*/NAME, torn
# down on exit; sets work, dir, prefix and PAIRDOT_MH_DIR. For benches.
bench_cluster() { # NAME NHOSTS
  local mh
  mh=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
  work=$(mktemp -d "/tmp/$1.XXXXXX")
  dir=$work/$1
  "$mh/cluster_fixture.sh" up "$dir" "$2" >/dev/null || exit 1
  trap '"'"$mh"'/cluster_fixture.sh" down "$dir" >/dev/null; rm -rf "$work"' EXIT
  export PAIRDOT_MH_DIR=$dir
  prefix=$(basename "$dir")
}
