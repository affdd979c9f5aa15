#!/bin/sh
# The test command: installs what the tests need and runs them, as stages.
#
#   sh scripts/test.sh              every stage, in the order --list gives
#   sh scripts/test.sh STAGE...     the named stages only, in the order given
#   sh scripts/test.sh --list       the stages, one line each
#
# Each stage installs and builds what it needs if this run has not (Debian
# packages, .venv, wheels, root file systems), so any stage runs alone on a
# fresh clone, and nothing is built twice in one run. Slow things are cached
# outside the clone (scripts/lib.sh). The stages marked root need it (chroot,
# binfmt, mmdebstrap); a user who is not root is asked for sudo. A failed
# stage does not stop the run: the table of stage times at the end says which
# failed, and the command then exits non-zero.
set -eu
cd "$(dirname "$0")/.."
. scripts/lib.sh

STAGES="quick clang packaging servers wheels arm musl pythons tidy sanitizers memory fuzz bench"

describe() {
  case "$1" in
    quick) echo "the C++ unit tests (GCC) and the Python suite without the slow and real-server tests (.venv)" ;;
    clang) echo "the C++ unit tests built with Clang" ;;
    packaging) echo "the slow Python tests: sdist, a wheel built from it, installed and type-checked in a fresh environment" ;;
    servers) echo "the exporter against a real Prometheus, promtool and systemd-analyze; push over TLS (openssl)" ;;
    wheels) echo "root: the binary wheels into dist/ (x86_64, aarch64, armv7l, armv6l), each installed and called" ;;
    arm) echo "root: C++ unit tests and Python suite on arm64 and armhf (Debian 12 trees, emulated)" ;;
    musl) echo "root: core, modules and C++ unit tests for ARMv6 with musl; tests run as an arm1176 (emulated)" ;;
    pythons) echo "the Python suite under every CPython 3.9-3.13 pyenv has, against its x86_64 wheel" ;;
    tidy) echo "clang-tidy over src/" ;;
    sanitizers) echo "C++ unit tests under ASan+UBSan and TSan; the Python suite against an ASan+UBSan module" ;;
    memory) echo "valgrind memcheck, a soak of many calls, threads and SIGINT during a call" ;;
    fuzz) echo "every libFuzzer target for a few seconds" ;;
    bench) echo "a quick run of the benchmark (it must run; figures not judged)" ;;
    *) return 1 ;;
  esac
}

# A stage script that needs root, run as root.
as_root() {
  if [ -z "$SUDO" ]; then
    "$@"
  else
    sudo env QUILLMERE_RUN="$QUILLMERE_RUN" CI="${CI:-}" "$@"
  fi
}

# The interpreter's headers, for the modules the C++ test builds include.
need_python_headers() {
  python3 -c 'import os, sysconfig, sys; sys.exit(not os.path.exists(os.path.join(sysconfig.get_paths()["include"], "Python.h")))' ||
    need_debs python3-dev
}

cxx_tests() {
  need_debs libgtest-dev cmake ninja-build ccache
  need_python_headers
  dir="build/tests-$1"
  echo "== C++ unit tests ($1)"
  cmake -S . -B "$dir" -G Ninja -DCMAKE_CXX_COMPILER="$1" -DCMAKE_BUILD_TYPE=Debug \
    -DQUILLMERE_BUILD_TESTS=ON -DQUILLMERE_BUILD_MODULE=ON -DPython_EXECUTABLE="$(command -v python3)" >/dev/null
  cmake --build "$dir" -j2
  "$dir/quillmere_cpp_tests" --gtest_brief=1
}

# Run from the tests folder so that the installed module, not the source
# tree, is imported.
pytest_in_venv() {
  dev_venv
  echo "== Python tests: -m \"$1\""
  (cd tests/python && PATH="$REPO/.venv/bin:$PATH" ../../.venv/bin/python -m pytest -q -p no:cacheprovider -m "$1")
}

stage_quick() {
  need_debs g++
  dev_venv
  cxx_tests g++
  pytest_in_venv "not slow and not servers"
}

stage_clang() {
  need_debs clang
  cxx_tests clang++
}

stage_packaging() {
  pytest_in_venv slow
}

stage_servers() {
  need_debs prometheus systemd openssl
  pytest_in_venv servers
}

stage_wheels() { as_root sh scripts/build_wheels.sh dist; }
stage_arm() { as_root sh scripts/arm_tests.sh; }
stage_musl() { as_root sh scripts/musl_check.sh; }
stage_pythons() { sh scripts/python_versions.sh; }
stage_tidy() { sh scripts/gates.sh tidy; }
stage_sanitizers() { sh scripts/gates.sh sanitizers; }
stage_memory() { sh scripts/gates.sh memory; }
stage_fuzz() { sh scripts/gates.sh fuzz; }
stage_bench() { sh scripts/gates.sh bench; }

# One stage, in a process of its own so that its first failing command ends
# it (the driver below runs each stage this way).
if [ "${1:-}" = "--stage" ]; then
  describe "$2" >/dev/null
  "stage_$2"
  exit 0
fi

if [ "${1:-}" = "--list" ]; then
  for stage in $STAGES; do
    printf '%-11s %s\n' "$stage" "$(describe "$stage")"
  done
  exit 0
fi
[ "$#" -gt 0 ] || set -- $STAGES
for stage in "$@"; do
  describe "$stage" >/dev/null || { echo "unknown stage: $stage (sh scripts/test.sh --list)" >&2; exit 2; }
done

run_started=$(date +%s)
table="$REPO/build/stage-times.$$"
: > "$table"
trap 'rm -f "$table"' EXIT
failed=""
for stage in "$@"; do
  echo
  echo "==== stage $stage: $(describe "$stage")"
  stage_started=$(date +%s)
  # The stage's output goes to the terminal and to its log, whose end is
  # shown again after the table when the stage fails: a CI system that keeps
  # only the end of the output still shows why.
  log="$REPO/build/stage-$stage.log"
  { status=0; sh scripts/test.sh --stage "$stage" 2>&1 || status=$?; echo "$status" > "$log.status"; } | tee "$log"
  status=$(cat "$log.status")
  if [ "$status" -eq 0 ]; then
    result=passed
  else
    result="FAILED (exit $status)"
    failed="$failed $stage"
  fi
  printf '  %-11s %8s  %s\n' "$stage" "$(elapsed "$stage_started")" "$result" >> "$table"
  echo "==== stage $stage: $result in $(elapsed "$stage_started")"
done

echo
echo "== stage times ($(nproc) cores, load average now $(cut -d ' ' -f 1-3 /proc/loadavg))"
cat "$table"
printf '  %-11s %8s\n' total "$(elapsed "$run_started")"
if [ -n "$failed" ]; then
  for stage in $failed; do
    echo
    echo "== the end of stage $stage's output (all of it: build/stage-$stage.log)"
    tail -n 40 "$REPO/build/stage-$stage.log"
  done
  echo
  cat "$table"
  echo "== FAILED stages:$failed" >&2
  exit 1
fi
echo "== every stage passed"
