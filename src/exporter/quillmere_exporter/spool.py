"""The push queue: batches waiting to be sent, oldest first, held in memory
while the receiver answers and on disk while it does not.

What it promises:
- Batches leave in the order they were put, each whole (a batch is one pass,
  compressed).
- Nothing touches the disk until spill() is called (the sender calls it when
  a push fails); from then on every new batch is written as it comes, until
  a push succeeds again. Sent batches are removed from the disk.
- A batch file is written atomically: a temporary file in the directory,
  fsynced, renamed to its final name, then the directory fsynced. A file that
  is there under a final name is complete. Temporary files that a killed run
  left are removed when the queue opens.
- The queue survives a restart: open() takes the batches on disk, in their
  order, and new ones come after them. Two runs may not share a directory:
  open() takes an exclusive lock on it (flock on the directory itself, so
  that a drained queue leaves it empty) and refuses a directory in use.
- The directory is mode 0700; batch files are 0600.
- The queue holds at most max_bytes (a batch counts as its size rounded up
  to whole 4 KiB blocks, the space a file takes, in memory as on disk): when
  a new batch makes it larger, the oldest batches not being sent are
  dropped, their samples counted in `dropped`; the newest batch is always
  kept. A batch file that cannot be read back is dropped and counted too.
- A disk that refuses a write (full, read-only) leaves the batch in memory;
  the first such failure is reported, and so is the next success.
- Thread-safe: the pass thread puts, the sender thread takes.
"""

from __future__ import annotations

import errno
import fcntl
import os
import re
import stat
import threading
from typing import Callable, List, Optional

from .textfile import replace_file

BLOCK = 4096
NAME = re.compile(r"(\d{20})-(\d{1,9})\.batch")
TEMPORARY_PREFIX = ".tmp-"
MAX_FILE = 256 << 20  # a batch file larger than this is not ours


def footprint(size: int) -> int:
    return max(BLOCK, -(-size // BLOCK) * BLOCK)


class Entry:
    """One batch: its place in the order, its sample count, its bytes (in
    memory) or its file (on disk), and whether the sender holds it."""

    __slots__ = ("seq", "samples", "size", "data", "path", "busy")

    def __init__(self, seq: int, samples: int, size: int, data: Optional[bytes], path: Optional[str]) -> None:
        self.seq = seq
        self.samples = samples
        self.size = size
        self.data = data
        self.path = path
        self.busy = False


class QueueInUse(Exception):
    pass


class Spool:
    def __init__(self, directory: Optional[str], max_bytes: int, log: Callable[[str], None]) -> None:
        """`directory` None keeps everything in memory (the tests' and a
        read-only board's case); `log` takes one line for stderr."""
        self.directory = directory
        self.max_bytes = max_bytes
        self.dropped = 0  # samples
        self.queued_bytes = 0
        self._log = log
        self._entries: List[Entry] = []
        self._next_seq = 0
        self._spilling = False
        self._disk_failing = False
        self._dropping = False  # reported since the last resume()
        self._lock_fd = -1
        self._changed = threading.Condition()

    # --- opening and closing ----------------------------------------------

    def open(self) -> None:
        """Creates the directory (0700), locks it and takes the batches a
        previous run left. OSError when it cannot; QueueInUse when another
        run holds it."""
        if self.directory is None:
            return
        os.makedirs(self.directory, mode=0o700, exist_ok=True)
        fd = os.open(self.directory, os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)
        try:
            try:
                fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
            except OSError as error:
                if error.errno in (errno.EWOULDBLOCK, errno.EAGAIN):
                    raise QueueInUse(self.directory) from None
                raise
            # systemd makes a StateDirectory 0755 unless told otherwise: the
            # queue holds this host's figures, for this user's eyes alone.
            if stat.S_IMODE(os.fstat(fd).st_mode) != 0o700:
                os.fchmod(fd, 0o700)
            self._load()
        except BaseException:
            os.close(fd)
            raise
        self._lock_fd = fd

    def _load(self) -> None:
        assert self.directory is not None
        found = []
        for name in os.listdir(self.directory):
            path = os.path.join(self.directory, name)
            if name.startswith(TEMPORARY_PREFIX):
                try:
                    os.unlink(path)
                except OSError:
                    pass
                continue
            match = NAME.fullmatch(name)
            if match is None:
                continue  # not ours: left alone
            try:
                size = os.stat(path).st_size
            except OSError:
                continue
            found.append(Entry(int(match.group(1)), int(match.group(2)), size, None, path))
        found.sort(key=lambda entry: entry.seq)
        self._entries = found
        self.queued_bytes = sum(footprint(entry.size) for entry in found)
        self._next_seq = found[-1].seq + 1 if found else 0
        self._spilling = bool(found)  # the receiver was not answering when the last run stopped

    def close(self) -> None:
        if self._lock_fd >= 0:
            os.close(self._lock_fd)
            self._lock_fd = -1

    # --- the pass thread --------------------------------------------------

    def put(self, data: bytes, samples: int) -> None:
        with self._changed:
            entry = Entry(self._next_seq, samples, len(data), data, None)
            self._next_seq += 1
            self._entries.append(entry)
            self.queued_bytes += footprint(entry.size)
            if self._spilling:
                self._write(entry)
            self._bound()
            self._changed.notify_all()

    def _bound(self) -> None:
        if self.queued_bytes <= self.max_bytes:
            return
        dropped_now = 0
        for entry in list(self._entries[:-1]):
            if self.queued_bytes <= self.max_bytes:
                break
            if not entry.busy:
                self._remove(entry)
                self.dropped += entry.samples
                dropped_now += entry.samples
        if dropped_now and not self._dropping:
            self._dropping = True
            self._log(f"the queue is full ({self.max_bytes} bytes): dropping its oldest batches "
                      "(counted in quillmere_remote_write_samples_dropped_total)")

    # --- the sender thread ------------------------------------------------

    def take(self, max_samples: int, timeout: float) -> List[Entry]:
        """The oldest batches, as many as fit in max_samples (at least one),
        marked busy; waits up to `timeout` s for one; [] if none came."""
        with self._changed:
            if not self._entries:
                self._changed.wait(timeout)
            group: List[Entry] = []
            total = 0
            for entry in self._entries:
                if group and total + entry.samples > max_samples:
                    break
                entry.busy = True
                group.append(entry)
                total += entry.samples
            return group

    def read(self, entry: Entry) -> Optional[bytes]:
        """The batch's bytes; None when its file cannot be read back (the
        batch is then dropped and counted)."""
        data = entry.data
        if data is not None:
            return data
        assert entry.path is not None
        try:
            fd = os.open(entry.path, os.O_RDONLY | os.O_CLOEXEC | os.O_NONBLOCK)
            try:
                if not stat.S_ISREG(os.fstat(fd).st_mode):
                    raise OSError(errno.EINVAL, "not a regular file")
                chunks = []
                size = 0
                while size <= MAX_FILE:
                    chunk = os.read(fd, 1 << 20)
                    if not chunk:
                        break
                    chunks.append(chunk)
                    size += len(chunk)
                if size > MAX_FILE:
                    raise OSError(errno.EFBIG, "too large for a batch")
                return b"".join(chunks)
            finally:
                os.close(fd)
        except OSError as error:
            self._log(f"cannot read the queued batch {entry.path}: {error.strerror or error}; dropped")
            with self._changed:
                if entry in self._entries:
                    self._remove(entry)
                    self.dropped += entry.samples
            return None

    def finish(self, entries: List[Entry]) -> None:
        """The batches are done with (sent, or refused for good)."""
        with self._changed:
            for entry in entries:
                if entry in self._entries:
                    self._remove(entry)

    def release(self, entries: List[Entry]) -> None:
        """The batches go back to wait for the next try."""
        with self._changed:
            for entry in entries:
                entry.busy = False

    def spill(self) -> None:
        """Writes every batch held in memory to disk, and every new one as
        it comes, until resume()."""
        with self._changed:
            self._spilling = True
            for entry in self._entries:
                if entry.path is None:
                    self._write(entry)

    def resume(self) -> None:
        """The receiver answers again: new batches stay in memory."""
        with self._changed:
            self._spilling = False
            self._dropping = False

    def __len__(self) -> int:
        with self._changed:
            return len(self._entries)

    def on_disk(self) -> int:
        with self._changed:
            return sum(1 for entry in self._entries if entry.path is not None)

    # --- files ------------------------------------------------------------

    def _write(self, entry: Entry) -> None:
        if self.directory is None or entry.data is None:
            return
        path = os.path.join(self.directory, f"{entry.seq:020d}-{entry.samples}.batch")
        try:
            replace_file(path, entry.data, prefix=TEMPORARY_PREFIX)
        except OSError as error:
            if not self._disk_failing:
                self._log(f"cannot write the queue to {self.directory}: {error.strerror or error}; "
                          "holding it in memory (lost if the program stops)")
                self._disk_failing = True
            return
        if self._disk_failing:
            self._log(f"writing the queue to {self.directory} again")
            self._disk_failing = False
        entry.path = path
        entry.data = None

    def _remove(self, entry: Entry) -> None:
        self._entries.remove(entry)
        self.queued_bytes -= footprint(entry.size)
        if entry.path is not None:
            try:
                os.unlink(entry.path)
            except OSError:
                pass  # gone already, or a read-only disk: sent again after a restart, which receivers accept
