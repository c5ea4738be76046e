#!/bin/sh
# Static checks over our own sources: clang-format, clang-tidy, cppcheck.
# Uses the compile database of the mpich build (configured if missing).
set -eu
cd "$(dirname "$0")/.."
build=build/mpich
[ -f "$build/compile_commands.json" ] || cmake --preset mpich >/dev/null
sources=$(git ls-files '*.cpp' '*.hpp')

echo "== clang-format"
clang-format --dry-run --Werror $sources

echo "== clang-tidy"
# Only the files that are part of the build (the fuzz target is not).
for f in $sources; do
  grep -q "\"file\": \"$PWD/$f\"" "$build/compile_commands.json" && echo "$f"
done | xargs -P 2 -n 4 clang-tidy -p "$build" --quiet --extra-arg=-Wno-ignored-optimization-argument

echo "== cppcheck"
cppcheck --quiet --error-exitcode=1 --std=c++17 --language=c++ \
  --enable=warning,performance,portability --inline-suppr --library=googletest \
  --suppress=missingIncludeSystem -I pairdot -I tools/formats -I tools/pairdot-check -I tools/hosts -I tools/diagnosis -I tools/writers -I tools/launch -I tools/engine -I tools/pairdot-run -I tools/pairdot-probe $sources
echo "lint: clean"
