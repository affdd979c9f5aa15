"""This program's own figures, for the quillmere_process_* families: CPU
time, memory, descriptors and start time, from the resource module and the
files of /proc/self (always the exporter's own, whatever --path.procfs says).

What it promises:
- read_own() never raises for an unreadable or malformed file: that figure
  is None (no series), the others are still read.
- Nothing is kept between calls but the start time, which cannot change
  once it has been read.
"""

from __future__ import annotations

import os
import resource
from typing import NamedTuple, Optional, Tuple


class ProcessFigures(NamedTuple):
    cpu_seconds: Optional[float]  # user and system CPU time of every thread
    resident_bytes: Optional[int]
    virtual_bytes: Optional[int]
    open_fds: Optional[int]
    max_fds: Optional[int]  # the soft limit on descriptors
    start_time_seconds: Optional[float]  # since the Unix epoch


# Small files of the kernel's: one read is enough, and a larger one is not theirs.
_READ_LIMIT = 65536
_start_time: Optional[float] = None


def _read(path: str) -> str:
    with open(path, "rb") as stream:
        return stream.read(_READ_LIMIT).decode("ascii")


def _memory() -> Tuple[Optional[int], Optional[int]]:
    """(resident, virtual) bytes from /proc/self/statm, in pages there."""
    try:
        pages = _read("/proc/self/statm").split()
        page = os.sysconf("SC_PAGE_SIZE")
        return int(pages[1]) * page, int(pages[0]) * page
    except (OSError, ValueError, IndexError):
        return None, None


def _open_fds() -> Optional[int]:
    try:
        return len(os.listdir("/proc/self/fd"))
    except OSError:
        return None


def _max_fds() -> Optional[int]:
    soft = resource.getrlimit(resource.RLIMIT_NOFILE)[0]
    return soft if soft != resource.RLIM_INFINITY else None


def _started() -> Optional[float]:
    """Boot time (btime of /proc/stat) plus the process's start in clock
    ticks after boot (field 22 of /proc/self/stat)."""
    global _start_time
    if _start_time is None:
        try:
            # The command name, field 2, may hold spaces and parentheses: the
            # fields are counted after its closing parenthesis.
            fields = _read("/proc/self/stat").rsplit(")", 1)[1].split()
            ticks = int(fields[19])
            boot = next(int(line.split()[1]) for line in _read("/proc/stat").splitlines()
                        if line.startswith("btime "))
            _start_time = boot + ticks / os.sysconf("SC_CLK_TCK")
        except (OSError, ValueError, IndexError, StopIteration):
            return None
    return _start_time


def read_own() -> ProcessFigures:
    usage = resource.getrusage(resource.RUSAGE_SELF)
    resident, virtual = _memory()
    return ProcessFigures(usage.ru_utime + usage.ru_stime, resident, virtual, _open_fds(), _max_fds(), _started())
