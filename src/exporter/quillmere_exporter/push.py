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
- Options that cannot work are usage errors (exit 2): credentials over plain
  http without --remote-write.allow-insecure, a --label that is not a valid
  label or that names a label of quillmere's own series, and the like.
  Credentials come from files only, read once at start; a file that cannot
  be read, or a queue directory that cannot be made or is in use, gives one
  line and exit 1. Without cramjam the program says how to install it.
- Prints "pushing to URL every N s" once it runs; SIGINT and SIGTERM stop it
  with status 0 after at most a few seconds: while the receiver answers it
  pushes what is queued first, and whatever is still queued is written to
  the queue directory for the next run.
"""

from __future__ import annotations

import argparse
import base64
import math
import os
import re
import signal
import socket
import ssl
import stat
import sys
import threading
import time
from importlib import metadata as distribution
from typing import TYPE_CHECKING, Callable, Dict, List, NamedTuple, Optional, Tuple
from urllib.parse import SplitResult, urlsplit

from . import wire
from .families import COUNTER, FAMILIES, GAUGE, PREFIX, Family, Labels, families
from .sender import Connection, Pusher, Stats
from .spool import BLOCK, QueueInUse, Spool

if TYPE_CHECKING:  # the TypedDicts exist only in the stub
    from quillmere_sampler import Counters

DEFAULT_EVERY = 15.0
DEFAULT_BUFFER_DIR = "/var/lib/quillmere-exporter"
# 24 h at 15 s is 5760 batches; a batch of this host's families takes one
# 4 KiB block (about 1.4 KiB compressed), so 64 MiB holds them even if each
# grew to 8 KiB, and 3 days as they are.
DEFAULT_MAX_BYTES = 64 << 20
SECRET_LIMIT = 64 << 10  # bytes read from a credentials file
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
        for family in families(counters) + health:
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


# --- options ------------------------------------------------------------------

LABEL_NAME = re.compile(r"[a-zA-Z_][a-zA-Z0-9_]*")


def _url(text: str) -> SplitResult:
    try:
        url = urlsplit(text)
        url.port  # noqa: B018 - raises ValueError for a port out of range
    except ValueError as error:
        raise argparse.ArgumentTypeError(f"not a URL: {error}") from None
    if url.scheme not in ("http", "https") or not url.hostname:
        raise argparse.ArgumentTypeError(f"must be an http:// or https:// URL with a host, not {text!r}")
    if url.username is not None or url.password is not None:
        raise argparse.ArgumentTypeError("must not carry credentials: give them in files "
                                         "(--remote-write.bearer-token-file or --remote-write.basic-auth-*)")
    if url.fragment:
        raise argparse.ArgumentTypeError("must not have a #fragment")
    return url


def _label(text: str) -> Tuple[str, str]:
    name, equals, value = text.partition("=")
    if not equals or not LABEL_NAME.fullmatch(name) or name.startswith("__"):
        raise argparse.ArgumentTypeError(f"must be NAME=VALUE with a label name ([a-zA-Z_][a-zA-Z0-9_]*, "
                                         f"not starting with __), not {text!r}")
    try:
        value.encode("utf-8")
    except UnicodeEncodeError:
        raise argparse.ArgumentTypeError(f"the value of {name} is not valid UTF-8") from None
    if not value:
        raise argparse.ArgumentTypeError(f"the value of {name} is empty (an empty label is no label)")
    return name, value


def _size(text: str) -> int:
    match = re.fullmatch(r"([0-9]{1,15})([KMG]?)", text)
    size = int(match.group(1)) << {"": 0, "K": 10, "M": 20, "G": 30}[match.group(2)] if match else -1
    if not BLOCK <= size <= 1 << 40:
        raise argparse.ArgumentTypeError(f"must be a number of bytes from {BLOCK} to 1T, with an optional "
                                         f"K, M or G (powers of 1024), not {text!r}")
    return size


def _path(text: str) -> str:
    if not text:
        raise argparse.ArgumentTypeError("must not be empty")
    return text


def default_buffer_dir() -> str:
    # systemd sets STATE_DIRECTORY for a unit with StateDirectory=.
    return os.environ.get("STATE_DIRECTORY", "").split(":")[0] or DEFAULT_BUFFER_DIR


# (option, attribute): the options that only mean something with --remote-write.
OPTIONS = [("--label", "labels"), ("--remote-write.buffer-dir", "rw_buffer_dir"),
           ("--remote-write.buffer-max-bytes", "rw_buffer_max_bytes"), ("--remote-write.ca-file", "rw_ca_file"),
           ("--remote-write.cert-file", "rw_cert_file"), ("--remote-write.key-file", "rw_key_file"),
           ("--remote-write.bearer-token-file", "rw_bearer_token_file"),
           ("--remote-write.basic-auth-username", "rw_basic_auth_username"),
           ("--remote-write.basic-auth-password-file", "rw_basic_auth_password_file"),
           ("--remote-write.allow-insecure", "rw_allow_insecure")]


def add_arguments(parser: argparse.ArgumentParser) -> None:
    health = "\n".join(f"  {PREFIX + row.name:<50} {row.kind}" for row in HEALTH)
    group = parser.add_argument_group(
        "push (remote write)",
        "Pushes the same families every --every seconds (default 15) to a remote-write receiver, with "
        "job=\"quillmere\" and instance=<host name>, queueing on disk while it cannot be reached. Also pushed:\n"
        + health)
    group.add_argument("--remote-write", metavar="URL", type=_url,
                       help="push to this remote-write URL (https://host/api/v1/write) instead of serving HTTP")
    group.add_argument("--label", metavar="NAME=VALUE", dest="labels", type=_label, action="append",
                       help="add this label to every pushed series (repeatable; instance=... replaces the host name)")
    group.add_argument("--remote-write.buffer-dir", metavar="DIR", dest="rw_buffer_dir", type=_path,
                       help="where batches wait while the receiver cannot be reached (made mode 0700; default "
                            f"$STATE_DIRECTORY, else {DEFAULT_BUFFER_DIR})")
    group.add_argument("--remote-write.buffer-max-bytes", metavar="BYTES", dest="rw_buffer_max_bytes", type=_size,
                       help=f"bound of that queue; the oldest batches are dropped beyond it (default "
                            f"{DEFAULT_MAX_BYTES >> 20}M: a day at 15 s, with room)")
    group.add_argument("--remote-write.ca-file", metavar="FILE", dest="rw_ca_file", type=_path,
                       help="trust the CAs in FILE instead of the system's")
    group.add_argument("--remote-write.cert-file", metavar="FILE", dest="rw_cert_file", type=_path,
                       help="client certificate (PEM), for receivers that ask for one")
    group.add_argument("--remote-write.key-file", metavar="FILE", dest="rw_key_file", type=_path,
                       help="its private key, when not in the certificate file")
    group.add_argument("--remote-write.bearer-token-file", metavar="FILE", dest="rw_bearer_token_file", type=_path,
                       help="send the token in FILE as Authorization: Bearer")
    group.add_argument("--remote-write.basic-auth-username", metavar="USER", dest="rw_basic_auth_username",
                       type=_path, help="basic authentication user (with the password file)")
    group.add_argument("--remote-write.basic-auth-password-file", metavar="FILE",
                       dest="rw_basic_auth_password_file", type=_path, help="basic authentication password")
    group.add_argument("--remote-write.allow-insecure", dest="rw_allow_insecure", action="store_true", default=None,
                       help="allow credentials over plain http (they can then be read on the way)")


def check_arguments(parser: argparse.ArgumentParser, args: argparse.Namespace) -> None:
    """Usage errors among the push options (parser.error exits 2)."""
    if args.remote_write is None:
        for option, attribute in OPTIONS:
            if getattr(args, attribute) is not None:
                parser.error(f"{option} needs --remote-write")
        return
    if args.textfile is not None:
        parser.error("--remote-write and --textfile are two modes: choose one")
    own = {name for row in FAMILIES for name in row.labels}
    seen = set()
    for name, _ in args.labels or ():
        if name in own:
            parser.error(f"argument --label: {name} is a label of quillmere's own series")
        if name in seen:
            parser.error(f"argument --label: {name} is given twice")
        seen.add(name)
    https = args.remote_write.scheme == "https"
    for option, attribute in OPTIONS[3:6]:
        if getattr(args, attribute) is not None and not https:
            parser.error(f"{option} needs an https:// URL")
    if args.rw_key_file is not None and args.rw_cert_file is None:
        parser.error("--remote-write.key-file needs --remote-write.cert-file")
    basic = (args.rw_basic_auth_username, args.rw_basic_auth_password_file)
    if (basic[0] is None) != (basic[1] is None):
        parser.error("--remote-write.basic-auth-username and --remote-write.basic-auth-password-file go together")
    if basic[0] is not None and args.rw_bearer_token_file is not None:
        parser.error("choose one of bearer token and basic authentication")
    if (basic[0] is not None or args.rw_bearer_token_file is not None) and not https and not args.rw_allow_insecure:
        parser.error("credentials over plain http can be read on the way: use an https:// URL, "
                     "or --remote-write.allow-insecure")


# --- running ------------------------------------------------------------------

def log(line: str) -> None:
    print(f"quillmere-exporter: {line}", file=sys.stderr, flush=True)


def read_secret(path: str, what: str) -> str:
    """The secret in `path`, without surrounding blanks. OSError or
    ValueError name the file, never its content."""
    fd = os.open(path, os.O_RDONLY | os.O_CLOEXEC | os.O_NONBLOCK)
    try:
        if not stat.S_ISREG(os.fstat(fd).st_mode):
            raise ValueError(f"the {what} file {path} is not a regular file")
        data = os.read(fd, SECRET_LIMIT + 1)
    finally:
        os.close(fd)
    try:
        secret = data.decode("utf-8").strip()
    except UnicodeDecodeError:
        secret = ""
    if len(data) > SECRET_LIMIT or not secret or any(ord(c) < 0x20 or ord(c) == 0x7F for c in secret):
        raise ValueError(f"the {what} in {path} is empty, too long or has characters a header cannot carry")
    return secret


def authorization(args: argparse.Namespace) -> Dict[str, str]:
    if args.rw_bearer_token_file is not None:
        token = read_secret(args.rw_bearer_token_file, "bearer token")
        if not token.isascii():
            raise ValueError(f"the bearer token in {args.rw_bearer_token_file} is not ASCII")
        return {"Authorization": f"Bearer {token}"}
    if args.rw_basic_auth_password_file is not None:
        password = read_secret(args.rw_basic_auth_password_file, "password")
        pair = f"{args.rw_basic_auth_username}:{password}".encode()
        return {"Authorization": "Basic " + base64.b64encode(pair).decode()}
    return {}


def tls_context(args: argparse.Namespace) -> Optional[ssl.SSLContext]:
    if args.remote_write.scheme != "https":
        return None
    context = ssl.create_default_context(cafile=args.rw_ca_file)  # the system's CAs without a file
    context.minimum_version = ssl.TLSVersion.TLSv1_2
    if args.rw_cert_file is not None:
        context.load_cert_chain(args.rw_cert_file, args.rw_key_file)
    return context


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
        headers = {"User-Agent": user_agent(), **authorization(args)}
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
    connection = Connection(url, context, headers)
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
