#!/bin/sh
# Runs the Python suite (without the slow packaging tests and the real-server
# tests) under every CPython from 3.9 to 3.13 that pyenv has on this machine,
# the newest patch release of each, each in a virtual environment of its own
# against its x86_64 wheel (scripts/wheels.sh; built here unless this run
# built it already), so that the suite runs against the wheels that ship.
# The suites run side by side: they mostly wait (timers, child processes),
# and each keeps its own log.
#
#   sh scripts/python_versions.sh
#
# Prints the versions it tested; fails if it finds none or a suite fails.
set -eu
cd "$(dirname "$0")/.."
. scripts/lib.sh
. scripts/rootfs.sh
. scripts/wheels.sh
started=$(date +%s)
trap 'wait' EXIT

minors=""
for minor in 9 10 11 12 13; do
  if [ -n "$(pyenv_python "$minor")" ]; then
    minors="$minors $minor"
  else
    echo "== CPython 3.$minor: not offered by pyenv here, not tested"
  fi
done
[ -n "$minors" ] || { echo "no CPython 3.9-3.13 under $pyenv_root" >&2; exit 1; }

for minor in $minors; do
  done_this_run "wheel-x86_64-$minor" || wheel_build x86_64 "$minor"
done
wheel_wait

# The test packages without the build tools, which only the slow packaging
# tests use.
grep -v -x -E "cmake|ninja|build|scikit-build-core" tests/requirements.txt > build/py-requirements.txt
pids=""
for minor in $minors; do
  python=$(pyenv_python "$minor")
  version=$("$python" -c 'import platform; print(platform.python_version())')
  venv="build/py-3.$minor"
  wheel=$(wheel_path x86_64 "$minor")
  [ -x "$venv/bin/python" ] || "$python" -m venv "$venv"
  "$venv/bin/python" -m pip install -q -r build/py-requirements.txt
  "$venv/bin/python" -m pip install -q --force-reinstall --no-deps "$wheel"
  echo "== CPython $version, $(basename "$wheel"): log in $venv/pytest.log"
  # A background job starts with SIGINT ignored, and an interpreter that
  # starts so raises no KeyboardInterrupt, which the suite tests.
  (cd tests/python && env --default-signal=INT "../../$venv/bin/python" -m pytest -q -p no:cacheprovider \
    -m "not slow and not servers") > "$venv/pytest.log" 2>&1 &
  pids="$pids $!:$minor:$version"
done

failed="" tested=""
for entry in $pids; do
  pid=${entry%%:*} rest=${entry#*:}
  minor=${rest%%:*} version=${rest#*:}
  status=0
  wait "$pid" || status=$?
  echo "== CPython $version: $(tail -n 1 "build/py-3.$minor/pytest.log")"
  if [ "$status" -ne 0 ]; then
    cat "build/py-3.$minor/pytest.log"
    failed="$failed $version"
  fi
  tested="$tested $version"
done
[ -z "$failed" ] || { echo "== the Python suite FAILED under:$failed" >&2; exit 1; }
echo "== Python versions tested:$tested"
echo "== Python-version stage took $(elapsed "$started")"
