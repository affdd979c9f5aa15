"""Prints one sample of this host's metrics as JSON.

    python examples/snapshot.py [interval_ms] [--exact]

By default the sample is a quillmere_sampler.Sampler's first: rates and
shares over one interval of interval_ms milliseconds (default 1000), so it
comes after that interval. With --exact it is quillmere.get_metrics_once's
result instead, the one-shot call its existing callers use: interval_ms then
divides that call's byte rates, and the call returns after one pass (its
shares are since boot: see the README).
"""

from __future__ import annotations

import argparse
import json
import math

import quillmere
import quillmere_sampler


def printable(value: object) -> object:
    """value as JSON takes it: NaN (get_metrics_once's CPU shares when
    /proc/stat is unreadable) becomes null, and the CPU numbers that key
    per-CPU tables become strings."""
    if isinstance(value, float) and not math.isfinite(value):
        return None
    if isinstance(value, dict):
        return {str(k): printable(v) for k, v in value.items()}
    return value


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0] if __doc__ else None)
    parser.add_argument("interval_ms", nargs="?", type=int, default=1000,
                        help="the interval in milliseconds that the rates cover (default 1000)")
    parser.add_argument("--exact", action="store_true",
                        help="print quillmere.get_metrics_once(interval_ms) instead of a Sampler sample")
    args = parser.parse_args()
    if args.exact:
        print(json.dumps(printable(dict(quillmere.get_metrics_once(args.interval_ms))), indent=2))
        return
    with quillmere_sampler.Sampler(args.interval_ms) as sampler:
        print(json.dumps(printable(dict(sampler.sample())), indent=2))


if __name__ == "__main__":
    main()
