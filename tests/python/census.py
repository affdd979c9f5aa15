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


def open_fds():
    return sorted(os.listdir("/proc/self/fd"))


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
