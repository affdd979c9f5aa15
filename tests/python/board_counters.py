"""A read_counters() result of a made-up four-core board with every source
readable, shaped as stubs/quillmere_sampler.pyi types it: the exporter's unit
tests expose it, and the Prometheus tests take the keys and families each
source gives from it.
UNREADABLE says which keys and families each source gives.
board(t) is the same board t seconds later: its counters have grown at
steady rates, so that rate() over a scrape window gives a series.

It holds what a real board gives that is not a plain number: a name that
is not UTF-8, a pressure file without a full line, a filesystem with no
fixed number of inodes and one remounted read-only, a voltage sensor with
an alarm but no reading, and a loop device the exporter leaves out."""

NOT_UTF8 = b"wl\xff\n\"0".decode("utf-8", "surrogateescape")
MODES = ["user", "nice", "system", "idle", "iowait", "irq", "softirq", "steal"]
GIB = 1 << 30

# source: (the keys that read None when it cannot be read, a.b for a field of
# a dict; the families, without quillmere_, that must then be absent)
NETWORK = {f"network_{way}_{what}_total" for way in ("receive", "transmit") for what in ("bytes", "packets", "errs", "drop")}
UNREADABLE = {
    "stat": ({"cpu_seconds", "context_switches_total", "cpus", "processes.running", "processes.blocked",
              "processes.forks_total"}, {"cpu_seconds_total", "context_switches_total", "processes", "forks_total"}),
    "vmstat": ({"page_faults_total", "page_faults_major_total", "swap_in_pages_total", "swap_out_pages_total",
                "oom_kills_total"},
               {"page_faults_total", "page_faults_major_total", "swap_in_pages_total", "swap_out_pages_total",
                "oom_kills_total"}),
    "diskstats": ({"disk_read_bytes_total", "disk_written_bytes_total", "disks"},
                  {"disk_read_bytes_total", "disk_written_bytes_total", "disk_reads_completed_total",
                   "disk_writes_completed_total", "disk_io_time_seconds_total"}),
    "net_dev": ({"net_received_bytes_total", "net_transmitted_bytes_total", "interfaces"}, NETWORK),
    "loadavg": ({"run_queue_length", "load_avg_1", "load_avg_5", "load_avg_15", "processes.threads"},
                {"run_queue_length", "load1", "load5", "load15", "threads"}),
    "meminfo": ({"mem_total_bytes", "mem_used_bytes", "mem_available_bytes", "swap_total_bytes", "swap_used_bytes"},
                {"memory_total_bytes", "memory_used_bytes", "memory_available_bytes", "swap_total_bytes",
                 "swap_used_bytes"}),
    "uptime": ({"uptime_seconds"}, {"uptime_seconds"}),
    "thermal": ({"cpu_temp_celsius"}, {"thermal_zone_celsius"}),
    "vcgencmd": ({"throttle_status", "arm_clock_hz", "throttle"}, {"throttle_status", "throttle_flag", "arm_clock_hertz"}),
    "cpufreq": ({"cpu_frequencies_hz"}, {"cpu_frequency_hertz"}),
    "pressure": ({"pressure"}, {"pressure_waiting_seconds_total", "pressure_stalled_seconds_total"}),
    "mounts": ({"filesystems"}, {f"filesystem_{what}" for what in ("size_bytes", "free_bytes", "avail_bytes", "files",
                                                                    "files_free", "readonly")}),
    "wireless": ({"wireless"}, {"wireless_signal_dbm", "wireless_link_quality"}),
    "hwmon": ({"hwmon"}, {"hwmon_temp_celsius", "hwmon_in_volts", "hwmon_fan_rpm", "hwmon_power_watts",
                          "hwmon_curr_amps", "hwmon_alarm"}),
    "adjtimex": ({"clock_synchronized", "clock_max_error_seconds"}, {"clock_synchronized", "clock_max_error_seconds"}),
}


def _disk(read, written, reads, writes, io_seconds, t):
    return {"read_bytes": read + 4096 * t, "written_bytes": written + 8192 * t, "reads_completed": reads + t,
            "writes_completed": writes + 2 * t, "io_seconds": io_seconds + 0.25 * t}


def _interface(received, transmitted, errors, drops, t):
    return {"received_bytes": received + 1000 * t, "transmitted_bytes": transmitted + 500 * t,
            "received_packets": 10 + 10 * t, "transmitted_packets": 20 + 5 * t,
            "receive_errors": errors + t, "transmit_errors": 0, "receive_drops": drops, "transmit_drops": drops + t}


def _filesystem(device, kind, size, available, files, files_free, read_only):
    return {"device": device, "type": kind, "size_bytes": size, "free_bytes": available + (size >> 5),
            "available_bytes": available, "files": files, "files_free": files_free, "read_only": read_only}


def _sensor(value, label=None, alarm=None):
    return {"label": label, "value": value, "alarm": alarm}


def board(t=0.0):
    """The board's counters t seconds after the first reading."""
    t = float(t)
    whole = int(t)
    return {
        "timestamp": 1.7e9 + t, "uptime_seconds": 12.5 + t,
        "cpu_seconds": {m: 4 * (10.0 + i) + t for i, m in enumerate(MODES)},
        "context_switches_total": 1000 + 300 * whole, "page_faults_total": 500 + 40 * whole,
        "page_faults_major_total": 7,
        "disk_read_bytes_total": 4096, "disk_written_bytes_total": 8192,
        "net_received_bytes_total": 300, "net_transmitted_bytes_total": 400,
        "disks": {"mmcblk0": _disk(1 << 20, 1 << 21, 300, 400, 12.5, whole),
                  "mmcblk0p1": _disk(1 << 16, 0, 20, 0, 0.5, 0),
                  "mmcblk0p2": _disk(1 << 20, 1 << 21, 280, 400, 12.0, whole),
                  "loop0": _disk(4096, 0, 4, 0, 0.01, 0)},
        "interfaces": {"lo": _interface(200, 200, 0, 0, 0), "eth0": _interface(5000, 6000, 3, 1, whole),
                       "wlan0": _interface(700, 800, 0, 2, whole), NOT_UTF8: _interface(100, 200, 0, 0, 0)},
        "run_queue_length": 2.0, "load_avg_1": 0.52, "load_avg_5": 0.25, "load_avg_15": 0.125,
        "mem_total_bytes": 4 * GIB, "mem_used_bytes": GIB, "mem_available_bytes": 2 * GIB,
        "swap_total_bytes": 1 << 20, "swap_used_bytes": 0,
        "temperatures": {"thermal_zone0": {"type": "cpu-thermal", "celsius": 48.312},
                         "thermal_zone1": {"type": None, "celsius": 40.0}},
        "cpu_temp_celsius": 48.312, "throttle_status": 0x50005, "arm_clock_hz": 1500000000,
        "cpus": {cpu: {m: 10.0 + i + cpu / 4 + t / 4 for i, m in enumerate(MODES)} for cpu in range(4)},
        "cpu_frequencies_hz": {0: 1500000000, 1: 1500000000, 2: 1500000000, 3: 600000000},
        "processes": {"running": 2, "blocked": 1, "threads": 312, "forks_total": 20000 + 5 * whole},
        "pressure": {"cpu": {"some_seconds_total": 12.5 + t / 10, "full_seconds_total": None},
                     "memory": {"some_seconds_total": 3.0 + t / 20, "full_seconds_total": 1.5 + t / 40},
                     "io": {"some_seconds_total": 40.0 + t / 5, "full_seconds_total": 20.0 + t / 10}},
        "filesystems": {"/": _filesystem("/dev/mmcblk0p2", "ext4", 29 * GIB, 20 * GIB, 1900000, 1700000, False),
                        "/boot/firmware": _filesystem("/dev/mmcblk0p1", "vfat", 512 << 20, 450 << 20, 0, 0, False),
                        "/media/usb stick": _filesystem("/dev/sda1", "vfat", 8 * GIB, GIB, 0, 0, True)},
        "wireless": {"wlan0": {"link_quality": 58.0, "signal_dbm": -52.0}},
        "hwmon": {"cpu_thermal/temp1": _sensor(48.312),
                  "rpi_volt/in0": _sensor(None, alarm=False),
                  "pwmfan/fan1": _sensor(3200.0),
                  "ina219/in1": _sensor(5.08, "vbus"), "ina219/curr1": _sensor(0.82, "vbus"),
                  "ina219/power1": _sensor(4.1, "vbus"),
                  "nvme/temp1": _sensor(41.85, "Composite", alarm=False)},
        "throttle": {"under_voltage": True, "arm_frequency_capped": False, "throttled": True,
                     "soft_temperature_limit": False, "under_voltage_occurred": True,
                     "arm_frequency_capped_occurred": False, "throttled_occurred": True,
                     "soft_temperature_limit_occurred": False},
        "swap_in_pages_total": 100, "swap_out_pages_total": 250 + whole, "oom_kills_total": 1,
        "clock_synchronized": True, "clock_max_error_seconds": 0.0155,
    }
