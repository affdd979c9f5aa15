#!/bin/sh
# The hardening gates: static analysis, sanitizers, memcheck and soak,
# fuzzing, and a quick run of the benchmark so that it keeps working. Each is
# a stage of scripts/test.sh too, and makes what it needs, so any gate runs
# alone; each says what it checked, and the first failure stops the script
# non-zero.
#
#   sh scripts/gates.sh [GATE...]   tidy sanitizers memory fuzz bench (default: all)
#
#   QUILLMERE_FUZZ_SECONDS  seconds per fuzz target (default 10)
#   QUILLMERE_SOAK_CALLS    calls in the soak (default 100000)
set -eu
cd "$(dirname "$0")/.."
. scripts/lib.sh
fuzz_seconds="${QUILLMERE_FUZZ_SECONDS:-10}"
soak_calls="${QUILLMERE_SOAK_CALLS:-100000}"

gate() {
  echo
  echo "== gate: $*"
}

gate_tidy() {
  need_debs clang clang-tidy cmake ninja-build
  gate "clang-tidy on src/"
  sh scripts/tidy.sh
}

# Sanitized C++ builds: the unit tests cover the readers, the child runner,
# and the runtime, timer and channel with real threads.
cxx_tests() {
  dir="build/gate-$1"
  cmake -S . -B "$dir" -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=Debug \
    -DQUILLMERE_BUILD_TESTS=ON -DQUILLMERE_BUILD_MODULE=OFF -DQUILLMERE_SANITIZE="$2" >/dev/null
  cmake --build "$dir" -j2 >/dev/null
}

gate_sanitizers() {
  need_debs clang libclang-rt-dev libgtest-dev g++ cmake ninja-build ccache util-linux
  need_venv_module
  gate "C++ unit tests under AddressSanitizer (with leak detection) and UndefinedBehaviorSanitizer"
  cxx_tests asan address,undefined
  ASAN_OPTIONS=detect_leaks=1:strict_string_checks=1:detect_stack_use_after_return=1 \
    UBSAN_OPTIONS=print_stacktrace=1 build/gate-asan/quillmere_cpp_tests --gtest_brief=1

  gate "C++ unit tests under ThreadSanitizer"
  cxx_tests tsan thread
  # Without address-space randomisation: TSan's fixed shadow layout does not
  # fit every mapping a randomising kernel may hand out.
  TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
    setarch "$(uname -m)" -R build/gate-tsan/quillmere_cpp_tests --gtest_brief=1

  gate "Python suite against an AddressSanitizer + UndefinedBehaviorSanitizer build of the module"
  # GCC links the sanitizer runtimes as shared libraries, so an uninstrumented
  # interpreter can load them first with LD_PRELOAD (libstdc++ too, so that the
  # runtime's exception interceptor finds the real one). The vptr check is left
  # out: its runtime needs a free descriptor to inspect an object, and the suite
  # deliberately exhausts descriptors; the C++ tests above keep it.
  venv=build/gate-venv
  [ -x "$venv/bin/python" ] || python3 -m venv "$venv"
  "$venv/bin/python" -m pip install -q -r tests/requirements.txt
  CXX=g++ CXXFLAGS="-fsanitize=address,undefined -fno-sanitize=vptr -fno-sanitize-recover=all -fno-omit-frame-pointer" \
    LDFLAGS="-fsanitize=address,undefined" \
    "$venv/bin/python" -m pip install -q --no-build-isolation --force-reinstall --no-deps \
    -Ccmake.build-type=Debug -Cbuild-dir=build/gate-module .
  # Both modules of the distribution: quillmere and quillmere_sampler.
  for module in "$venv"/lib/python3*/site-packages/quillmere*.so; do
    ldd "$module" | grep -q libasan || { echo "$module is not built with AddressSanitizer"; exit 1; }
    echo "module: $module (links $(ldd "$module" | grep -o 'lib[a-z]*san\.so[.0-9]*' | sort -u | tr '\n' ' '))"
  done
  # The packaging tests (marked slow) build and test a wheel of their own,
  # without sanitizers; the real-server tests (marked servers) would preload the
  # sanitizer runtime into Prometheus and systemd-analyze too, and add no module
  # code that the exporter tests do not run. Everything else runs against the
  # sanitized module.
  (cd tests/python &&
    LD_PRELOAD="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libstdc++.so)" \
    ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    "../../$venv/bin/python" -m pytest -q -p no:cacheprovider -m "not slow and not servers")
}

gate_memory() {
  need_debs valgrind
  dev_venv
  PATH="$REPO/.venv/bin:$PATH"
  export PATH
  gate "concurrency: 8 threads x 100 calls, and SIGINT during a slow tool call"
  (cd tests/python && python -m pytest -q -p no:cacheprovider -rA \
    -k "eight_threads_all_complete or sigint_during_a_call" test_binding.py test_firmware.py)

  gate "valgrind memcheck over 1000 calls"
  python scripts/leak_check.py 1000

  gate "soak: $soak_calls calls in one process"
  python scripts/soak.py "$soak_calls"
}

gate_fuzz() {
  need_debs clang libclang-rt-dev cmake ninja-build ccache
  gate "libFuzzer targets, $fuzz_seconds s each"
  bash scripts/fuzz.sh "$fuzz_seconds"
}

gate_bench() {
  need_debs g++
  dev_venv
  gate "benchmark, quick run (it must run; its figures are not judged on a shared machine)"
  sh bench/run.sh --quick
}

[ "$#" -gt 0 ] || set -- tidy sanitizers memory fuzz bench
for name in "$@"; do
  case "$name" in
    tidy | sanitizers | memory | fuzz | bench) "gate_$name" ;;
    *) echo "unknown gate: $name" >&2; exit 2 ;;
  esac
done
echo
echo "== gates passed: $*"
