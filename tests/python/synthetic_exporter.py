"""quillmere-exporter serving board_counters' made-up board instead of this
host's counters, for the tests against the real Prometheus that need every
source readable (the dashboard's queries, every family with its type).

    python synthetic_exporter.py [quillmere-exporter options]

Each pass gives the board as it is at that moment since the start, so its
counters grow between scrapes. The keywords the program passes on
(procfs=, sysfs=, rootfs=) are accepted and ignored.
"""

import sys
import time

import quillmere_exporter
from board_counters import board

STARTED = time.monotonic()


def read_counters(**roots):
    return board(time.monotonic() - STARTED)


if __name__ == "__main__":
    sys.exit(quillmere_exporter.main(sys.argv[1:], read_counters=read_counters))
