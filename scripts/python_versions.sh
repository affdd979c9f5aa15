#!/bin/sh
# Runs the Python suite (without the slow packaging tests) under every
# CPython from 3.9 to 3.13 that pyenv has on this machine, the newest patch
# release of each, each in a virtual environment of its own.
#
#   sh scripts/python_versions.sh [WHEELDIR]
#
# With WHEELDIR (scripts/test.sh passes the wheels scripts/build_wheels.sh
# made), each interpreter gets the x86_64 wheel of its own version from
# there, so that the suite runs against the wheels that ship and nothing is
# compiled twice; without it, or when the directory has no wheel for a
# version, the package is built from source.
#
# Prints the versions it tested; fails if it finds none.
set -eu
cd "$(dirname "$0")/.."
started=$(date +%s)

root="${PYENV_ROOT:-}"
[ -n "$root" ] || root=$(pyenv root 2>/dev/null || echo "$HOME/.pyenv")
versions=""
for minor in 9 10 11 12 13; do
  newest=$(ls "$root/versions" 2>/dev/null | grep -E "^3\.$minor\.[0-9]+\$" | sort -t . -k 3 -n | tail -n 1)
  if [ -n "$newest" ] && [ -x "$root/versions/$newest/bin/python3" ]; then
    versions="$versions $newest"
  else
    echo "== CPython 3.$minor: not offered by pyenv here, not tested"
  fi
done
[ -n "$versions" ] || { echo "no CPython 3.9-3.13 under $root" >&2; exit 1; }

wheels="${1:-}"
export CMAKE_BUILD_PARALLEL_LEVEL=2
for version in $versions; do
  venv="build/py-$version"
  [ -x "$venv/bin/python" ] || "$root/versions/$version/bin/python3" -m venv "$venv"
  "$venv/bin/python" -m pip install -q --upgrade pip
  tag=cp$(echo "$version" | cut -d . -f 1,2 | tr -d .)
  wheel=$(ls "$wheels"/quillmere-*-"$tag-$tag"-*x86_64.whl 2>/dev/null | head -n 1 || true)
  if [ -n "$wheels" ] && [ -n "$wheel" ]; then
    echo "== CPython $version, $(basename "$wheel")"
    # The test packages without the build tools, which only the slow
    # packaging tests use.
    grep -v -x -E "cmake|ninja|build|scikit-build-core" tests/requirements.txt > "$venv/requirements.txt"
    "$venv/bin/python" -m pip install -q -r "$venv/requirements.txt"
    "$venv/bin/python" -m pip install -q --force-reinstall --no-deps "$wheel"
  else
    echo "== CPython $version, built from source"
    "$venv/bin/python" -m pip install -q -r tests/requirements.txt
    "$venv/bin/python" -m pip install -q --force-reinstall --no-deps .
  fi
  (cd tests/python && "../../$venv/bin/python" -m pytest -q -p no:cacheprovider -m "not slow and not servers")
done

echo "== Python versions tested:$versions"
echo "== Python-version stage took $(( $(date +%s) - started ))s"
