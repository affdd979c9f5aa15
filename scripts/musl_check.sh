#!/bin/sh
# Compiles and links the core and the extension modules for x86_64 Linux
# with musl libc, warnings as errors: musl declares the POSIX forms of the
# functions glibc extends (strerror_r) and has no 32-bit time_t to fall back
# on. zig's C++ compiler (PyPI package ziglang) brings musl's headers.
#
#   sh scripts/musl_check.sh
set -eu
cd "$(dirname "$0")/.."
started=$(date +%s)
work="$PWD/build/musl"
tools="$PWD/build/wheels/tools"
ZIG_GLOBAL_CACHE_DIR="${ZIG_GLOBAL_CACHE_DIR:-${QUILLMERE_CI_CACHE:-/var/cache/quillmere-ci}/zig}"
export ZIG_GLOBAL_CACHE_DIR
mkdir -p "$work"
[ -x "$tools/bin/python" ] || python3 -m venv "$tools"
"$tools/bin/python" -m pip install -q ziglang

printf '#!/bin/sh\nexec "%s" -m ziglang c++ -target x86_64-linux-musl "$@"\n' "$tools/bin/python" > "$work/c++"
printf '#!/bin/sh\nexec "%s" -m ziglang ar "$@"\n' "$tools/bin/python" > "$work/ar"
printf '#!/bin/sh\nexec "%s" -m ziglang ranlib "$@"\n' "$tools/bin/python" > "$work/ranlib"
chmod +x "$work/c++" "$work/ar" "$work/ranlib"

python=.venv/bin/python
[ -x "$python" ] || python=python3
cmake -S . -B "$work/build" -G Ninja -DCMAKE_CXX_COMPILER="$work/c++" \
  -DCMAKE_AR="$work/ar" -DCMAKE_RANLIB="$work/ranlib" -DCMAKE_BUILD_TYPE=Release \
  -DQUILLMERE_WERROR=ON -DQUILLMERE_BUILD_MODULE=ON -DQUILLMERE_BUILD_TESTS=OFF \
  -DPython_EXECUTABLE="$(command -v "$python")" >/dev/null
cmake --build "$work/build" -j2
echo "== musl build check took $(( $(date +%s) - started ))s"
