"""quillmere-exporter: this host's counters for Prometheus, served over HTTP or
written as a textfile for node_exporter's textfile collector.

Every scrape is answered from a quillmere_sampler.read_counters() pass that
began after it arrived; scrapes that arrive while a pass runs share the next
one. Each write in textfile mode takes a pass of its own. Nothing is sampled
in between. Since-boot counters are exposed as counters, so that rate() gives
true rates at any scrape interval; everything else is a gauge. A source that
cannot be read has no series at all (never a made-up 0), and
quillmere_source_up{source} says which sources were read.

Device and zone names are arbitrary bytes on Linux (the sampler decodes them
with errors="surrogateescape"); a label value must be UTF-8, so every byte that
is not part of valid UTF-8 is written as the four characters \\xNN.

prometheus_client (the optional extra `exporter`) writes the text format;
without it the program says how to install it and exits 1. The HTTP server is
the package's own (server.py): timeouts on every connection, a bound on
connections, a real listen backlog.
"""

from __future__ import annotations

import argparse
import gzip
import math
import os
import re
import signal
import socket
import sys
import tempfile
import threading
from typing import Any, Callable, Collection, Dict, Iterator, List, Mapping, Optional, Sequence, Tuple, Type, Union
from urllib.parse import parse_qs

from .server import Request, Response, Server, serve

try:
    from prometheus_client import CollectorRegistry, make_wsgi_app
    from prometheus_client.core import CounterMetricFamily, GaugeMetricFamily, Metric
    from prometheus_client.exposition import choose_encoder, generate_latest

    MISSING_CLIENT: Optional[str] = None
except ImportError as error:  # the optional extra is absent: main() says how to install it
    MISSING_CLIENT = str(error)

PREFIX = "quillmere_"

# One read_counters() result. Typed loosely on purpose: the exporter checks
# each value it uses, so that a None (unreadable source) is never exposed.
Counters = Mapping[str, Any]

# (metric name, help, key) for one key exposed as one series.
COUNTERS: List[Tuple[str, str, str]] = [
    ("context_switches_total", "Context switches since boot (ctxt in /proc/stat).", "context_switches_total"),
    ("page_faults_total", "Page faults since boot, minor and major (pgfault in /proc/vmstat).", "page_faults_total"),
    ("page_faults_major_total", "Major page faults since boot (pgmajfault in /proc/vmstat).",
     "page_faults_major_total"),
]
GAUGES: List[Tuple[str, str, str]] = [
    ("uptime_seconds", "Time since boot, in seconds.", "uptime_seconds"),
    ("memory_total_bytes", "Usable memory (MemTotal), in bytes.", "mem_total_bytes"),
    ("memory_used_bytes", "MemTotal - (MemFree + Buffers + Cached), in bytes.", "mem_used_bytes"),
    ("memory_available_bytes", "Memory available to new work without swapping (MemAvailable), in bytes.",
     "mem_available_bytes"),
    ("swap_total_bytes", "Swap space (SwapTotal), in bytes.", "swap_total_bytes"),
    ("swap_used_bytes", "Swap in use (SwapTotal - SwapFree), in bytes.", "swap_used_bytes"),
    ("load1", "Load average over 1 minute.", "load_avg_1"),
    ("load5", "Load average over 5 minutes.", "load_avg_5"),
    ("load15", "Load average over 15 minutes.", "load_avg_15"),
    ("run_queue_length", "Runnable scheduling entities now (from /proc/loadavg).", "run_queue_length"),
    ("throttle_status", "Firmware throttle word from vcgencmd get_throttled, undecoded "
     "(see quillmere_throttle_flag).", "throttle_status"),
    ("arm_clock_hertz", "ARM clock as vcgencmd measure_clock arm reports it, in hertz.", "arm_clock_hz"),
]
# (metric name, help, key of the per-device dict, field) for the counters
# with a `device` label, one series per block device or interface.
DEVICE_COUNTERS: List[Tuple[str, str, str, str]] = [
    ("disk_read_bytes_total", "Bytes read since boot, per block device (partitions included: "
     "filter with PromQL before summing).", "disks", "read_bytes"),
    ("disk_written_bytes_total", "Bytes written since boot, per block device (partitions included).",
     "disks", "written_bytes"),
    ("network_receive_bytes_total", "Bytes received since boot, per interface (lo included).",
     "interfaces", "received_bytes"),
    ("network_transmit_bytes_total", "Bytes transmitted since boot, per interface (lo included).",
     "interfaces", "transmitted_bytes"),
]
CPU_MODES = ["user", "nice", "system", "idle", "iowait", "irq", "softirq", "steal"]
# Bits of the throttle word: the low nibble holds conditions present now,
# bits 16 to 19 the same conditions having occurred since boot.
THROTTLE_CONDITIONS = ["under_voltage", "arm_frequency_capped", "throttled", "soft_temperature_limit"]
# (source, keys): a source is up when one of its keys holds a value. The
# thermal source needs at least one readable zone.
SOURCES: List[Tuple[str, Tuple[str, ...]]] = [
    ("stat", ("cpu_seconds", "context_switches_total")),
    ("vmstat", ("page_faults_total", "page_faults_major_total")),
    ("diskstats", ("disk_read_bytes_total",)),
    ("net_dev", ("net_received_bytes_total",)),
    ("loadavg", ("load_avg_1", "run_queue_length")),
    ("meminfo", ("mem_total_bytes",)),
    ("uptime", ("uptime_seconds",)),
    ("thermal", ("temperatures",)),
    ("vcgencmd", ("throttle_status", "arm_clock_hz")),
]

CPU_HELP = "CPU time since boot per mode, in seconds, summed over all CPUs (user excludes nice)."
THERMAL_HELP = ("Temperature of each thermal zone, in degrees Celsius; type is the zone's type "
                "(an empty label when it has none).")
FLAG_HELP = ("Firmware throttle conditions decoded from the throttle word: 1 if present now (when=now) "
             "or seen since boot (when=since_boot), else 0.")
SOURCE_HELP = "1 if the source could be read in this pass, 0 if not (its series are then absent)."


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


def _present(value: object) -> bool:
    return value is not None and value != {}


def _scalar_families(family_type: Union[Type[CounterMetricFamily], Type[GaugeMetricFamily]],
                     table: List[Tuple[str, str, str]], counters: Counters) -> List[Metric]:
    """One family per (name, help, key) row: one sample, or none when the key's source was unreadable."""
    out: List[Metric] = []
    for name, doc, key in table:
        family = family_type(PREFIX + name, doc)
        value = _number(counters.get(key))
        if value is not None:
            family.add_metric([], value)
        out.append(family)
    return out


def families(counters: Counters) -> Iterator[Metric]:
    """The metric families of one read_counters() result, without empty ones."""
    out: List[Metric] = []

    cpu = CounterMetricFamily(PREFIX + "cpu_seconds_total", CPU_HELP, labels=["mode"])
    cpu_seconds = counters.get("cpu_seconds")
    if isinstance(cpu_seconds, Mapping):
        for mode in CPU_MODES:
            seconds = _number(cpu_seconds.get(mode))
            if seconds is not None:
                cpu.add_metric([mode], seconds)
    out.append(cpu)

    out += _scalar_families(CounterMetricFamily, COUNTERS, counters)

    for name, doc, key, field in DEVICE_COUNTERS:
        per_device = CounterMetricFamily(PREFIX + name, doc, labels=["device"])
        devices = counters.get(key)
        if isinstance(devices, Mapping):
            for device, fields in devices.items():
                value = _number(fields.get(field)) if isinstance(fields, Mapping) else None
                if value is not None:
                    per_device.add_metric([label_value(device)], value)
        out.append(per_device)

    out += _scalar_families(GaugeMetricFamily, GAUGES, counters)

    thermal = GaugeMetricFamily(PREFIX + "thermal_zone_celsius", THERMAL_HELP, labels=["zone", "type"])
    zones = counters.get("temperatures")
    if isinstance(zones, Mapping):
        for zone, reading in zones.items():
            if not isinstance(reading, Mapping):
                continue
            celsius = _number(reading.get("celsius"))
            kind = reading.get("type")
            if celsius is not None:
                thermal.add_metric([label_value(zone), label_value(kind) if isinstance(kind, str) else ""], celsius)
    out.append(thermal)

    flags = GaugeMetricFamily(PREFIX + "throttle_flag", FLAG_HELP, labels=["condition", "when"])
    word = counters.get("throttle_status")
    if isinstance(word, int) and not isinstance(word, bool):
        for bit, condition in enumerate(THROTTLE_CONDITIONS):
            flags.add_metric([condition, "now"], word >> bit & 1)
            flags.add_metric([condition, "since_boot"], word >> (bit + 16) & 1)
    out.append(flags)

    up = GaugeMetricFamily(PREFIX + "source_up", SOURCE_HELP, labels=["source"])
    for source, keys in SOURCES:
        up.add_metric([source], 1 if any(_present(counters.get(k)) for k in keys) else 0)
    out.append(up)

    # A family without samples would still print HELP and TYPE lines; absence
    # is the honest answer for a source that could not be read.
    return (family for family in out if family.samples)


def metric_list() -> List[Tuple[str, str, str]]:
    """(name with labels, type, help) of every metric, in exposition order."""
    rows = [(PREFIX + "cpu_seconds_total{mode}", "counter", CPU_HELP)]
    rows += [(PREFIX + n, "counter", d) for n, d, _ in COUNTERS]
    rows += [(PREFIX + n + "{device}", "counter", d) for n, d, _, _ in DEVICE_COUNTERS]
    rows += [(PREFIX + n, "gauge", d) for n, d, _ in GAUGES]
    rows += [(PREFIX + "thermal_zone_celsius{zone,type}", "gauge", THERMAL_HELP),
             (PREFIX + "throttle_flag{condition,when}", "gauge", FLAG_HELP),
             (PREFIX + "source_up{source}", "gauge", SOURCE_HELP)]
    return rows


class CountersCollector:
    """One read per collect() call, that is, one per scrape or file write;
    with `names`, only the samples so named (the name[] filter of a scrape)."""

    def __init__(self, read: Callable[[], Counters], names: Collection[str] = ()) -> None:
        self._read = read
        self._names = frozenset(names)

    def describe(self) -> List[Metric]:
        # Registration must not read the sources: the families are dynamic.
        return []

    def collect(self) -> Iterator[Metric]:
        for family in families(self._read()):
            if self._names:
                samples = [sample for sample in family.samples if sample.name in self._names]
                if not samples:
                    continue
                family = Metric(family.name, family.documentation, family.type, family.unit)
                family.samples = samples
            yield family


def make_registry(read: Callable[[], Counters], names: Collection[str] = ()) -> CollectorRegistry:
    registry = CollectorRegistry(auto_describe=False)
    registry.register(CountersCollector(read, names))
    return registry


def write_textfile(path: str, data: bytes) -> None:
    """Replaces `path` with `data` atomically: a temporary file in the same
    directory, written and fsynced, renamed over it, then the directory
    fsynced so that the rename survives a power cut. On any failure the
    temporary file is removed and the previous file is left as it was.

    The temporary name does not end in .prom, so node_exporter never reads a
    half-written file."""
    directory = os.path.dirname(os.path.abspath(path))
    fd, temporary = tempfile.mkstemp(prefix="." + os.path.basename(path) + ".", suffix=".tmp", dir=directory)
    try:
        with os.fdopen(fd, "wb") as stream:
            stream.write(data)
            stream.flush()
            # Readable by node_exporter, which runs as a user of its own.
            os.fchmod(stream.fileno(), 0o644)
            os.fsync(stream.fileno())
        os.replace(temporary, path)
    except BaseException:
        try:
            os.unlink(temporary)
        except OSError:
            pass
        raise
    dir_fd = os.open(directory, os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)
    try:
        os.fsync(dir_fd)
    finally:
        os.close(dir_fd)


def remove_stale_temporaries(path: str) -> None:
    """Removes the temporary files that write_textfile leaves when the
    process is killed mid-write (named like mkstemp's, beside `path`), so
    that they do not pile up over restarts. Another run writing the same path
    at the same time would lose its write: one path, one writer."""
    directory = os.path.dirname(os.path.abspath(path))
    pattern = re.compile(r"\." + re.escape(os.path.basename(path)) + r"\.[a-z0-9_]{8}\.tmp")
    try:
        names = os.listdir(directory)
    except OSError:
        return  # the first write reports what is wrong with the directory
    for name in names:
        if pattern.fullmatch(name):
            try:
                os.unlink(os.path.join(directory, name))
            except OSError:
                pass


def _describe_error(error: OSError) -> str:
    return error.strerror or str(error)


def run_textfile(path: str, every: Optional[float], registry: CollectorRegistry) -> int:
    """Writes the file once, or every `every` seconds until SIGINT or SIGTERM.
    A failed first write ends the program (exit 1): the path or directory is
    wrong. A later failure (a disk that filled up) is reported and retried at
    the next write."""
    stop = threading.Event()

    def request_stop(signum: int, frame: object) -> None:
        stop.set()

    # A signal lets the write in progress finish: no temporary file is left.
    signal.signal(signal.SIGINT, request_stop)
    signal.signal(signal.SIGTERM, request_stop)
    remove_stale_temporaries(path)
    first = True
    while True:
        try:
            write_textfile(path, generate_latest(registry))
        except OSError as error:
            print(f"quillmere-exporter: cannot write {path}: {_describe_error(error)}", file=sys.stderr, flush=True)
            if first:
                return 1
        first = False
        if every is None or stop.wait(every):
            return 0


def answer_scrapes(read: Callable[[], Counters], requests: Sequence[Request]) -> List[Response]:
    """Answers a batch of scrapes from one read: every request in it arrived
    before the read began. Each gets the format its Accept header asks for
    (text or OpenMetrics), gzip when it accepts that, and only the families
    named by name[] parameters when it gives any; any path serves the
    metrics but /favicon.ico, which is empty."""
    try:
        counters = read()
    except Exception as error:  # the sampler's MemoryError or RuntimeError: the scrape fails, not the server
        print(f"quillmere-exporter: cannot read the counters: {error!r}", file=sys.stderr, flush=True)
        return [Response(500, f"cannot read the counters: {error}\n".encode(), [("Content-Type", "text/plain")])
                for _ in requests]
    rendered: Dict[Tuple[str, bool, Tuple[str, ...]], Response] = {}
    responses = []
    for request in requests:
        if request.path == "/favicon.ico":
            responses.append(Response(200))
            continue
        encoder, content_type = choose_encoder(request.headers.get("accept", ""))
        gzipped = any(part.split(";")[0].strip().lower() == "gzip"
                      for part in request.headers.get("accept-encoding", "").split(","))
        names = tuple(parse_qs(request.query).get("name[]", ()))
        key = (content_type, gzipped, names)
        if key not in rendered:
            body = encoder(make_registry(lambda: counters, names))
            headers = [("Content-Type", content_type)]
            if gzipped:
                body = gzip.compress(body)
                headers.append(("Content-Encoding", "gzip"))
            rendered[key] = Response(200, body, headers)
        responses.append(rendered[key])
    return responses


def run_server(address: str, port: int, read: Callable[[], Counters]) -> int:
    try:
        server = Server(address, port, lambda requests: answer_scrapes(read, requests))
    except (OSError, UnicodeError) as error:
        reason = _describe_error(error) if isinstance(error, OSError) else "invalid address"
        print(f"quillmere-exporter: cannot listen on {address} port {port}: {reason}", file=sys.stderr)
        return 1

    host = f"[{address}]" if ":" in address else address
    print(f"serving http://{host}:{server.server_port}/metrics", flush=True)
    # SIGTERM stops the server the same way as Ctrl-C.
    signal.signal(signal.SIGTERM, signal.default_int_handler)
    serve(server)
    return 0


# Bounds of --every: below a tenth of a second the writes would only churn
# the disk; above a day the figures are stale before they are read.
EVERY_MIN, EVERY_MAX = 0.1, 86400.0


# argparse names the option in front of each message ("argument --port: ...").
def _port(text: str) -> int:
    if not re.fullmatch(r"[0-9]{1,5}", text) or int(text) > 65535:
        raise argparse.ArgumentTypeError(f"must be a TCP port from 0 to 65535, not {text!r}")
    return int(text)


def _every(text: str) -> float:
    try:
        seconds = float(text)
    except ValueError:
        seconds = math.nan
    if not EVERY_MIN <= seconds <= EVERY_MAX:  # NaN fails too
        raise argparse.ArgumentTypeError(
            f"must be a number of seconds from {EVERY_MIN:g} to {EVERY_MAX:g} (one day), not {text!r}")
    return seconds


def _nonempty(text: str) -> str:
    if not text:
        raise argparse.ArgumentTypeError("must not be empty")
    return text


def parser() -> argparse.ArgumentParser:
    width = max(len(name) for name, _, _ in metric_list())
    listing = "\n".join(f"  {name:<{width}}  {kind:<7}  {doc}" for name, kind, doc in metric_list())
    epilog = (
        "Each scrape (or file write) is answered from one read of the sources that began\n"
        "after it arrived (scrapes that arrive together share it); nothing runs in between.\n"
        "A connection that sends no complete request within 10 s is closed; at most 512\n"
        "are open at once.\n"
        "Counters hold totals since boot: use rate() or increase() in PromQL. A source\n"
        "that cannot be read has no series; quillmere_source_up{source} is 0 for it.\n"
        "Device and zone names that are not valid UTF-8 show each such byte as \\xNN.\n"
        "Throttle conditions: under_voltage (bit 0, since boot bit 16),\n"
        "arm_frequency_capped (1, 17), throttled (2, 18), soft_temperature_limit (3, 19).\n"
        "vcgencmd is looked up on PATH; each run is bounded to 1 s, so a scrape takes\n"
        "at most about 2 s even when the tool hangs.\n\n"
        "Metrics:\n" + listing
    )
    p = argparse.ArgumentParser(prog="quillmere-exporter", description="Serves this host's counters and gauges to "
                                "Prometheus over HTTP, or writes them for node_exporter's textfile collector.",
                                epilog=epilog, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--address", type=_nonempty, default="127.0.0.1",
                   help="address to listen on (default 127.0.0.1; 0.0.0.0 or :: to serve the network)")
    p.add_argument("--port", type=_port, default=9864, help="TCP port (default 9864; 0 picks a free one)")
    p.add_argument("--interval-ms", type=int, default=1000,
                   help="accepted for compatibility with earlier versions and ignored: every scrape reads "
                        "counters, and Prometheus computes rates over its own interval")
    p.add_argument("--textfile", metavar="PATH", type=_nonempty,
                   help="write the metrics to PATH (for example /var/lib/prometheus/node-exporter/"
                        "quillmere.prom) instead of serving HTTP; replaced atomically")
    p.add_argument("--every", metavar="SECONDS", type=_every,
                   help="with --textfile: rewrite the file every SECONDS (0.1 to 86400) until stopped "
                        "(default: once)")
    return p


def main(argv: Optional[Sequence[str]] = None) -> int:
    args = parser().parse_args(argv)
    if args.every is not None and args.textfile is None:
        parser().error("--every needs --textfile")
    if MISSING_CLIENT is not None:
        print("quillmere-exporter needs prometheus_client, which is not installed "
              f"({MISSING_CLIENT}). Install it with: pip install prometheus_client "
              "(or, in quillmere's source tree: pip install '.[exporter]').", file=sys.stderr)
        return 1
    import quillmere_sampler

    if args.textfile is not None:
        return run_textfile(args.textfile, args.every, make_registry(quillmere_sampler.read_counters))
    return run_server(args.address, args.port, quillmere_sampler.read_counters)
