"""Appends one sample of this host's metrics per interval to a JSON-lines file.

    python examples/log_jsonl.py metrics.jsonl [--interval-ms 1000] [--count N]

Each line is one JSON object with the 26 keys in order. NaN (the CPU shares
when /proc/stat is unreadable) is not JSON, so it is written as null. The file
is flushed after every line, so `tail -f` sees each sample as it is taken.
Ctrl-C (or SIGTERM) stops the logger between samples; every line already
written is complete and the file is closed.
"""

from __future__ import annotations

import argparse
import json
import math
import signal
import sys
import time

import quillmere


def json_line(metrics: quillmere.Metrics) -> str:
    values = {k: (None if isinstance(v, float) and not math.isfinite(v) else v) for k, v in metrics.items()}
    # allow_nan=False: a value that slipped past the line above fails here
    # instead of writing a line that JSON readers reject.
    return json.dumps(values, allow_nan=False) + "\n"


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0] if __doc__ else None)
    parser.add_argument("path", help="file to append to (created if missing)")
    parser.add_argument("--interval-ms", type=int, default=1000, help="sampling period in milliseconds (default 1000)")
    parser.add_argument("--count", type=int, default=0, help="stop after this many samples (default: run until stopped)")
    args = parser.parse_args()
    if args.interval_ms < 1:
        parser.error("--interval-ms must be at least 1")
    if args.count < 0:
        parser.error("--count must not be negative")

    # SIGTERM stops the logger the same way as Ctrl-C.
    signal.signal(signal.SIGTERM, signal.default_int_handler)
    period = args.interval_ms / 1000
    written = 0
    with open(args.path, "a", encoding="utf-8") as out:
        try:
            # Samples follow a fixed schedule, so the time a call takes does
            # not add up to drift; after a stall (a suspended machine) the
            # schedule restarts instead of catching up in a burst.
            deadline = time.monotonic()
            while True:
                out.write(json_line(quillmere.get_metrics_once(args.interval_ms)))
                out.flush()
                written += 1
                if written == args.count:
                    break
                deadline = max(deadline + period, time.monotonic())
                time.sleep(max(0.0, deadline - time.monotonic()))
        except KeyboardInterrupt:
            # A write to a regular file is not cut short by a signal: the
            # interrupt lands before or after it, never inside a line.
            pass
    print(f"{written} samples appended to {args.path}", file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
