#!/bin/sh
# Times quillmere.get_metrics_once against the same values gathered in plain
# Python and against a C++ floor that only reads the same sources,
# quillmere_sampler.read_counters and a Sampler tick against the same floor,
# and quillmere-exporter's CPU per scrape and memory (when the interpreter
# has prometheus_client; the section is skipped without it).
#
#   sh bench/run.sh [--quick]
#
# Uses the project's .venv: created when absent, with quillmere (pip install .)
# installed into it when missing. QUILLMERE_BENCH_PYTHON names another
# interpreter that already has it. --quick runs few rounds and 50 scrapes (a few
# seconds) and prints the figures without judging the targets: a smoke test,
# not a measurement. The floor and a fake vcgencmd
# are compiled into a temporary directory, removed at the end.
set -eu
cd "$(dirname "$0")/.."

rounds=800
quick=
for arg in "$@"; do
  case "$arg" in
    --quick) rounds=40 quick=--quick ;;
    *) echo "usage: sh bench/run.sh [--quick]" >&2; exit 2 ;;
  esac
done

python="${QUILLMERE_BENCH_PYTHON:-}"
if [ -z "$python" ]; then
  [ -x .venv/bin/python ] || python3 -m venv .venv
  .venv/bin/python -c "import quillmere, quillmere_sampler" 2>/dev/null || .venv/bin/python -m pip install -q .
  python=.venv/bin/python
fi

bin="$(mktemp -d "${TMPDIR:-/tmp}/quillmere-bench.XXXXXX")"
trap 'rm -rf "$bin"' EXIT
trap 'exit 130' INT TERM
c++ -std=c++20 -O2 -o "$bin/floor" bench/floor.cpp -pthread
cc -O2 -o "$bin/vcgencmd" bench/fake_vcgencmd.c

"$python" bench/bench.py --floor "$bin/floor" --tool-dir "$bin" --rounds "$rounds" $quick
