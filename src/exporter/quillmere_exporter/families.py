"""The metric families of one quillmere_sampler.read_counters() result, of
the exporter's own process, and of a textfile write.

What it promises:
- FAMILIES is the whole catalogue, one row per family in exposition order:
  name, type, help, label names, and a function from a Reading (the counters
  dict, the exporter's own figures, the time of a textfile write) to that
  family's samples. A new family is one more row; metric_list(), the help
  text and the tests derive from the table.
- A value is exposed only when it is a number (an int or float, never a bool)
  and its source was read: None, a missing key or a malformed entry gives no
  sample, never a made-up 0. A yes/no reading (a bool) is exposed as 1 or 0
  only in the families made for it (read-only, alarm, synchronised).
  families() leaves out a family without samples, so an unreadable source
  has no series at all, and quillmere_source_up says which sources were read.
- Since-boot totals are counters (their names end in _total); everything else
  is a gauge.
- Label values are valid UTF-8: label_value() writes each byte of a device or
  zone name that is not UTF-8 as the four characters \\xNN.
- Nothing here reads a file or depends on prometheus_client: the result is
  plain data for any exposition (the text format, a push).
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Callable, Iterator, List, Mapping, NamedTuple, Optional, Tuple

from .process import ProcessFigures

if TYPE_CHECKING:  # the TypedDicts exist only in the stub
    from quillmere_sampler import Counters

PREFIX = "quillmere_"
COUNTER, GAUGE = "counter", "gauge"

Labels = Tuple[str, ...]
Sample = Tuple[Labels, float]


class Reading(NamedTuple):
    """What one exposition is made of: a read_counters() result, the
    exporter's own figures when it has read them, and in textfile mode the
    wall-clock time of the write."""

    counters: Counters
    process: Optional[ProcessFigures] = None
    written: Optional[float] = None


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


def label_value(name: str) -> str:
    """A device or zone name as valid UTF-8: a byte that was not UTF-8 (kept
    as a lone surrogate U+DC80..U+DCFF by surrogateescape) becomes the text
    \\xNN, any other lone surrogate the text \\uNNNN."""
    try:
        name.encode("utf-8")
        return name  # the common case: nothing to replace
    except UnicodeEncodeError:
        pass
    out = []
    for char in name:
        code = ord(char)
        if 0xDC80 <= code <= 0xDCFF:
            out.append(f"\\x{code - 0xDC00:02x}")
        elif 0xD800 <= code <= 0xDFFF:
            out.append(f"\\u{code:04x}")
        else:
            out.append(char)
    return "".join(out)


def _number(value: object) -> Optional[float]:
    # bool is an int: it is not a reading.
    if isinstance(value, (int, float)) and not isinstance(value, bool):
        return value
    return None


def _flag(value: object) -> Optional[float]:
    """A yes/no reading as 1 or 0; anything but a bool gives no sample."""
    return float(value) if isinstance(value, bool) else None


def _text(value: object) -> str:
    """A name or label as a label value; an absent one is the empty label."""
    return label_value(value) if isinstance(value, str) else ""


def _entries(table: object) -> Iterator[Tuple[object, Mapping[str, object]]]:
    """(key, fields) of a {key: {field: value}} table; anything else, and
    an entry that is not a mapping, gives nothing."""
    if isinstance(table, Mapping):
        for key, fields in table.items():
            if isinstance(fields, Mapping):
                yield key, fields


# --- how samples are taken: one maker per shape of value ----------------------

Value = Callable[["Counters"], object]
Samples = Callable[[Reading], Iterator[Sample]]


def scalar(value: Value, convert: Callable[[object], Optional[float]] = _number) -> Samples:
    """One unlabelled sample, or none when the value is not a number (or,
    with convert=_flag, not a bool)."""
    def samples(reading: Reading) -> Iterator[Sample]:
        number = convert(value(reading.counters))
        if number is not None:
            yield (), number
    return samples


def per_name(table: Value, field: str) -> Samples:
    """One sample per entry of a {name: {field: value}} table (disks,
    interfaces, wireless links, pressure resources), labelled with the
    entry's name."""
    def samples(reading: Reading) -> Iterator[Sample]:
        for name, fields in _entries(table(reading.counters)):
            number = _number(fields.get(field))
            if number is not None:
                yield (_text(name),), number
    return samples


def per_field(table: Value, fields: Tuple[str, ...]) -> Samples:
    """One sample per given field of one {field: value} dict, labelled with
    the field's name."""
    def samples(reading: Reading) -> Iterator[Sample]:
        values = table(reading.counters)
        if isinstance(values, Mapping):
            for field in fields:
                number = _number(values.get(field))
                if number is not None:
                    yield (field,), number
    return samples


def own(value: Callable[[ProcessFigures], object]) -> Samples:
    """One unlabelled sample of the exporter's own figures, when read."""
    def samples(reading: Reading) -> Iterator[Sample]:
        number = _number(value(reading.process)) if reading.process is not None else None
        if number is not None:
            yield (), number
    return samples


CPU_MODES = ["user", "nice", "system", "idle", "iowait", "irq", "softirq", "steal"]


def _cpu_seconds(reading: Reading) -> Iterator[Sample]:
    for cpu, seconds in _entries(reading.counters["cpus"]):
        for mode in CPU_MODES:
            number = _number(seconds.get(mode))
            if number is not None:
                yield (str(cpu), mode), number


def _cpu_frequencies(reading: Reading) -> Iterator[Sample]:
    table = reading.counters["cpu_frequencies_hz"]
    if isinstance(table, Mapping):
        for cpu, hertz in table.items():
            number = _number(hertz)
            if number is not None:
                yield (str(cpu),), number


def filesystem(field: str, convert: Callable[[object], Optional[float]] = _number) -> Samples:
    """One sample per mounted filesystem, labelled device, fstype, mountpoint."""
    def samples(reading: Reading) -> Iterator[Sample]:
        for mountpoint, figures in _entries(reading.counters["filesystems"]):
            number = convert(figures.get(field))
            if number is not None:
                yield (_text(figures.get("device")), _text(figures.get("type")), _text(mountpoint)), number
    return samples


def _sensors(reading: Reading) -> Iterator[Tuple[str, str, str, Mapping[str, object]]]:
    """(chip, sensor, kind, fields) of every hwmon entry; the kind is the
    sensor name without its number (temp1 is a temp)."""
    for key, fields in _entries(reading.counters["hwmon"]):
        if isinstance(key, str):
            chip, _, sensor = key.rpartition("/")
            yield _text(chip), _text(sensor), sensor.rstrip("0123456789"), fields


def hwmon(kind: str) -> Samples:
    def samples(reading: Reading) -> Iterator[Sample]:
        for chip, sensor, found, fields in _sensors(reading):
            number = _number(fields.get("value"))
            if found == kind and number is not None:
                yield (chip, sensor, _text(fields.get("label"))), number
    return samples


def _hwmon_alarms(reading: Reading) -> Iterator[Sample]:
    for chip, sensor, _, fields in _sensors(reading):
        alarm = _flag(fields.get("alarm"))
        if alarm is not None:
            yield (chip, sensor), alarm


def _thermal_zones(reading: Reading) -> Iterator[Sample]:
    for zone, fields in _entries(reading.counters["temperatures"]):
        celsius = _number(fields.get("celsius"))
        if celsius is not None:
            yield (_text(zone), _text(fields.get("type"))), celsius


# Bits of the throttle word: the low nibble holds conditions present now,
# bits 16 to 19 the same conditions having occurred since boot.
THROTTLE_CONDITIONS = ["under_voltage", "arm_frequency_capped", "throttled", "soft_temperature_limit"]


def _throttle_flags(reading: Reading) -> Iterator[Sample]:
    word = reading.counters["throttle_status"]
    if isinstance(word, int) and not isinstance(word, bool):
        for bit, condition in enumerate(THROTTLE_CONDITIONS):
            yield (condition, "now"), word >> bit & 1
            yield (condition, "since_boot"), word >> (bit + 16) & 1


def _textfile_written(reading: Reading) -> Iterator[Sample]:
    if reading.written is not None:
        yield (), reading.written


def _field(table: Value, field: str) -> Value:
    """table(counters)[field], or None when that is not a dict."""
    def value(counters: Counters) -> object:
        found = table(counters)
        return found.get(field) if isinstance(found, Mapping) else None
    return value


def _processes(field: str) -> Value:
    return _field(lambda c: c["processes"], field)


# (source, its values). A source is up when every value it gives is present:
# a field that did not parse (None) means the source was not read as a whole,
# even when its other fields were. The firmware tool's two queries fail alone
# (an older firmware may lack one), so one answer is enough for it; a table
# (thermal zones, hwmon chips, ...) needs at least one entry.
SOURCES: List[Tuple[str, bool, Tuple[Value, ...]]] = [
    ("stat", True, (lambda c: c["cpu_seconds"], lambda c: c["context_switches_total"], lambda c: c["cpus"],
                    _processes("running"), _processes("blocked"),
                    _processes("forks_total"))),
    ("vmstat", True, (lambda c: c["page_faults_total"], lambda c: c["page_faults_major_total"],
                      lambda c: c["swap_in_pages_total"], lambda c: c["swap_out_pages_total"],
                      lambda c: c["oom_kills_total"])),
    ("diskstats", True, (lambda c: c["disk_read_bytes_total"], lambda c: c["disk_written_bytes_total"])),
    ("net_dev", True, (lambda c: c["net_received_bytes_total"], lambda c: c["net_transmitted_bytes_total"])),
    ("loadavg", True, (lambda c: c["load_avg_1"], lambda c: c["load_avg_5"], lambda c: c["load_avg_15"],
                       lambda c: c["run_queue_length"], _processes("threads"))),
    ("meminfo", True, (lambda c: c["mem_total_bytes"], lambda c: c["mem_used_bytes"])),
    ("uptime", True, (lambda c: c["uptime_seconds"],)),
    ("thermal", True, (lambda c: c["temperatures"],)),
    ("vcgencmd", False, (lambda c: c["throttle_status"], lambda c: c["arm_clock_hz"])),
    ("cpufreq", True, (lambda c: c["cpu_frequencies_hz"],)),
    ("pressure", True, (lambda c: c["pressure"],)),
    ("mounts", True, (lambda c: c["filesystems"],)),
    ("wireless", True, (lambda c: c["wireless"],)),
    ("hwmon", True, (lambda c: c["hwmon"],)),
    ("adjtimex", True, (lambda c: c["clock_synchronized"], lambda c: c["clock_max_error_seconds"])),
]


def _present(counters: Counters, value: Value) -> bool:
    try:
        found = value(counters)
    except KeyError:
        return False
    return found is not None and found != {}


def _sources_up(reading: Reading) -> Iterator[Sample]:
    for source, needs_every, values in SOURCES:
        present = (_present(reading.counters, value) for value in values)
        yield (source,), 1 if (all(present) if needs_every else any(present)) else 0


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
        "sum without (cpu) for the whole machine).", ("cpu", "mode"), _cpu_seconds),
    Row("cpu_frequency_hertz", GAUGE, "Current frequency of each CPU (cpufreq scaling_cur_freq), in hertz.",
        ("cpu",), _cpu_frequencies),
    Row("context_switches_total", COUNTER, "Context switches since boot (ctxt in /proc/stat).", (),
        scalar(lambda c: c["context_switches_total"])),
    Row("processes", GAUGE, "Tasks runnable (state=running) and blocked waiting on I/O (state=blocked) now "
        "(procs_running, procs_blocked in /proc/stat).", ("state",),
        per_field(lambda c: c["processes"], ("running", "blocked"))),
    Row("threads", GAUGE, "Scheduling entities (threads) that exist now (from /proc/loadavg).", (),
        scalar(_processes("threads"))),
    Row("forks_total", COUNTER, "Processes and threads created since boot (processes in /proc/stat).", (),
        scalar(_processes("forks_total"))),
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
        "kernel after errors), else 0.", MOUNT, filesystem("read_only", _flag)),
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
        "zone's type (an empty label when it has none).", ("zone", "type"), _thermal_zones),
    Row("hwmon_temp_celsius", GAUGE, "Temperature of each hwmon sensor, in degrees Celsius; label is the "
        "sensor's label (empty without one).", SENSOR, hwmon("temp")),
    Row("hwmon_in_volts", GAUGE, "Voltage of each hwmon sensor, in volts.", SENSOR, hwmon("in")),
    Row("hwmon_fan_rpm", GAUGE, "Speed of each hwmon fan, in revolutions per minute.", SENSOR, hwmon("fan")),
    Row("hwmon_power_watts", GAUGE, "Power of each hwmon sensor, in watts.", SENSOR, hwmon("power")),
    Row("hwmon_curr_amps", GAUGE, "Current of each hwmon sensor, in amperes.", SENSOR, hwmon("curr")),
    Row("hwmon_alarm", GAUGE, "1 if any alarm of the hwmon sensor is raised (its alarm, crit_alarm or "
        "lcrit_alarm file; a Pi's under-voltage is rpi_volt in0), else 0.", ("chip", "sensor"), _hwmon_alarms),
    Row("throttle_status", GAUGE, "Firmware throttle word from vcgencmd get_throttled, undecoded "
        "(see quillmere_throttle_flag).", (), scalar(lambda c: c["throttle_status"])),
    Row("arm_clock_hertz", GAUGE, "ARM clock as vcgencmd measure_clock arm reports it, in hertz.", (),
        scalar(lambda c: c["arm_clock_hz"])),
    Row("throttle_flag", GAUGE, "Firmware throttle conditions decoded from the throttle word: 1 if present "
        "now (when=now) or seen since boot (when=since_boot), else 0.", ("condition", "when"), _throttle_flags),
    Row("clock_synchronized", GAUGE, "1 if the kernel's clock is synchronised (adjtimex state not TIME_ERROR), "
        "else 0.", (), scalar(lambda c: c["clock_synchronized"], _flag)),
    Row("clock_max_error_seconds", GAUGE, "The kernel's bound on the clock's error (adjtimex maxerror), "
        "in seconds.", (), scalar(lambda c: c["clock_max_error_seconds"])),
    Row("source_up", GAUGE, "1 if the source could be read in this pass, 0 if not (its series are then absent).",
        ("source",), _sources_up),
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
        "since the Unix epoch (time() minus it is the file's age).", (), _textfile_written),
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
