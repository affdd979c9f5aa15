"""The board sources of quillmere_sampler through the procfs=, sysfs= and
rootfs= roots: each source from a fixture tree, a tree without any of them
(None, in read_counters() and in a Sampler's samples), and the file systems
against os.statvfs on this machine and on a read-only bind mount."""

import json
import os

import pytest

import quillmere_sampler
from conftest import FAKE_TOOL, env_with_tool, needs_namespace, run_isolated

HZ = os.sysconf("SC_CLK_TCK")


def seconds(*ticks):
    return dict(zip(["user", "nice", "system", "idle", "iowait", "irq", "softirq", "steal"], [t / HZ for t in ticks]))


def roots_of(tmp_path, files):
    """Writes {relative path: text} below tmp_path; the three roots there."""
    for name, content in files.items():
        path = tmp_path / name
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(content)
    (tmp_path / "root").mkdir(exist_ok=True)
    return {"procfs": str(tmp_path / "proc"), "sysfs": str(tmp_path / "sys"), "rootfs": str(tmp_path / "root")}


PSI = "some avg10=0.00 avg60=0.00 avg300=0.00 total={}\n"
WIRELESS_HEAD = ("Inter-| sta-|   Quality        |   Discarded packets               | Missed | WE\n"
                 " face | tus | link level noise |  nwid  crypt   frag  retry   misc | beacon | 22\n")
CPUFREQ = "sys/devices/system/cpu/cpufreq/"

# source: (its files, the keys they give)
SOURCES = {
    # A per-CPU line with a column that is no number is left out.
    "stat and loadavg": ({"proc/stat": "cpu  300 0 100 600 0 0 0 0 0 0\ncpu0 100 0 50 300 0 0 0 0 0 0\n"
                                       "cpu1 200 0 50 300 0 0 0 7 0 0\ncpu2 1 x 3 4 5 6 7 8\n"
                                       "processes 12345\nprocs_running 3\nprocs_blocked 1\n",
                          "proc/loadavg": "0.10 0.20 0.30 3/456 789\n"},
                         {"cpus": {0: seconds(100, 0, 50, 300, 0, 0, 0, 0), 1: seconds(200, 0, 50, 300, 0, 0, 0, 7)},
                          "processes": {"running": 3, "blocked": 1, "threads": 456, "forks_total": 12345}}),
    # A kernel before 4.13 has no oom_kill line.
    "vmstat": ({"proc/vmstat": "pgfault 5\npswpin 10\npswpout 20\n"},
               {"swap_in_pages_total": 10, "swap_out_pages_total": 20, "oom_kills_total": None}),
    "diskstats": ({"proc/diskstats": "   8  0 sda 10 0 100 0 20 0 200 0 0 1500 0\n"},
                  {"disks": {"sda": {"read_bytes": 51200, "written_bytes": 102400, "reads_completed": 10,
                                     "writes_completed": 20, "io_seconds": 1.5}}}),
    "net_dev": ({"proc/net/dev": "h1\nh2\n  eth0: 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16\n"},
                {"interfaces": {"eth0": {"received_bytes": 1, "transmitted_bytes": 9, "received_packets": 2,
                                         "transmitted_packets": 10, "receive_errors": 3, "transmit_errors": 11,
                                         "receive_drops": 4, "transmit_drops": 12}}}),
    # One policy for two CPUs; a policy whose frequency cannot be read gives none.
    "cpufreq": ({CPUFREQ + "policy0/affected_cpus": "0 1\n", CPUFREQ + "policy0/scaling_cur_freq": "1500000\n",
                 CPUFREQ + "policy2/affected_cpus": "2\n", CPUFREQ + "policy2/scaling_cur_freq": "600000\n",
                 CPUFREQ + "policy3/affected_cpus": "3\n"},
                {"cpu_frequencies_hz": {0: 1500000000, 1: 1500000000, 2: 600000000}}),
    # cpu has no full line before 5.13.
    "pressure": ({"proc/pressure/cpu": PSI.format(1500000),
                  "proc/pressure/io": PSI.format(250) + PSI.replace("some", "full").format(100)},
                 {"pressure": {"cpu": {"some_seconds_total": 1.5, "full_seconds_total": None},
                               "io": {"some_seconds_total": 0.00025, "full_seconds_total": 0.0001}}}),
    "wireless": ({"proc/net/wireless": WIRELESS_HEAD + " wlan0: 0000   70.  -40.  -256        0      0      0      0"
                                                      "      0        0\n"},
                 {"wireless": {"wlan0": {"link_quality": 70.0, "signal_dbm": -40.0}}}),
    # The Pi's under-voltage sensor has an alarm and no input.
    "hwmon": ({"sys/class/hwmon/hwmon0/name": "rpi_volt\n", "sys/class/hwmon/hwmon0/in0_lcrit_alarm": "1\n",
               "sys/class/hwmon/hwmon1/name": "cpu_thermal\n", "sys/class/hwmon/hwmon1/temp1_input": "48312\n",
               "sys/class/hwmon/hwmon1/temp1_label": "CPU\n"},
              {"hwmon": {"cpu_thermal/temp1": {"label": "CPU", "value": 48.312, "alarm": None},
                         "rpi_volt/in0": {"label": None, "value": None, "alarm": True}}}),
}


@pytest.mark.parametrize("source", SOURCES)
def test_each_source_from_a_fixture_tree(tmp_path, source):
    files, expected = SOURCES[source]
    d = quillmere_sampler.read_counters(**roots_of(tmp_path, files))
    assert {key: d[key] for key in expected} == expected


def test_mounts_give_the_kept_filesystems_with_statvfs_below_the_rootfs(tmp_path):
    # Pid 1's mounts first; pseudo and network types and /proc are left out;
    # \040 is a space; the ro option marks a file system read-only.
    roots = roots_of(tmp_path, {
        "proc/1/mounts": "/dev/mmcblk0p2 / ext4 rw,noatime 0 0\nproc /proc proc rw 0 0\n"
                         "server:/x /net nfs rw 0 0\n/dev/sda1 /mnt/my\\040card vfat ro,relatime 0 0\n",
        "proc/self/mounts": "/dev/other / ext4 rw 0 0\n"})
    (tmp_path / "root" / "mnt" / "my card").mkdir(parents=True)
    filesystems = quillmere_sampler.read_counters(**roots)["filesystems"]
    assert sorted(filesystems) == ["/", "/mnt/my card"]
    assert (filesystems["/"]["device"], filesystems["/"]["read_only"]) == ("/dev/mmcblk0p2", False)
    card = filesystems["/mnt/my card"]
    st = os.statvfs(tmp_path / "root" / "mnt" / "my card")
    assert (card["device"], card["type"], card["read_only"]) == ("/dev/sda1", "vfat", True)
    assert (card["size_bytes"], card["files"]) == (st.f_blocks * st.f_frsize, st.f_files)


def test_a_tree_without_the_sources_gives_none_and_the_sampler_reads_its_roots(tmp_path, monkeypatch):
    monkeypatch.setenv("PATH", str(tmp_path / "no-tools"))
    roots = roots_of(tmp_path, {})
    d = quillmere_sampler.read_counters(**roots)
    absent = ["disks", "interfaces", "cpus", "cpu_frequencies_hz", "processes", "pressure", "filesystems",
              "wireless", "hwmon", "throttle", "swap_in_pages_total", "swap_out_pages_total", "oom_kills_total"]
    assert {key: d[key] for key in absent} == dict.fromkeys(absent)
    with quillmere_sampler.Sampler(10, **roots) as s:
        sample = s.sample()
    absent = ["cpus_usage_percent", "processes_running", "pressure", "disks", "interfaces", "cpu_frequencies_hz",
              "filesystems", "hwmon", "throttle", "wireless", "swap_total_bytes"]
    assert {key: sample[key] for key in absent} == dict.fromkeys(absent)
    # adjtimex is no file: it reads the same whatever the roots.
    assert isinstance(d["clock_synchronized"], bool) and d["clock_max_error_seconds"] >= 0.0


def test_the_throttle_word_is_decoded(tmp_path, monkeypatch):
    monkeypatch.setenv("PATH", env_with_tool(tmp_path, FAKE_TOOL)["PATH"])
    d = quillmere_sampler.read_counters(**roots_of(tmp_path, {}))
    assert d["throttle_status"] == 0x50005
    assert [name for name, on in d["throttle"].items() if on] == [
        "under_voltage", "throttled", "under_voltage_occurred", "throttled_occurred"]


def test_filesystems_match_statvfs_on_this_machine():
    filesystems = quillmere_sampler.read_counters()["filesystems"]
    assert filesystems  # "/" itself may be left out (an overlay in a container), but not everything
    for point, fs in filesystems.items():
        st = os.statvfs(point)
        assert (fs["size_bytes"], fs["files"]) == (st.f_blocks * st.f_frsize, st.f_files), point
        assert fs["read_only"] or not st.f_flag & os.ST_RDONLY, point
        # Free space moves while other work runs; within 64 MiB.
        assert abs(fs["available_bytes"] - st.f_bavail * st.f_frsize) < 64 << 20, point


@needs_namespace
def test_a_read_only_bind_mount_reads_read_only(tmp_path):
    # In a mount namespace of its own, pid 1's mounts are the host's: the
    # roots point at a procfs whose self/mounts is the namespace's own.
    (tmp_path / "data").mkdir()
    (tmp_path / "ro").mkdir()
    (tmp_path / "proc").mkdir()
    (tmp_path / "proc" / "self").symlink_to("/proc/self")
    done = run_isolated(tmp_path, f"""
        import json, os, subprocess, quillmere_sampler
        for args in (["--bind", "{tmp_path / 'data'}", "{tmp_path / 'ro'}"], ["-o", "remount,bind,ro", "{tmp_path / 'ro'}"]):
            if subprocess.run(["mount", *args], capture_output=True).returncode != 0:
                print(json.dumps("not permitted")); raise SystemExit
        st = os.statvfs("{tmp_path / 'ro'}")
        fs = quillmere_sampler.read_counters(procfs="{tmp_path / 'proc'}")["filesystems"]
        print(json.dumps([fs.get("{tmp_path / 'ro'}"), st.f_blocks * st.f_frsize, bool(st.f_flag & os.ST_RDONLY)]))
    """)
    assert done.returncode == 0, done.stderr
    result = json.loads(done.stdout)
    if result == "not permitted":
        pytest.skip("a read-only bind mount is not permitted here")
    fs, size, st_read_only = result
    assert st_read_only and fs["read_only"] and fs["size_bytes"] == size
