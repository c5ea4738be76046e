#!/bin/bash
# Writes the result tables from the raw timings in BENCH_OUT into
# BENCHMARKS.md and the plot bench/startup.png; a quick run (BENCH_QUICK=1)
# leaves both in BENCH_OUT instead. Run by bench/run.sh:
#
#   bench/report.sh
set -euo pipefail
# shellcheck source=common.sh
. "$(dirname "$0")/common.sh"

# Medians per (lib, np, program), ratios, per-rank RSS and the verdict.
startup_table() {
  awk -F '\t' -f "$bench/summarize.awk" -v mode=startup \
    "$out/verdict.tsv" "$out/rank_rss.tsv" "$out/startup.tsv"
}

cpu_table() {
  awk -F '\t' -f "$bench/summarize.awk" -v mode=cpu "$out/cpu.tsv"
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

write_report
