#!/usr/bin/env bash
# Builds the libFuzzer targets in fuzz/ with Clang (ASan and UBSan, warnings
# as errors) into build/fuzz and runs each for SECONDS_PER_TARGET seconds
# (default 60) over a fresh copy of its seed corpus, FUZZ_JOBS targets at a
# time (default: one per CPU). Prints runs and coverage per target and exits
# non-zero if any target crashed, failed a check or drew a sanitizer report;
# the failing input is kept under build/fuzz/artifacts.
#
#   scripts/fuzz.sh [SECONDS_PER_TARGET]
#   build/fuzz/fuzz/<name>_fuzzer <input file>     # replay one input
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

seconds=${1:-60}
case $seconds in
  '' | *[!0-9]*) echo "usage: $0 [SECONDS_PER_TARGET]" >&2; exit 2 ;;
esac
jobs=${FUZZ_JOBS:-$(nproc)}
build=build/fuzz
started=$SECONDS

# Clang with its fuzzer runtime, CMake and Ninja: scripts/gates.sh installs
# them, and scripts/lib.sh's compiler cache is used when set.

echo "== building the fuzz targets into $build"
cmake -S . -B "$build" -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DQUILLMERE_BUILD_FUZZERS=ON -DQUILLMERE_BUILD_MODULE=OFF -DQUILLMERE_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" --target quillmere_fuzzers -j"$(nproc)"
build_seconds=$((SECONDS - started))

# Seeds from the proc fixtures, on top of the checked-in ones.
fixtures_for() {
  case $1 in
    cpu_times) echo stat ;;
    load_average) echo loadavg ;;
    memory_usage) echo meminfo ;;
    uptime) echo uptime ;;
    page_faults) echo vmstat ;;
    disk_counters) echo diskstats ;;
    net_counters) echo net_dev ;;
    cutting | utf8) echo stat loadavg meminfo uptime vmstat diskstats net_dev ;;
    monitoring_counters) echo stat loadavg meminfo vmstat ;;
  esac
}

targets=()
for source in fuzz/*_fuzzer.cpp; do
  name=$(basename "$source" .cpp)
  targets+=("${name%_fuzzer}")
done

rm -rf "$build/corpus" "$build/logs" "$build/artifacts" "$build/tmp"
mkdir -p "$build/logs" "$build/artifacts" "$build/tmp"

run_target() {
  local name=$1
  local corpus="$build/corpus/$name"
  mkdir -p "$corpus"
  if [ -d "fuzz/corpus/$name" ]; then cp fuzz/corpus/"$name"/* "$corpus"/; fi
  for fixture in $(fixtures_for "$name"); do
    cp "tests/fixtures/proc/$fixture" "$corpus/fixture_$fixture"
  done
  # TMPDIR: the thermal target makes its zone directory there.
  local rc=0
  TMPDIR="$root/$build/tmp" \
    ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
    "$build/fuzz/${name}_fuzzer" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
    -dict=fuzz/quillmere.dict -print_final_stats=1 \
    -artifact_prefix="$build/artifacts/$name-" "$corpus" >"$build/logs/$name.log" 2>&1 || rc=$?
  echo "$rc" >"$build/logs/$name.rc"
}

echo "== fuzzing ${#targets[@]} targets, ${seconds}s each, $jobs at a time"
running=0
for name in "${targets[@]}"; do
  if [ "$running" -ge "$jobs" ]; then
    wait -n || true
    running=$((running - 1))
  fi
  run_target "$name" &
  running=$((running + 1))
done
wait

failed=0
printf '%-14s %12s %6s %7s %8s  %s\n' target runs cov ft corpus result
for name in "${targets[@]}"; do
  log="$build/logs/$name.log"
  rc=$(cat "$build/logs/$name.rc")
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
  # The last status line: "#N <EVENT> cov: C ft: F corp: U/S ...".
  status=$(grep -E '^#[0-9]+' "$log" | tail -n 1 || true)
  [ -n "$runs" ] || runs=$(printf '%s\n' "$status" | sed -n 's/^#\([0-9]*\).*/\1/p')
  cov=$(printf '%s\n' "$status" | sed -n 's/.* cov: \([0-9]*\).*/\1/p')
  ft=$(printf '%s\n' "$status" | sed -n 's/.* ft: \([0-9]*\).*/\1/p')
  corp=$(printf '%s\n' "$status" | sed -n 's/.* corp: \([0-9]*\).*/\1/p')
  if [ "$rc" -eq 0 ] && ! grep -qE 'ERROR: |runtime error:|check failed:' "$log"; then
    result=ok
  else
    failed=1
    artifact=$(sed -n 's/.*Test unit written to \(.*\)$/\1/p' "$log" | head -n 1)
    result="FAILED (exit $rc) ${artifact:-see $log}"
  fi
  printf '%-14s %12s %6s %7s %8s  %s\n' "$name" "${runs:-?}" "${cov:-?}" "${ft:-?}" "${corp:-?}" "$result"
done

if [ "$failed" -ne 0 ]; then
  echo
  for name in "${targets[@]}"; do
    log="$build/logs/$name.log"
    if [ "$(cat "$build/logs/$name.rc")" -ne 0 ] || grep -qE 'ERROR: |runtime error:|check failed:' "$log"; then
      echo "-- $name ($log)"
      grep -E -A2 'check failed:|runtime error:|ERROR: AddressSanitizer|ERROR: LeakSanitizer|ERROR: libFuzzer' "$log" |
        grep -vE '^ +#[0-9]' | head -n 8
    fi
  done
fi
echo "== build ${build_seconds}s, total $((SECONDS - started))s"
exit "$failed"
