// The monitoring contract: the source records turned into since-boot
// counters and current gauges (a CounterReading), and two readings into the
// rates and shares of the interval between them (an IntervalSample).
//
// Promises: a value whose source could not be read, whose field is missing
// or not a number, that is not finite (or negative where it cannot be), or
// that does not fit 64 bits (a product to bytes, a sum) is nullopt, never 0
// or a wrapped number. Fractional values are parsed in double precision.
// Rates are increases over the time measured between the starts of the two
// passes; an increase saturates at 0, but for an interface counter of a
// 32-bit kernel that stepped back below 2^32, which wrapped. The per-device
// files' part is in monitoring_devices.h. Nothing here reads a file.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "collector/monitoring/monitoring_devices.h"
#include "os/clock.h"
#include "os/clock_sync.h"
#include "sys_reader/sources/filesystems.h"
#include "sys_reader/sources/hwmon.h"
#include "sys_reader/sources/loadavg.h"
#include "sys_reader/sources/meminfo.h"
#include "sys_reader/sources/pressure.h"
#include "sys_reader/sources/stat.h"
#include "sys_reader/sources/wireless.h"

namespace quillmere::collector {

using sys_reader::CpuTicks;

// Each value in bytes.
struct MemoryCounters {
  std::optional<std::uint64_t> total_bytes;
  std::optional<std::uint64_t> used_bytes;  // total - (free + buffers + cached), or 0; needs MemTotal
  std::optional<std::uint64_t> available_bytes;
  std::optional<std::uint64_t> swap_total_bytes;
  std::optional<std::uint64_t> swap_used_bytes;  // SwapTotal - SwapFree, or 0; needs both
};

struct LoadAverage64 {
  std::optional<double> run_queue_length;
  std::optional<double> load_avg_1;
  std::optional<double> load_avg_5;
  std::optional<double> load_avg_15;
};

// Task counts; each nullopt when its line is missing or not a number.
struct ProcessCounts {
  std::optional<std::uint64_t> running;      // procs_running of stat
  std::optional<std::uint64_t> blocked;      // procs_blocked of stat
  std::optional<std::uint64_t> threads;      // the total after the slash in loadavg
  std::optional<std::uint64_t> forks_total;  // processes of stat
};

// One CPU's time, from its "cpuN" line of stat.
struct CpuTime {
  std::uint32_t cpu = 0;
  CpuTicks ticks;
};

// One interface of net/wireless whose two figures are numbers.
struct WirelessLink {
  std::string name;
  double link_quality = 0.0;
  double signal_dbm = 0.0;
};

// The gauges of the board sources: a reading's, and a sample's copy of its
// newer reading's. Each nullopt when its source cannot be read.
struct BoardGauges {
  std::optional<std::vector<std::pair<std::uint32_t, std::uint64_t>>> cpu_frequencies_hz;  // by CPU
  std::optional<std::vector<std::pair<std::string, sys_reader::FilesystemUsage>>> filesystems;  // by mount point
  std::optional<std::vector<WirelessLink>> wireless;
  std::optional<std::vector<sys_reader::HwmonSensor>> hwmon;  // by key
  std::optional<os::ClockSync> clock;
};

struct ZoneTemperature {
  std::string zone;                 // e.g. thermal_zone0
  std::optional<std::string> type;  // the zone's trimmed `type` file
  double celsius = 0.0;
};

struct CounterReading {
  std::uint64_t monotonic_ns = 0;  // CLOCK_MONOTONIC at the start of the pass
  os::WallClockInstant timestamp;  // wall clock once every source was read
  double ticks_per_second = 100.0;  // USER_HZ, for converting CPU ticks
  // The kernel's word: interface counters of a 32-bit kernel wrap at 2^32.
  std::uint32_t kernel_word_bits = 64;
  std::optional<double> uptime_seconds;
  std::optional<CpuTicks> cpu;
  // Every valid per-CPU line, by CPU number; nullopt without stat.
  std::optional<std::vector<CpuTime>> cpus;
  std::optional<ProcessCounts> processes;  // nullopt when neither stat nor loadavg has a record
  std::optional<std::uint64_t> context_switches_total;
  std::optional<std::uint64_t> page_faults_total;  // pgfault: every fault, major ones included
  std::optional<std::uint64_t> page_faults_major_total;
  std::optional<std::uint64_t> swap_in_pages_total;  // pswpin
  std::optional<std::uint64_t> swap_out_pages_total;  // pswpout
  std::optional<std::uint64_t> oom_kills_total;
  DeviceReading disks;
  DeviceReading interfaces;  // lo included
  std::optional<LoadAverage64> load;
  MemoryCounters memory;
  std::vector<ZoneTemperature> zones;  // in name order: the first is the CPU temperature
  std::optional<std::uint32_t> throttle_status;
  std::optional<std::uint64_t> arm_clock_hz;
  // Resource ("cpu", "memory", "io") -> its totals, each with a some total;
  // nullopt without the pressure directory.
  std::optional<std::vector<std::pair<std::string, sys_reader::PressureRecord>>> pressure;
  BoardGauges board;
};

// --- Records to counters and gauges ------------------------------------------

std::optional<CpuTicks> cpu_ticks(const sys_reader::StatRecord& stat) noexcept;
// The per-CPU lines whose columns are all numbers. Throws only std::bad_alloc.
std::vector<CpuTime> cpu_times(const sys_reader::StatDetail& stat);
// nullptr for a stat that could not be read.
std::optional<ProcessCounts> process_counts(const sys_reader::StatDetail* stat,
                                            const std::optional<sys_reader::LoadavgRecord>& loadavg) noexcept;
// The interfaces whose link quality and signal are both numbers, names
// copied. Throws only std::bad_alloc.
std::vector<WirelessLink> wireless_links(const std::vector<sys_reader::WirelessLine>& lines);
MemoryCounters memory_counters(const sys_reader::MeminfoRecord& meminfo) noexcept;
std::optional<LoadAverage64> load_average64(const std::optional<sys_reader::LoadavgRecord>& loadavg) noexcept;
std::optional<double> uptime_seconds64(std::optional<std::string_view> uptime) noexcept;
// nullopt for a temp that is not a finite number (a temperature may be below
// zero).
std::optional<double> zone_celsius64(std::string_view temp) noexcept;

// The width in bits of the kernel's word, told by uname's machine name: 32
// for the 32-bit architectures (armv6l, armv7l, i686, mips, ...), 64 for the
// rest and for an empty name. An arm64 kernel tells a 32-bit process it runs
// on armv8l: 64.
std::uint32_t kernel_word_bits(std::string_view machine) noexcept;

// --- Two readings to a sample ------------------------------------------------

// Share of an interval stalled on one resource, in percent (0 to 100).
struct PressureShare {
  std::string name;
  double some_percent = 0.0;
  std::optional<double> full_percent;  // nullopt without a full total in either reading
};

// The gauges and rates between two readings. Every optional is nullopt when
// either reading lacks its source (gauges: when the newer one does).
struct IntervalSample {
  os::WallClockInstant timestamp;  // the newer reading's
  // Percent of the interval's CPU time: usage is neither idle nor iowait,
  // user is user and nice together.
  struct CpuShares {
    double usage, user, system, idle, iowait, irq, softirq, steal;
  };
  std::optional<CpuShares> cpu;  // also nullopt when no CPU time passed
  // CPU number -> usage share (as in CpuShares), for the CPUs in both
  // readings; nullopt for a CPU with no time passed.
  std::optional<std::vector<std::pair<std::uint32_t, std::optional<double>>>> cpus_usage;
  std::optional<std::uint64_t> processes_running;
  std::optional<std::uint64_t> processes_blocked;
  std::optional<std::vector<PressureShare>> pressure;  // resources in both readings
  std::optional<double> run_queue_length;
  std::optional<double> context_switches_per_sec;
  std::optional<double> cpu_temp_celsius;
  std::optional<std::uint32_t> throttle_status;
  std::optional<std::uint64_t> mem_total_bytes;
  std::optional<std::uint64_t> mem_used_bytes;
  std::optional<double> page_faults_minor_per_sec;  // pgfault - pgmajfault
  std::optional<double> page_faults_major_per_sec;
  std::optional<double> uptime_seconds;
  std::optional<LoadAverage64> load;
  std::optional<double> disk_read_bytes_per_sec;
  std::optional<double> disk_write_bytes_per_sec;
  std::optional<double> net_rx_bytes_per_sec;
  std::optional<double> net_tx_bytes_per_sec;
  // Every device in both readings (partitions included), sorted by name.
  std::optional<std::vector<DiskRates>> disks;
  std::optional<std::vector<InterfaceRates>> interfaces;
  std::optional<std::uint64_t> arm_clock_hz;
  double interval_seconds = 0.0;
  std::optional<std::uint64_t> mem_available_bytes;
  // The newer reading's gauges.
  BoardGauges board;
  std::vector<ZoneTemperature> zones;
  std::optional<std::uint64_t> swap_total_bytes;
  std::optional<std::uint64_t> swap_used_bytes;
};

// A device counter unknown in either reading is passed over; a sum that does
// not fit 64 bits gives nullopt, and so does an interval of zero length. CPU
// shares stay within 0..100. May build either reading's names index; throws
// only std::bad_alloc.
IntervalSample interval_sample(CounterReading& previous, CounterReading& current);

}  // namespace quillmere::collector
