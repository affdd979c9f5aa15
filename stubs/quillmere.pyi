# Types of the quillmere extension module, for type checkers and editors.
#
# The wheel installs this file twice: as quillmere.pyi beside the compiled
# module, where editors look, and as quillmere-stubs/__init__.pyi, the stub
# package that mypy looks for in site-packages (a single-file module cannot
# carry a py.typed marker).
#
# Metrics exists only here: at run time the result is a plain dict. Import it
# under `if typing.TYPE_CHECKING:` or in quoted annotations.

from typing import TypedDict

__all__ = ["get_metrics_once"]

class Metrics(TypedDict):
    """One sample of the host's metrics; the keys come in this order."""

    timestamp: float  # seconds since the Unix epoch
    cpu_usage_percent: float  # percent of CPU time since boot, not idle
    cpu_user_percent: float  # percent since boot, user and nice
    cpu_system_percent: float  # percent since boot
    cpu_idle_percent: float  # percent since boot
    cpu_iowait_percent: float  # percent since boot
    cpu_irq_percent: float  # percent since boot
    cpu_softirq_percent: float  # percent since boot
    cpu_steal_percent: float  # percent since boot
    run_queue_length: float  # runnable scheduling entities now
    context_switches_per_sec: int  # context switches since boot (a total)
    cpu_temp_celsius: float  # degrees Celsius; 0.0 without a thermal zone
    throttle_status: int  # firmware throttle bit set, undecoded
    mem_total_bytes: int  # bytes
    mem_used_bytes: int  # bytes
    page_faults_minor_per_sec: int  # page faults since boot, major included (a total)
    page_faults_major_per_sec: int  # major page faults since boot (a total)
    uptime_seconds: float  # seconds since boot
    load_avg_1: float  # load average over 1 minute
    load_avg_5: float  # load average over 5 minutes
    load_avg_15: float  # load average over 15 minutes
    disk_read_bytes_per_sec: int  # bytes per second
    disk_write_bytes_per_sec: int  # bytes per second
    net_rx_bytes_per_sec: int  # bytes per second
    net_tx_bytes_per_sec: int  # bytes per second
    measure_clock: int  # ARM clock in hertz, as the firmware reports it

def get_metrics_once(interval_ms: int) -> Metrics:
    """Takes one sample of the host's metrics.

    interval_ms is the sampling period in milliseconds; it divides the four
    byte rates. The call returns after one pass over the sources.
    """
