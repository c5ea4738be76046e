#!/bin/bash
# Runs the benchmarks and rewrites the result tables of BENCHMARKS.md and
# the plot bench/startup.png.
#
# Usage: bench/run.sh [BUILD_DIR_MPICH BUILD_DIR_OPENMPI]
#   With no arguments the mpich and openmpi presets are configured and built
#   (build/mpich, build/openmpi); given directories are configured if empty.
# Environment:
#   BENCH_OUT    scratch directory for generated outputs and raw timings
#                (default: build/bench-data under the source tree)
#   BENCH_QUICK  1: few rounds and small sizes, a smoke test; tables and plot
#                go to BENCH_OUT instead of the source tree
#   BENCH_REPORT_ONLY  1: measure nothing, rewrite the report from the raw
#                timings already in BENCH_OUT
#   PAIRDOT_BENCH_BUILT  a build directory that is up to date (set by the
#                `bench` target, which must not start a second build there)
set -euo pipefail

src=$(cd "$(dirname "$0")/.." && pwd)
bench=$src/bench
quick=${BENCH_QUICK:-0}
out=${BENCH_OUT:-$src/build/bench-data}
mkdir -p "$out"
out=$(cd "$out" && pwd)

if [ $# -eq 0 ]; then
  set -- "$src/build/mpich" "$src/build/openmpi"
elif [ $# -ne 2 ]; then
  echo "usage: bench/run.sh [BUILD_DIR_MPICH BUILD_DIR_OPENMPI]" >&2
  exit 2
fi
dir_mpich=$1
dir_openmpi=$2

export OMPI_ALLOW_RUN_AS_ROOT=1 OMPI_ALLOW_RUN_AS_ROOT_CONFIRM=1
export LC_ALL=C

log() { echo "bench: $*" >&2; }

# --- building ---------------------------------------------------------------

# Configures DIR for library LIB if it has no cache yet, then builds what the
# benchmarks run.
ensure_build() {
  local lib=$1 dir=$2
  if [ "$(realpath -m "$dir")" = "$(realpath -m "${PAIRDOT_BENCH_BUILT:-/nonexistent}")" ]; then
    return
  fi
  if [ ! -f "$dir/CMakeCache.txt" ]; then
    if [ "$(realpath -m "$dir")" = "$src/build/$lib" ]; then
      (cd "$src" && cmake --preset "$lib" >/dev/null)
    else
      cmake -S "$src" -B "$dir" -DMPI_EXECUTABLE_SUFFIX=".$lib" \
        -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
    fi
  fi
  log "building $dir"
  cmake --build "$dir" -j 2 --target pairdot bare_mpi gen_job_output pairdot-check >/dev/null
}

cache_value() { sed -n "s/^$2:[A-Z]*=//p" "$1/CMakeCache.txt"; }

if [ "${BENCH_REPORT_ONLY:-0}" != 1 ]; then
  ensure_build mpich "$dir_mpich"
  ensure_build openmpi "$dir_openmpi"
fi
dir_mpich=$(cd "$dir_mpich" && pwd)
dir_openmpi=$(cd "$dir_openmpi" && pwd)

build_dir() { if [ "$1" = mpich ]; then echo "$dir_mpich"; else echo "$dir_openmpi"; fi; }
gen=$dir_mpich/bench/gen_job_output
checker=$dir_mpich/tools/pairdot-check/pairdot-check

# --- timing -----------------------------------------------------------------

# Runs a command with output to $run_stdout, sets elapsed (seconds) and
# status; never fails the script.
run_stdout=/dev/null
timed() {
  local start=$EPOCHREALTIME
  status=0
  "$@" >"$run_stdout" 2>"$out/last.err" || status=$?
  local end=$EPOCHREALTIME
  elapsed=$(awk -v a="$start" -v b="$end" 'BEGIN { printf "%.6f", b - a }')
}

# Like timed, under GNU time; sets rss (KiB) too.
timed_rss() {
  timed /usr/bin/time -f %M -o "$out/rss.tmp" "$@"
  rss=$(tail -n 1 "$out/rss.tmp")
}

# --- start-up ---------------------------------------------------------------

job_timeout=120

# Sets cmd to the launcher command line of a job; --tag: each line tagged
# with its rank.
launch_cmd() { # LIB NP [--tag] PROGRAM...
  local lib=$1 np=$2 tag=0
  shift 2
  if [ "$1" = --tag ]; then tag=1 && shift; fi
  # A job that hangs is killed.
  cmd=(timeout -k 10 "$job_timeout" "$(cache_value "$(build_dir "$lib")" MPIEXEC_EXECUTABLE)")
  if [ "$lib" = openmpi ]; then
    cmd+=(--oversubscribe --mca mpi_yield_when_idle 1)
    ((tag)) && cmd+=(--tag-output)
  else
    ((tag)) && cmd+=(-prepend-rank)
  fi
  cmd+=(-n "$np" "$@")
}

launch() { # LIB NP [--tag] PROGRAM...: runs the job
  launch_cmd "$@"
  "${cmd[@]}"
}

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
  launch "$1" "$2" "$bench/rank_rss.sh" "$dir" "$3" >/dev/null 2>&1 || true
  cat "$dir"/* 2>/dev/null | sort -n | awk '{ v[NR] = $1 }
    END { if (NR == 0) print "-\t-"; else print v[int((NR + 1) / 2)] "\t" v[NR] }'
}

# Checks one real job's rank-tagged output: pairdot-check --np NP's verdict.
verify_job() { # LIB NP PROGRAM
  run_stdout=$out/job.out
  timed launch "$1" "$2" --tag "$3"
  run_stdout=/dev/null
  if [ "$status" -ne 0 ]; then echo "job exit $status"; return; fi
  if [ ! -x "$checker" ]; then echo "not checked"; return; fi
  if "$checker" --np "$2" "$out/job.out" >/dev/null 2>&1; then echo ok; else echo FAIL; fi
}

startup_bench() {
  local nps="1 2 4 8 16 32 64"
  [ "$quick" = 1 ] && nps="1 2 4"
  printf 'lib\tnp\tround\tprogram\tseconds\tstatus\n' >"$out/startup.tsv"
  printf 'lib\tnp\tprogram\trss_median_kib\trss_max_kib\n' >"$out/rank_rss.tsv"
  printf 'lib\tnp\tverdict\n' >"$out/verdict.tsv"
  for lib in mpich openmpi; do
    local dir pairdot bare
    dir=$(build_dir "$lib")
    pairdot=$dir/pairdot/pairdot
    bare=$dir/bench/bare_mpi
    for np in $nps; do
      local rounds order
      rounds=$(startup_rounds "$np")
      log "start-up $lib np=$np: $rounds rounds"
      printf '%s\t%s\t%s\n' "$lib" "$np" "$(verify_job "$lib" "$np" "$pairdot")" >>"$out/verdict.tsv"
      timed launch "$lib" "$np" "$bare" # warm-up
      for ((round = 1; round <= rounds; round++)); do
        # Alternate which program goes first.
        order="pairdot bare_mpi"
        ((round % 2 == 0)) && order="bare_mpi pairdot"
        for program in $order; do
          local path=$pairdot
          [ "$program" = bare_mpi ] && path=$bare
          timed launch "$lib" "$np" "$path"
          printf '%s\t%s\t%s\t%s\t%s\t%s\n' "$lib" "$np" "$round" "$program" "$elapsed" "$status" \
            >>"$out/startup.tsv"
        done
      done
      for program in pairdot bare_mpi; do
        local path=$pairdot
        [ "$program" = bare_mpi ] && path=$bare
        printf '%s\t%s\t%s\t%s\n' "$lib" "$np" "$program" "$(rank_rss "$lib" "$np" "$path")" \
          >>"$out/rank_rss.tsv"
      done
    done
  done
}

# Where the time of the largest jobs goes: three rounds of a program without
# MPI, bare_mpi and pairdot, with the CPU time and context switches of the
# whole job (launcher and ranks).
cpu_bench() {
  local np=64 lib program path round
  [ "$quick" = 1 ] && np=4
  printf 'lib\tnp\tprogram\twall\tuser\tsys\tvoluntary\tinvoluntary\tstatus\n' >"$out/cpu.tsv"
  for lib in mpich openmpi; do
    log "cpu time $lib np=$np"
    for round in 1 2 3; do
      for program in true bare_mpi pairdot; do
        case $program in
        true) path=$(command -v true) ;;
        bare_mpi) path=$(build_dir "$lib")/bench/bare_mpi ;;
        pairdot) path=$(build_dir "$lib")/pairdot/pairdot ;;
        esac
        # Open MPI's launcher hangs now and then on 64 processes that exit
        # at once: a short timeout for those.
        local limit=120
        [ "$program" = true ] && limit=20
        job_timeout=$limit launch_cmd "$lib" "$np" "$path"
        status=0
        /usr/bin/time -f '%e\t%U\t%S\t%w\t%c' -o "$out/cpu.tmp" "${cmd[@]}" >/dev/null 2>&1 ||
          status=$?
        printf '%s\t%s\t%s\t%s\t%s\n' "$lib" "$np" "$program" "$(tail -n 1 "$out/cpu.tmp")" \
          "$status" >>"$out/cpu.tsv"
      done
    done
  done
}

cpu_table() {
  awk -F '\t' -f "$bench/summarize.awk" -v mode=cpu "$out/cpu.tsv"
}

# --- pairdot-check ----------------------------------------------------------

# Generated inputs: NAME RANKS GENERATOR-ARGS..., one a line.
checker_inputs() {
  local sizes="1000 10000 100000 1000000"
  [ "$quick" = 1 ] && sizes="1000 10000"
  local n form
  for n in $sizes; do
    for form in plain mpich-tagged openmpi-tagged; do
      echo "$form $n --form $form"
    done
  done
  local top=${sizes##* }
  echo "plain-in-rank-order $top --form plain --spread 0"
  echo "mpich-tagged-write-chunks $top --form mpich-tagged --chunks writes"
}

checker_rounds() {
  if [ "$quick" = 1 ]; then echo 2; return; fi
  case $1 in
  1000 | 10000) echo 11 ;;
  100000) echo 7 ;;
  *) echo 5 ;;
  esac
}

# The contestants for one input; awk reads only whole tagged lines, and
# the rank order matters only to pairdot-check.
checker_tools() { # NAME
  echo "wc"
  [ -x "$checker" ] && echo "pairdot-check"
  case $1 in *-write-chunks | *-in-rank-order) ;; *) echo "awk" ;; esac
}

run_tool() { # TOOL FILE RANKS
  case $1 in
  wc) timed_rss wc -l "$2" ;;
  pairdot-check) timed_rss "$checker" --np "$3" "$2" ;;
  awk) timed_rss awk -v np="$3" -f "$bench/check.awk" "$2" ;;
  esac
}

checker_bench() {
  printf 'input\tranks\tbytes\tround\ttool\tseconds\trss_kib\tstatus\n' >"$out/checker.tsv"
  local name n args file bytes rounds tools
  while read -r name n args; do
    file=$out/job-$name-$n.txt
    # shellcheck disable=SC2086 # args are words
    "$gen" --ranks "$n" --seed 1 $args --output "$file"
    bytes=$(stat -c %s "$file")
    rounds=$(checker_rounds "$n")
    tools=$(checker_tools "$name")
    log "checker $name n=$n: $rounds rounds of $(echo "$tools" | tr '\n' ' ')"
    for tool in $tools; do run_tool "$tool" "$file" "$n"; done # warm-up: file in cache
    for ((round = 1; round <= rounds; round++)); do
      for tool in $tools; do
        # awk takes seconds a run on the largest inputs: two rounds there.
        if [ "$tool" = awk ] && ((n >= 1000000 && round > 2)); then continue; fi
        run_tool "$tool" "$file" "$n"
        printf '%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\n' "$name" "$n" "$bytes" "$round" "$tool" \
          "$elapsed" "$rss" "$status" >>"$out/checker.tsv"
      done
      tools=$(echo "$tools" | awk '{ l[NR] = $0 } END { for (i = 2; i <= NR; i++) print l[i]; print l[1] }')
    done
    rm -f "$file"
  done < <(checker_inputs)
}

# --- profile ---------------------------------------------------------------

# callgrind_annotate lines, cut to "Ir (share) file:function", for lines
# matching PATTERN, at most 12.
annotate_top() { # OUT INCLUSIVE PATTERN
  callgrind_annotate --inclusive="$2" "$1" 2>/dev/null | awk -v src="$src/" -v pattern="$3" '
    /file:function/ { on = 1; next }
    on && /%\)/ && $0 ~ pattern && n < 12 {
      n++
      line = $0
      gsub(/\(anonymous namespace\)/, "{anon}", line)
      head = substr(line, 1, index(line, "%)") + 1)
      name = substr(line, index(line, "%)") + 2)
      sub(/^ +/, "", name)
      if (index(name, "(") > 0) name = substr(name, 1, index(name, "(") - 1)
      sub(/ \[.*$/, "", name)
      gsub(/\{anon\}/, "(anon)", name)
      sub(/^\?\?\?:/, "", name)
      sub(/^.*\/sysdeps\/[^:]*\//, "libc ", name)
      if (index(name, src) == 1) name = substr(name, length(src) + 1)
      printf "%s  %s\n", head, name
    }'
}

# Where pairdot-check spends its instructions on the largest plain input.
profile_checker() {
  if [ "$quick" = 1 ] || ! command -v valgrind >/dev/null || [ ! -x "$checker" ]; then
    echo "not profiled" >"$out/profile.txt"
    return
  fi
  local file=$out/job-profile.txt
  "$gen" --ranks 1000000 --seed 1 --form plain --output "$file"
  log "profiling pairdot-check (callgrind)"
  valgrind --tool=callgrind --callgrind-out-file="$out/callgrind.out" \
    "$checker" --np 1000000 "$file" >/dev/null 2>&1
  {
    echo "self (exclusive) instructions:"
    annotate_top "$out/callgrind.out" no .
    echo
    echo "inclusive instructions, pairdot-check's own functions:"
    annotate_top "$out/callgrind.out" yes pairdot_check::
  } >"$out/profile.txt"
  rm -f "$file"
}

# --- report -----------------------------------------------------------------

machine_info() {
  local cpu mem
  cpu=$(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -n 1)
  mem=$(awk '/^MemTotal/ { printf "%.1f GiB", $2 / 1048576 }' /proc/meminfo)
  echo "| | |"
  echo "|---|---|"
  echo "| date | $(date -u '+%Y-%m-%d %H:%M UTC') |"
  echo "| CPU | $cpu, $(nproc) cores |"
  echo "| memory | $mem |"
  echo "| kernel | $(uname -sr) |"
  # shellcheck source=/dev/null
  echo "| OS | $(. /etc/os-release && echo "$PRETTY_NAME") |"
  echo "| compiler | $(c++ --version | head -n 1) |"
  echo "| MPICH | $(dpkg-query -W -f '${Version}' libmpich12 2>/dev/null || echo '?') (Debian libmpich12) |"
  echo "| Open MPI | $(dpkg-query -W -f '${Version}' libopenmpi3 2>/dev/null || echo '?') (Debian libopenmpi3) |"
  echo "| awk | $(readlink -f "$(command -v awk)") |"
  echo "| build type | $(cache_value "$dir_mpich" CMAKE_BUILD_TYPE) |"
  echo "| source | $(git -C "$src" log -1 --format='%h %cs' 2>/dev/null || echo '?')$(git -C "$src" diff --quiet HEAD 2>/dev/null || echo ', with local changes') |"
  echo "| load average at start | $load_at_start |"
}

# Medians per (lib, np, program), ratios, per-rank RSS and the verdict.
startup_table() {
  awk -F '\t' -f "$bench/summarize.awk" -v mode=startup \
    "$out/verdict.tsv" "$out/rank_rss.tsv" "$out/startup.tsv"
}

checker_table() {
  awk -F '\t' -f "$bench/summarize.awk" -v mode=checker "$out/checker.tsv"
}

plot_startup() { # PNG
  awk -F '\t' -f "$bench/summarize.awk" -v mode=plotdata "$out/startup.tsv" >"$out/startup.dat"
  gnuplot -e "datafile='$out/startup.dat'; outfile='$1'" "$bench/startup.gp"
}

# Replaces the text between the results markers of FILE with FRAGMENT.
splice_results() { # FILE FRAGMENT
  awk -v fragment="$2" '
    /<!-- results:begin -->/ { print; while ((getline l < fragment) > 0) print l; skip = 1; next }
    /<!-- results:end -->/ { skip = 0 }
    !skip' "$1" >"$1.tmp"
  mv "$1.tmp" "$1"
}

write_report() {
  local fragment=$out/results.md
  {
    echo "### Machine"
    echo
    cat "$out/machine.md"
    echo
    echo "### Start-up: pairdot against bare_mpi"
    echo
    startup_table
    echo
    echo "CPU time of whole jobs (launcher and ranks) under GNU time, median of 3 rounds; \`true\` is launched without MPI:"
    echo
    cpu_table
    echo
    echo "### pairdot-check against wc -l and awk"
    echo
    checker_table
    echo
    echo "### pairdot-check profile (callgrind, 1,000,000 ranks, plain, shuffled)"
    echo
    echo '```'
    cat "$out/profile.txt"
    echo '```'
  } >"$fragment"
  if [ "$quick" = 1 ]; then
    plot_startup "$out/startup.png"
    log "quick run: results in $fragment and $out/startup.png"
    return
  fi
  plot_startup "$bench/startup.png"
  splice_results "$src/BENCHMARKS.md" "$fragment"
  log "updated BENCHMARKS.md and bench/startup.png"
}

load_at_start=$(cut -d ' ' -f 1-3 /proc/loadavg)
if [ "${BENCH_REPORT_ONLY:-0}" != 1 ]; then
  machine_info >"$out/machine.md"
  startup_bench
  cpu_bench
  checker_bench
  profile_checker
  echo "| load average at end | $(cut -d ' ' -f 1-3 /proc/loadavg) |" >>"$out/machine.md"
fi
write_report
