#!/bin/bash
# pairdot-check against wc -l and awk on generated job outputs (checker.tsv),
# and where pairdot-check spends its instructions (profile.txt), in
# BENCH_OUT. Run by bench/run.sh:
#
#   bench/checker_bench.sh BUILD_DIR_MPICH
set -euo pipefail
# shellcheck source=common.sh
. "$(dirname "$0")/common.sh"
[ $# = 1 ] || { echo "usage: bench/checker_bench.sh BUILD_DIR_MPICH" >&2; exit 2; }
gen=$1/bench/gen_job_output
checker=$1/tools/pairdot-check/pairdot-check

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

checker_bench
profile_checker
