"""How the samples of each metric family are taken from a Reading: a
quillmere_sampler.read_counters() result, the exporter's own figures and
the time of a textfile write.

What it promises:
- A value is a sample only when it is a number (an int or float, never a
  bool) and its source was read: None, a missing key or a malformed entry
  gives no sample, never a made-up 0. A yes/no reading (a bool) is 1 or 0
  only through flag, in the families made for it.
- Label values are valid UTF-8: label_value() writes each byte of a device or
  zone name that is not UTF-8 as the four characters \\xNN.
- sources_up says, per source, whether it was read: every value it gives
  present (for the firmware tool, any one of them).
- Nothing here reads a file: the samples are plain data.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Callable, Iterator, List, Mapping, NamedTuple, Optional, Tuple

from .process import ProcessFigures

if TYPE_CHECKING:  # the TypedDicts exist only in the stub
    from quillmere_sampler import Counters

Labels = Tuple[str, ...]
Sample = Tuple[Labels, float]


class Reading(NamedTuple):
    """What one exposition is made of: a read_counters() result, the
    exporter's own figures when it has read them, and in textfile mode the
    wall-clock time of the write."""

    counters: Counters
    process: Optional[ProcessFigures] = None
    written: Optional[float] = None


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


def flag(value: object) -> Optional[float]:
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
    with convert=flag, not a bool)."""
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


def cpu_seconds(reading: Reading) -> Iterator[Sample]:
    for cpu, seconds in _entries(reading.counters["cpus"]):
        for mode in CPU_MODES:
            number = _number(seconds.get(mode))
            if number is not None:
                yield (str(cpu), mode), number


def cpu_frequencies(reading: Reading) -> Iterator[Sample]:
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


def hwmon_alarms(reading: Reading) -> Iterator[Sample]:
    for chip, sensor, _, fields in _sensors(reading):
        alarm = flag(fields.get("alarm"))
        if alarm is not None:
            yield (chip, sensor), alarm


def thermal_zones(reading: Reading) -> Iterator[Sample]:
    for zone, fields in _entries(reading.counters["temperatures"]):
        celsius = _number(fields.get("celsius"))
        if celsius is not None:
            yield (_text(zone), _text(fields.get("type"))), celsius


# Bits of the throttle word: the low nibble holds conditions present now,
# bits 16 to 19 the same conditions having occurred since boot.
THROTTLE_CONDITIONS = ["under_voltage", "arm_frequency_capped", "throttled", "soft_temperature_limit"]


def throttle_flags(reading: Reading) -> Iterator[Sample]:
    word = reading.counters["throttle_status"]
    if isinstance(word, int) and not isinstance(word, bool):
        for bit, condition in enumerate(THROTTLE_CONDITIONS):
            yield (condition, "now"), word >> bit & 1
            yield (condition, "since_boot"), word >> (bit + 16) & 1


def textfile_written(reading: Reading) -> Iterator[Sample]:
    if reading.written is not None:
        yield (), reading.written


def _field(table: Value, field: str) -> Value:
    """table(counters)[field], or None when that is not a dict."""
    def value(counters: Counters) -> object:
        found = table(counters)
        return found.get(field) if isinstance(found, Mapping) else None
    return value


def processes_field(field: str) -> Value:
    return _field(lambda c: c["processes"], field)


# (source, its values). A source is up when every value it gives is present:
# a field that did not parse (None) means the source was not read as a whole,
# even when its other fields were. The firmware tool's two queries fail alone
# (an older firmware may lack one), so one answer is enough for it; a table
# (thermal zones, hwmon chips, ...) needs at least one entry.
SOURCES: List[Tuple[str, bool, Tuple[Value, ...]]] = [
    ("stat", True, (lambda c: c["cpu_seconds"], lambda c: c["context_switches_total"], lambda c: c["cpus"],
                    processes_field("running"), processes_field("blocked"),
                    processes_field("forks_total"))),
    ("vmstat", True, (lambda c: c["page_faults_total"], lambda c: c["page_faults_major_total"],
                      lambda c: c["swap_in_pages_total"], lambda c: c["swap_out_pages_total"],
                      lambda c: c["oom_kills_total"])),
    ("diskstats", True, (lambda c: c["disk_read_bytes_total"], lambda c: c["disk_written_bytes_total"])),
    ("net_dev", True, (lambda c: c["net_received_bytes_total"], lambda c: c["net_transmitted_bytes_total"])),
    ("loadavg", True, (lambda c: c["load_avg_1"], lambda c: c["load_avg_5"], lambda c: c["load_avg_15"],
                       lambda c: c["run_queue_length"], processes_field("threads"))),
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


def sources_up(reading: Reading) -> Iterator[Sample]:
    for source, needs_every, values in SOURCES:
        present = (_present(reading.counters, value) for value in values)
        yield (source,), 1 if (all(present) if needs_every else any(present)) else 0
