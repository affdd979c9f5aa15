# Types of the quillmere_sampler extension module, for type checkers and
# editors.
#
# The wheel installs this file twice: as quillmere_sampler.pyi beside the
# compiled module, where editors look, and as
# quillmere_sampler-stubs/__init__.pyi, the stub package that mypy looks for
# in site-packages.
#
# The TypedDicts exist only here: at run time the results are plain dicts.
# Import them under `if typing.TYPE_CHECKING:` or in quoted annotations.
# A value is None when its source could not be read.

from types import TracebackType
from typing import Dict, Iterator, Optional, Type, TypedDict, final

__all__ = ["read_counters", "Sampler"]

class CpuSeconds(TypedDict):
    """CPU time since boot by kind, in seconds, summed over all CPUs."""

    user: float
    nice: float
    system: float
    idle: float
    iowait: float
    irq: float
    softirq: float
    steal: float

class DiskCounters(TypedDict):
    read_bytes: Optional[int]  # bytes read since boot; None when malformed or too large
    written_bytes: Optional[int]  # bytes written since boot

class InterfaceCounters(TypedDict):
    received_bytes: Optional[int]  # bytes received since boot; None when malformed
    transmitted_bytes: Optional[int]  # bytes transmitted since boot

class ZoneTemperature(TypedDict):
    type: Optional[str]  # the zone's type file; None when unreadable
    celsius: float  # degrees Celsius

class Counters(TypedDict):
    """Since-boot counters and current gauges from one pass; keys in this order."""

    timestamp: float  # seconds since the Unix epoch
    uptime_seconds: Optional[float]  # seconds since boot
    cpu_seconds: Optional[CpuSeconds]
    context_switches_total: Optional[int]
    page_faults_total: Optional[int]  # every page fault, major ones included
    page_faults_major_total: Optional[int]
    disk_read_bytes_total: Optional[int]  # whole disks only, partitions not added again
    disk_written_bytes_total: Optional[int]
    net_received_bytes_total: Optional[int]  # every interface, lo included
    net_transmitted_bytes_total: Optional[int]
    disks: Optional[Dict[str, DiskCounters]]  # every block device, partitions included
    interfaces: Optional[Dict[str, InterfaceCounters]]
    run_queue_length: Optional[float]  # runnable scheduling entities now
    load_avg_1: Optional[float]
    load_avg_5: Optional[float]
    load_avg_15: Optional[float]
    mem_total_bytes: Optional[int]
    mem_used_bytes: Optional[int]  # MemTotal - (MemFree + Buffers + Cached)
    mem_available_bytes: Optional[int]  # MemAvailable
    swap_total_bytes: Optional[int]
    swap_used_bytes: Optional[int]
    temperatures: Dict[str, ZoneTemperature]  # every readable thermal zone, in name order
    cpu_temp_celsius: Optional[float]  # the first readable zone
    throttle_status: Optional[int]  # firmware throttle bit set, undecoded
    arm_clock_hz: Optional[int]  # ARM clock as the firmware reports it

class Sample(TypedDict):
    """Rates and shares over one interval and the gauges at its end; keys in this order."""

    timestamp: float  # seconds since the Unix epoch
    cpu_usage_percent: Optional[float]  # percent of the interval's CPU time, not idle nor iowait
    cpu_user_percent: Optional[float]  # user and nice
    cpu_system_percent: Optional[float]
    cpu_idle_percent: Optional[float]
    cpu_iowait_percent: Optional[float]
    cpu_irq_percent: Optional[float]
    cpu_softirq_percent: Optional[float]
    cpu_steal_percent: Optional[float]
    run_queue_length: Optional[float]
    context_switches_per_sec: Optional[float]
    cpu_temp_celsius: Optional[float]
    throttle_status: Optional[int]
    mem_total_bytes: Optional[int]
    mem_used_bytes: Optional[int]
    page_faults_minor_per_sec: Optional[float]  # minor faults only
    page_faults_major_per_sec: Optional[float]
    uptime_seconds: Optional[float]
    load_avg_1: Optional[float]
    load_avg_5: Optional[float]
    load_avg_15: Optional[float]
    disk_read_bytes_per_sec: Optional[float]  # whole disks
    disk_write_bytes_per_sec: Optional[float]
    net_rx_bytes_per_sec: Optional[float]  # every interface, lo included
    net_tx_bytes_per_sec: Optional[float]
    measure_clock: Optional[int]  # ARM clock in hertz, as the firmware reports it
    interval_seconds: float  # measured between the starts of the two passes
    mem_available_bytes: Optional[int]
    missed: int  # samples dropped unread or skipped after a stall since the previous one returned

def read_counters() -> Counters:
    """One pass over the sources on the calling thread."""

@final
class Sampler:
    """A background sampler: one sample per interval_ms milliseconds.

    with Sampler(1000) as s:
        for sample in s: ...
    """

    def __new__(cls, interval_ms: int = 1000) -> "Sampler": ...
    def sample(self) -> Sample:
        """The newest sample not yet returned, waiting for the next one if none."""
    def close(self) -> None:
        """Stops and joins the worker and closes its descriptors; idempotent."""
    def fileno(self) -> int:
        """A descriptor that is readable exactly while a sample waits."""
    @property
    def closed(self) -> bool: ...
    def __iter__(self) -> Iterator[Sample]: ...
    def __next__(self) -> Sample: ...
    def __enter__(self) -> "Sampler": ...
    def __exit__(
        self,
        exc_type: Optional[Type[BaseException]],
        exc: Optional[BaseException],
        traceback: Optional[TracebackType],
    ) -> bool: ...
