"""The process census: threads, open descriptors and children. The tests and
the soak script check that a call leaves all three as they were."""

import os
import time


def thread_count():
    return len(os.listdir("/proc/self/task"))


def settled(census, expected, seconds=2.0):
    """census() once it equals `expected`, or its last value after `seconds`.

    A joined thread may still be listed for a moment while the kernel
    finishes its exit; a real leak stays.
    """
    deadline = time.monotonic() + seconds
    while True:
        value = census()
        if value == expected or time.monotonic() > deadline:
            return value
        time.sleep(0.01)


def open_fds(without_pidfds=False):
    """The process's descriptors; without those that keep killed tools for a
    later run to reap, if asked."""
    fds = os.listdir("/proc/self/fd")
    if without_pidfds:
        fds = [fd for fd in fds if _target(fd) != "anon_inode:[pidfd]"]
    return sorted(fds)


def _target(fd):
    try:
        return os.readlink(f"/proc/self/fd/{fd}")
    except OSError:
        return None


def child_pids():
    """Children of this process, zombies included."""
    pids = []
    for task in os.listdir("/proc/self/task"):
        try:
            with open(f"/proc/self/task/{task}/children") as f:
                pids += f.read().split()
        except OSError:
            pass
    return pids
