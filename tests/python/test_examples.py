"""The examples as a user runs them: the Prometheus exporter scraped over HTTP
on 127.0.0.1, and the JSON-lines logger stopped with Ctrl-C."""

import json
import math
import os
import re
import select
import signal
import socket
import subprocess
import sys
import time
import urllib.request
from pathlib import Path

import pytest

import quillmere
from conftest import needs_namespace, run_isolated

EXAMPLES = Path(__file__).resolve().parents[2] / "examples"
KEYS = list(quillmere.get_metrics_once(1000))


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


# --- exporter ---------------------------------------------------------------

FAKE_TOOL = """#!/bin/sh
case "$1" in
  get_throttled) echo "throttled=0x50005" ;;
  measure_clock) echo "frequency(48)=1500000000" ;;
esac
"""


@pytest.fixture
def exporter(tmp_path):
    """The exporter on a free port of 127.0.0.1 with a fake firmware tool;
    yields (process, URL) and kills whatever is still running afterwards."""
    bindir = tmp_path / "bin"
    bindir.mkdir()
    (bindir / "vcgencmd").write_text(FAKE_TOOL)
    (bindir / "vcgencmd").chmod(0o755)
    env = dict(os.environ, PATH=f"{bindir}:{os.environ.get('PATH', '/usr/bin:/bin')}")
    proc = start_example("prometheus_exporter.py", "--port", "0", env=env)
    try:
        ready, _, _ = select.select([proc.stdout], [], [], 30)
        assert ready, "the exporter printed no URL"
        line = proc.stdout.readline()
        match = re.fullmatch(r"serving (http://127\.0\.0\.1:\d+/metrics)\n", line)
        assert match, (line, proc.stderr.read() if proc.poll() is not None else "")
        yield proc, match.group(1)
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait(10)


def scrape(url):
    """{name: type} and {(name, labels): value} from the text format."""
    with urllib.request.urlopen(url, timeout=10) as response:
        assert response.status == 200
        text = response.read().decode()
    types, samples = {}, {}
    for line in text.splitlines():
        if line.startswith("# TYPE "):
            _, _, name, kind = line.split()
            types[name] = kind
        elif line and not line.startswith("#"):
            series, value = line.rsplit(" ", 1)
            name, _, labels = series.partition("{")
            samples[name, labels.rstrip("}")] = float(value)
    return types, samples


def test_exporter_serves_every_metric_with_its_type_and_a_sane_value(exporter):
    proc, url = exporter
    types, samples = scrape(url)
    time.sleep(0.05)
    types_again, samples_again = scrape(url)
    now = time.time()
    ref = quillmere.get_metrics_once(1000)

    counters = ["context_switches_total", "page_faults_total", "page_faults_major_total"]
    gauges = ["sample_timestamp_seconds", "cpu_usage_ratio", "cpu_mode_ratio", "run_queue_length",
              "cpu_temperature_celsius", "throttle_status", "throttle_flag", "memory_total_bytes",
              "memory_used_bytes", "uptime_seconds", "load1", "load5", "load15", "disk_read_bytes_per_second",
              "disk_write_bytes_per_second", "network_receive_bytes_per_second",
              "network_transmit_bytes_per_second", "arm_clock_hertz"]
    assert types == {**{"quillmere_" + n: "counter" for n in counters},
                     **{"quillmere_" + n: "gauge" for n in gauges}}
    assert types_again == types

    def value(name, labels=""):
        return samples["quillmere_" + name, labels]

    # Each scrape takes a sample of its own.
    assert value("sample_timestamp_seconds") < samples_again["quillmere_sample_timestamp_seconds", ""] <= now
    assert now - value("sample_timestamp_seconds") < 30

    modes = [value("cpu_mode_ratio", f'mode="{m}"')
             for m in ("user", "system", "idle", "iowait", "irq", "softirq", "steal")]
    assert all(0 <= r <= 1 for r in modes)
    assert sum(modes) == pytest.approx(1, abs=1e-3)
    assert value("cpu_usage_ratio") == pytest.approx(1 - modes[2], abs=1e-3)

    # 0x50005: under-voltage and throttled, now and since boot.
    assert value("throttle_status") == 0x50005
    flags = {(c, w): value("throttle_flag", f'condition="{c}",when="{w}"')
             for c in ("under_voltage", "arm_frequency_capped", "throttled", "soft_temperature_limit")
             for w in ("now", "since_boot")}
    assert [k for k, v in flags.items() if v == 1] == [
        ("under_voltage", "now"), ("under_voltage", "since_boot"), ("throttled", "now"), ("throttled", "since_boot")]
    assert set(flags.values()) == {0, 1}
    assert value("arm_clock_hertz") == 1.5e9

    assert value("memory_total_bytes") == ref["mem_total_bytes"]
    assert 0 < value("memory_used_bytes") <= value("memory_total_bytes")
    assert abs(value("uptime_seconds") - ref["uptime_seconds"]) < 30
    assert value("cpu_temperature_celsius") == pytest.approx(ref["cpu_temp_celsius"], abs=20)
    for name in ("run_queue_length", "load1", "load5", "load15", "disk_read_bytes_per_second",
                 "disk_write_bytes_per_second", "network_receive_bytes_per_second",
                 "network_transmit_bytes_per_second"):
        assert 0 <= value(name) < 1e12, name
    # Since-boot totals: positive, never ahead of a later reading.
    assert 0 < value("context_switches_total") <= ref["context_switches_per_sec"]
    assert 0 < value("page_faults_total") <= ref["page_faults_minor_per_sec"]
    assert 0 <= value("page_faults_major_total") <= min(value("page_faults_total"), ref["page_faults_major_per_sec"])

    port = int(url.rsplit(":", 1)[1].split("/")[0])
    status, err = stop_with_sigint(proc)
    assert (status, err) == (0, "")
    with pytest.raises(ConnectionRefusedError):
        socket.create_connection(("127.0.0.1", port), timeout=5)


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
    assert all(list(r) == KEYS for r in records)
    stamps = [r["timestamp"] for r in records[2:]]
    # One sample per interval: no burst, no long gap.
    assert all(0.02 < b - a < 5 for a, b in zip(stamps, stamps[1:])), stamps


@needs_namespace
def test_logger_writes_nan_as_null(tmp_path):
    out = tmp_path / "metrics.jsonl"
    code = f"""
        import runpy, sys
        sys.argv = ["log_jsonl.py", {str(out)!r}, "--count", "1"]
        runpy.run_path({str(EXAMPLES / "log_jsonl.py")!r}, run_name="__main__")
    """
    done = run_isolated(tmp_path, code, files={"/proc/stat": None})
    assert done.returncode == 0, done.stderr
    record = strict_json(out.read_text())
    nulls = [k for k, v in record.items() if v is None]
    assert nulls == [k for k in KEYS if k.startswith("cpu_") and k.endswith("_percent")]
    assert all(isinstance(v, (int, float)) and math.isfinite(v) for v in record.values() if v is not None)
