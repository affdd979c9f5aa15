"""Prints one line per sampler interval from inside an asyncio program.

    python examples/sampler_asyncio.py [--interval-ms 1000] [--count N]

The Sampler's worker thread takes the readings; its fileno() is readable
while a sample waits, so the event loop wakes for each sample through
loop.add_reader and never blocks on it. Ctrl-C stops it.
"""

from __future__ import annotations

import argparse
import asyncio
from typing import TYPE_CHECKING, Optional

import quillmere_sampler

if TYPE_CHECKING:  # Sample exists for type checkers only: samples are plain dicts
    from quillmere_sampler import Sample


def fmt(value: Optional[float], unit: str, scale: float = 1.0) -> str:
    return "n/a" if value is None else f"{value / scale:.1f} {unit}"


def line(s: Sample) -> str:
    return (f"cpu {fmt(s['cpu_usage_percent'], '%')}  "
            f"disk r/w {fmt(s['disk_read_bytes_per_sec'], 'MB/s', 1e6)} / "
            f"{fmt(s['disk_write_bytes_per_sec'], 'MB/s', 1e6)}  "
            f"net rx/tx {fmt(s['net_rx_bytes_per_sec'], 'MB/s', 1e6)} / "
            f"{fmt(s['net_tx_bytes_per_sec'], 'MB/s', 1e6)}  "
            f"available {fmt(s['mem_available_bytes'], 'MiB', 2**20)}  "
            f"over {s['interval_seconds']:.3f} s, missed {s['missed']}")


async def follow(interval_ms: int, count: Optional[int]) -> None:
    loop = asyncio.get_running_loop()
    samples: asyncio.Queue[Sample] = asyncio.Queue()
    with quillmere_sampler.Sampler(interval_ms) as sampler:
        # Called by the loop when the descriptor is readable: a sample waits,
        # so sample() returns at once.
        loop.add_reader(sampler.fileno(), lambda: samples.put_nowait(sampler.sample()))
        try:
            taken = 0
            while count is None or taken < count:
                print(line(await samples.get()), flush=True)
                taken += 1
        finally:
            loop.remove_reader(sampler.fileno())


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--interval-ms", type=int, default=1000, help="sampling period in milliseconds (default 1000)")
    parser.add_argument("--count", type=int, default=None, help="stop after N samples")
    args = parser.parse_args()
    try:
        asyncio.run(follow(args.interval_ms, args.count))
    except KeyboardInterrupt:
        pass


if __name__ == "__main__":
    main()
