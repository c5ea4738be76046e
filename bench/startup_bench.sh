#!/bin/bash
# Start-up of pairdot against bare_mpi, whole jobs through each library's
# launcher: wall time (startup.tsv), peak RSS per rank (rank_rss.tsv), the
# output check of a tagged job (verdict.tsv), and the CPU time of the
# largest jobs (cpu.tsv), all in BENCH_OUT. Run by bench/run.sh:
#
#   bench/startup_bench.sh BUILD_DIR_MPICH BUILD_DIR_OPENMPI
set -euo pipefail
# shellcheck source=common.sh
. "$(dirname "$0")/common.sh"
[ $# = 2 ] || { echo "usage: bench/startup_bench.sh BUILD_DIR_MPICH BUILD_DIR_OPENMPI" >&2; exit 2; }
declare -A build=([mpich]=$1 [openmpi]=$2)
checker=${build[mpich]}/tools/pairdot-check/pairdot-check

# A job that hangs is killed.
job_timeout=120
bounded() { timeout -k 10 "$job_timeout" "$@"; }

startup_rounds() { # NP: rounds of each program
  if [ "$quick" = 1 ]; then echo 2; return; fi
  case $1 in
  1 | 2 | 4) echo 21 ;;
  8) echo 11 ;;
  16) echo 7 ;;
  32) echo 5 ;;
  *) echo 3 ;;
  esac
}

# One job under the per-rank wrapper; prints median and max peak RSS (KiB).
rank_rss() { # LIB NP PROGRAM
  local dir=$out/rank-rss
  rm -rf "$dir" && mkdir -p "$dir"
  job_command "${build[$1]}" "$2" merged "$bench/rank_rss.sh" "$dir" "$3"
  bounded "${cmd[@]}" >/dev/null 2>&1 || true
  cat "$dir"/* 2>/dev/null | sort -n | awk '{ v[NR] = $1 }
    END { if (NR == 0) print "-\t-"; else print v[int((NR + 1) / 2)] "\t" v[NR] }'
}

# Checks one real job's rank-tagged output: pairdot-check --np NP's verdict.
verify_job() { # LIB NP PROGRAM
  job_command "${build[$1]}" "$2" tagged "$3"
  run_stdout=$out/job.out
  timed bounded "${cmd[@]}"
  run_stdout=/dev/null
  if [ "$status" -ne 0 ]; then echo "job exit $status"; return; fi
  if [ ! -x "$checker" ]; then echo "not checked"; return; fi
  if "$checker" --np "$2" "$out/job.out" >/dev/null 2>&1; then echo ok; else echo FAIL; fi
}

startup_bench() {
  local nps="1 2 4 8 16 32 64" lib np round program rounds order
  [ "$quick" = 1 ] && nps="1 2 4"
  printf 'lib\tnp\tround\tprogram\tseconds\tstatus\n' >"$out/startup.tsv"
  printf 'lib\tnp\tprogram\trss_median_kib\trss_max_kib\n' >"$out/rank_rss.tsv"
  printf 'lib\tnp\tverdict\n' >"$out/verdict.tsv"
  for lib in mpich openmpi; do
    declare -A path=([pairdot]=${build[$lib]}/pairdot/pairdot [bare_mpi]=${build[$lib]}/bench/bare_mpi)
    for np in $nps; do
      rounds=$(startup_rounds "$np")
      log "start-up $lib np=$np: $rounds rounds"
      printf '%s\t%s\t%s\n' "$lib" "$np" "$(verify_job "$lib" "$np" "${path[pairdot]}")" \
        >>"$out/verdict.tsv"
      job_command "${build[$lib]}" "$np" merged "${path[pairdot]}"
      local -a pairdot_cmd=("${cmd[@]}")
      job_command "${build[$lib]}" "$np" merged "${path[bare_mpi]}"
      local -a bare_cmd=("${cmd[@]}")
      timed bounded "${bare_cmd[@]}" # warm-up
      for ((round = 1; round <= rounds; round++)); do
        # Alternate which program goes first.
        order="pairdot bare_mpi"
        ((round % 2 == 0)) && order="bare_mpi pairdot"
        for program in $order; do
          if [ "$program" = pairdot ]; then timed bounded "${pairdot_cmd[@]}"; else
            timed bounded "${bare_cmd[@]}"; fi
          printf '%s\t%s\t%s\t%s\t%s\t%s\n' "$lib" "$np" "$round" "$program" "$elapsed" "$status" \
            >>"$out/startup.tsv"
        done
      done
      for program in pairdot bare_mpi; do
        printf '%s\t%s\t%s\t%s\n' "$lib" "$np" "$program" "$(rank_rss "$lib" "$np" "${path[$program]}")" \
          >>"$out/rank_rss.tsv"
      done
    done
  done
}

# Where the time of the largest jobs goes: three rounds of a program without
# MPI, bare_mpi and pairdot, with the CPU time and context switches of the
# whole job (launcher and ranks).
cpu_bench() {
  local np=64 lib program round
  [ "$quick" = 1 ] && np=4
  printf 'lib\tnp\tprogram\twall\tuser\tsys\tvoluntary\tinvoluntary\tstatus\n' >"$out/cpu.tsv"
  for lib in mpich openmpi; do
    log "cpu time $lib np=$np"
    declare -A path=([true]=$(command -v true) [bare_mpi]=${build[$lib]}/bench/bare_mpi
      [pairdot]=${build[$lib]}/pairdot/pairdot)
    for round in 1 2 3; do
      for program in true bare_mpi pairdot; do
        job_command "${build[$lib]}" "$np" merged "${path[$program]}"
        # Open MPI's launcher hangs now and then on 64 processes that exit
        # at once: a short timeout for those.
        local limit=120
        [ "$program" = true ] && limit=20
        status=0
        /usr/bin/time -f '%e\t%U\t%S\t%w\t%c' -o "$out/cpu.tmp" \
          timeout -k 10 "$limit" "${cmd[@]}" >/dev/null 2>&1 || status=$?
        printf '%s\t%s\t%s\t%s\t%s\n' "$lib" "$np" "$program" "$(tail -n 1 "$out/cpu.tmp")" \
          "$status" >>"$out/cpu.tsv"
      done
    done
  done
}

startup_bench
cpu_bench
