"""quillmere-exporter on its own: the exposition of a read_counters()-shaped
dict (types, absent sources, names that are not UTF-8), the command line and
its errors, signals, textfile writes that fail, a scrape while the firmware
tool hangs, and the server under idle, slow and many clients."""

import copy
import os
import re
import resource
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
from board_counters import UNREADABLE, board
from conftest import (EXPORTER, NAMESPACE_PREFIX, env_with_tool, needs_namespace, parse_exposition,
                      start_exporter, stop)

REPO = Path(__file__).resolve().parents[2]

# A read_counters() result with every source readable.
FULL = board()

TEXTFILE_ONLY = {"quillmere_textfile_write_timestamp_seconds"}


def without(keys):
    """FULL with each key (or a.b field) read as None."""
    counters = copy.deepcopy(FULL)
    for key in keys:
        table, _, field = key.rpartition(".")
        (counters[table] if table else counters)[field] = None
    return counters


def exposition(counters):
    return generate_latest(quillmere_exporter.make_registry(lambda: counters)).decode("utf-8")


def names(types):
    return {name.removeprefix("quillmere_") for name in types}


def documented():
    return {name.split("{")[0]: kind for name, kind, _ in quillmere_exporter.metric_list()}


# (metric, its labels as the exposition writes them, the value; None: no series)
EXPECTED = [
    ("cpu_seconds_total", 'cpu="2",mode="idle"', 13.5), ("cpu_seconds_total", 'cpu="0",mode="steal"', 17.0),
    ("cpu_frequency_hertz", 'cpu="3"', 6e8), ("processes", 'state="blocked"', 1), ("threads", "", 312),
    ("forks_total", "", 20000), ("pressure_waiting_seconds_total", 'resource="io"', 40.0),
    ("pressure_stalled_seconds_total", 'resource="memory"', 1.5),
    ("pressure_stalled_seconds_total", 'resource="cpu"', None),  # a kernel without the cpu full line
    ("swap_out_pages_total", "", 250), ("oom_kills_total", "", 1),
    ("disk_read_bytes_total", 'device="mmcblk0p1"', 65536), ("disk_reads_completed_total", 'device="mmcblk0"', 300),
    ("disk_writes_completed_total", 'device="mmcblk0p2"', 400), ("disk_io_time_seconds_total", 'device="mmcblk0"', 12.5),
    ("network_transmit_bytes_total", 'device="lo"', 200), ("network_receive_packets_total", 'device="eth0"', 10),
    ("network_receive_errs_total", 'device="eth0"', 3), ("network_transmit_drop_total", 'device="wlan0"', 2),
    ("wireless_signal_dbm", 'device="wlan0"', -52), ("wireless_link_quality", 'device="wlan0"', 58),
    ("filesystem_avail_bytes", 'device="/dev/mmcblk0p2",fstype="ext4",mountpoint="/"', 20 << 30),
    ("filesystem_size_bytes", 'device="/dev/mmcblk0p1",fstype="vfat",mountpoint="/boot/firmware"', 512 << 20),
    ("filesystem_files", 'device="/dev/mmcblk0p1",fstype="vfat",mountpoint="/boot/firmware"', 0),  # a real 0
    ("filesystem_files_free", 'device="/dev/mmcblk0p2",fstype="ext4",mountpoint="/"', 1700000),
    ("filesystem_readonly", 'device="/dev/sda1",fstype="vfat",mountpoint="/media/usb stick"', 1),
    ("filesystem_readonly", 'device="/dev/mmcblk0p2",fstype="ext4",mountpoint="/"', 0),
    ("memory_available_bytes", "", 2 << 30), ("load1", "", 0.52),
    ("thermal_zone_celsius", 'type="cpu-thermal",zone="thermal_zone0"', 48.312),
    ("thermal_zone_celsius", 'type="",zone="thermal_zone1"', 40.0),
    ("hwmon_temp_celsius", 'chip="nvme",label="Composite",sensor="temp1"', 41.85),
    ("hwmon_temp_celsius", 'chip="cpu_thermal",label="",sensor="temp1"', 48.312),
    ("hwmon_in_volts", 'chip="ina219",label="vbus",sensor="in1"', 5.08),
    ("hwmon_in_volts", 'chip="rpi_volt",label="",sensor="in0"', None),  # an alarm without a reading
    ("hwmon_fan_rpm", 'chip="pwmfan",label="",sensor="fan1"', 3200), ("hwmon_power_watts", 'chip="ina219",label="vbus",sensor="power1"', 4.1),
    ("hwmon_curr_amps", 'chip="ina219",label="vbus",sensor="curr1"', 0.82),
    ("hwmon_alarm", 'chip="rpi_volt",sensor="in0"', 0), ("hwmon_alarm", 'chip="cpu_thermal",sensor="temp1"', None),
    ("throttle_status", "", 0x50005), ("arm_clock_hertz", "", 1.5e9),
    ("clock_synchronized", "", 1), ("clock_max_error_seconds", "", 0.0155),
]


def test_every_documented_metric_is_exposed_with_its_type_and_value():
    types, samples = parse_exposition(exposition(FULL))
    assert types == {name: kind for name, kind in documented().items() if name not in TEXTFILE_ONLY}
    for name, labels, value in EXPECTED:
        assert samples.get(("quillmere_" + name, labels)) == value, (name, labels)
    flags = {labels: v for (name, labels), v in samples.items() if name == "quillmere_throttle_flag"}
    assert {labels for labels, v in flags.items() if v == 1} == {
        f'condition="{c}",when="{w}"' for c in ("under_voltage", "throttled") for w in ("now", "since_boot")}
    assert len(flags) == 8
    assert {labels: v for (name, labels), v in samples.items() if name == "quillmere_source_up"} == {
        f'source="{s}"': 1 for s in UNREADABLE}
    # The exporter's own figures, read as the exposition is made.
    own = {name.removeprefix("quillmere_process_"): v for (name, _), v in samples.items() if "_process_" in name}
    assert 0 < own["cpu_seconds_total"] and 1 << 20 < own["resident_memory_bytes"] < own["virtual_memory_bytes"]
    assert 3 <= own["open_fds"] < own["max_fds"] == resource.getrlimit(resource.RLIMIT_NOFILE)[0]
    assert time.time() - 3600 < own["start_time_seconds"] <= time.time()


@pytest.mark.parametrize("source", list(UNREADABLE))
def test_an_unreadable_source_has_no_series_and_reads_as_down(source):
    keys, absent = UNREADABLE[source]
    counters = without(keys)
    if source == "thermal":
        counters["temperatures"] = {}
    types, samples = parse_exposition(exposition(counters))
    assert names(types) == names(parse_exposition(exposition(FULL))[0]) - absent
    assert {labels for (name, labels), v in samples.items() if name == "quillmere_source_up" and v == 0} == {
        f'source="{source}"'}


@pytest.mark.parametrize("key, source", [("cpu_seconds", "stat"), ("load_avg_5", "loadavg"),
                                         ("mem_used_bytes", "meminfo"), ("processes.threads", "loadavg"),
                                         ("clock_max_error_seconds", "adjtimex")])
def test_a_source_with_one_field_that_did_not_parse_reads_as_down(key, source):
    _, samples = parse_exposition(exposition(without({key})))
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


def test_help_and_readme_explain_every_metric_and_offer_no_sampling_interval():
    done = subprocess.run([EXPORTER, "--help"], capture_output=True, text=True, timeout=60)
    assert done.returncode == 0
    # The example is the same program.
    example = subprocess.run([sys.executable, str(REPO / "examples" / "prometheus_exporter.py"), "--help"],
                             capture_output=True, text=True, timeout=60)
    assert (example.returncode, example.stdout) == (0, done.stdout)
    # And so does the README's table.
    readme = (REPO / "README.md").read_text().split("\n### Metrics\n", 1)[1].split("\n### ", 1)[0]
    for name, _, _ in quillmere_exporter.metric_list():
        assert name in done.stdout and re.search(f"`{name.split('{')[0]}[{{`]", readme), name
    # Prometheus takes rates over its own window: the exporter has no period of its own.
    assert "--interval-ms" not in done.stdout and "\\xNN" in done.stdout


def test_option_values_out_of_range_are_usage_errors_naming_the_option(capsys, tmp_path):
    bad = [(["--textfile", str(tmp_path / "x"), "--every", value], "--every")
           for value in ("inf", "nan", "1e10", "1e-300", "0.05", "86401", "x")]
    bad += [(["--port", value], "--port") for value in ("abc", "70000", "-1", "8_0")]
    bad += [(["--address", ""], "--address"), (["--textfile", ""], "--textfile"), (["--path.sysfs", ""], "--path.sysfs"),
            (["--collector.diskstats.device-exclude", "loop("], "--collector.diskstats.device-exclude")]
    for args, option in bad:
        with pytest.raises(SystemExit) as exited:
            quillmere_exporter.main(args)
        err = capsys.readouterr().err
        assert exited.value.code == 2 and f"error: argument {option}: must " in err, (args, err)
    parsed = quillmere_exporter.parser().parse_args(["--textfile", "x", "--every", "0.1", "--port", "65535"])
    assert (parsed.every, parsed.port) == (0.1, 65535)
    assert quillmere_exporter.parser().parse_args(["--textfile", "x", "--every", "86400"]).every == 86400


def test_the_program_passes_the_roots_given_leaves_out_memory_disks_and_stamps_the_textfile(tmp_path):
    calls = []

    def read_counters(**roots):
        calls.append(roots)
        counters = board()
        for name in ("loop12", "loop0p1", "ram0", "zram0", "nvme0n1", "dm-0", "sloop1", "zram"):
            counters["disks"][name] = counters["disks"]["loop0"]
        return counters

    def devices(args):
        target = tmp_path / "quillmere.prom"
        before = time.time()
        handlers = {signum: signal.getsignal(signum) for signum in (signal.SIGINT, signal.SIGTERM)}
        try:  # textfile mode takes over both signals while it runs
            assert quillmere_exporter.main(["--textfile", str(target), *args], read_counters=read_counters) == 0
        finally:
            for signum, handler in handlers.items():
                signal.signal(signum, handler)
        types, samples = parse_exposition(target.read_text())
        assert types == documented()
        assert before <= samples["quillmere_textfile_write_timestamp_seconds", ""] <= time.time()
        return {labels[8:-1] for name, labels in samples if name == "quillmere_disk_io_time_seconds_total"}

    assert devices(["--path.procfs", "/host/proc", "--path.rootfs", "/host"]) == {
        "mmcblk0", "mmcblk0p1", "mmcblk0p2", "nvme0n1", "dm-0", "sloop1", "zram"}
    assert devices(["--path.sysfs", "/host/sys", "--collector.diskstats.device-exclude", ""]) == set(board()["disks"]) | {
        "loop12", "loop0p1", "ram0", "zram0", "nvme0n1", "dm-0", "sloop1", "zram"}
    assert devices(["--collector.diskstats.device-exclude", "^mmc"]) == {
        "loop0", "loop12", "loop0p1", "ram0", "zram0", "nvme0n1", "dm-0", "sloop1", "zram"}
    assert calls == [{"procfs": "/host/proc", "rootfs": "/host"}, {"sysfs": "/host/sys"}, {}]


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
        assert "quillmere_throttle_flag" not in types and "quillmere_context_switches_total" in types
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
