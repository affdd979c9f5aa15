"""End to end: the real module reads fixture files bind-mounted over /proc
and /sys/class/thermal in a private mount namespace, and every value matches
what the sources say, with the fallbacks for unreadable ones."""

import json
import math
import os
import pathlib
import struct

import pytest

from conftest import FIFO, needs_namespace, run_isolated, sample_isolated

pytestmark = needs_namespace


def f32(x):
    """Rounds to single precision, as the module's 32-bit fields do."""
    return struct.unpack("f", struct.pack("f", x))[0]


STAT = "cpu  10 20 30 40 50 60 70 80 90 100\ncpu0 1 1 1 1 1 1 1 1 1 1\nintr 5 1 2\nctxt 123456\nbtime 1700000000\n"
LOADAVG = "0.1 0.52 1e3 3/234 5678\n"
MEMINFO = ("MemTotal:        1000 kB\nMemFree:          200 kB\nMemAvailable:     700 kB\n"
           "Buffers:          100 kB\nCached:           300 kB\nSwapCached:        50 kB\n")
UPTIME = "250.5 900.25\n"
VMSTAT = "nr_free_pages 1\npgfault 5000\npgfault_extra 9\npgmajfault 10\n"
DISKSTATS = "   8       0 sda 100 0 2048 10 50 0 4096 20 0 30 30\n"
NET_DEV = ("Inter-|   Receive                                                |  Transmit\n"
           " face |bytes    packets errs drop fifo frame compressed multicast|bytes    packets errs drop fifo colls carrier compressed\n"
           "    lo:    1000      10    0    0    0     0          0         0     1000      10    0    0    0     0       0          0\n"
           "  eth0: 5000 50 0 0 0 0 0 0 7000 70 0 0 0 0 0 0\n")
THERMAL = {"thermal_zone2": {"temp": "99000\n"}, "thermal_zone10": {"temp": "48312\n"},
           "cooling_device0": {"temp": "1000\n"}}
SOURCES = {"/proc/stat": STAT, "/proc/loadavg": LOADAVG, "/proc/meminfo": MEMINFO, "/proc/uptime": UPTIME,
           "/proc/vmstat": VMSTAT, "/proc/diskstats": DISKSTATS, "/proc/net/dev": NET_DEV}
TOOL = """#!/bin/sh
case "$*" in
  get_throttled) echo "throttled=0x80050005" ;;
  "measure_clock arm") echo "frequency(48)=1500398464" ;;
  *) exit 3 ;;
esac
"""


def test_every_value_comes_from_its_source(tmp_path):
    d = sample_isolated(tmp_path, files=SOURCES, thermal=THERMAL, tool=TOOL)
    total, idle = f32(360), f32(40)
    assert d["cpu_usage_percent"] == f32(f32(f32(320) / total) * 100)
    assert d["cpu_user_percent"] == f32(f32(f32(30) / total) * 100)
    assert d["cpu_idle_percent"] == f32(f32(idle / total) * 100)
    assert d["cpu_steal_percent"] == f32(f32(f32(80) / total) * 100)
    assert d["context_switches_per_sec"] == 123456  # since boot on the first tick
    assert d["run_queue_length"] == 3.0
    assert d["load_avg_1"] == 0.10000000149011612  # single precision, widened exactly
    assert d["load_avg_5"] == 0.5199999809265137
    assert d["load_avg_15"] == 1000.0
    assert d["cpu_temp_celsius"] == 48.3120002746582  # thermal_zone10 sorts before thermal_zone2
    assert d["throttle_status"] == 0x80050005  # bit 31 set, still positive
    assert d["measure_clock"] == 1500398464
    assert d["mem_total_bytes"] == 1000 * 1024
    assert d["mem_used_bytes"] == 400 * 1024  # SwapCached and MemAvailable not used
    assert d["page_faults_minor_per_sec"] == 5000
    assert d["page_faults_major_per_sec"] == 10
    assert d["uptime_seconds"] == 250.5
    # The counters did not move between the baseline and the tick.
    for key in ("disk_read_bytes_per_sec", "disk_write_bytes_per_sec", "net_rx_bytes_per_sec",
                "net_tx_bytes_per_sec"):
        assert d[key] == 0


def test_unreadable_stat_gives_nan_shares_and_leaves_the_rest(tmp_path):
    d = sample_isolated(tmp_path, files={**SOURCES, "/proc/stat": None}, thermal=THERMAL, tool=TOOL)
    for key in ("cpu_usage_percent", "cpu_user_percent", "cpu_system_percent", "cpu_idle_percent",
                "cpu_iowait_percent", "cpu_irq_percent", "cpu_softirq_percent", "cpu_steal_percent"):
        assert d[key] == "nan"
    assert d["context_switches_per_sec"] == 0
    assert d["mem_total_bytes"] == 1000 * 1024
    assert d["load_avg_1"] == 0.10000000149011612


def test_every_source_missing_gives_zeros_not_errors(tmp_path):
    unreadable = {path: None for path in SOURCES}
    d = sample_isolated(tmp_path, files=unreadable, thermal={}, path="/nonexistent")
    assert len(d) == 26
    for key, value in d.items():
        if key == "timestamp":
            assert value > 0
        elif key.startswith("cpu_") and key.endswith("_percent"):
            assert value == "nan"
        else:
            assert value == 0, key


def test_invalid_utf8_file_counts_as_unreadable(tmp_path):
    bad = b"MemTotal: 1000 kB\nMemFree: \xff\xfe 1 kB\n"
    d = sample_isolated(tmp_path, files={"/proc/meminfo": bad}, thermal={})
    assert d["mem_total_bytes"] == 0


@pytest.mark.parametrize(
    "zones, expected",
    [
        ({"thermal_zone0": {"temp": None}, "thermal_zone1": {"temp": "51540\n"}}, 51.540000915527344),
        ({"thermal_zone0": {"temp": "  \n"}, "thermal_zone1": {"temp": "-5000\n"}}, -5.0),
        ({"thermal_zone0": {"temp": "45000 C\n"}, "thermal_zone1": {"temp": "nope"}}, 0.0),
        ({"thermal_zone0": {"other": "1"}, "thermal_zone1": {"temp": "1000"}}, 1.0),
        ({}, 0.0),
    ],
)
def test_temperature_uses_the_first_zone_that_holds_a_number(tmp_path, zones, expected):
    d = sample_isolated(tmp_path, thermal=zones)
    assert d["cpu_temp_celsius"] == expected


def test_rates_are_divided_by_the_configured_period(tmp_path):
    # The counters are the same at the baseline and the tick, so the rate is
    # 0 whatever the period; a period of 2**64 - 1 ms must not overflow.
    d = sample_isolated(tmp_path, interval_ms=2**64 - 1, files=SOURCES)
    assert d["disk_read_bytes_per_sec"] == 0
    assert not math.isnan(d["uptime_seconds"])


def test_rates_come_from_the_counters_that_moved_between_baseline_and_tick(tmp_path):
    # The fake tool gives the baseline one reading and the tick another. sdb's
    # counters go back and count 0; sdc appears only at the tick and counts
    # nothing; eth0's received bytes go back while its sent bytes still count.
    disks_before = ("   8       0 sda 100 0 2048 10 50 0 4096 20 0 30 30\n"
                    "   8      16 sdb 100 0 9000 10 50 0 9000 20 0 30 30\n")
    disks_after = ("   8       0 sda 100 0 22048 10 50 0 5096 20 0 30 30\n"
                   "   8      16 sdb 100 0 10 10 50 0 10 20 0 30 30\n"
                   "   8      32 sdc 100 0 99999 10 50 0 99999 20 0 30 30\n")
    header = NET_DEV.split("\n")[0] + "\n" + NET_DEV.split("\n")[1] + "\n"
    net_before = header + ("    lo: 1000 0 0 0 0 0 0 0 1000 0 0 0 0 0 0 0\n"
                           "  eth0: 5000 0 0 0 0 0 0 0 7000 0 0 0 0 0 0 0\n")
    net_after = header + ("    lo: 3000 0 0 0 0 0 0 0 1500 0 0 0 0 0 0 0\n"
                          "  eth0: 4000 0 0 0 0 0 0 0 9000 0 0 0 0 0 0 0\n")
    d = sample_isolated(tmp_path, interval_ms=2000,
                        files={"/proc/diskstats": (disks_before, disks_after), "/proc/net/dev": (net_before, net_after)})
    assert d["disk_read_bytes_per_sec"] == 20000 * 512 // 2
    assert d["disk_write_bytes_per_sec"] == 1000 * 512 // 2
    assert d["net_rx_bytes_per_sec"] == 2000 // 2
    assert d["net_tx_bytes_per_sec"] == (500 + 2000) // 2


def test_a_device_name_that_is_not_utf8_costs_only_that_device(tmp_path):
    # The kernel allows any byte but '/', ':' and white space in a name; the
    # other devices keep their counters.
    header = "\n".join(NET_DEV.split("\n")[:2]).encode() + b"\n"
    net_before = header + (b"  \xff0: 1 0 0 0 0 0 0 0 1 0 0 0 0 0 0 0\n"
                           b"  eth0: 5000 0 0 0 0 0 0 0 7000 0 0 0 0 0 0 0\n")
    net_after = header + (b"  \xff0: 9 0 0 0 0 0 0 0 9 0 0 0 0 0 0 0\n"
                          b"  eth0: 7000 0 0 0 0 0 0 0 11000 0 0 0 0 0 0 0\n")
    disks_before = b"   8 0 \xfe\xff 1 0 1 0 1 0 1 0 0 0 0\n   8 16 sda 1 0 100 0 1 0 100 0 0 0 0\n"
    disks_after = b"   8 0 \xfe\xff 1 0 9 0 1 0 9 0 0 0 0\n   8 16 sda 1 0 104 0 1 0 108 0 0 0 0\n"
    d = sample_isolated(tmp_path, interval_ms=1000,
                        files={"/proc/diskstats": (disks_before, disks_after), "/proc/net/dev": (net_before, net_after)})
    assert (d["net_rx_bytes_per_sec"], d["net_tx_bytes_per_sec"]) == (2000 + 8, 4000 + 8)
    assert (d["disk_read_bytes_per_sec"], d["disk_write_bytes_per_sec"]) == ((4 + 8) * 512, (8 + 8) * 512)


def test_a_source_that_would_block_or_never_end_is_unreadable_at_once(tmp_path):
    # FIFOs nobody writes (an open or read of one waits for ever), /dev/zero
    # (endless) and a 100 MB file: each is an unreadable source, within 2 s
    # for every call and under 100 MB of peak memory.
    big = tmp_path / "big"
    with open(big, "wb") as f:
        f.truncate(100 << 20)
    code = """
        import json, resource, time, quillmere, quillmere_sampler
        times = {}
        def timed(name, call):
            start = time.monotonic()
            value = call()
            times[name] = time.monotonic() - start
            return value
        c = timed("read_counters", quillmere_sampler.read_counters)
        m = timed("get_metrics_once", lambda: quillmere.get_metrics_once(1000))
        s = quillmere_sampler.Sampler(50)
        sample = timed("sample", s.sample)
        timed("close", s.close)
        peak_mb = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
        print(json.dumps([times, peak_mb, c, {k: m[k] for k in ("load_avg_1", "uptime_seconds", "mem_total_bytes",
                                                              "net_rx_bytes_per_sec", "cpu_temp_celsius")},
                          sample["uptime_seconds"]]))
    """
    done = run_isolated(tmp_path, code, timeout=30,
                        files={"/proc/loadavg": FIFO, "/proc/stat": FIFO, "/proc/uptime": FIFO, "/proc/net/dev": FIFO,
                               "/proc/meminfo": pathlib.Path("/dev/zero"), "/proc/vmstat": big},
                        thermal={"thermal_zone0": {"temp": FIFO}, "thermal_zone1": {"temp": "48312\n"}})
    assert done.returncode == 0, done.stderr
    times, peak_mb, c, m, sample_uptime = json.loads(done.stdout)
    assert max(times.values()) < 2, times
    if "libasan" not in os.environ.get("LD_PRELOAD", ""):  # ASan's shadow memory alone is hundreds of MB
        assert peak_mb < 100
    for key in ("load_avg_1", "cpu_seconds", "uptime_seconds", "interfaces", "mem_total_bytes", "page_faults_total"):
        assert c[key] is None, key
    assert c["cpu_temp_celsius"] == 48.312
    assert m == {"load_avg_1": 0.0, "uptime_seconds": 0.0, "mem_total_bytes": 0, "net_rx_bytes_per_sec": 0,
                 "cpu_temp_celsius": f32(48.312)}
    assert sample_uptime is None
