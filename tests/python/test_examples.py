"""The examples as a user runs them: each answers --help, the first set-up
command's snapshot prints a Sampler sample (get_metrics_once's with --exact),
and the JSON-lines logger stops with Ctrl-C. The Prometheus exporter example
starts quillmere-exporter, which test_exporter.py and test_prometheus.py
cover."""

import json
import math
import signal
import subprocess
import sys
import time
from pathlib import Path

import pytest
import quillmere
import quillmere_sampler
from conftest import needs_namespace, run_isolated

EXAMPLES = Path(__file__).resolve().parents[2] / "examples"
EXACT_KEYS = list(quillmere.get_metrics_once(1000))
with quillmere_sampler.Sampler(10) as _sampler:
    SAMPLE_KEYS = list(_sampler.sample())


def _default_sigint():
    # A shell that starts its children in the background makes them ignore
    # SIGINT, and Python keeps an inherited ignore; undo it so that the
    # example sees Ctrl-C as it would on a terminal.
    signal.signal(signal.SIGINT, signal.SIG_DFL)


def start_example(name, *args, env=None):
    return subprocess.Popen([sys.executable, str(EXAMPLES / name), *args], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True, env=env, preexec_fn=_default_sigint)


def stop_with_sigint(proc):
    """Sends Ctrl-C; returns (exit status, stderr) once the process is gone."""
    proc.send_signal(signal.SIGINT)
    try:
        _, err = proc.communicate(timeout=15)
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait(10)
    return proc.returncode, err


def strict_json(line):
    def reject(constant):
        raise ValueError(f"{constant} is not JSON")

    return json.loads(line, parse_constant=reject)


@pytest.mark.parametrize("name", sorted(p.name for p in EXAMPLES.glob("*.py")))
def test_example_answers_help_with_usage_and_a_description(name):
    done = subprocess.run([sys.executable, str(EXAMPLES / name), "--help"], capture_output=True, text=True, timeout=60)
    assert (done.returncode, done.stderr) == (0, ""), done.stderr
    usage, description = done.stdout.split("\n\n")[:2]
    assert usage.startswith("usage: ") and description.strip(), done.stdout


def test_snapshot_prints_a_sampler_sample_or_with_exact_the_one_shot_call():
    for args, keys in ((["50"], SAMPLE_KEYS), (["--exact"], EXACT_KEYS)):
        done = subprocess.run([sys.executable, str(EXAMPLES / "snapshot.py"), *args], capture_output=True, text=True,
                              timeout=60)
        assert done.returncode == 0, done.stderr
        assert list(strict_json(done.stdout)) == keys


# --- logger -----------------------------------------------------------------

def test_logger_appends_complete_json_lines_and_stops_cleanly_on_ctrl_c(tmp_path):
    out = tmp_path / "metrics.jsonl"
    counted = start_example("log_jsonl.py", str(out), "--interval-ms", "50", "--count", "2")
    assert counted.wait(30) == 0
    assert len(out.read_text().splitlines()) == 2

    proc = start_example("log_jsonl.py", str(out), "--interval-ms", "50")
    try:
        deadline = time.monotonic() + 30
        while len(out.read_text().splitlines()) < 6 and time.monotonic() < deadline:
            time.sleep(0.02)
    finally:
        status, err = stop_with_sigint(proc)
    assert status == 0 and "Traceback" not in err, err

    text = out.read_text()
    assert text.endswith("\n")
    records = [strict_json(line) for line in text.splitlines()]
    assert len(records) >= 6
    assert all(list(r) == SAMPLE_KEYS for r in records)
    stamps = [r["timestamp"] for r in records[2:]]
    # One sample per interval: no burst, no long gap.
    assert all(0.02 < b - a < 5 for a, b in zip(stamps, stamps[1:])), stamps


@needs_namespace
def test_logger_in_exact_mode_writes_nan_as_null(tmp_path):
    out = tmp_path / "metrics.jsonl"
    code = f"""
        import runpy, sys
        sys.argv = ["log_jsonl.py", {str(out)!r}, "--count", "1", "--exact"]
        runpy.run_path({str(EXAMPLES / "log_jsonl.py")!r}, run_name="__main__")
    """
    done = run_isolated(tmp_path, code, files={"/proc/stat": None})
    assert done.returncode == 0, done.stderr
    record = strict_json(out.read_text())
    nulls = [k for k, v in record.items() if v is None]
    assert nulls == [k for k in EXACT_KEYS if k.startswith("cpu_") and k.endswith("_percent")]
    assert all(isinstance(v, (int, float)) and math.isfinite(v) for v in record.values() if v is not None)
