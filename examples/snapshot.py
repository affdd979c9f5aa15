"""Prints one sample of this host's metrics as JSON.

    python examples/snapshot.py [interval_ms]

interval_ms (default 1000) is the sampling period: it divides the disk and
network rates, but the call returns after one pass over the sources.
"""

import argparse
import json
import math

import quillmere


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0] if __doc__ else None)
    parser.add_argument("interval_ms", nargs="?", type=int, default=1000,
                        help="sampling period in milliseconds, which divides the disk and network rates (default 1000)")
    interval_ms = parser.parse_args().interval_ms
    metrics = quillmere.get_metrics_once(interval_ms)
    # NaN (CPU shares when /proc/stat is unreadable) is not JSON: print null.
    printable = {k: (None if isinstance(v, float) and not math.isfinite(v) else v) for k, v in metrics.items()}
    print(json.dumps(printable, indent=2))


if __name__ == "__main__":
    main()
