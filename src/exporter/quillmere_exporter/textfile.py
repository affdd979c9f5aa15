"""The textfile mode: the metrics written to a file that node_exporter's
textfile collector reads, once or periodically.

What it promises:
- write_textfile() replaces the file atomically: a reader sees the previous
  content or the new one, never part of either, and after a power cut the
  rename has either happened whole or not at all. The file is mode 0644.
- A failed write leaves the previous file as it was and no temporary file.
- A run killed mid-write leaves its temporary file; the next run on the same
  path removes it before its first write (so two runs must not share a path).
- run_textfile() stops between writes on SIGINT or SIGTERM, with status 0; a
  failed first write ends it with status 1 and one line on stderr, a later one
  is reported and retried at the next write.
"""

from __future__ import annotations

import os
import re
import signal
import sys
import tempfile
import threading
from typing import Callable, Optional


def replace_file(path: str, data: bytes, prefix: str, suffix: str = "", mode: Optional[int] = None) -> None:
    """Replaces `path` with `data` atomically: a temporary file (`prefix`,
    random, `suffix`) in the same directory, written and fsynced, renamed over
    it, then the directory fsynced so that the rename survives a power cut.
    On any failure the temporary file is removed and the previous file is
    left as it was. `mode`, when given, is the new file's."""
    directory = os.path.dirname(os.path.abspath(path))
    fd, temporary = tempfile.mkstemp(prefix=prefix, suffix=suffix, dir=directory)
    try:
        with os.fdopen(fd, "wb") as stream:
            stream.write(data)
            stream.flush()
            if mode is not None:
                os.fchmod(stream.fileno(), mode)
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


def write_textfile(path: str, data: bytes) -> None:
    """replace_file() with a temporary name that does not end in .prom, so
    that a textfile collector never reads a half-written file, and mode 0644:
    readable by a collector that runs as a user of its own."""
    replace_file(path, data, prefix="." + os.path.basename(path) + ".", suffix=".tmp", mode=0o644)


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


def run_textfile(path: str, every: Optional[float], render: Callable[[], bytes]) -> int:
    """Writes render()'s bytes to `path` once, or every `every` seconds until
    SIGINT or SIGTERM; returns the exit status."""
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
            write_textfile(path, render())
        except OSError as error:
            reason = error.strerror or str(error)
            print(f"quillmere-exporter: cannot write {path}: {reason}", file=sys.stderr, flush=True)
            if first:
                return 1
        first = False
        if every is None or stop.wait(every):
            return 0
