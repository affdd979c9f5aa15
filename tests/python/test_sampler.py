"""quillmere_sampler as a caller sees it: the two dicts, None for a source
that cannot be read, the Sampler's lifecycle (close, iteration, fileno, fork,
threads, a hung firmware tool), re-import and sub-interpreters, and rates on
the real machine under a known disk and loopback load."""

import json
import os
import select
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

import pytest

import quillmere
import quillmere_sampler
from conftest import needs_namespace, open_fds, run_isolated, run_python, settled, thread_count

OPT_INT, OPT_FLOAT, OPT_BOOL, OPT_DICT = (int, type(None)), (float, type(None)), (bool, type(None)), (dict, type(None))
COUNTER_KEYS = [
    ("timestamp", float), ("uptime_seconds", OPT_FLOAT), ("cpu_seconds", OPT_DICT),
    ("context_switches_total", OPT_INT), ("page_faults_total", OPT_INT), ("page_faults_major_total", OPT_INT),
    ("disk_read_bytes_total", OPT_INT), ("disk_written_bytes_total", OPT_INT),
    ("net_received_bytes_total", OPT_INT), ("net_transmitted_bytes_total", OPT_INT),
    ("disks", OPT_DICT), ("interfaces", OPT_DICT), ("run_queue_length", OPT_FLOAT),
    ("load_avg_1", OPT_FLOAT), ("load_avg_5", OPT_FLOAT), ("load_avg_15", OPT_FLOAT),
    ("mem_total_bytes", OPT_INT), ("mem_used_bytes", OPT_INT), ("mem_available_bytes", OPT_INT),
    ("swap_total_bytes", OPT_INT), ("swap_used_bytes", OPT_INT), ("temperatures", dict),
    ("cpu_temp_celsius", OPT_FLOAT), ("throttle_status", OPT_INT), ("arm_clock_hz", OPT_INT),
    ("cpus", OPT_DICT), ("cpu_frequencies_hz", OPT_DICT), ("processes", OPT_DICT), ("pressure", OPT_DICT),
    ("filesystems", OPT_DICT), ("wireless", OPT_DICT), ("hwmon", OPT_DICT), ("throttle", OPT_DICT),
    ("swap_in_pages_total", OPT_INT), ("swap_out_pages_total", OPT_INT), ("oom_kills_total", OPT_INT),
    ("clock_synchronized", OPT_BOOL), ("clock_max_error_seconds", OPT_FLOAT),
]
CPU_KINDS = ["user", "nice", "system", "idle", "iowait", "irq", "softirq", "steal"]
SAMPLE_KEYS = list(quillmere.get_metrics_once(1000)) + [
    "interval_seconds", "mem_available_bytes", "missed", "cpus_usage_percent", "processes_running",
    "processes_blocked", "pressure", "disks", "interfaces", "cpu_frequencies_hz", "filesystems", "temperatures",
    "hwmon", "throttle", "wireless", "swap_total_bytes", "swap_used_bytes", "clock_synchronized"]

HUNG_TOOL = "#!/bin/sh\nexec sleep 30\n"
SLOW_TOOL = """#!/bin/sh
sleep 0.3
case "$1" in
  get_throttled) echo "throttled=0x50005" ;;
  measure_clock) echo "frequency(48)=1500345728" ;;
esac
"""


def tool_env(tmp_path, script):
    bindir = tmp_path / "bin"
    bindir.mkdir()
    (bindir / "vcgencmd").write_text(script)
    (bindir / "vcgencmd").chmod(0o755)
    return dict(os.environ, PATH=f"{bindir}:{os.environ['PATH']}")


# --- the two dicts ------------------------------------------------------------

def test_read_counters_keys_types_and_consistency_with_proc():
    d = quillmere_sampler.read_counters()
    assert list(d) == [k for k, _ in COUNTER_KEYS]
    for key, kind in COUNTER_KEYS:
        assert isinstance(d[key], kind), key
    assert list(d["cpu_seconds"]) == CPU_KINDS
    assert all(isinstance(v, float) for v in d["cpu_seconds"].values())
    whole = [v for name, v in d["disks"].items() if not os.path.exists(f"/sys/class/block/{name}/partition")]
    assert d["disk_read_bytes_total"] == sum(v["read_bytes"] for v in whole)
    assert d["net_received_bytes_total"] == sum(v["received_bytes"] for v in d["interfaces"].values())
    assert "lo" in d["interfaces"]
    with open("/proc/loadavg") as f:
        assert d["load_avg_1"] == float(f.read().split()[0])  # double precision, 0.52 reads 0.52


def test_sampler_sample_keys_follow_the_one_shot_order():
    with quillmere_sampler.Sampler(50) as s:
        m = s.sample()
    assert list(m) == SAMPLE_KEYS
    assert isinstance(m["interval_seconds"], float) and 0.03 < m["interval_seconds"] < 1.0
    assert isinstance(m["missed"], int) and isinstance(m["timestamp"], float)
    for key in ("disk_read_bytes_per_sec", "net_rx_bytes_per_sec", "context_switches_per_sec", "load_avg_1"):
        assert isinstance(m[key], float), key


@needs_namespace
def test_a_source_that_cannot_be_read_is_none_and_zones_keep_their_type(tmp_path):
    code = """
        import json, quillmere_sampler
        print(json.dumps(quillmere_sampler.read_counters()))
    """
    odd_net = b"h1\nh2\n\xffx0: 1 0 0 0 0 0 0 0 2 0 0 0 0 0 0 0\n"
    done = run_isolated(tmp_path, code, files={"/proc/loadavg": None, "/proc/stat": None,
                                               "/proc/net/dev": odd_net},
                        thermal={"thermal_zone1": {"temp": "51540\n", "type": "cpu-thermal\n"},
                                 "thermal_zone0": {"temp": None}, "thermal_zone2": {"temp": "7000\n"}},
                        tool="#!/bin/sh\nexit 1\n")
    assert done.returncode == 0, done.stderr
    d = json.loads(done.stdout)
    for key in ("load_avg_1", "run_queue_length", "cpu_seconds",
                "context_switches_total", "throttle_status", "arm_clock_hz"):
        assert d[key] is None, key
    assert d["temperatures"] == {"thermal_zone1": {"type": "cpu-thermal", "celsius": 51.54},
                                 "thermal_zone2": {"type": None, "celsius": 7.0}}
    assert d["cpu_temp_celsius"] == 51.54
    # A name that is not UTF-8 survives as surrogate escapes.
    assert d["interfaces"] == {b"\xffx0".decode(errors="surrogateescape"): {
        "received_bytes": 1, "transmitted_bytes": 2, "received_packets": 0, "transmitted_packets": 0,
        "receive_errors": 0, "transmit_errors": 0, "receive_drops": 0, "transmit_drops": 0}}

    (tmp_path / "none").mkdir()
    done = run_isolated(tmp_path / "none", code, thermal={}, path="/nonexistent")
    d = json.loads(done.stdout)
    assert (d["temperatures"], d["cpu_temp_celsius"], d["throttle_status"], d["arm_clock_hz"]) == ({}, None, None, None)


def test_read_counters_releases_the_interpreter_lock_during_a_tool_run(tmp_path):
    code = """
        import threading, time, quillmere_sampler
        ticks = 0
        stop = False
        def spin():
            global ticks
            while not stop:
                ticks += 1
                time.sleep(0.001)
        t = threading.Thread(target=spin); t.start()
        d = quillmere_sampler.read_counters()
        stop = True; t.join()
        print(d["throttle_status"], d["arm_clock_hz"], ticks)
    """
    done = run_python(code, env=tool_env(tmp_path, SLOW_TOOL))
    throttled, clock, ticks = done.stdout.split()
    assert (int(throttled), int(clock)) == (0x50005, 1500345728), done.stderr
    assert int(ticks) > 50  # the other thread ran through the 0.6 s of tool runs


# --- the Sampler's lifecycle --------------------------------------------------

@pytest.mark.parametrize("interval", [0, -1, -2**70])
def test_interval_below_one_is_a_value_error(interval):
    with pytest.raises(ValueError):
        quillmere_sampler.Sampler(interval)


def test_fileno_is_readable_exactly_while_a_sample_waits_and_close_ends_everything():
    s = quillmere_sampler.Sampler(100)
    fd = s.fileno()
    started = time.monotonic()
    assert select.select([fd], [], [], 2.0)[0] == [fd]
    assert 0.08 < time.monotonic() - started < 1.0  # the first sample comes one interval after the start
    time.sleep(0.35)
    m = s.sample()
    assert m["missed"] >= 2  # a slow consumer gets the newest sample and a count, not an error
    assert select.select([fd], [], [], 0)[0] == []
    s.close()
    s.close()
    assert s.closed
    assert list(s) == []
    with pytest.raises(ValueError):
        s.sample()
    with pytest.raises(ValueError):
        s.fileno()


def test_threads_sharing_one_sampler_each_get_distinct_samples():
    results, errors = [], []

    def take(s):
        try:
            for _ in range(4):
                results.append(s.sample()["timestamp"])
        except Exception as error:  # noqa: BLE001 - reported below
            errors.append(error)

    with quillmere_sampler.Sampler(20) as s:
        threads = [threading.Thread(target=take, args=(s,)) for _ in range(4)]
        for t in threads:
            t.start()
        for t in threads:
            t.join(10)
    assert errors == [] and len(results) == 16
    assert len(set(results)) == 16  # each sample went to exactly one caller


def test_close_from_another_thread_wakes_a_waiting_caller():
    s = quillmere_sampler.Sampler(60_000)
    outcome = []
    t = threading.Thread(target=lambda: outcome.append(list(s)))
    t.start()
    time.sleep(0.2)
    started = time.monotonic()
    s.close()
    t.join(5)
    assert outcome == [[]] and time.monotonic() - started < 0.5


def test_close_during_a_hung_tool_returns_within_a_second(tmp_path):
    code = """
        import time, quillmere_sampler
        s = quillmere_sampler.Sampler(50)
        time.sleep(0.3)  # the worker is now waiting for the tool
        started = time.monotonic()
        s.close()
        print(time.monotonic() - started)
    """
    done = run_python(code, env=tool_env(tmp_path, HUNG_TOOL))
    assert done.returncode == 0, done.stderr
    assert float(done.stdout) < 0.5  # the tool run is killed, not waited out (its bound is 1 s)


def test_a_sampler_from_before_fork_raises_in_the_child_and_works_in_the_parent():
    code = """
        import os, quillmere_sampler
        s = quillmere_sampler.Sampler(30)
        pid = os.fork()
        if pid == 0:
            try:
                s.sample()
                os._exit(1)
            except RuntimeError:
                pass
            del s  # the child cannot join the parent's worker: this must not hang
            os._exit(0)
        _, status = os.waitpid(pid, 0)
        print(os.waitstatus_to_exitcode(status), s.sample()["missed"] >= 0)
        s.close()
    """
    done = run_python(code, timeout=30)
    assert done.stdout.split() == ["0", "True"], done.stderr


def test_samplers_leave_no_thread_or_descriptor_behind():
    threads, fds = thread_count(), open_fds()
    for _ in range(30):
        with quillmere_sampler.Sampler(5) as s:
            s.sample()
        quillmere_sampler.read_counters()
    del s
    assert settled(thread_count, threads) == threads
    assert settled(open_fds, fds) == fds


def test_close_releases_every_descriptor_at_once_and_an_unclosed_sampler_warns():
    fds = open_fds()
    s = quillmere_sampler.Sampler(1000)
    s.close()
    assert open_fds() == fds  # while the object still lives
    with pytest.warns(ResourceWarning, match=r"unclosed <quillmere_sampler\.Sampler"):
        quillmere_sampler.Sampler(1000)  # dropped unclosed


def test_the_tool_runs_with_the_environment_copied_at_construction(tmp_path):
    code = """
        import os, quillmere_sampler
        s = quillmere_sampler.Sampler(50)
        os.environ["PATH"] = "/nonexistent"  # while the worker runs: it keeps its copy
        print(s.sample()["throttle_status"], quillmere_sampler.read_counters()["throttle_status"])
        s.close()
    """
    done = run_python(code, env=tool_env(tmp_path, '#!/bin/sh\necho "throttled=0x50005"\n'))
    assert done.stdout.split() == [str(0x50005), "None"], done.stderr


def test_interpreter_exit_with_daemon_threads_inside_the_module_exits_cleanly():
    # CPython 3.9 to 3.13 end a daemon thread that takes the interpreter lock
    # back during finalization with pthread_exit, whose unwind runs through
    # the module's frames: it must pass, not abort the process.
    code = """
        import threading, time, quillmere_sampler as q
        s = q.Sampler(5)
        threading.Thread(target=lambda: [q.read_counters() for _ in iter(int, 1)], daemon=True).start()
        threading.Thread(target=lambda: [s.sample() for _ in iter(int, 1)], daemon=True).start()
        time.sleep(0.05)
    """
    runs = [run_python(code) for _ in range(20)]
    assert [r.returncode for r in runs] == [0] * 20, next(r.stderr for r in runs if r.returncode)


def test_reimport_and_a_sub_interpreter_each_get_a_working_module():
    code = """
        import sys, quillmere_sampler as first
        del sys.modules["quillmere_sampler"]
        import quillmere_sampler as second
        assert first is not second and first.Sampler is not second.Sampler
        with second.Sampler(10) as s:
            s.sample()
        try:
            import _interpreters as interpreters
        except ImportError:
            import _xxsubinterpreters as interpreters
        interp = interpreters.create()
        interpreters.run_string(interp, "import quillmere_sampler as q\\n"
                                        "q.read_counters()\\n"
                                        "with q.Sampler(10) as s: s.sample()\\n")
        interpreters.destroy(interp)
        print("ok")
    """
    done = run_python(code)
    assert done.stdout.strip() == "ok", done.stderr


# --- rates on the real machine ------------------------------------------------

def loopback_load(stop):
    """Sends over TCP on 127.0.0.1 until `stop` is set."""
    server = socket.create_server(("127.0.0.1", 0))
    client = socket.create_connection(server.getsockname())
    peer, _ = server.accept()
    chunk = b"\0" * 65536

    def drain():
        while peer.recv(1 << 20):
            pass

    reader = threading.Thread(target=drain)
    reader.start()
    while not stop.is_set():
        client.sendall(chunk)
    client.close()
    reader.join()
    peer.close()
    server.close()


def test_rates_under_disk_and_loopback_load_match_proc_over_the_same_span(tmp_path):
    stop = threading.Event()
    with tempfile.NamedTemporaryFile(dir=os.path.dirname(os.path.abspath(__file__))) as target:
        # Its own process group, killed whole: a dd left running could create
        # the file again by name after the with block removes it.
        writer = subprocess.Popen(["sh", "-c", f"while :; do dd if=/dev/zero of='{target.name}' bs=1M count=32 "
                                               "conv=fdatasync status=none; done"], start_new_session=True)
        net = threading.Thread(target=loopback_load, args=(stop,))
        net.start()
        try:
            with quillmere_sampler.Sampler(1000) as s:
                s.sample()
                before = quillmere_sampler.read_counters()
                samples = [s.sample() for _ in range(3)]
                after = quillmere_sampler.read_counters()
        finally:
            stop.set()
            os.killpg(writer.pid, signal.SIGKILL)
            writer.wait()
            net.join()
    # The samples cover the span between the two read_counters() calls (each
    # made right after a pass), so nothing may have been skipped in between.
    assert [m["missed"] for m in samples] == [0, 0, 0]
    for rate, total in (("net_rx_bytes_per_sec", "net_received_bytes_total"),
                        ("net_tx_bytes_per_sec", "net_transmitted_bytes_total"),
                        ("disk_write_bytes_per_sec", "disk_written_bytes_total")):
        moved = sum(m[rate] * m["interval_seconds"] for m in samples)
        true_moved = after[total] - before[total]
        if true_moved == 0 and total.startswith("disk"):
            pytest.skip("the test directory is not on a block device (tmpfs?): no disk load to measure")
        assert true_moved > 0, total
        assert abs(moved - true_moved) <= 0.2 * true_moved, (rate, moved, true_moved)


def test_asyncio_example_wakes_on_fileno_for_each_sample():
    example = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "examples", "sampler_asyncio.py")
    done = subprocess.run([sys.executable, example, "--interval-ms", "50", "--count", "3"], capture_output=True,
                          text=True, timeout=30)
    lines = done.stdout.splitlines()
    assert done.returncode == 0 and len(lines) == 3, done.stderr
    assert all(line.startswith("cpu ") and "missed" in line for line in lines), lines
