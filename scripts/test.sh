#!/bin/sh
# Installs everything the tests need and runs every test: the C++ unit tests
# (GoogleTest, built with GCC and Clang), the Python suite against the module
# installed into a private virtual environment (with the exporter tested
# against real Prometheus and node_exporter servers), the same on ARM under
# emulation (scripts/arm_tests.sh) and under every CPython 3.9-3.13 here
# (scripts/python_versions.sh), then the hardening gates (scripts/gates.sh:
# clang-tidy, sanitizers, valgrind, soak, fuzzing).
set -eu
cd "$(dirname "$0")/.."

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
missing=""
[ -f /usr/include/gtest/gtest.h ] || missing="$missing libgtest-dev"
command -v g++ >/dev/null 2>&1 || missing="$missing g++"
command -v clang++ >/dev/null 2>&1 || missing="$missing clang"
command -v unshare >/dev/null 2>&1 || missing="$missing util-linux"
python3 -c "import venv, ensurepip" 2>/dev/null || missing="$missing python3-venv"
command -v valgrind >/dev/null 2>&1 || missing="$missing valgrind"
command -v setarch >/dev/null 2>&1 || missing="$missing util-linux"
command -v clang-tidy >/dev/null 2>&1 || missing="$missing clang-tidy"
# The servers and tools the exporter is tested with (promtool comes with prometheus).
command -v prometheus >/dev/null 2>&1 || missing="$missing prometheus"
command -v promtool >/dev/null 2>&1 || missing="$missing prometheus"
command -v prometheus-node-exporter >/dev/null 2>&1 || missing="$missing prometheus-node-exporter"
command -v systemd-analyze >/dev/null 2>&1 || missing="$missing systemd"
# The ARM stages' emulator and root file system maker (scripts/rootfs.sh).
command -v qemu-aarch64-static >/dev/null 2>&1 || missing="$missing qemu-user-static"
command -v debootstrap >/dev/null 2>&1 || missing="$missing debootstrap"
# Clang's sanitizer and fuzzer runtimes.
if ! command -v clang++ >/dev/null 2>&1 ||
   [ ! -f "$(clang++ -print-resource-dir)/lib/linux/libclang_rt.fuzzer-$(uname -m).a" ]; then
  missing="$missing libclang-rt-dev"
fi
if [ -n "$missing" ]; then
  echo "== installing Debian packages:$missing"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq $missing >/dev/null
fi

# The ARM root file systems the cache lacks are made in the background from
# here on (only a cold machine makes any); the stages that use one wait for it.
mkdir -p build
$SUDO sh -c '. scripts/rootfs.sh && rootfs_prefetch' > build/rootfs-prefetch.log 2>&1 &

echo "== Python environment (.venv)"
[ -x .venv/bin/python ] || python3 -m venv .venv
.venv/bin/python -m pip install -q --upgrade pip
.venv/bin/python -m pip install -q -r tests/requirements.txt
.venv/bin/python -m pip install -q .
PATH="$PWD/.venv/bin:$PATH"
export PATH

for compiler in g++ clang++; do
  command -v "$compiler" >/dev/null 2>&1 || continue
  dir="build/tests-$compiler"
  echo "== C++ unit tests ($compiler)"
  cmake -S . -B "$dir" -G Ninja -DCMAKE_CXX_COMPILER="$compiler" -DCMAKE_BUILD_TYPE=Debug \
    -DQUILLMERE_BUILD_TESTS=ON -DQUILLMERE_BUILD_MODULE=ON >/dev/null
  cmake --build "$dir" -j2
  "$dir/quillmere_cpp_tests" --gtest_brief=1
done

echo "== Python tests"
# Run from the tests folder so that the installed module, not the source tree, is imported.
(cd tests/python && python -m pytest -q -p no:cacheprovider)

# The other platforms, each stage printing its wall time: the C++ tests and
# the Python suite on arm64 and armhf under emulation (root: chroot, binfmt);
# binary wheels for x86_64, aarch64 and armv7l, each installed and tried in
# its own interpreter (the ARM ones in a rootfs of their Debian release); the
# Python suite under every CPython 3.9-3.13 that pyenv has here, each against
# its x86_64 wheel; the module against musl libc, warnings as errors.
$SUDO sh scripts/arm_tests.sh
$SUDO sh scripts/build_wheels.sh dist
sh scripts/python_versions.sh dist
sh scripts/musl_check.sh

exec sh scripts/gates.sh
