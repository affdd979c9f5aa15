"""A small HTTP/1.1 server whose answers are made on a worker thread, away
from the sockets. It knows nothing of metrics: the handler decides what each
request gets.

What it promises:
- One thread (the one that calls serve_forever) owns every socket and never
  waits on a client: sockets are non-blocking and watched by one selector, so
  an idle, slow or stalled client costs one descriptor and a little memory,
  never a thread, and never delays another client's answer.
- A connection must deliver a complete request head (protocol.py says what
  one is) within `timeout` seconds of being accepted, or of its previous
  answer when kept alive, and must take in each answer within `timeout`
  seconds; otherwise it is closed. A head that is malformed or too long is
  answered with its error status and the connection closed.
- At most `max_connections` are open at once, fewer when the descriptor limit
  leaves less room. A new connection beyond that bound, or one that meets the
  descriptor limit, closes the connection that has waited longest for a
  request, once that one has waited a second; until then, and while every
  connection is being answered, new ones wait in the listen backlog
  (`backlog`, capped by the kernel at net.core.somaxconn). The listening
  socket is not polled while it cannot be served, so a full table or an
  exhausted descriptor table never makes the loop spin.
- The handler runs on one worker thread and gets, in one call, every request
  that arrived while it was busy, so a burst of requests is answered from one
  piece of work; it returns one Response per Request, in order. A handler that
  raises answers that batch with 500 and the server goes on.
- GET and HEAD go to the handler; other methods are answered here.
- serve_forever() returns after shutdown() and lets KeyboardInterrupt
  through; close() closes every socket and joins the worker (bounded wait).
"""

from __future__ import annotations

import collections
import contextlib
import errno
import queue
import resource
import selectors
import socket
import threading
import time
import traceback
from typing import Callable, Deque, Dict, Optional, Sequence, Set, Tuple

from .protocol import HEAD_LIMIT, Request, Response, head_end, other_method, parse_head, serialize

# The defaults of Server: seconds a connection may take to send a request or
# take in an answer, connections open at once, and the listen backlog.
TIMEOUT = 10.0
MAX_CONNECTIONS = 512
BACKLOG = 1024
# Descriptors kept free of connections: standard streams, listener, selector,
# wake-up pair, the sources a pass opens and a firmware tool's pipes.
RESERVED_DESCRIPTORS = 32
# Accept at most this many connections per wake-up, so that a flood of new
# connections cannot starve those already open.
ACCEPT_BATCH = 64
# A connection that has sent no complete request for this long may be closed
# to make room for a new one; a real client sends its request at once.
EVICTABLE_AFTER = 1.0


Handler = Callable[[Sequence[Request]], Sequence[Response]]


class _Connection:
    __slots__ = ("sock", "received", "pending", "deadline", "keep_alive", "open", "events")

    def __init__(self, sock: socket.socket, deadline: float) -> None:
        self.sock = sock
        self.received = bytearray()
        self.pending = memoryview(b"")
        self.deadline = deadline
        self.keep_alive = False
        self.open = True
        self.events = 0  # what the selector watches for: nothing while the answer is made


def _connection_limit(wanted: int) -> int:
    soft, _ = resource.getrlimit(resource.RLIMIT_NOFILE)
    if soft == resource.RLIM_INFINITY:
        return wanted
    return max(1, min(wanted, soft - RESERVED_DESCRIPTORS))


class Server:
    def __init__(self, address: str, port: int, handler: Handler, *, timeout: float = TIMEOUT,
                 max_connections: int = MAX_CONNECTIONS, backlog: int = BACKLOG) -> None:
        """Binds and listens; raises OSError (socket.gaierror for an address
        that does not resolve) or UnicodeError (a host name that cannot be
        encoded)."""
        self._handler = handler
        self._jobs: "queue.SimpleQueue[Optional[Tuple[_Connection, Request, bool]]]" = queue.SimpleQueue()
        self._answers: Deque[Tuple[_Connection, Response, bool]] = collections.deque()
        self._timeout = timeout
        self._max_connections = _connection_limit(max_connections)
        family, kind, proto, _, sockaddr = socket.getaddrinfo(address, port, type=socket.SOCK_STREAM,
                                                              flags=socket.AI_PASSIVE)[0]
        with contextlib.ExitStack() as undo:  # closes what was made if a later step fails
            self._listener = undo.enter_context(socket.socket(family, kind, proto))
            self._listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            self._listener.bind(sockaddr)
            self._listener.listen(backlog)
            self._listener.setblocking(False)
            self.server_port: int = self._listener.getsockname()[1]
            self._selector = selectors.DefaultSelector()
            undo.callback(self._selector.close)
            self._wake_reader, self._wake_writer = socket.socketpair()
            for end in (self._wake_reader, self._wake_writer):
                undo.enter_context(end)
                end.setblocking(False)
            self._selector.register(self._listener, selectors.EVENT_READ, None)
            self._selector.register(self._wake_reader, selectors.EVENT_READ, self._wake_reader)
            self._worker = threading.Thread(target=self._work, name="quillmere-exporter answers", daemon=True)
            self._worker.start()
            undo.pop_all()
        self._accepting = True
        self._resume_at = 0.0
        self._connections: Set[_Connection] = set()
        # Insertion order is deadline order: every entry gets now + timeout.
        self._waiting: Dict[_Connection, None] = {}
        self._writing: Dict[_Connection, None] = {}
        self._stopping = False

    # --- the worker -----------------------------------------------------------

    def _work(self) -> None:
        while True:
            batch = [self._jobs.get()]
            while not self._jobs.empty():
                batch.append(self._jobs.get())
            if any(job is None for job in batch):
                return
            jobs = [job for job in batch if job is not None]
            try:
                responses = list(self._handler([request for _, request, _ in jobs]))
                if len(responses) != len(jobs):
                    raise ValueError(f"{len(responses)} responses for {len(jobs)} requests")
            except Exception:  # a bug in the handler: answer, report, keep serving
                traceback.print_exc()
                responses = [Response(500, b"internal error\n", [("Content-Type", "text/plain")])] * len(jobs)
            for (conn, _, head_only), response in zip(jobs, responses):
                self._answers.append((conn, response, head_only))
            self._wake()

    def _wake(self) -> None:
        try:
            self._wake_writer.send(b"\0")
        except OSError:  # full (a wake-up is pending anyway) or closed
            pass

    # --- the loop -------------------------------------------------------------

    def shutdown(self) -> None:
        """Makes serve_forever return; callable from any thread."""
        self._stopping = True
        self._wake()

    def serve_forever(self) -> None:
        while not self._stopping:
            now = time.monotonic()
            self._expire(now)
            if not self._accepting and now >= self._resume_at:
                self._selector.register(self._listener, selectors.EVENT_READ, None)
                self._accepting = True
            for key, mask in self._selector.select(self._next_timeout(now)):
                if key.data is None:
                    self._accept()
                elif key.data is self._wake_reader:
                    self._drain_answers()
                else:
                    conn: _Connection = key.data
                    if conn.open and mask & selectors.EVENT_WRITE:
                        self._send(conn)
                    elif conn.open and mask & selectors.EVENT_READ:
                        self._receive(conn)

    def _next_timeout(self, now: float) -> float:
        deadlines = [next(iter(table)).deadline for table in (self._waiting, self._writing) if table]
        if not self._accepting:
            deadlines.append(self._resume_at)
        return min(max(0.0, min(deadlines) - now), 1.0) if deadlines else 1.0

    def _expire(self, now: float) -> None:
        for table in (self._waiting, self._writing):
            while table:
                conn = next(iter(table))
                if conn.deadline > now:
                    break
                self._close(conn)

    def _make_room(self) -> bool:
        """Closes the connection that has waited longest for a request if it
        has waited EVICTABLE_AFTER; otherwise stops polling the listener until
        it will have (or, with none waiting, for a second), or until a
        connection closes. True when a place was freed."""
        now = time.monotonic()
        if self._waiting:
            oldest = next(iter(self._waiting))
            waiting_since = oldest.deadline - self._timeout
            if now - waiting_since >= EVICTABLE_AFTER:
                self._close(oldest)
                return True
            resume_at = waiting_since + EVICTABLE_AFTER
        else:
            resume_at = now + 1.0
        if self._accepting:
            self._selector.unregister(self._listener)
            self._accepting = False
        self._resume_at = resume_at
        return False

    def _accept(self) -> None:
        for _ in range(ACCEPT_BATCH):
            if len(self._connections) >= self._max_connections and not self._make_room():
                return  # the rest wait in the backlog
            try:
                sock, _ = self._listener.accept()
            except BlockingIOError:
                return
            except OSError as error:
                if error.errno in (errno.EMFILE, errno.ENFILE, errno.ENOBUFS, errno.ENOMEM):
                    self._make_room()  # no descriptor for it: the next wake-up tries again
                    return
                continue  # the peer gave up before accept (ECONNABORTED and the like)
            sock.setblocking(False)
            conn = _Connection(sock, time.monotonic() + self._timeout)
            self._connections.add(conn)
            self._waiting[conn] = None
            self._watch(conn, selectors.EVENT_READ)

    def _watch(self, conn: _Connection, events: int) -> None:
        if events == conn.events:
            return
        if not conn.events:
            self._selector.register(conn.sock, events, conn)
        elif not events:
            self._selector.unregister(conn.sock)
        else:
            self._selector.modify(conn.sock, events, conn)
        conn.events = events

    def _receive(self, conn: _Connection) -> None:
        try:
            data = conn.sock.recv(65536)
        except (BlockingIOError, InterruptedError):
            return
        except OSError:
            data = b""
        if not data:
            self._close(conn)
            return
        conn.received += data
        self._take_request(conn)

    def _take_request(self, conn: _Connection) -> None:
        # Blank lines before a request line are allowed and skipped.
        skipped = len(conn.received) - len(conn.received.lstrip(b"\r\n"))
        del conn.received[:skipped]
        end, blank = head_end(conn.received)
        if end < 0 and len(conn.received) <= HEAD_LIMIT:
            return  # not complete yet
        if end < 0 or end > HEAD_LIMIT:
            self._answer(conn, Response(431), keep_alive=False, head_only=False)
            return
        head = bytes(conn.received[:end])
        del conn.received[:end + blank]
        request, error, keep_alive = parse_head(head)
        if request is None:
            self._answer(conn, Response(error), keep_alive=False, head_only=False)
        elif request.method not in ("GET", "HEAD"):
            self._answer(conn, other_method(request), keep_alive, head_only=False)
        else:
            del self._waiting[conn]
            self._watch(conn, 0)
            conn.keep_alive = keep_alive
            self._jobs.put((conn, request, request.method == "HEAD"))

    def _drain_answers(self) -> None:
        try:
            while self._wake_reader.recv(4096):
                pass
        except (BlockingIOError, InterruptedError):
            pass
        while self._answers:
            conn, response, head_only = self._answers.popleft()
            if conn.open:
                self._answer(conn, response, conn.keep_alive, head_only)

    def _answer(self, conn: _Connection, response: Response, keep_alive: bool, head_only: bool) -> None:
        """Starts sending `response`; the connection leaves the waiting table."""
        self._waiting.pop(conn, None)
        conn.keep_alive = keep_alive
        conn.pending = memoryview(serialize(response, keep_alive, head_only))
        conn.deadline = time.monotonic() + self._timeout
        self._writing[conn] = None
        self._watch(conn, selectors.EVENT_WRITE)
        self._send(conn)

    def _send(self, conn: _Connection) -> None:
        try:
            sent = conn.sock.send(conn.pending)
        except (BlockingIOError, InterruptedError):
            return
        except OSError:
            self._close(conn)
            return
        conn.pending = conn.pending[sent:]
        if conn.pending:
            return
        del self._writing[conn]
        if not conn.keep_alive:
            self._close(conn)
            return
        conn.deadline = time.monotonic() + self._timeout
        self._waiting[conn] = None
        self._watch(conn, selectors.EVENT_READ)
        if conn.received:  # a request sent before this answer was taken
            self._take_request(conn)

    def _close(self, conn: _Connection) -> None:
        if not conn.open:
            return
        conn.open = False
        self._waiting.pop(conn, None)
        self._writing.pop(conn, None)
        self._connections.discard(conn)
        self._watch(conn, 0)
        conn.sock.close()
        self._resume_at = 0.0  # a descriptor and a place are free again

    def close(self) -> None:
        """Closes the listener and every connection, stops the worker and
        waits up to 5 s for it (a pass in progress is bounded). Safe after a
        KeyboardInterrupt anywhere in the loop."""
        self._stopping = True
        self._selector.close()
        for conn in self._connections:
            conn.open = False
            conn.sock.close()
        self._connections.clear()
        self._jobs.put(None)
        self._worker.join(5)
        self._listener.close()
        self._wake_reader.close()
        self._wake_writer.close()


__all__ = ["Handler", "Request", "Response", "Server"]
