#!/bin/sh
# Runs clang-tidy (the checks in .clang-tidy) over every .cpp file under src/,
# extension module included, and exits non-zero on any diagnostic.
#
# The compile commands come from a CMake build in build/tidy configured with
# clang++, so that clang-tidy parses each file with the flags the project's
# Clang build uses; nothing is compiled. Set JOBS to change the number of clang-tidy processes (default 2).
set -eu
cd "$(dirname "$0")/.."

# clang-tidy, Clang, CMake, Ninja and the Python headers: scripts/gates.sh
# installs them.

# Without the tool every file would "pass" unchecked.
command -v clang-tidy >/dev/null 2>&1 || { echo "clang-tidy not found" >&2; exit 1; }

build="build/tidy"
jobs="${JOBS:-2}"
start=$(date +%s)

echo "== configuring $build (clang++, module on, compile commands exported)"
# Without a compiler launcher: clang-tidy reads the compiler from the commands.
env -u CMAKE_CXX_COMPILER_LAUNCHER cmake -S . -B "$build" -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=Debug \
  -DCMAKE_EXPORT_COMPILE_COMMANDS=ON -DQUILLMERE_BUILD_MODULE=ON -DQUILLMERE_BUILD_TESTS=OFF \
  -DPython_EXECUTABLE="$(command -v python3)" >/dev/null

# Every source file under src/ must be in the compile commands, or it would
# be silently left out.
files=$(find src -name '*.cpp' | LC_ALL=C sort)
count=0
for f in $files; do
  count=$((count + 1))
  if ! grep -q "\"file\": \"[^\"]*/$f\"" "$build/compile_commands.json"; then
    echo "error: $f is not built by CMakeLists.txt, so clang-tidy has no flags for it" >&2
    exit 2
  fi
done

groups=$(clang-tidy --dump-config | sed -n 's/^Checks: *//p' | tr -d '"' | sed 's/\\n//g' |
  tr ',' '\n' | grep -v -e '^-' -e '^clang-' -e '^$' | paste -sd ' ')
disabled=$(clang-tidy --dump-config | sed -n 's/^Checks: *//p' | tr -d '"' | sed 's/\\n//g' |
  tr ',' '\n' | grep '^-[a-z]' | sed 's/^-//' | paste -sd ' ')
echo "== $(clang-tidy --version | sed -n 's/.*LLVM version /clang-tidy /p') on $count files under src/"
echo "   enabled: $groups"
echo "   disabled: $disabled"

logs=$(mktemp -d)
trap 'rm -rf "$logs"' EXIT
# One log per file, printed in file order once all have run, so that the
# output of parallel runs does not interleave.
printf '%s\n' $files | xargs -P "$jobs" -I{} sh -c \
  'clang-tidy -p "$1" --quiet "$2" >"$3/$(echo "$2" | tr / _).log" 2>&1 || touch "$3/failed"' \
  sh "$build" {} "$logs"

for f in $files; do
  log="$logs/$(echo "$f" | tr / _).log"
  # Drop clang-tidy's own "N warnings generated." counts: diagnostics are
  # what matters.
  grep -v -e '^[0-9]* warnings\? generated\.$' -e '^[0-9]* warnings\? and [0-9]* errors\? generated\.$' \
    -e '^[0-9]* errors\? generated\.$' "$log" || true
done >"$logs/all"

# A header's diagnostics come once per file that includes it; count each once.
diagnostics=$(grep -E '^[^ ].*:[0-9]+:[0-9]+: (warning|error): ' "$logs/all" | LC_ALL=C sort -u | wc -l)
elapsed=$(($(date +%s) - start))
if [ -f "$logs/failed" ] || [ "$diagnostics" -ne 0 ]; then
  cat "$logs/all"
  echo "== clang-tidy: $diagnostics distinct diagnostics in $count files (${elapsed}s)" >&2
  echo "   diagnostics by file:" >&2
  grep -E '^[^ ].*:[0-9]+:[0-9]+: (warning|error): ' "$logs/all" | LC_ALL=C sort -u |
    sed "s|^$PWD/||; s|:.*||" | LC_ALL=C sort | uniq -c >&2
  exit 1
fi
echo "== clang-tidy: clean, $count files (${elapsed}s)"
