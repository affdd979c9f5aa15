"""The metric families of one quillmere_sampler.read_counters() result, of
the exporter's own process, and of a textfile write.

What it promises:
- FAMILIES is the whole catalogue, one row per family in exposition order:
  name, type, help, label names, and a function from a Reading (the counters
  dict, the exporter's own figures, the time of a textfile write) to that
  family's samples. A new family is one more row; metric_list(), the help
  text and the tests derive from the table.
- Samples are taken as family_samples promises: only numbers whose source
  was read, never a made-up 0; a yes/no reading (a bool) is exposed as 1 or 0
  only in the families made for it (read-only, alarm, synchronised); label
  values are valid UTF-8 (label_value()).
  families() leaves out a family without samples, so an unreadable source
  has no series at all, and quillmere_source_up says which sources were read.
- Since-boot totals are counters (their names end in _total); everything else
  is a gauge.
- Nothing here reads a file or depends on prometheus_client: the result is
  plain data for any exposition (the text format, a push).
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Callable, Iterator, List, NamedTuple, Optional, Tuple

from .family_samples import (Labels, Reading, Sample, Samples, cpu_frequencies, cpu_seconds, filesystem, flag,
                             hwmon, hwmon_alarms, label_value, own, per_field, per_name, processes_field,
                             scalar, sources_up, textfile_written, thermal_zones, throttle_flags)
from .process import ProcessFigures

if TYPE_CHECKING:  # the TypedDicts exist only in the stub
    from quillmere_sampler import Counters

__all__ = ["COUNTER", "FAMILIES", "GAUGE", "PREFIX", "Family", "Labels", "Row", "families", "label_value",
           "metric_list"]

PREFIX = "quillmere_"
COUNTER, GAUGE = "counter", "gauge"


class Family(NamedTuple):
    """One family with its samples: the name carries PREFIX (and _total for
    a counter); each sample is (label values in the order of labels, value)."""

    name: str
    kind: str
    help: str
    labels: Labels
    samples: List[Sample]


class Row(NamedTuple):
    """One family of the catalogue: the name without PREFIX, and how to take
    its samples from a Reading."""

    name: str
    kind: str
    help: str
    labels: Labels
    samples: Callable[[Reading], Iterator[Sample]]


# --- the catalogue, in exposition order ---------------------------------------

DEVICE = ("device",)
MOUNT = ("device", "fstype", "mountpoint")
SENSOR = ("chip", "sensor", "label")


def _disk(field: str) -> Samples:
    return per_name(lambda c: c["disks"], field)


def _interface(field: str) -> Samples:
    return per_name(lambda c: c["interfaces"], field)


FAMILIES: List[Row] = [
    Row("cpu_seconds_total", COUNTER, "CPU time since boot per CPU and mode, in seconds (user excludes nice; "
        "sum without (cpu) for the whole machine).", ("cpu", "mode"), cpu_seconds),
    Row("cpu_frequency_hertz", GAUGE, "Current frequency of each CPU (cpufreq scaling_cur_freq), in hertz.",
        ("cpu",), cpu_frequencies),
    Row("context_switches_total", COUNTER, "Context switches since boot (ctxt in /proc/stat).", (),
        scalar(lambda c: c["context_switches_total"])),
    Row("processes", GAUGE, "Tasks runnable (state=running) and blocked waiting on I/O (state=blocked) now "
        "(procs_running, procs_blocked in /proc/stat).", ("state",),
        per_field(lambda c: c["processes"], ("running", "blocked"))),
    Row("threads", GAUGE, "Scheduling entities (threads) that exist now (from /proc/loadavg).", (),
        scalar(processes_field("threads"))),
    Row("forks_total", COUNTER, "Processes and threads created since boot (processes in /proc/stat).", (),
        scalar(processes_field("forks_total"))),
    Row("pressure_waiting_seconds_total", COUNTER, "Time since boot in which at least one task waited on the "
        "resource (cpu, memory, io; the some line of /proc/pressure), in seconds.", ("resource",),
        per_name(lambda c: c["pressure"], "some_seconds_total")),
    Row("pressure_stalled_seconds_total", COUNTER, "Time since boot in which every non-idle task was stalled "
        "on the resource at once (the full line of /proc/pressure), in seconds.", ("resource",),
        per_name(lambda c: c["pressure"], "full_seconds_total")),
    Row("page_faults_total", COUNTER, "Page faults since boot, minor and major (pgfault in /proc/vmstat).", (),
        scalar(lambda c: c["page_faults_total"])),
    Row("page_faults_major_total", COUNTER, "Major page faults since boot (pgmajfault in /proc/vmstat).", (),
        scalar(lambda c: c["page_faults_major_total"])),
    Row("swap_in_pages_total", COUNTER, "Pages swapped in since boot (pswpin in /proc/vmstat).", (),
        scalar(lambda c: c["swap_in_pages_total"])),
    Row("swap_out_pages_total", COUNTER, "Pages swapped out since boot (pswpout in /proc/vmstat).", (),
        scalar(lambda c: c["swap_out_pages_total"])),
    Row("oom_kills_total", COUNTER, "Processes killed for want of memory since boot (oom_kill in /proc/vmstat).",
        (), scalar(lambda c: c["oom_kills_total"])),
    Row("disk_read_bytes_total", COUNTER, "Bytes read since boot, per block device (partitions included: "
        "filter with PromQL before summing).", DEVICE, _disk("read_bytes")),
    Row("disk_written_bytes_total", COUNTER, "Bytes written since boot, per block device (partitions included).",
        DEVICE, _disk("written_bytes")),
    Row("disk_reads_completed_total", COUNTER, "Reads completed since boot, per block device.", DEVICE,
        _disk("reads_completed")),
    Row("disk_writes_completed_total", COUNTER, "Writes completed since boot, per block device.", DEVICE,
        _disk("writes_completed")),
    Row("disk_io_time_seconds_total", COUNTER, "Time spent doing I/O since boot, per block device, in seconds "
        "(its rate is the share of time the device was busy).", DEVICE, _disk("io_seconds")),
    Row("network_receive_bytes_total", COUNTER, "Bytes received since boot, per interface (lo included).",
        DEVICE, _interface("received_bytes")),
    Row("network_transmit_bytes_total", COUNTER, "Bytes transmitted since boot, per interface (lo included).",
        DEVICE, _interface("transmitted_bytes")),
    Row("network_receive_packets_total", COUNTER, "Packets received since boot, per interface.", DEVICE,
        _interface("received_packets")),
    Row("network_transmit_packets_total", COUNTER, "Packets transmitted since boot, per interface.", DEVICE,
        _interface("transmitted_packets")),
    Row("network_receive_errs_total", COUNTER, "Receive errors since boot, per interface.", DEVICE,
        _interface("receive_errors")),
    Row("network_transmit_errs_total", COUNTER, "Transmit errors since boot, per interface.", DEVICE,
        _interface("transmit_errors")),
    Row("network_receive_drop_total", COUNTER, "Received packets dropped since boot, per interface.", DEVICE,
        _interface("receive_drops")),
    Row("network_transmit_drop_total", COUNTER, "Packets dropped on transmit since boot, per interface.", DEVICE,
        _interface("transmit_drops")),
    Row("wireless_signal_dbm", GAUGE, "Signal level of each wireless interface (/proc/net/wireless), in dBm.",
        DEVICE, per_name(lambda c: c["wireless"], "signal_dbm")),
    Row("wireless_link_quality", GAUGE, "Link quality of each wireless interface, in the driver's own scale.",
        DEVICE, per_name(lambda c: c["wireless"], "link_quality")),
    Row("filesystem_size_bytes", GAUGE, "Size of each mounted filesystem, in bytes.", MOUNT,
        filesystem("size_bytes")),
    Row("filesystem_free_bytes", GAUGE, "Free space of each filesystem, the part kept for root included, "
        "in bytes.", MOUNT, filesystem("free_bytes")),
    Row("filesystem_avail_bytes", GAUGE, "Space of each filesystem available to unprivileged users, in bytes.",
        MOUNT, filesystem("available_bytes")),
    Row("filesystem_files", GAUGE, "Inodes of each filesystem (0 where the filesystem has no fixed number).",
        MOUNT, filesystem("files")),
    Row("filesystem_files_free", GAUGE, "Free inodes of each filesystem.", MOUNT, filesystem("files_free")),
    Row("filesystem_readonly", GAUGE, "1 if the filesystem is mounted read-only (by its options, or by the "
        "kernel after errors), else 0.", MOUNT, filesystem("read_only", flag)),
    Row("uptime_seconds", GAUGE, "Time since boot, in seconds.", (), scalar(lambda c: c["uptime_seconds"])),
    Row("memory_total_bytes", GAUGE, "Usable memory (MemTotal), in bytes.", (),
        scalar(lambda c: c["mem_total_bytes"])),
    Row("memory_used_bytes", GAUGE, "MemTotal - (MemFree + Buffers + Cached), in bytes.", (),
        scalar(lambda c: c["mem_used_bytes"])),
    Row("memory_available_bytes", GAUGE, "Memory available to new work without swapping (MemAvailable), "
        "in bytes.", (), scalar(lambda c: c["mem_available_bytes"])),
    Row("swap_total_bytes", GAUGE, "Swap space (SwapTotal), in bytes.", (), scalar(lambda c: c["swap_total_bytes"])),
    Row("swap_used_bytes", GAUGE, "Swap in use (SwapTotal - SwapFree), in bytes.", (),
        scalar(lambda c: c["swap_used_bytes"])),
    Row("load1", GAUGE, "Load average over 1 minute.", (), scalar(lambda c: c["load_avg_1"])),
    Row("load5", GAUGE, "Load average over 5 minutes.", (), scalar(lambda c: c["load_avg_5"])),
    Row("load15", GAUGE, "Load average over 15 minutes.", (), scalar(lambda c: c["load_avg_15"])),
    Row("run_queue_length", GAUGE, "Runnable scheduling entities now (from /proc/loadavg).", (),
        scalar(lambda c: c["run_queue_length"])),
    Row("thermal_zone_celsius", GAUGE, "Temperature of each thermal zone, in degrees Celsius; type is the "
        "zone's type (an empty label when it has none).", ("zone", "type"), thermal_zones),
    Row("hwmon_temp_celsius", GAUGE, "Temperature of each hwmon sensor, in degrees Celsius; label is the "
        "sensor's label (empty without one).", SENSOR, hwmon("temp")),
    Row("hwmon_in_volts", GAUGE, "Voltage of each hwmon sensor, in volts.", SENSOR, hwmon("in")),
    Row("hwmon_fan_rpm", GAUGE, "Speed of each hwmon fan, in revolutions per minute.", SENSOR, hwmon("fan")),
    Row("hwmon_power_watts", GAUGE, "Power of each hwmon sensor, in watts.", SENSOR, hwmon("power")),
    Row("hwmon_curr_amps", GAUGE, "Current of each hwmon sensor, in amperes.", SENSOR, hwmon("curr")),
    Row("hwmon_alarm", GAUGE, "1 if any alarm of the hwmon sensor is raised (its alarm, crit_alarm or "
        "lcrit_alarm file; a Pi's under-voltage is rpi_volt in0), else 0.", ("chip", "sensor"), hwmon_alarms),
    Row("throttle_status", GAUGE, "Firmware throttle word from vcgencmd get_throttled, undecoded "
        "(see quillmere_throttle_flag).", (), scalar(lambda c: c["throttle_status"])),
    Row("arm_clock_hertz", GAUGE, "ARM clock as vcgencmd measure_clock arm reports it, in hertz.", (),
        scalar(lambda c: c["arm_clock_hz"])),
    Row("throttle_flag", GAUGE, "Firmware throttle conditions decoded from the throttle word: 1 if present "
        "now (when=now) or seen since boot (when=since_boot), else 0.", ("condition", "when"), throttle_flags),
    Row("clock_synchronized", GAUGE, "1 if the kernel's clock is synchronised (adjtimex state not TIME_ERROR), "
        "else 0.", (), scalar(lambda c: c["clock_synchronized"], flag)),
    Row("clock_max_error_seconds", GAUGE, "The kernel's bound on the clock's error (adjtimex maxerror), "
        "in seconds.", (), scalar(lambda c: c["clock_max_error_seconds"])),
    Row("source_up", GAUGE, "1 if the source could be read in this pass, 0 if not (its series are then absent).",
        ("source",), sources_up),
    Row("process_cpu_seconds_total", COUNTER, "CPU time the exporter has used, user and system, in seconds.", (),
        own(lambda p: p.cpu_seconds)),
    Row("process_resident_memory_bytes", GAUGE, "Resident memory of the exporter, in bytes.", (),
        own(lambda p: p.resident_bytes)),
    Row("process_virtual_memory_bytes", GAUGE, "Virtual memory of the exporter, in bytes.", (),
        own(lambda p: p.virtual_bytes)),
    Row("process_open_fds", GAUGE, "Descriptors the exporter has open.", (), own(lambda p: p.open_fds)),
    Row("process_max_fds", GAUGE, "The exporter's limit on open descriptors (soft RLIMIT_NOFILE).", (),
        own(lambda p: p.max_fds)),
    Row("process_start_time_seconds", GAUGE, "When the exporter started, in seconds since the Unix epoch.", (),
        own(lambda p: p.start_time_seconds)),
    Row("textfile_write_timestamp_seconds", GAUGE, "Textfile mode only: when this file was written, in seconds "
        "since the Unix epoch (time() minus it is the file's age).", (), textfile_written),
]


def families(counters: Counters, process: Optional[ProcessFigures] = None,
             written: Optional[float] = None) -> List[Family]:
    """The families that have samples, in catalogue order, of one
    read_counters() result, with the exporter's own figures and the time of
    a textfile write when given. A key the dict lacks reads as an
    unreadable source."""
    reading = Reading(counters, process, written)
    out = []
    for row in FAMILIES:
        try:
            samples = list(row.samples(reading))
        except KeyError:
            samples = []
        if samples:
            out.append(Family(PREFIX + row.name, row.kind, row.help, row.labels, samples))
    return out


def metric_list() -> List[Tuple[str, str, str]]:
    """(name with its labels, type, help) of every family, in exposition
    order: quillmere_thermal_zone_celsius{zone,type}."""
    return [(PREFIX + row.name + ("{" + ",".join(row.labels) + "}" if row.labels else ""), row.kind, row.help)
            for row in FAMILIES]
