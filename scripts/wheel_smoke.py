"""A short check of an installed wheel: the module loads, one call returns
the 26 metrics with the right types, and the timestamp is the current time.

    python scripts/wheel_smoke.py

scripts/build_wheels.sh runs it under every interpreter a wheel is built for,
emulated for the ARM wheels, before the wheel is kept.
"""

import math
import platform
import sys
import time

import quillmere

before = time.time()
d = quillmere.get_metrics_once(200)
after = time.time()
assert len(d) == 26, sorted(d)
assert all(isinstance(v, (int, float)) and not isinstance(v, bool) for v in d.values()), d
assert before - 1 <= d["timestamp"] <= after + 1, (before, d["timestamp"], after)
assert not math.isnan(d["cpu_usage_percent"]), d
assert d["uptime_seconds"] > 0, d
print(f"ok: {quillmere.__file__} on {platform.machine()}, Python {sys.version.split()[0]}, {len(d)} metrics")
