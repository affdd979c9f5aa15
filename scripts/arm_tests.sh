#!/bin/sh
# The C++ unit tests and the Python suite (without the slow packaging tests)
# on 64-bit (arm64) and 32-bit (armhf) ARM, under qemu-user emulation in
# Debian bookworm root file systems. Everything is cross-compiled on the host
# (about 6x faster than compiling under emulation): the unit tests with
# warnings as errors, as scripts/test.sh builds them, and a wheel of the
# package by scikit-build-core against the rootfs's own Python headers, so
# that whatever CMake builds and the package holds is what gets tested.
#
#   sh scripts/arm_tests.sh [ARCH...]      (default: arm64 armhf; needs root)
#
# The root file systems are cached outside the clone (scripts/rootfs.sh).
set -eu
cd "$(dirname "$0")/.."
. scripts/rootfs.sh
started=$(date +%s)

[ "$#" -gt 0 ] || set -- arm64 armhf
SUITE=bookworm

missing=""
command -v qemu-aarch64-static >/dev/null 2>&1 || missing="$missing qemu-user-static"
command -v debootstrap >/dev/null 2>&1 || missing="$missing debootstrap"
command -v aarch64-linux-gnu-g++ >/dev/null 2>&1 || missing="$missing g++-aarch64-linux-gnu"
command -v arm-linux-gnueabihf-g++ >/dev/null 2>&1 || missing="$missing g++-arm-linux-gnueabihf"
if [ -n "$missing" ]; then
  echo "== installing Debian packages:$missing"
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $missing >/dev/null
fi
register_binfmt

triplet() {
  case "$1" in
    arm64) echo aarch64-linux-gnu ;;
    armhf) echo arm-linux-gnueabihf ;;
  esac
}

# The machine name in wheel platform tags.
machine() {
  case "$1" in
    arm64) echo aarch64 ;;
    armhf) echo armv7l ;;
  esac
}

# Both root file systems at once: debootstrap waits mostly on the network
# and on emulated package scripts.
mkdir -p build
pids=""
for arch in "$@"; do
  (rootfs_tarball "$arch" "$SUITE" "$QUILLMERE_ROOTFS_PACKAGES" > "build/arm-$arch.tarball") &
  pids="$pids $!"
done
for pid in $pids; do wait "$pid"; done
echo "root file systems ready after $(( $(date +%s) - started ))s"

python=.venv/bin/python
[ -x "$python" ] || python=python3

for arch in "$@"; do
  t=$(triplet "$arch")
  dir="build/arm-$arch"
  root="$PWD/$dir/root"
  echo "== $arch: cross build"
  rootfs_extract "$(cat "build/arm-$arch.tarball")" "$root"
  pyver=$(ls "$root/usr/include" | sed -n 's/^python\(3\.[0-9]*\)$/\1/p' | head -n 1)
  # The rootfs's Python headers with its per-architecture pyconfig.h in
  # place of the multiarch switch that would include it from /usr/include.
  rm -rf "$dir/python"
  mkdir -p "$dir/python"
  cp -R "$root/usr/include/python$pyver" "$dir/python/"
  cp "$root/usr/include/$t/python$pyver/pyconfig.h" "$dir/python/python$pyver/pyconfig.h"
  cat > "$dir/toolchain.cmake" <<EOF
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR ${t%%-*})
set(CMAKE_CXX_COMPILER $t-g++)
set(CMAKE_FIND_ROOT_PATH $root)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
EOF
  cmake -S . -B "$dir/tests" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$PWD/$dir/toolchain.cmake" \
    -DCMAKE_BUILD_TYPE=Debug -DQUILLMERE_BUILD_TESTS=ON -DQUILLMERE_BUILD_MODULE=OFF >/dev/null
  cmake --build "$dir/tests" -j2
  soabi="cpython-$(echo "$pyver" | tr -d .)-$t"
  rm -rf "$dir/wheel"
  CMAKE_TOOLCHAIN_FILE="$PWD/$dir/toolchain.cmake" SETUPTOOLS_EXT_SUFFIX=".$soabi.so" \
    _PYTHON_HOST_PLATFORM="linux-$(machine "$arch")" \
    "$python" -m pip wheel -q --no-deps --no-build-isolation -w "$dir/wheel" \
      -C build-dir="$dir/skbuild" -C cmake.define.QUILLMERE_WERROR=ON \
      -C cmake.define.Python_INCLUDE_DIR="$PWD/$dir/python/python$pyver" \
      -C cmake.define.Python3_INCLUDE_DIR="$PWD/$dir/python/python$pyver" .

  echo "== $arch: C++ unit tests and Python suite (emulated)"
  rootfs_enter "$root" sh -eu -c '
    cd "$1"
    "$2/tests/quillmere_cpp_tests" --gtest_brief=1
    rm -rf /opt/venv
    python3 -m venv /opt/venv
    # The test packages but mypy and the build tools (cmake, ninja, build,
    # scikit-build-core), which only the slow packaging tests and the type
    # checks use. The type checks (test_typing.py) do not depend on the
    # architecture and run on x86_64; mypy needs compiled helpers that PyPI
    # has no armv7l wheel of.
    grep -v -x -E "mypy|cmake|ninja|build|scikit-build-core" tests/requirements.txt > /tmp/requirements.txt
    /opt/venv/bin/python -m pip install -q --upgrade pip
    /opt/venv/bin/python -m pip install -q -r /tmp/requirements.txt
    /opt/venv/bin/python -m pip install -q --no-deps --no-index "$2"/wheel/*.whl
    cd tests/python
    /opt/venv/bin/python -m pytest -q -p no:cacheprovider -m "not slow and not servers" -rs --ignore=test_typing.py
  ' sh "$PWD" "$dir"
done

echo "== ARM stage took $(( $(date +%s) - started ))s"
