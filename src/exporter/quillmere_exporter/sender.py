"""Sending queued batches to a remote-write receiver: one HTTP or HTTPS
connection kept open between pushes, and the thread that drains the queue.

What it promises:
- Every request is a POST of a snappy-compressed WriteRequest with
  Content-Encoding: snappy, Content-Type: application/x-protobuf,
  X-Prometheus-Remote-Write-Version: 0.1.0, a User-Agent naming the program
  and its version, and Authorization when credentials were given. The
  credentials appear in no log line and no error message.
- Every socket operation waits at most TIMEOUT s. A kept-alive connection
  that the receiver closed while idle is reopened at once, once: that is not
  a failure.
- The answer decides: 2xx, the batches were sent. 429, 5xx or no answer at
  all (refused, reset, timed out, a certificate that does not verify): the
  batches stay queued (the queue goes to disk) and are sent again after a
  back-off that doubles from MIN_BACKOFF up to the cap, each wait drawn
  between half and all of it so that a fleet does not retry in step, or
  after the receiver's Retry-After when that is longer (at most
  MAX_RETRY_AFTER). Any other status cannot succeed by retrying: the batches
  are dropped with one log line and their samples counted as failed; a
  request of several batches is first tried again batch by batch, so that
  one bad batch takes no other with it.
- Oldest first: a batch leaves only after every batch before it was sent or
  dropped, so each series arrives in order.
- The type and help of each family go in a request of their own after the
  first success and every METADATA_EVERY s while pushes succeed; a receiver
  that refuses them is not asked again. These requests count in no
  sample figure.
- The first failed push of an outage and the first success after it print
  one line each; refusals print one line each, except that further ones with
  the same status within QUIET s are only counted, in the next line.
"""

from __future__ import annotations

import http.client
import random
import socket
import ssl
import threading
import time
from typing import Callable, Dict, List, NamedTuple, Optional, Tuple
from urllib.parse import SplitResult

from . import wire
from .spool import Entry, Spool

TIMEOUT = 30.0  # seconds, per socket operation
MIN_BACKOFF = 0.5
MAX_RETRY_AFTER = 300.0
GROUP_SAMPLES = 2000  # samples in one request when a backlog is sent
METADATA_EVERY = 600.0
QUIET = 600.0  # seconds between two log lines about refusals with the same status
ANSWER_LIMIT = 4096  # bytes of an answer's body read (for the log line); a longer one closes the connection


class Answer(NamedTuple):
    status: Optional[int]  # None: no answer
    reason: str  # for the log: the error, or the start of the answer's body
    retry_after: Optional[float]


def retryable(answer: Answer) -> bool:
    return answer.status is None or answer.status == 429 or answer.status >= 500


class Connection:
    """POSTs to one URL over a connection kept open between requests."""

    def __init__(self, url: SplitResult, context: Optional[ssl.SSLContext], headers: Dict[str, str],
                 credentials: Callable[[], Dict[str, str]] = dict) -> None:
        self._url = url
        self._target = (url.path or "/") + (f"?{url.query}" if url.query else "")
        self._context = context
        self._headers = {"Content-Encoding": "snappy", "Content-Type": "application/x-protobuf",
                         "X-Prometheus-Remote-Write-Version": "0.1.0", **headers}
        self._credentials = credentials  # the Authorization header of each request
        self._conn: Optional[http.client.HTTPConnection] = None
        self._lock = threading.Lock()  # abort() against the sender's own use

    def _open(self) -> http.client.HTTPConnection:
        host, port = self._url.hostname or "", self._url.port
        if self._context is not None:
            return http.client.HTTPSConnection(host, port, timeout=TIMEOUT, context=self._context)
        return http.client.HTTPConnection(host, port, timeout=TIMEOUT)

    def post(self, body: bytes) -> Answer:
        for _ in range(2):
            with self._lock:
                if self._conn is None:
                    self._conn = self._open()
                conn = self._conn
            reused = conn.sock is not None
            try:
                conn.request("POST", self._target, body, {**self._headers, **self._credentials()})
                response = conn.getresponse()
                text = response.read(ANSWER_LIMIT)
                if not response.isclosed():
                    self.close()  # the rest of a long answer is not worth reading
            except (OSError, http.client.HTTPException) as error:
                self.close()
                if reused and isinstance(error, (ConnectionError, http.client.RemoteDisconnected)):
                    continue  # closed by the receiver while idle: once more on a new connection
                return Answer(None, describe(error), None)
            retry_after = response.getheader("Retry-After", "")
            return Answer(response.status, " ".join(text.decode("utf-8", "replace").split())[:200],
                          float(retry_after) if retry_after.isdigit() else None)
        return Answer(None, "the connection was closed twice", None)

    def close(self) -> None:
        with self._lock:
            conn, self._conn = self._conn, None
        if conn is not None:
            conn.close()

    def abort(self) -> None:
        """Ends a request in progress from another thread."""
        with self._lock:
            sock = self._conn.sock if self._conn is not None else None
        if sock is not None:
            try:
                sock.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass


def describe(error: BaseException) -> str:
    if isinstance(error, ssl.SSLCertVerificationError):
        return f"TLS certificate verify failed: {error.verify_message}"
    if isinstance(error, socket.timeout):
        return f"no answer within {TIMEOUT:g} s"
    if isinstance(error, OSError) and error.strerror:
        return error.strerror
    return str(error) or type(error).__name__


class Stats:
    """What the sender did since the program started; read by the pass
    thread for the health metrics."""

    def __init__(self) -> None:
        self.sent = 0  # samples
        self.failed = 0  # samples the receiver refused for good
        self.last_success: Optional[float] = None  # seconds since the epoch


class Pusher(threading.Thread):
    def __init__(self, connection: Connection, spool: Spool, stats: Stats, max_backoff: float, metadata: bytes,
                 shown_url: str, log: Callable[[str], None]) -> None:
        # A daemon: a request stuck in name resolution or connect cannot hold
        # up the exit once stop() has waited its bound.
        super().__init__(name="quillmere-push", daemon=True)
        self._connection = connection
        self._spool = spool
        self._stats = stats
        self._max_backoff = max_backoff
        self._metadata: Optional[bytes] = wire.compress(metadata) if metadata else None
        self._next_metadata = 0.0
        self._url = shown_url
        self._log = log
        self._stopping = threading.Event()
        self._deadline = 0.0
        self._failing = False
        self._failing_since = 0.0
        self._backoff = MIN_BACKOFF
        self._single_until = -1  # batches up to this one go one request each
        self._refusals = (0, 0.0, 0)  # (status, when last logged, batches refused since then unlogged)

    def stop(self, grace: float) -> None:
        """Lets the sender push what is queued for up to `grace` s while the
        receiver answers, then ends its request and waits for it (bounded)."""
        self._deadline = time.monotonic() + grace
        self._stopping.set()
        self.join(grace + 1)
        if self.is_alive():
            self._connection.abort()
            self.join(2)

    def run(self) -> None:
        while True:
            stopping = self._stopping.is_set()
            if stopping and (self._failing or time.monotonic() > self._deadline):
                return
            if not stopping and not self._failing:
                self._send_metadata()
            # While failing, the oldest batch alone probes the receiver: no
            # backlog is read from disk and recompressed for each retry.
            group = self._spool.take(1 if self._failing else GROUP_SAMPLES, 0.05 if stopping else 1.0)
            if not group:
                if stopping:
                    return
                continue
            if group[0].seq <= self._single_until:
                self._spool.release(group[1:])
                group = group[:1]
            self._send(group)

    def _body(self, group: List[Entry]) -> Tuple[Optional[bytes], List[Entry]]:
        """(the request body, the batches in it); unreadable batches are
        left out (the queue drops them)."""
        parts: List[bytes] = []
        entries: List[Entry] = []
        for entry in group:
            data = self._spool.read(entry)
            if data is not None:
                parts.append(data)
                entries.append(entry)
        if len(parts) <= 1:
            return (parts[0] if parts else None), entries
        try:
            return wire.compress(b"".join(wire.decompress(part) for part in parts)), entries
        except Exception:  # a damaged batch: each goes alone, and the receiver judges it
            self._spool.release(entries)
            self._single_until = entries[-1].seq
            return None, []

    def _send(self, group: List[Entry]) -> None:
        body, entries = self._body(group)
        if body is None:
            return
        answer = self._connection.post(body)
        samples = sum(entry.samples for entry in entries)
        if answer.status is not None and 200 <= answer.status < 300:
            self._spool.finish(entries)
            self._stats.sent += samples
            self._stats.last_success = time.time()
            self._answered()
        elif retryable(answer):
            self._spool.release(entries)
            if not self._failing:
                self._failing = True
                self._failing_since = time.monotonic()
                where = self._spool.directory or "memory"
                self._log(f"cannot push to {self._url}: {self._what(answer)}; queueing in {where} "
                          "and retrying")
            self._spool.spill()
            delay = random.uniform(self._backoff / 2, self._backoff)
            if answer.retry_after is not None:
                delay = max(delay, min(answer.retry_after, MAX_RETRY_AFTER))
            self._backoff = min(self._backoff * 2, self._max_backoff)
            self._stopping.wait(delay)
        elif len(entries) > 1:
            self._spool.release(entries)
            self._single_until = entries[-1].seq
        else:
            self._spool.finish(entries)
            self._stats.failed += samples
            self._refused(answer, samples)
            self._answered()

    def _answered(self) -> None:
        """The receiver answers: new batches stay in memory again (also after
        a restart that found a queue on disk)."""
        self._backoff = MIN_BACKOFF
        self._spool.resume()
        if self._failing:
            self._failing = False
            self._log(f"pushing to {self._url} again after {time.monotonic() - self._failing_since:.0f} s")

    def _refused(self, answer: Answer, samples: int) -> None:
        status, logged, unlogged = self._refusals
        now = time.monotonic()
        if answer.status == status and now - logged < QUIET:
            self._refusals = (status, logged, unlogged + 1)
            return
        more = f" ({unlogged} more batches refused with status {status} since the last line)" if unlogged else ""
        self._log(f"{self._url} refused {samples} samples with {self._what(answer)}; dropped{more}")
        self._refusals = (answer.status or 0, now, 0)

    @staticmethod
    def _what(answer: Answer) -> str:
        if answer.status is None:
            return answer.reason
        return f"status {answer.status}" + (f" ({answer.reason})" if answer.reason else "")

    def _send_metadata(self) -> None:
        if self._metadata is None or self._stats.last_success is None or time.monotonic() < self._next_metadata:
            return
        answer = self._connection.post(self._metadata)
        if answer.status is not None and 200 <= answer.status < 300:
            self._next_metadata = time.monotonic() + METADATA_EVERY
        elif retryable(answer):
            self._next_metadata = time.monotonic() + self._max_backoff
        else:
            self._log(f"{self._url} refused the metric types and help ({self._what(answer)}); not sent again")
            self._metadata = None
