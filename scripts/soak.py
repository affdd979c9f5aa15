"""Soak: many calls in one process; descriptors, threads and children must
stay constant and the resident set must not grow.

Usage: python scripts/soak.py [CALLS]   (default 100000)

Prints the figures and exits non-zero when a limit is broken. The resident
set is compared after a warm-up, so that the interpreter's and the C
library's first-use allocations are not counted as growth.
"""

import os
import sys
import time

import quillmere

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "tests", "python"))
from census import child_pids, open_fds, settled, thread_count  # noqa: E402 - found through the path set just above

WARM_UP = 1000
RSS_LIMIT = 1024 * 1024  # bytes


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def census():
    return len(open_fds()), thread_count(), len(child_pids())


def main():
    calls = int(sys.argv[1]) if len(sys.argv) > 1 else 100_000
    for _ in range(WARM_UP):
        quillmere.get_metrics_once(1000)
    before = census()
    rss_before = rss_bytes()
    started = time.perf_counter()
    incomplete = 0
    for _ in range(calls):
        if len(quillmere.get_metrics_once(1000)) != 26:
            incomplete += 1
    seconds = time.perf_counter() - started
    rss_after = rss_bytes()
    after = settled(census, before)
    growth = rss_after - rss_before

    print(f"soak: {calls} calls in {seconds:.1f} s ({seconds / calls * 1e6:.0f} us a call), "
          f"{incomplete} incomplete dicts")
    print(f"soak: descriptors {before[0]} -> {after[0]}, threads {before[1]} -> {after[1]}, "
          f"children {before[2]} -> {after[2]}")
    print(f"soak: resident set {rss_before / 1024:.0f} KiB -> {rss_after / 1024:.0f} KiB "
          f"(growth {growth / 1024:+.0f} KiB, limit {RSS_LIMIT // 1024} KiB)")
    failures = []
    if incomplete:
        failures.append("incomplete dicts")
    if after != before:
        failures.append("descriptors, threads or children changed")
    if growth >= RSS_LIMIT:
        failures.append("resident set grew")
    if failures:
        print("soak: FAILED: " + "; ".join(failures))
        return 1
    print("soak: passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
