#!/bin/sh
# The core, both extension modules and the C++ unit tests built for the
# Pi 1 and Pi Zero's CPU (ARMv6, VFPv2, hard float) against musl libc, with
# zig's C++ compiler (scripts/wheels.sh), warnings as errors; the unit tests
# linked statically and run under qemu-arm emulating that CPU (arm1176), so
# that an ARMv7 instruction in our code stops the test binary. musl declares
# the POSIX forms of the functions glibc extends (strerror_r) and has no
# 32-bit time_t to fall back on. GoogleTest is built from Debian's sources
# (libgtest-dev) with the same compiler; the modules build against the Python
# headers of a Debian armhf tree (scripts/rootfs.sh).
#
#   sh scripts/musl_check.sh       (needs root to make the tree if missing)
set -eu
cd "$(dirname "$0")/.."
. scripts/lib.sh
. scripts/rootfs.sh
. scripts/wheels.sh
started=$(date +%s)
need_debs qemu-user-static libgtest-dev cmake ninja-build ccache
wheel_tools
work="$PWD/build/musl"
mkdir -p "$work"
cat > "$work/toolchain.cmake" <<EOF
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_CXX_COMPILER $tools/bin/zig-c++-armv6-musl)
set(CMAKE_AR $tools/bin/zig-ar)
set(CMAKE_RANLIB $tools/bin/zig-ranlib)
set(CMAKE_EXE_LINKER_FLAGS_INIT -static)
EOF

# The 32-bit Python headers, pyconfig.h in place of the multiarch switch.
tarball=$(rootfs_tarball armhf bookworm)
rm -rf "$work/python-tree" "$work/python"
mkdir -p "$work/python-tree" "$work/python"
tar -C "$work/python-tree" -xf "$tarball" --wildcards './usr/include/python3.*' \
  './usr/include/arm-linux-gnueabihf/python3.*'
include=$(ls -d "$work/python-tree/usr/include/python3."* | head -n 1)
cp -R "$include" "$work/python/"
include="$work/python/$(basename "$include")"
cp "$work/python-tree/usr/include/arm-linux-gnueabihf/$(basename "$include")/pyconfig.h" "$include/pyconfig.h"

echo "== GoogleTest for ARMv6 musl"
cmake -S /usr/src/googletest -B "$work/gtest" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$work/toolchain.cmake" \
  -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$work/gtest-prefix" -DBUILD_GMOCK=OFF -Wno-deprecated >/dev/null
cmake --build "$work/gtest" -j2 >/dev/null
cmake --install "$work/gtest" >/dev/null

echo "== core, modules and unit tests for ARMv6 musl"
cmake -S . -B "$work/build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$work/toolchain.cmake" \
  -DCMAKE_BUILD_TYPE=Release -DCMAKE_PREFIX_PATH="$work/gtest-prefix" \
  -DQUILLMERE_WERROR=ON -DQUILLMERE_BUILD_MODULE=ON -DQUILLMERE_BUILD_TESTS=ON \
  -DPython_EXECUTABLE="$(command -v python3)" -DPython_INCLUDE_DIR="$include" >/dev/null
cmake --build "$work/build" -j2

readelf -A "$work/build/quillmere_cpp_tests" | grep -E 'Tag_CPU_arch:|Tag_FP_arch:|Tag_Advanced_SIMD_arch:' || true

echo "== unit tests under qemu-arm -cpu arm1176"
qemu-arm-static -cpu arm1176 "$work/build/quillmere_cpp_tests" --gtest_brief=1
echo "== musl stage took $(elapsed "$started")"
