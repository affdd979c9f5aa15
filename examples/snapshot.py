"""Prints one sample of this host's metrics as JSON.

    python examples/snapshot.py [interval_ms]

interval_ms (default 1000) is the sampling period: it divides the disk and
network rates, but the call returns after one pass over the sources.
"""

import json
import math
import sys

import quillmere


def main() -> None:
    interval_ms = int(sys.argv[1]) if len(sys.argv) > 1 else 1000
    metrics = quillmere.get_metrics_once(interval_ms)
    # NaN (CPU shares when /proc/stat is unreadable) is not JSON: print null.
    printable = {k: (None if isinstance(v, float) and not math.isfinite(v) else v) for k, v in metrics.items()}
    print(json.dumps(printable, indent=2))


if __name__ == "__main__":
    main()
