"""Serves this host's metrics to Prometheus over HTTP.

    pip install 'quillmere[exporter]'
    python examples/prometheus_exporter.py [--address 127.0.0.1] [--port 9864] [--interval-ms 1000]

Every scrape takes one fresh sample (one get_metrics_once call); nothing is
sampled between scrapes. The address defaults to 127.0.0.1, so only this host
can scrape; pass --address 0.0.0.0 (or ::) to serve the network. --port 0
picks a free port. The URL served is printed on standard output. Ctrl-C or
SIGTERM stops the server.

Values are in Prometheus base units: CPU shares become ratios from 0 to 1
(the module's percent divided by 100). The since-boot totals that the module
returns under *_per_sec keys are counters; everything else is a gauge.
"""

from __future__ import annotations

import argparse
import signal
import socket
import sys
from socketserver import ThreadingMixIn
from typing import Any, Iterator, List, Mapping, Tuple
from wsgiref.simple_server import WSGIRequestHandler, WSGIServer, make_server

from prometheus_client import CollectorRegistry, make_wsgi_app
from prometheus_client.core import CounterMetricFamily, GaugeMetricFamily, Metric

import quillmere

PREFIX = "quillmere_"

# (metric name, help, key, scale) for the metrics that map one key to one
# gauge.
GAUGES: List[Tuple[str, str, str, float]] = [
    ("sample_timestamp_seconds", "Time the sample was complete, in seconds since the Unix epoch.", "timestamp", 1),
    ("cpu_usage_ratio", "Share of CPU time since boot that was not idle, from 0 to 1: an average "
     "since boot, not a current figure (see quillmere_load1 for that).", "cpu_usage_percent", 0.01),
    ("run_queue_length", "Runnable scheduling entities now (from /proc/loadavg).", "run_queue_length", 1),
    ("cpu_temperature_celsius", "Temperature of the first readable thermal zone, in degrees Celsius; "
     "0 when there is none.", "cpu_temp_celsius", 1),
    ("throttle_status", "Firmware throttle word from vcgencmd get_throttled, undecoded (see quillmere_throttle_flag); "
     "0 without vcgencmd.", "throttle_status", 1),
    ("memory_total_bytes", "Total usable memory, in bytes (MemTotal).", "mem_total_bytes", 1),
    ("memory_used_bytes", "Memory neither free nor buffers nor page cache, in bytes.", "mem_used_bytes", 1),
    ("uptime_seconds", "Time since boot, in seconds.", "uptime_seconds", 1),
    ("load1", "Load average over 1 minute.", "load_avg_1", 1),
    ("load5", "Load average over 5 minutes.", "load_avg_5", 1),
    ("load15", "Load average over 15 minutes.", "load_avg_15", 1),
    ("disk_read_bytes_per_second", "Bytes read by all block devices per second. Measured over one pass of a few "
     "milliseconds and divided by the interval: a lower bound, often 0.", "disk_read_bytes_per_sec", 1),
    ("disk_write_bytes_per_second", "Bytes written by all block devices per second; a lower bound, often 0, "
     "as for reads.", "disk_write_bytes_per_sec", 1),
    ("network_receive_bytes_per_second", "Bytes received by all interfaces (lo included) per second; a lower "
     "bound, often 0, as for disk reads.", "net_rx_bytes_per_sec", 1),
    ("network_transmit_bytes_per_second", "Bytes transmitted by all interfaces (lo included) per second; a "
     "lower bound, often 0, as for disk reads.", "net_tx_bytes_per_sec", 1),
    ("arm_clock_hertz", "ARM clock frequency as vcgencmd measure_clock arm reports it, in hertz; "
     "0 without vcgencmd.", "measure_clock", 1),
]

# The module returns these since-boot totals on every call, so they are true
# counters: rate() over them gives the per-second value.
COUNTERS: List[Tuple[str, str, str]] = [
    ("context_switches_total", "Context switches since boot.", "context_switches_per_sec"),
    ("page_faults_total", "Page faults since boot, minor and major together (pgfault).", "page_faults_minor_per_sec"),
    ("page_faults_major_total", "Major page faults since boot (pgmajfault).", "page_faults_major_per_sec"),
]

CPU_MODES: List[Tuple[str, str]] = [
    ("user", "cpu_user_percent"),  # nice time included
    ("system", "cpu_system_percent"),
    ("idle", "cpu_idle_percent"),
    ("iowait", "cpu_iowait_percent"),
    ("irq", "cpu_irq_percent"),
    ("softirq", "cpu_softirq_percent"),
    ("steal", "cpu_steal_percent"),
]

# Bits of the throttle word: the low nibble holds conditions present now,
# bits 16 to 19 the same conditions having occurred since boot.
THROTTLE_CONDITIONS: List[Tuple[str, int]] = [
    ("under_voltage", 0),
    ("arm_frequency_capped", 1),
    ("throttled", 2),
    ("soft_temperature_limit", 3),
]


class QuillmereCollector:
    """Takes one sample per collect() call, that is, one per scrape."""

    def __init__(self, interval_ms: int) -> None:
        self.interval_ms = interval_ms

    def describe(self) -> Iterator[Metric]:
        # Named families without samples: the registry learns the names
        # without taking a sample at registration.
        return self._families(None)

    def collect(self) -> Iterator[Metric]:
        return self._families(quillmere.get_metrics_once(self.interval_ms))

    def _families(self, m: quillmere.Metrics | None) -> Iterator[Metric]:
        sample: Mapping[str, object] = m or {}

        def value(key: str) -> float:
            number = sample[key]
            assert isinstance(number, (int, float))
            return number

        for name, doc, key, scale in GAUGES:
            yield GaugeMetricFamily(PREFIX + name, doc, value=None if m is None else value(key) * scale)
        for name, doc, key in COUNTERS:
            yield CounterMetricFamily(PREFIX + name, doc, value=None if m is None else value(key))

        modes = GaugeMetricFamily(PREFIX + "cpu_mode_ratio", "Share of CPU time since boot spent in each mode, "
                                  "from 0 to 1 (user includes nice). NaN when /proc/stat is unreadable.",
                                  labels=["mode"])
        flags = GaugeMetricFamily(PREFIX + "throttle_flag", "Firmware throttle conditions decoded from the throttle "
                                  "word: 1 if present now (when=now) or seen since boot (when=since_boot).",
                                  labels=["condition", "when"])
        if m is not None:
            for mode, key in CPU_MODES:
                modes.add_metric([mode], value(key) / 100)
            word = m["throttle_status"]
            for condition, bit in THROTTLE_CONDITIONS:
                flags.add_metric([condition, "now"], word >> bit & 1)
                flags.add_metric([condition, "since_boot"], word >> (bit + 16) & 1)
        yield modes
        yield flags


class QuietHandler(WSGIRequestHandler):
    def log_message(self, format: str, *args: Any) -> None:
        pass  # one line per scrape would bury everything else on the terminal


def make_http_server(address: str, port: int, registry: CollectorRegistry) -> WSGIServer:
    family = socket.getaddrinfo(address, port, type=socket.SOCK_STREAM, flags=socket.AI_PASSIVE)[0][0]

    class Server(ThreadingMixIn, WSGIServer):
        address_family = family
        daemon_threads = True  # a stuck client does not hold up the exit

    return make_server(address, port, make_wsgi_app(registry), Server, QuietHandler)


def main() -> int:
    parser = argparse.ArgumentParser(description="Serves this host's metrics to Prometheus over HTTP.")
    parser.add_argument("--address", default="127.0.0.1", help="address to listen on (default 127.0.0.1)")
    parser.add_argument("--port", type=int, default=9864, help="TCP port (default 9864; 0 picks a free one)")
    parser.add_argument("--interval-ms", type=int, default=1000,
                        help="sampling period in milliseconds, the divisor of the byte rates (default 1000)")
    args = parser.parse_args()
    if args.interval_ms < 1:
        parser.error("--interval-ms must be at least 1")

    registry = CollectorRegistry()
    registry.register(QuillmereCollector(args.interval_ms))
    try:
        server = make_http_server(args.address, args.port, registry)
    except OSError as error:
        print(f"cannot listen on {args.address} port {args.port}: {error.strerror or error}", file=sys.stderr)
        return 1

    host = f"[{args.address}]" if ":" in args.address else args.address
    print(f"serving http://{host}:{server.server_port}/metrics", flush=True)
    # SIGTERM stops the server the same way as Ctrl-C.
    signal.signal(signal.SIGTERM, signal.default_int_handler)
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass
    finally:
        server.server_close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
