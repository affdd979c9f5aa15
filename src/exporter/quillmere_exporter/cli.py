"""The quillmere-exporter command line, and the place where the parts meet:
the sampler's read_counters() feeds the families, the exposition renders
them, and the server or the textfile writer delivers them.

What it promises:
- A bad option value is a usage error (exit 2) that names the option and
  says what it takes.
- Without prometheus_client the program says how to install it and exits 1.
- HTTP mode prints the URL it serves once it listens; a port in use or an
  address it cannot bind gives one line on stderr and exit 1; SIGINT and
  SIGTERM stop it with exit 0.
- Every scrape is answered from a read_counters() pass that began after it
  arrived (the server hands over every scrape that waited, and they share one
  pass); a pass that fails answers 500 and the server goes on.
- The pass reads the roots given by --path.procfs, --path.sysfs and
  --path.rootfs (only those given are passed on), and the block devices that
  --collector.diskstats.device-exclude matches have no series.
"""

from __future__ import annotations

import argparse
import math
import re
import signal
import sys
from typing import TYPE_CHECKING, Callable, Dict, List, Optional, Pattern, Sequence, Tuple
from urllib.parse import parse_qs

from . import exposition, push, server
from .families import label_value, metric_list
from .push_options import nonempty
from .server import Request, Response, Server
from .textfile import run_textfile

if TYPE_CHECKING:  # the TypedDicts exist only in the stub
    from quillmere_sampler import Counters


# Block devices left out by default: loop devices (a loop device's I/O is
# I/O of a file on another disk, counted there again; a system with snaps has
# dozens of them, idle), RAM disks and zram devices (memory, not storage:
# their "busy time" is no disk's, and swapping to zram shows in the swap page
# counters and the memory pressure). Partitions of a loop device go with it.
DISK_EXCLUDE = r"^(loop|ram|zram)[0-9]+(p[0-9]+)?$"


def reader(read_counters: Callable[..., Counters], roots: Dict[str, str],
           disk_exclude: Optional[Pattern[str]]) -> Callable[[], Counters]:
    """One pass of read_counters with the roots (procfs=, sysfs=, rootfs=)
    that were given, without the block devices disk_exclude matches (as
    their label values read)."""
    def read() -> Counters:
        counters = read_counters(**roots)
        disks = counters["disks"]
        if disk_exclude is not None and disks is not None:
            counters["disks"] = {name: fields for name, fields in disks.items()
                                 if not disk_exclude.search(label_value(name))}
        return counters
    return read


def answer_scrapes(read: Callable[[], Counters], requests: Sequence[Request]) -> List[Response]:
    """Answers a batch of scrapes from one read: every request in it arrived
    before the read began. Any path serves the metrics but /favicon.ico,
    which is empty; identical requests share one rendering."""
    try:
        counters = read()
    except Exception as error:  # the sampler's MemoryError or RuntimeError: the scrape fails, not the server
        print(f"quillmere-exporter: cannot read the counters: {error!r}", file=sys.stderr, flush=True)
        return [Response(500, f"cannot read the counters: {error}\n".encode(), [("Content-Type", "text/plain")])
                for _ in requests]
    rendered: Dict[Tuple[str, str, Tuple[str, ...]], Response] = {}
    responses = []
    for request in requests:
        if request.path == "/favicon.ico":
            responses.append(Response(200))
            continue
        key = (request.headers.get("accept", ""), request.headers.get("accept-encoding", ""),
               tuple(parse_qs(request.query).get("name[]", ())))
        if key not in rendered:
            rendered[key] = Response(200, *exposition.render(counters, *key))
        responses.append(rendered[key])
    return responses


def run_server(address: str, port: int, read: Callable[[], Counters]) -> int:
    try:
        http = Server(address, port, lambda requests: answer_scrapes(read, requests))
    except (OSError, UnicodeError) as error:
        reason = (error.strerror or str(error)) if isinstance(error, OSError) else "invalid address"
        print(f"quillmere-exporter: cannot listen on {address} port {port}: {reason}", file=sys.stderr)
        return 1

    host = f"[{address}]" if ":" in address else address
    print(f"serving http://{host}:{http.server_port}/metrics", flush=True)
    # SIGTERM stops the server the same way as Ctrl-C.
    signal.signal(signal.SIGTERM, signal.default_int_handler)
    try:
        http.serve_forever()
    except KeyboardInterrupt:
        pass
    finally:
        http.close()
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


def _pattern(text: str) -> Optional[Pattern[str]]:
    if not text:
        return None  # the empty pattern leaves nothing out
    try:
        return re.compile(text)
    except re.error as error:
        raise argparse.ArgumentTypeError(f"must be a regular expression, not {text!r} ({error})") from None


def parser() -> argparse.ArgumentParser:
    width = max(len(name) for name, _, _ in metric_list())
    listing = "\n".join(f"  {name:<{width}}  {kind:<7}  {doc}" for name, kind, doc in metric_list())
    epilog = (
        "Each scrape (or file write) is answered from one read of the sources that began\n"
        "after it arrived (scrapes that arrive together share it); nothing runs in between.\n"
        f"A connection that sends no complete request within {server.TIMEOUT:g} s is closed; at most "
        f"{server.MAX_CONNECTIONS}\nare open at once.\n"
        "Counters hold totals since boot: use rate() or increase() in PromQL. A source\n"
        "that cannot be read has no series; quillmere_source_up{source} is 0 for it.\n"
        "Device and zone names that are not valid UTF-8 show each such byte as \\xNN.\n"
        "Block devices left out by default: loop devices (their I/O is a file's on another\n"
        "disk, counted there), RAM disks and zram (memory, not storage; swapping to zram\n"
        "shows in quillmere_swap_*_pages_total and the memory pressure).\n"
        "Throttle conditions: under_voltage (bit 0, since boot bit 16),\n"
        "arm_frequency_capped (1, 17), throttled (2, 18), soft_temperature_limit (3, 19).\n"
        "vcgencmd is looked up on PATH; each run is bounded to 1 s, so a scrape takes\n"
        "at most about 2 s even when the tool hangs.\n\n"
        "Metrics:\n" + listing
    )
    p = argparse.ArgumentParser(prog="quillmere-exporter", description="Serves this host's counters and gauges to "
                                "Prometheus over HTTP, or writes them for node_exporter's textfile collector.",
                                epilog=epilog, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--address", type=nonempty, default="127.0.0.1",
                   help="address to listen on (default 127.0.0.1; 0.0.0.0 or :: to serve the network)")
    p.add_argument("--port", type=_port, default=9864, help="TCP port (default 9864; 0 picks a free one)")
    p.add_argument("--textfile", metavar="PATH", type=nonempty,
                   help="write the metrics to PATH (for example /var/lib/prometheus/node-exporter/"
                        "quillmere.prom) instead of serving HTTP; replaced atomically")
    p.add_argument("--every", metavar="SECONDS", type=_every,
                   help=f"with --textfile: rewrite the file every SECONDS ({EVERY_MIN:g} to {EVERY_MAX:g}) "
                        "until stopped (default: once); with --remote-write: push every SECONDS (default 15)")
    push.add_arguments(p)
    for root, default in (("procfs", "/proc"), ("sysfs", "/sys"), ("rootfs", "/")):
        p.add_argument(f"--path.{root}", dest=root, metavar="PATH", type=nonempty,
                       help=f"where the host's {default} is mounted (default {default}); in a container, "
                            f"the host's {default} mounted read-only, for example /host{default.rstrip('/')}")
    p.add_argument("--collector.diskstats.device-exclude", dest="disk_exclude", metavar="REGEX", type=_pattern,
                   default=DISK_EXCLUDE, help="block devices whose name this regular expression matches "
                   f"(anywhere: anchor it) have no series (default {DISK_EXCLUDE}: loop devices, RAM disks "
                   "and zram, see below; an empty REGEX leaves none out)")
    return p


def main(argv: Optional[Sequence[str]] = None, read_counters: Optional[Callable[..., Counters]] = None) -> int:
    """The program; read_counters replaces quillmere_sampler's (a test's
    synthetic counters)."""
    args = parser().parse_args(argv)
    if args.every is not None and args.textfile is None and args.remote_write is None:
        parser().error("--every needs --textfile or --remote-write")
    push.check_arguments(parser(), args)
    if read_counters is None:
        import quillmere_sampler

        read_counters = quillmere_sampler.read_counters
    roots = {root: getattr(args, root) for root in ("procfs", "sysfs", "rootfs") if getattr(args, root) is not None}
    read = reader(read_counters, roots, args.disk_exclude)
    if args.remote_write is not None:
        return push.run(args, read)
    if exposition.MISSING_CLIENT is not None:
        print("quillmere-exporter needs prometheus_client, which is not installed "
              f"({exposition.MISSING_CLIENT}). Install it with: pip install prometheus_client "
              "(or, in quillmere's source tree: pip install '.[exporter]').", file=sys.stderr)
        return 1
    if args.textfile is not None:
        registry = exposition.make_registry(read, textfile=True)
        return run_textfile(args.textfile, args.every, lambda: exposition.generate_latest(registry))
    return run_server(args.address, args.port, read)
