#!/bin/sh
# The C++ unit tests and the Python suite (without the slow packaging tests
# and the real-server tests) on 64-bit (arm64) and 32-bit (armhf) ARM, under
# qemu-user emulation in Debian bookworm trees, both architectures at once.
# The unit tests are cross-compiled on the host (about 6x faster than
# compiling under emulation) by Debian's cross compilers, warnings as errors,
# modules included; the Python suite runs against the aarch64 and armv7l
# wheels that ship for bookworm (scripts/wheels.sh), installed by the tree's
# own pip.
#
#   sh scripts/arm_tests.sh [ARCH...]      (default: arm64 armhf; needs root)
set -eu
cd "$(dirname "$0")/.."
. scripts/lib.sh
. scripts/rootfs.sh
. scripts/wheels.sh
started=$(date +%s)
trap 'wait' EXIT

[ "$#" -gt 0 ] || set -- arm64 armhf
SUITE=bookworm
MINOR=11
need_debs qemu-user-static mmdebstrap g++-aarch64-linux-gnu g++-arm-linux-gnueabihf ccache
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

# The test packages from PyPI, downloaded on the host for the tree's Python,
# but mypy and the build tools (cmake, ninja, build, scikit-build-core), which
# only the slow packaging tests and the type checks use. The type checks
# (test_typing.py) do not depend on the architecture and run on x86_64; mypy
# needs compiled helpers that PyPI has no armv7l wheel of.
wheelhouse="$PWD/build/arm-wheelhouse"
rm -rf "$wheelhouse"
mkdir -p "$wheelhouse"
grep -v -x -E "mypy|cmake|ninja|build|scikit-build-core" tests/requirements.txt > "$wheelhouse/requirements.txt"
for arch in "$@"; do
  python3 -m pip download -q --only-binary=:all: --python-version "3.$MINOR" --implementation cp \
    --abi "cp3$MINOR" --platform "manylinux2014_$(machine "$arch")" --platform "linux_$(machine "$arch")" \
    -d "$wheelhouse" -r "$wheelhouse/requirements.txt"
done

for arch in "$@"; do
  t=$(triplet "$arch")
  dir="build/arm-$arch"
  root="$PWD/$dir/root"
  echo "== $arch: cross build of the unit tests and modules"
  rootfs_extract "$(rootfs_tarball "$arch" "$SUITE")" "$root"
  pyver=$(ls "$root/usr/include" | sed -n 's/^python\(3\.[0-9]*\)$/\1/p' | head -n 1)
  # The tree's Python headers with its per-architecture pyconfig.h in place
  # of the multiarch switch that would include it from /usr/include.
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
    -DCMAKE_BUILD_TYPE=Debug -DQUILLMERE_BUILD_TESTS=ON -DQUILLMERE_BUILD_MODULE=ON \
    -DPython_INCLUDE_DIR="$PWD/$dir/python/python$pyver" >/dev/null
  cmake --build "$dir/tests" -j2
  done_this_run "wheel-$(machine "$arch")-$MINOR" || wheel_build "$(machine "$arch")" "$MINOR"
done
wheel_wait

# Each architecture's emulated run in its own process, both at once: each
# keeps one core busy.
pids=""
for arch in "$@"; do
  dir="build/arm-$arch"
  echo "== $arch: C++ unit tests and Python suite (emulated), log in $dir/emulated.log"
  rootfs_enter "$arch" "$PWD/$dir/root" sh -eu -c '
    cd "$1"
    "$2/tests/quillmere_cpp_tests" --gtest_brief=1
    # pip of the tree installs into an environment without one of its own
    # (ensurepip under emulation costs more than the tests).
    rm -rf /opt/venv
    python3 -m venv --without-pip /opt/venv
    python3 -m pip --python /opt/venv/bin/python install -q --no-index --find-links "$3" \
      -r "$3/requirements.txt" "$4"
    cd tests/python
    QUILLMERE_EMULATED=1 /opt/venv/bin/python -m pytest -q -p no:cacheprovider -m "not slow and not servers" -rs --ignore=test_typing.py
  ' sh "$PWD" "$dir" "$wheelhouse" "$(wheel_path "$(machine "$arch")" "$MINOR")" > "$dir/emulated.log" 2>&1 &
  pids="$pids $!:$arch"
done
failed=""
for entry in $pids; do
  pid=${entry%%:*} arch=${entry#*:}
  status=0
  wait "$pid" || status=$?
  echo "== $arch:"
  cat "build/arm-$arch/emulated.log"
  [ "$status" -eq 0 ] || failed="$failed $arch"
done
[ -z "$failed" ] || { echo "== ARM tests FAILED on:$failed" >&2; exit 1; }
echo "== ARM stage took $(elapsed "$started")"
