#!/bin/bash
# Builds pairdot-check's fuzz target with clang and fuzzes it for SECONDS
# (default 60). Exits non-zero when the fuzzer finds a crash.
# Build dir: $PAIRDOT_FUZZ_BUILD, else build/fuzz in this checkout.
set -euo pipefail

seconds=${1:-60}
here=$(cd "$(dirname "$0")" && pwd)
build=${PAIRDOT_FUZZ_BUILD:-$here/../../build/fuzz}

cmake -S "$here" -B "$build" -DCMAKE_CXX_COMPILER=clang++ -DPAIRDOT_FUZZ=ON \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" --target pairdot_check_fuzz -j2

# New inputs go to the first corpus dir; the seeds in the repo stay as they are.
mkdir -p "$build/corpus" "$build/artifacts"
"$build/pairdot_check_fuzz" -max_total_time="$seconds" -max_len=4096 -timeout=60 \
  -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$build/artifacts/" \
  "$build/corpus" "$here/corpus"
