"""The push mode (--remote-write): a read_counters() pass every --every
seconds, turned into remote-write samples and sent to a receiver.

What it promises:
- Each pass gives one batch: every sample of families.families() (the same
  names, label names and values as the HTTP mode) and the push's own health
  families, all stamped with the pass's time, each series labelled with
  job="quillmere", instance=<host name> and every --label (a --label job=...
  or instance=... replaces the default). Labels with an empty value are left
  out, as a scrape leaves them out.
- Passes run on a fixed grid of --every seconds on the monotonic clock; a
  pass that overruns skips the ticks it missed rather than bunching up. A
  pass that fails prints one line and gives no batch.
- Options that cannot work are usage errors (push_options). A credentials
  file that cannot be read, or a queue directory that cannot be made or is
  in use, gives one line and exit 1. Without cramjam the program says how to
  install it.
- Prints "pushing to URL every N s" once it runs; SIGINT and SIGTERM stop it
  with status 0 after at most a few seconds: while the receiver answers it
  pushes what is queued first, and whatever is still queued is written to
  the queue directory for the next run.
"""

from __future__ import annotations

import argparse
import math
import signal
import socket
import sys
import threading
import time
from importlib import metadata as distribution
from typing import TYPE_CHECKING, Callable, Dict, List, NamedTuple, Optional, Tuple

from . import push_options, wire
from .families import COUNTER, FAMILIES, GAUGE, PREFIX, Family, Labels, families
from .process import read_own
from .push_options import DEFAULT_MAX_BYTES, default_buffer_dir, tls_context
from .sender import Connection, Pusher, Stats
from .spool import QueueInUse, Spool

if TYPE_CHECKING:  # the TypedDicts exist only in the stub
    from quillmere_sampler import Counters

DEFAULT_EVERY = 15.0
STOP_GRACE = 2.0  # seconds to push what is queued when stopping
SERIES_CACHE = 50000  # encoded label sets kept between passes


class Health(NamedTuple):
    name: str
    kind: str
    help: str
    value: Callable[[Stats, Spool], Optional[float]]


HEALTH = [
    Health("remote_write_samples_sent_total", COUNTER, "Samples the receiver accepted since the program started.",
           lambda stats, spool: stats.sent),
    Health("remote_write_samples_failed_total", COUNTER, "Samples the receiver refused for good (an answer "
           "such as 400 or 401, which a retry cannot change) since the program started.",
           lambda stats, spool: stats.failed),
    Health("remote_write_samples_dropped_total", COUNTER, "Samples dropped unsent because the queue was full "
           "(--remote-write.buffer-max-bytes) since the program started.", lambda stats, spool: spool.dropped),
    Health("remote_write_queued_bytes", GAUGE, "Bytes of batches waiting to be sent, in memory or on disk "
           "(each counted in whole 4 KiB blocks).", lambda stats, spool: spool.queued_bytes),
    Health("remote_write_last_success_timestamp_seconds", GAUGE, "When the receiver last accepted a push, "
           "in seconds since the epoch (no sample before the first).", lambda stats, spool: stats.last_success),
]


def health_families(stats: Stats, spool: Spool) -> List[Family]:
    out = []
    for row in HEALTH:
        value = row.value(stats, spool)
        if value is not None:
            out.append(Family(PREFIX + row.name, row.kind, row.help, (), [((), value)]))
    return out


def all_metadata() -> bytes:
    """The type and help of every family a push can carry."""
    return b"".join([wire.metadata(row.kind, PREFIX + row.name, row.help) for row in FAMILIES] +
                    [wire.metadata(row.kind, PREFIX + row.name, row.help) for row in HEALTH])


class Batcher:
    """Turns a pass into one batch: (the WriteRequest, compressed; its sample count)."""

    def __init__(self, extra: Dict[str, str]) -> None:
        self._extra = [(name, value) for name, value in extra.items() if value]
        self._encoded: Dict[Tuple[str, Labels], bytes] = {}

    def batch(self, counters: Counters, health: List[Family]) -> Tuple[bytes, int]:
        stamp = counters.get("timestamp")
        if not isinstance(stamp, float) or not math.isfinite(stamp):
            stamp = time.time()
        milliseconds = round(stamp * 1000)
        parts = []
        for family in families(counters, read_own()) + health:
            for values, value in family.samples:
                key = (family.name, values)
                encoded = self._encoded.get(key)
                if encoded is None:
                    if len(self._encoded) >= SERIES_CACHE:  # device names that keep changing
                        self._encoded.clear()
                    pairs = [("__name__", family.name), *zip(family.labels, values), *self._extra]
                    encoded = wire.labels(sorted((name, text) for name, text in pairs if text))
                    self._encoded[key] = encoded
                parts.append(wire.series(encoded, float(value), milliseconds))
        return wire.compress(b"".join(parts)), len(parts)


def add_arguments(parser: argparse.ArgumentParser) -> None:
    push_options.add_arguments(parser, "\n".join(f"  {PREFIX + row.name:<50} {row.kind}" for row in HEALTH))


def check_arguments(parser: argparse.ArgumentParser, args: argparse.Namespace) -> None:
    push_options.check_arguments(parser, args)


# --- running ------------------------------------------------------------------

def log(line: str) -> None:
    print(f"quillmere-exporter: {line}", file=sys.stderr, flush=True)


def user_agent() -> str:
    try:
        version = distribution.version("quillmere")
    except distribution.PackageNotFoundError:
        version = "unknown"
    return f"quillmere-exporter/{version}"


def run(args: argparse.Namespace, read: Callable[[], Counters]) -> int:
    if wire.MISSING_SNAPPY is not None:
        print("quillmere-exporter --remote-write needs cramjam, which is not installed "
              f"({wire.MISSING_SNAPPY}). Install it with: pip install cramjam "
              "(or, in quillmere's source tree: pip install '.[push]').", file=sys.stderr)
        return 1
    url = args.remote_write
    shown = f"{url.scheme}://{url.netloc}{url.path}"
    try:
        credentials = push_options.Credentials(args, log)
        context = tls_context(args)
    except (OSError, ValueError) as error:  # ssl.SSLError is an OSError
        reason = error.strerror if isinstance(error, OSError) and error.strerror else str(error)
        filename = getattr(error, "filename", None)
        log(f"cannot use {filename}: {reason}" if filename else reason)
        return 1
    directory = args.rw_buffer_dir or default_buffer_dir()
    spool = Spool(directory, args.rw_buffer_max_bytes or DEFAULT_MAX_BYTES, log)
    try:
        spool.open()
    except QueueInUse:
        log(f"the queue directory {directory} is in use by another quillmere-exporter")
        return 1
    except OSError as error:
        log(f"cannot use the queue directory {directory}: {error.strerror or error} "
            "(choose another with --remote-write.buffer-dir)")
        return 1

    extra = {"job": "quillmere", "instance": socket.gethostname(), **dict(args.labels or ())}
    batcher = Batcher(extra)
    stats = Stats()
    connection = Connection(url, context, {"User-Agent": user_agent()}, credentials.header)
    every = args.every if args.every is not None else DEFAULT_EVERY
    # The cap of the back-off: a receiver that returns is noticed within one
    # period, and within 5 s at short periods.
    pusher = Pusher(connection, spool, stats, min(max(5.0, every), 60.0), all_metadata(), shown, log)
    stop = threading.Event()

    def request_stop(signum: int, frame: object) -> None:
        stop.set()

    signal.signal(signal.SIGINT, request_stop)
    signal.signal(signal.SIGTERM, request_stop)
    queued = len(spool)
    print(f"pushing to {shown} every {every:g} s" + (f"; {queued} batches queued from before" if queued else ""),
          flush=True)
    pusher.start()
    try:
        next_pass = time.monotonic()
        while not stop.is_set():
            try:
                data, samples = batcher.batch(read(), health_families(stats, spool))
            except Exception as error:  # the sampler's MemoryError or RuntimeError: this pass is lost, not the program
                log(f"cannot read the counters: {error!r}")
            else:
                spool.put(data, samples)
            next_pass += every
            now = time.monotonic()
            if next_pass <= now:  # overran: skip the ticks that passed
                next_pass += (math.floor((now - next_pass) / every) + 1) * every
            stop.wait(next_pass - now)
    finally:
        pusher.stop(STOP_GRACE)
        spool.spill()
        connection.close()
        spool.close()
    return 0
