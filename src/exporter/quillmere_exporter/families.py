"""The metric families of one quillmere_sampler.read_counters() result.

What it promises:
- FAMILIES is the whole catalogue, one row per family in exposition order:
  name, type, help, label names, and a function from the counters dict to
  that family's samples. A new family is one more row; metric_list(), the
  help text and the tests derive from the table.
- A value is exposed only when it is a number (an int or float, never a bool)
  and its source was read: None, a missing key or a malformed entry gives no
  sample, never a made-up 0. families() leaves out a family without samples,
  so an unreadable source has no series at all, and quillmere_source_up says
  which sources were read.
- Since-boot totals are counters (their names end in _total); everything else
  is a gauge.
- Label values are valid UTF-8: label_value() writes each byte of a device or
  zone name that is not UTF-8 as the four characters \\xNN.
- Nothing here reads a file or depends on prometheus_client: the result is
  plain data for any exposition (the text format, a push).
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Callable, Iterator, List, Mapping, NamedTuple, Optional, Tuple

if TYPE_CHECKING:  # the TypedDicts exist only in the stub
    from quillmere_sampler import Counters

PREFIX = "quillmere_"
COUNTER, GAUGE = "counter", "gauge"

Labels = Tuple[str, ...]
Sample = Tuple[Labels, float]


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
    its samples from a counters dict."""

    name: str
    kind: str
    help: str
    labels: Labels
    samples: Callable[[Counters], Iterator[Sample]]


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


# --- how samples are taken: one maker per shape of value ----------------------

def scalar(value: Callable[[Counters], object]) -> Callable[[Counters], Iterator[Sample]]:
    """One unlabelled sample, or none when the value is not a number."""
    def samples(counters: Counters) -> Iterator[Sample]:
        number = _number(value(counters))
        if number is not None:
            yield (), number
    return samples


def per_name(table: Callable[[Counters], object], field: str) -> Callable[[Counters], Iterator[Sample]]:
    """One sample per entry of a {name: {field: value}} table (disks,
    interfaces), labelled with the entry's name."""
    def samples(counters: Counters) -> Iterator[Sample]:
        entries = table(counters)
        if isinstance(entries, Mapping):
            for name, fields in entries.items():
                number = _number(fields.get(field)) if isinstance(fields, Mapping) else None
                if number is not None:
                    yield (label_value(name),), number
    return samples


CPU_MODES = ["user", "nice", "system", "idle", "iowait", "irq", "softirq", "steal"]


def _cpu_seconds(counters: Counters) -> Iterator[Sample]:
    seconds = counters["cpu_seconds"]
    if isinstance(seconds, Mapping):
        for mode in CPU_MODES:
            number = _number(seconds.get(mode))
            if number is not None:
                yield (mode,), number


def _thermal_zones(counters: Counters) -> Iterator[Sample]:
    zones = counters["temperatures"]
    if isinstance(zones, Mapping):
        for zone, reading in zones.items():
            if not isinstance(reading, Mapping):
                continue
            celsius = _number(reading.get("celsius"))
            kind = reading.get("type")
            if celsius is not None:
                yield (label_value(zone), label_value(kind) if isinstance(kind, str) else ""), celsius


# Bits of the throttle word: the low nibble holds conditions present now,
# bits 16 to 19 the same conditions having occurred since boot.
THROTTLE_CONDITIONS = ["under_voltage", "arm_frequency_capped", "throttled", "soft_temperature_limit"]


def _throttle_flags(counters: Counters) -> Iterator[Sample]:
    word = counters["throttle_status"]
    if isinstance(word, int) and not isinstance(word, bool):
        for bit, condition in enumerate(THROTTLE_CONDITIONS):
            yield (condition, "now"), word >> bit & 1
            yield (condition, "since_boot"), word >> (bit + 16) & 1


# (source, needs every value, its values). A source is up when every value
# it gives is present: a field that did not parse (None) means the source was
# not read as a whole, even when its other fields were. The firmware tool's
# two queries fail alone (an older firmware may lack one), so one answer is
# enough; the thermal source needs at least one readable zone.
SOURCES: List[Tuple[str, bool, Tuple[Callable[[Counters], object], ...]]] = [
    ("stat", True, (lambda c: c["cpu_seconds"], lambda c: c["context_switches_total"])),
    ("vmstat", True, (lambda c: c["page_faults_total"], lambda c: c["page_faults_major_total"])),
    ("diskstats", True, (lambda c: c["disk_read_bytes_total"], lambda c: c["disk_written_bytes_total"])),
    ("net_dev", True, (lambda c: c["net_received_bytes_total"], lambda c: c["net_transmitted_bytes_total"])),
    ("loadavg", True, (lambda c: c["load_avg_1"], lambda c: c["load_avg_5"], lambda c: c["load_avg_15"],
                       lambda c: c["run_queue_length"])),
    ("meminfo", True, (lambda c: c["mem_total_bytes"], lambda c: c["mem_used_bytes"])),
    ("uptime", True, (lambda c: c["uptime_seconds"],)),
    ("thermal", True, (lambda c: c["temperatures"],)),
    ("vcgencmd", False, (lambda c: c["throttle_status"], lambda c: c["arm_clock_hz"])),
]


def _present(counters: Counters, value: Callable[[Counters], object]) -> bool:
    try:
        found = value(counters)
    except KeyError:
        return False
    return found is not None and found != {}


def _sources_up(counters: Counters) -> Iterator[Sample]:
    for source, needs_every, values in SOURCES:
        present = (_present(counters, value) for value in values)
        yield (source,), 1 if (all(present) if needs_every else any(present)) else 0


# --- the catalogue, in exposition order ---------------------------------------

FAMILIES: List[Row] = [
    Row("cpu_seconds_total", COUNTER, "CPU time since boot per mode, in seconds, summed over all CPUs "
        "(user excludes nice).", ("mode",), _cpu_seconds),
    Row("context_switches_total", COUNTER, "Context switches since boot (ctxt in /proc/stat).", (),
        scalar(lambda c: c["context_switches_total"])),
    Row("page_faults_total", COUNTER, "Page faults since boot, minor and major (pgfault in /proc/vmstat).", (),
        scalar(lambda c: c["page_faults_total"])),
    Row("page_faults_major_total", COUNTER, "Major page faults since boot (pgmajfault in /proc/vmstat).", (),
        scalar(lambda c: c["page_faults_major_total"])),
    Row("disk_read_bytes_total", COUNTER, "Bytes read since boot, per block device (partitions included: "
        "filter with PromQL before summing).", ("device",), per_name(lambda c: c["disks"], "read_bytes")),
    Row("disk_written_bytes_total", COUNTER, "Bytes written since boot, per block device (partitions included).",
        ("device",), per_name(lambda c: c["disks"], "written_bytes")),
    Row("network_receive_bytes_total", COUNTER, "Bytes received since boot, per interface (lo included).",
        ("device",), per_name(lambda c: c["interfaces"], "received_bytes")),
    Row("network_transmit_bytes_total", COUNTER, "Bytes transmitted since boot, per interface (lo included).",
        ("device",), per_name(lambda c: c["interfaces"], "transmitted_bytes")),
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
    Row("throttle_status", GAUGE, "Firmware throttle word from vcgencmd get_throttled, undecoded "
        "(see quillmere_throttle_flag).", (), scalar(lambda c: c["throttle_status"])),
    Row("arm_clock_hertz", GAUGE, "ARM clock as vcgencmd measure_clock arm reports it, in hertz.", (),
        scalar(lambda c: c["arm_clock_hz"])),
    Row("thermal_zone_celsius", GAUGE, "Temperature of each thermal zone, in degrees Celsius; type is the "
        "zone's type (an empty label when it has none).", ("zone", "type"), _thermal_zones),
    Row("throttle_flag", GAUGE, "Firmware throttle conditions decoded from the throttle word: 1 if present "
        "now (when=now) or seen since boot (when=since_boot), else 0.", ("condition", "when"), _throttle_flags),
    Row("source_up", GAUGE, "1 if the source could be read in this pass, 0 if not (its series are then absent).",
        ("source",), _sources_up),
]


def families(counters: Counters) -> List[Family]:
    """The families of one read_counters() result that have samples, in
    catalogue order. A key the dict lacks reads as an unreadable source."""
    out = []
    for row in FAMILIES:
        try:
            samples = list(row.samples(counters))
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
