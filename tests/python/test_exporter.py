"""quillmere-exporter on its own: the exposition of a read_counters()-shaped
dict (types, absent sources, names that are not UTF-8), the command line and
its errors, signals, textfile writes that fail, a scrape while the firmware
tool hangs, and the server under idle, slow and many clients."""

import copy
import os
import re
import select
import signal
import socket
import subprocess
import sys
import threading
import time
import urllib.request
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import pytest
from prometheus_client.exposition import generate_latest

import quillmere_exporter
from conftest import (EXPORTER, NAMESPACE_PREFIX, env_with_tool, needs_namespace, parse_exposition,
                      start_exporter, stop)

REPO = Path(__file__).resolve().parents[2]
NOT_UTF8 = b"wl\xff\n\"0".decode("utf-8", "surrogateescape")

# A read_counters() result with every source readable.
FULL = {
    "timestamp": 1.7e9, "uptime_seconds": 12.5,
    "cpu_seconds": {m: 10.0 + i for i, m in enumerate(["user", "nice", "system", "idle", "iowait", "irq",
                                                       "softirq", "steal"])},
    "context_switches_total": 1000, "page_faults_total": 500, "page_faults_major_total": 7,
    "disk_read_bytes_total": 4096, "disk_written_bytes_total": 8192,
    "net_received_bytes_total": 300, "net_transmitted_bytes_total": 400,
    "disks": {"sda": {"read_bytes": 4096, "written_bytes": 8192}, "sda1": {"read_bytes": 1024, "written_bytes": 0}},
    "interfaces": {"lo": {"received_bytes": 200, "transmitted_bytes": 200},
                   NOT_UTF8: {"received_bytes": 100, "transmitted_bytes": 200}},
    "run_queue_length": 2.0, "load_avg_1": 0.52, "load_avg_5": 0.25, "load_avg_15": 0.125,
    "mem_total_bytes": 1 << 30, "mem_used_bytes": 1 << 28, "mem_available_bytes": 1 << 29,
    "swap_total_bytes": 1 << 20, "swap_used_bytes": 0,
    "temperatures": {"thermal_zone0": {"type": "cpu-thermal", "celsius": 48.312},
                     "thermal_zone1": {"type": None, "celsius": 40.0}},
    "cpu_temp_celsius": 48.312, "throttle_status": 0x50005, "arm_clock_hz": 1500000000,
}

# source: (keys that read None, metrics that must then be absent)
UNREADABLE = {
    "stat": ({"cpu_seconds", "context_switches_total"}, {"cpu_seconds_total", "context_switches_total"}),
    "vmstat": ({"page_faults_total", "page_faults_major_total"}, {"page_faults_total", "page_faults_major_total"}),
    "diskstats": ({"disk_read_bytes_total", "disk_written_bytes_total", "disks"},
                  {"disk_read_bytes_total", "disk_written_bytes_total"}),
    "net_dev": ({"net_received_bytes_total", "net_transmitted_bytes_total", "interfaces"},
                {"network_receive_bytes_total", "network_transmit_bytes_total"}),
    "loadavg": ({"run_queue_length", "load_avg_1", "load_avg_5", "load_avg_15"},
                {"run_queue_length", "load1", "load5", "load15"}),
    "meminfo": ({"mem_total_bytes", "mem_used_bytes", "mem_available_bytes", "swap_total_bytes", "swap_used_bytes"},
                {"memory_total_bytes", "memory_used_bytes", "memory_available_bytes", "swap_total_bytes",
                 "swap_used_bytes"}),
    "uptime": ({"uptime_seconds"}, {"uptime_seconds"}),
    "thermal": ({"cpu_temp_celsius"}, {"thermal_zone_celsius"}),
    "vcgencmd": ({"throttle_status", "arm_clock_hz"}, {"throttle_status", "throttle_flag", "arm_clock_hertz"}),
}


def exposition(counters):
    return generate_latest(quillmere_exporter.make_registry(lambda: counters)).decode("utf-8")


def names(types):
    return {name.removeprefix("quillmere_") for name in types}


def test_every_documented_metric_is_exposed_with_its_type_and_value():
    types, samples = parse_exposition(exposition(FULL))
    documented = {name.split("{")[0]: kind for name, kind, _ in quillmere_exporter.metric_list()}
    assert types == documented

    def value(name, labels=""):
        return samples["quillmere_" + name, labels]

    assert [value("cpu_seconds_total", f'mode="{m}"') for m in FULL["cpu_seconds"]] == list(FULL["cpu_seconds"].values())
    assert value("disk_read_bytes_total", 'device="sda1"') == 1024
    assert value("network_transmit_bytes_total", 'device="lo"') == 200
    assert value("memory_available_bytes") == 1 << 29 and value("load1") == 0.52
    assert value("thermal_zone_celsius", 'type="cpu-thermal",zone="thermal_zone0"') == 48.312
    assert value("thermal_zone_celsius", 'type="",zone="thermal_zone1"') == 40.0
    assert value("throttle_status") == 0x50005 and value("arm_clock_hertz") == 1.5e9
    flags = {labels: v for (name, labels), v in samples.items() if name == "quillmere_throttle_flag"}
    assert {labels for labels, v in flags.items() if v == 1} == {
        f'condition="{c}",when="{w}"' for c in ("under_voltage", "throttled") for w in ("now", "since_boot")}
    assert len(flags) == 8
    assert {labels: v for (name, labels), v in samples.items() if name == "quillmere_source_up"} == {
        f'source="{s}"': 1 for s in UNREADABLE}


@pytest.mark.parametrize("source", list(UNREADABLE))
def test_an_unreadable_source_has_no_series_and_reads_as_down(source):
    keys, absent = UNREADABLE[source]
    counters = copy.deepcopy(FULL)
    for key in keys:
        counters[key] = None
    if source == "thermal":
        counters["temperatures"] = {}
    text = exposition(counters)
    types, samples = parse_exposition(text)
    assert names(types) == names(parse_exposition(exposition(FULL))[0]) - absent
    assert {labels for (name, labels), v in samples.items() if name == "quillmere_source_up" and v == 0} == {
        f'source="{source}"'}


@pytest.mark.parametrize("key, source", [("cpu_seconds", "stat"), ("load_avg_5", "loadavg"),
                                         ("mem_used_bytes", "meminfo")])
def test_a_source_with_one_field_that_did_not_parse_reads_as_down(key, source):
    counters = copy.deepcopy(FULL)
    counters[key] = None
    _, samples = parse_exposition(exposition(counters))
    assert {labels for (name, labels), v in samples.items() if name == "quillmere_source_up" and v == 0} == {
        f'source="{source}"'}


def test_names_that_are_not_utf8_become_escaped_valid_label_values(tmp_path):
    raw = exposition(FULL).encode("utf-8")
    raw.decode("utf-8", "strict")
    # \xff becomes the four characters \xff (the backslash escaped in the
    # exposition), the newline and quote are escaped as the format says.
    assert b'quillmere_network_receive_bytes_total{device="wl\\\\xff\\n\\"0"} 100.0\n' in raw
    assert quillmere_exporter.label_value("\udcff\ud800") == "\\xff\\ud800"


def run_main(code, env=None, timeout=60):
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env, timeout=timeout)


def test_without_prometheus_client_it_says_how_to_install_it():
    done = run_main("import sys; sys.modules['prometheus_client'] = None\n"
                    "import quillmere_exporter; sys.exit(quillmere_exporter.main([]))")
    assert done.returncode == 1
    assert "pip install" in done.stderr and "[exporter]" in done.stderr and done.stdout == ""


def test_help_explains_every_metric_and_offers_no_sampling_interval():
    done = subprocess.run([EXPORTER, "--help"], capture_output=True, text=True, timeout=60)
    assert done.returncode == 0
    # The example is the same program.
    example = subprocess.run([sys.executable, str(REPO / "examples" / "prometheus_exporter.py"), "--help"],
                             capture_output=True, text=True, timeout=60)
    assert (example.returncode, example.stdout) == (0, done.stdout)
    for name, _, _ in quillmere_exporter.metric_list():
        assert name in done.stdout
    # Prometheus takes rates over its own window: the exporter has no period of its own.
    assert "--interval-ms" not in done.stdout and "\\xNN" in done.stdout


def test_option_values_out_of_range_are_usage_errors_naming_the_option(capsys, tmp_path):
    bad = [(["--textfile", str(tmp_path / "x"), "--every", value], "--every")
           for value in ("inf", "nan", "1e10", "1e-300", "0.05", "86401", "x")]
    bad += [(["--port", value], "--port") for value in ("abc", "70000", "-1", "8_0")]
    bad += [(["--address", ""], "--address"), (["--textfile", ""], "--textfile")]
    for args, option in bad:
        with pytest.raises(SystemExit) as exited:
            quillmere_exporter.main(args)
        err = capsys.readouterr().err
        assert exited.value.code == 2 and f"error: argument {option}: must " in err, (args, err)
    parsed = quillmere_exporter.parser().parse_args(["--textfile", "x", "--every", "0.1", "--port", "65535"])
    assert (parsed.every, parsed.port) == (0.1, 65535)
    assert quillmere_exporter.parser().parse_args(["--textfile", "x", "--every", "86400"]).every == 86400


def test_a_busy_port_or_bad_address_gives_one_line_and_exit_1():
    with socket.socket() as busy:
        busy.bind(("127.0.0.1", 0))
        busy.listen()
        port = busy.getsockname()[1]
        for args in (["--port", str(port)], ["--address", "192.0.2.1", "--port", "0"]):
            done = subprocess.run([EXPORTER, *args], capture_output=True, text=True, timeout=60)
            assert done.returncode == 1, args
            assert done.stdout == "" and done.stderr.count("\n") == 1, done.stderr
            assert done.stderr.startswith("quillmere-exporter: cannot listen on "), done.stderr


@pytest.mark.parametrize("signum", [signal.SIGINT, signal.SIGTERM])
def test_sigint_and_sigterm_stop_both_modes_cleanly(spawn, tmp_path, signum):
    proc, url = start_exporter(spawn)
    with urllib.request.urlopen(url, timeout=10) as response:
        assert b"quillmere_source_up" in response.read()
    assert stop(proc, signum)[0::2] == (0, "")

    target = tmp_path / "out" / "quillmere.prom"
    target.parent.mkdir()
    # A temporary file of a run killed mid-write goes at the next start; one
    # for another path stays.
    (target.parent / ".quillmere.prom.k1ll3d_0.tmp").write_text("half")
    (target.parent / ".other.prom.k1ll3d_0.tmp").write_text("not ours")
    proc = spawn([EXPORTER, "--textfile", str(target), "--every", "0.2"])
    deadline = time.monotonic() + 30
    while not target.exists():
        assert time.monotonic() < deadline and proc.poll() is None, proc.stderr.read() if proc.poll() else ""
        time.sleep(0.05)
    assert stop(proc, signum) == (0, "", "")
    assert sorted(os.listdir(target.parent)) == [".other.prom.k1ll3d_0.tmp", "quillmere.prom"]
    assert "quillmere_source_up" in target.read_text()
    assert target.stat().st_mode & 0o777 == 0o644


@needs_namespace
def test_a_full_disk_or_read_only_directory_leaves_the_previous_file(tmp_path):
    # A 64 KiB tmpfs filled up, then remounted read-only, in a private mount
    # namespace; the exporter must fail with one clear line each time.
    target = tmp_path / "tiny"
    target.mkdir()
    script = f"""
        set -e
        mount -t tmpfs -o size=64k tmpfs '{target}'
        echo previous > '{target}/quillmere.prom'
        dd if=/dev/zero of='{target}/filler' bs=4k 2>/dev/null || true
        for stage in full readonly; do
          [ $stage = readonly ] && rm '{target}/filler' && mount -o remount,ro '{target}'
          status=0; "$0" -m quillmere_exporter --textfile '{target}/quillmere.prom' 2>'{tmp_path}/err' || status=$?
          echo "$stage $status $(cat '{target}/quillmere.prom') $(ls -A '{target}' | tr '\\n' ' ')"
          cat '{tmp_path}/err'
        done
        status=0; "$0" -m quillmere_exporter --textfile '{target}/missing/quillmere.prom' 2>&1 || status=$?
        echo "missing $status"
    """
    done = subprocess.run(NAMESPACE_PREFIX + ["sh", "-c", script, sys.executable], capture_output=True, text=True,
                          timeout=120)
    assert done.returncode == 0, done.stderr
    path = f"{target}/quillmere.prom"
    assert done.stdout.splitlines() == [
        "full 1 previous filler quillmere.prom ",
        f"quillmere-exporter: cannot write {path}: No space left on device",
        "readonly 1 previous quillmere.prom ",
        f"quillmere-exporter: cannot write {path}: Read-only file system",
        f"quillmere-exporter: cannot write {target}/missing/quillmere.prom: No such file or directory",
        "missing 1",
    ]


def test_a_scrape_while_the_tool_hangs_completes_and_the_exporter_keeps_serving(spawn, tmp_path):
    env = env_with_tool(tmp_path, "#!/bin/sh\nexec sleep 60\n")
    proc, url = start_exporter(spawn, env=env)
    for _ in range(2):
        started = time.monotonic()
        with urllib.request.urlopen(url, timeout=30) as response:
            types, samples = parse_exposition(response.read().decode())
        # Two tool runs, each bounded to 1 s, and the rest of the pass.
        assert time.monotonic() - started < 4
        assert samples["quillmere_source_up", 'source="vcgencmd"'] == 0
        assert "quillmere_throttle_flag" not in types and "quillmere_cpu_seconds_total" in types
    assert stop(proc)[0] == 0


def cpu_seconds(pid):
    fields = Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def test_idle_and_slow_clients_neither_hold_up_a_scrape_nor_stay_open(spawn):
    # 100 idle connections and one that never finishes its request, beyond a
    # descriptor limit of 96: each used to hold a thread and a descriptor for
    # ever, and then every scrape failed while the accept loop spun.
    code = ("import resource, sys, quillmere_exporter\n"
            "resource.setrlimit(resource.RLIMIT_NOFILE, (96, 96))\n"
            "sys.exit(quillmere_exporter.main(['--port', '0']))")
    proc = spawn([sys.executable, "-c", code])
    assert select.select([proc.stdout], [], [], 30)[0], "the exporter printed no URL"
    url = proc.stdout.readline().split()[-1]
    port = int(re.search(r":(\d+)/", url).group(1))
    threads = len(os.listdir(f"/proc/{proc.pid}/task"))
    clients = [socket.create_connection(("127.0.0.1", port), timeout=5) for _ in range(100)]
    clients[-1].sendall(b"GET /metrics HTTP/1.1\r\nHost: a")
    opened, cpu_before = time.monotonic(), cpu_seconds(proc.pid)
    with urllib.request.urlopen(url, timeout=5) as response:
        assert b"quillmere_source_up" in response.read()
    assert len(os.listdir(f"/proc/{proc.pid}/task")) == threads  # none per connection
    # Closed 10 s after the server took each in; it takes in those beyond its
    # bound of 64 (96 less its reserve) once the oldest have waited 1 s.
    for client in clients:
        client.settimeout(max(0.1, opened + 15 - time.monotonic()))
        try:
            assert client.recv(1) == b""
        except ConnectionResetError:
            pass
        client.close()
    assert cpu_seconds(proc.pid) - cpu_before < 2
    assert stop(proc)[0] == 0


def test_two_hundred_concurrent_scrapes_are_all_answered(spawn):
    # A listen backlog of 5 left most of them to SYN retransmits and timeouts.
    proc, url = start_exporter(spawn)
    start = threading.Barrier(200)

    def scrape(_):
        start.wait(30)
        with urllib.request.urlopen(url, timeout=10) as response:
            return response.status, b"quillmere_source_up" in response.read()

    with ThreadPoolExecutor(200) as pool:
        assert list(pool.map(scrape, range(200))) == [(200, True)] * 200
    assert stop(proc)[0] == 0
