"""Appends one sample of this host's metrics per interval to a JSON-lines file.

    python examples/log_jsonl.py metrics.jsonl [--interval-ms 1000] [--count N] [--exact]

Each line is one JSON object, the keys of a quillmere_sampler.Sampler sample
in order (with --exact, those of quillmere.get_metrics_once, for its existing
callers). NaN (get_metrics_once's CPU shares when /proc/stat is unreadable)
is not JSON, so it is written as null. The file is flushed after every line,
so `tail -f` sees each sample as it is taken. Ctrl-C (or SIGTERM) stops the
logger between samples; every line already written is complete and the file
is closed.
"""

from __future__ import annotations

import argparse
import json
import math
import signal
import sys
import time
from typing import IO, Generator, Mapping

import quillmere
import quillmere_sampler


def printable(value: object) -> object:
    if isinstance(value, float) and not math.isfinite(value):
        return None
    if isinstance(value, dict):
        return {str(k): printable(v) for k, v in value.items()}  # CPU numbers key per-CPU tables
    return value


def write(out: IO[str], metrics: Mapping[str, object]) -> None:
    # allow_nan=False: a value that slipped past printable() fails here
    # instead of writing a line that JSON readers reject.
    out.write(json.dumps(printable(dict(metrics)), allow_nan=False) + "\n")
    out.flush()


def samples(interval_ms: int) -> Generator[Mapping[str, object], None, None]:
    # The Sampler keeps the schedule; a consumer that falls behind finds the
    # lost samples counted in the next one's "missed".
    with quillmere_sampler.Sampler(interval_ms) as sampler:
        yield from sampler


def exact_calls(interval_ms: int) -> Generator[Mapping[str, object], None, None]:
    # Calls follow a fixed schedule, so the time a call takes does not add
    # up to drift; after a stall (a suspended machine) the schedule restarts
    # instead of catching up in a burst.
    period = interval_ms / 1000
    deadline = time.monotonic()
    while True:
        yield quillmere.get_metrics_once(interval_ms)
        deadline = max(deadline + period, time.monotonic())
        time.sleep(max(0.0, deadline - time.monotonic()))


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0] if __doc__ else None)
    parser.add_argument("path", help="file to append to (created if missing)")
    parser.add_argument("--interval-ms", type=int, default=1000, help="sampling period in milliseconds (default 1000)")
    parser.add_argument("--count", type=int, default=0, help="stop after this many samples (default: run until stopped)")
    parser.add_argument("--exact", action="store_true", help="log quillmere.get_metrics_once results instead")
    args = parser.parse_args()
    if args.interval_ms < 1:
        parser.error("--interval-ms must be at least 1")
    if args.count < 0:
        parser.error("--count must not be negative")

    # SIGTERM stops the logger the same way as Ctrl-C.
    signal.signal(signal.SIGTERM, signal.default_int_handler)
    source = exact_calls(args.interval_ms) if args.exact else samples(args.interval_ms)
    written = 0
    with open(args.path, "a", encoding="utf-8") as out:
        try:
            for metrics in source:
                write(out, metrics)
                written += 1
                if written == args.count:
                    break
        except KeyboardInterrupt:
            # A write to a regular file is not cut short by a signal: the
            # interrupt lands before or after it, never inside a line.
            pass
        finally:
            source.close()  # closes the Sampler
    print(f"{written} samples appended to {args.path}", file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
