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
    """CPU time since boot by kind, in seconds: of all CPUs together in
    cpu_seconds, of one CPU in cpus."""

    user: float
    nice: float
    system: float
    idle: float
    iowait: float
    irq: float
    softirq: float
    steal: float

class DiskCounters(TypedDict):
    """One line of diskstats; each field None when malformed or too large."""

    read_bytes: Optional[int]  # bytes read since boot
    written_bytes: Optional[int]  # bytes written since boot
    reads_completed: Optional[int]  # reads completed since boot
    writes_completed: Optional[int]  # writes completed since boot
    io_seconds: Optional[float]  # time spent doing I/O since boot (its milliseconds / 1000)

class InterfaceCounters(TypedDict):
    """One line of net/dev; each field None when malformed or too large."""

    received_bytes: Optional[int]  # bytes received since boot
    transmitted_bytes: Optional[int]  # bytes transmitted since boot
    received_packets: Optional[int]
    transmitted_packets: Optional[int]
    receive_errors: Optional[int]
    transmit_errors: Optional[int]
    receive_drops: Optional[int]
    transmit_drops: Optional[int]

class ZoneTemperature(TypedDict):
    type: Optional[str]  # the zone's type file; None when unreadable
    celsius: float  # degrees Celsius

class Processes(TypedDict):
    """Task counts; a field is None when its line is missing or malformed."""

    running: Optional[int]  # procs_running of stat
    blocked: Optional[int]  # procs_blocked of stat: waiting on I/O now
    threads: Optional[int]  # scheduling entities, the total after the slash in loadavg
    forks_total: Optional[int]  # processes of stat: forks since boot

class Pressure(TypedDict):
    """One file of {procfs}/pressure: its total= figures (microseconds) in
    seconds. A file whose some line does not parse is left out."""

    some_seconds_total: float  # time at least one task was stalled on the resource
    full_seconds_total: Optional[float]  # every non-idle task at once; None without a full line

class Filesystem(TypedDict):
    """One mounted filesystem: its mounts line and statvfs(rootfs + mount
    point). A mount point that cannot be stat'ed, or whose figures do not fit
    64 bits, is left out; so are pseudo and network filesystems and mount
    points under /dev, /proc, /sys, /run/credentials and container storage."""

    device: str  # first field of the mounts line, octal escapes (\040) decoded, surrogateescape
    type: str  # filesystem type, e.g. "ext4"
    size_bytes: int  # f_blocks * f_frsize
    free_bytes: int  # f_bfree * f_frsize
    available_bytes: int  # f_bavail * f_frsize: free to unprivileged users
    files: int  # f_files: inodes
    files_free: int  # f_ffree
    read_only: bool  # "ro" among the mount options, or ST_RDONLY from statvfs

class Wireless(TypedDict):
    """One interface of {procfs}/net/wireless."""

    link_quality: float
    signal_dbm: float

class Sensor(TypedDict):
    """One hwmon sensor SENSOR (temp1, in0, fan1, power1, curr1, ...) that has
    an input or an alarm file, in the unit of its kind: temp in degrees
    Celsius, in in volts, fan in RPM, power in watts, curr in amperes."""

    label: Optional[str]  # SENSOR_label; None without one
    value: Optional[float]  # SENSOR_input converted; None when absent, unreadable or malformed
    alarm: Optional[bool]  # SENSOR_alarm, _crit_alarm or _lcrit_alarm reads 1; None without any readable

class Throttle(TypedDict):
    """The firmware throttle word decoded: bits 0 to 3 now, 16 to 19 since boot."""

    under_voltage: bool
    arm_frequency_capped: bool
    throttled: bool
    soft_temperature_limit: bool
    under_voltage_occurred: bool
    arm_frequency_capped_occurred: bool
    throttled_occurred: bool
    soft_temperature_limit_occurred: bool

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
    cpus: Optional[Dict[int, CpuSeconds]]  # CPU number -> its time, one entry per cpuN line of stat
    cpu_frequencies_hz: Optional[Dict[int, int]]  # CPU number -> current frequency; None without cpufreq
    processes: Optional[Processes]  # None when neither stat nor loadavg can be read
    pressure: Optional[Dict[str, Pressure]]  # "cpu", "memory", "io" as present; None without the directory
    filesystems: Optional[Dict[str, Filesystem]]  # mount point -> figures, from 1/mounts else self/mounts;
    # None when neither can be read
    wireless: Optional[Dict[str, Wireless]]  # interface -> link; None without net/wireless
    hwmon: Optional[Dict[str, Sensor]]  # "CHIP/SENSOR" -> reading, CHIP the name file (made unique
    # by a stable suffix from the device path when two chips share it); None without class/hwmon
    throttle: Optional[Throttle]  # None when throttle_status is None
    swap_in_pages_total: Optional[int]  # pswpin of vmstat
    swap_out_pages_total: Optional[int]  # pswpout of vmstat
    oom_kills_total: Optional[int]  # oom_kill of vmstat
    clock_synchronized: Optional[bool]  # a read-only adjtimex returned a state other than TIME_ERROR
    clock_max_error_seconds: Optional[float]  # adjtimex maxerror (microseconds) / 1e6

class PressureShare(TypedDict):
    """Share of one interval stalled on a resource, in percent (0 to 100)."""

    some_percent: float
    full_percent: Optional[float]  # None without a full line

class DiskRates(TypedDict):
    """One block device over one interval; a field is None when its counter
    was None in either reading."""

    read_bytes_per_sec: Optional[float]
    write_bytes_per_sec: Optional[float]
    reads_per_sec: Optional[float]  # reads completed per second
    writes_per_sec: Optional[float]
    busy_percent: Optional[float]  # share of the interval spent doing I/O, 0 to 100

class InterfaceRates(TypedDict):
    """One interface over one interval; a field is None when a counter it
    needs was None in either reading."""

    rx_bytes_per_sec: Optional[float]
    tx_bytes_per_sec: Optional[float]
    rx_packets_per_sec: Optional[float]
    tx_packets_per_sec: Optional[float]
    errors_per_sec: Optional[float]  # receive and transmit errors together
    drops_per_sec: Optional[float]  # receive and transmit drops together

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
    cpus_usage_percent: Optional[Dict[int, Optional[float]]]  # CPU number -> share not idle nor iowait,
    # for CPUs in both readings; None for one with no CPU time passed
    processes_running: Optional[int]
    processes_blocked: Optional[int]
    pressure: Optional[Dict[str, PressureShare]]  # resources present in both readings
    disks: Optional[Dict[str, DiskRates]]  # devices present in both readings
    interfaces: Optional[Dict[str, InterfaceRates]]  # interfaces present in both readings
    cpu_frequencies_hz: Optional[Dict[int, int]]  # the gauges below as read_counters() gives them
    filesystems: Optional[Dict[str, Filesystem]]
    temperatures: Dict[str, ZoneTemperature]
    hwmon: Optional[Dict[str, Sensor]]
    throttle: Optional[Throttle]
    wireless: Optional[Dict[str, Wireless]]
    swap_total_bytes: Optional[int]
    swap_used_bytes: Optional[int]
    clock_synchronized: Optional[bool]

def read_counters(*, procfs: str = "/proc", sysfs: str = "/sys", rootfs: str = "/") -> Counters:
    """One pass over the sources on the calling thread.

    procfs, sysfs and rootfs are where the host's /proc, /sys and / are
    mounted (a container given them read-only under /host, say)."""

@final
class Sampler:
    """A background sampler: one sample per interval_ms milliseconds.

    with Sampler(1000) as s:
        for sample in s: ...
    """

    def __new__(cls, interval_ms: int = 1000, *, procfs: str = "/proc", sysfs: str = "/sys",
                rootfs: str = "/") -> "Sampler": ...
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
