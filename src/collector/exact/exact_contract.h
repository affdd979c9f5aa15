// The exact call's contract: the source records turned into the 26 values of
// a MetricsSnapshot, oddities included.
//
// Promises: a missing source, line or field gives 0 (0.0), never an error;
// counters are since boot and the CPU shares are shares since boot, in
// single precision; differences of counters saturate at 0; the load averages,
// the run queue and the temperature are single-precision parses; the device
// rates are the summed increases of the devices in both readings divided by
// the configured period (not a measured one), counters multiplied to bytes in
// wrapping 64-bit arithmetic. Nothing here reads a file.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <utility>

#include "collector/device_table.h"
#include "collector/exact/snapshot.h"
#include "sys_reader/sources/loadavg.h"
#include "sys_reader/sources/meminfo.h"
#include "sys_reader/sources/stat.h"
#include "sys_reader/sources/vmstat.h"

namespace quillmere::collector::exact {

// Machine-wide CPU time since boot, in USER_HZ ticks, and context switches.
struct CpuTimes {
  sys_reader::CpuTicks ticks;                // a column that is not a number reads 0
  std::uint64_t total = 0;                   // sum of the eight columns
  std::uint64_t context_switches = 0;        // since the count handed in, saturating
  std::uint64_t context_switches_total = 0;  // absolute count read
};
CpuTimes cpu_times(const sys_reader::StatRecord& stat, std::uint64_t previous_context_switches_total) noexcept;

// The eight CPU shares, each counter over the total, times 100 (division
// first, then multiplication, both in single precision); the user share is
// user and nice together. A zero total gives NaN for all eight, which is how
// a missing /proc/stat shows.
void fill_cpu_percentages(const CpuTimes& times, MetricsSnapshot& snapshot) noexcept;

struct LoadAverage {
  float run_queue_length = 0.0f;
  float load_avg_1 = 0.0f;
  float load_avg_5 = 0.0f;
  float load_avg_15 = 0.0f;
};
LoadAverage load_average(const std::optional<sys_reader::LoadavgRecord>& loadavg) noexcept;

struct MemoryUsage {
  std::uint64_t mem_total_bytes = 0;
  std::uint64_t mem_used_bytes = 0;  // total - (free + buffers + cached), or 0
};
MemoryUsage memory_usage(const sys_reader::MeminfoRecord& meminfo) noexcept;

struct PageFaultCounts {
  std::uint64_t minor = 0;  // pgfault since the count handed in, saturating
  std::uint64_t major = 0;  // pgmajfault since the count handed in, saturating
  std::uint64_t minor_total = 0;
  std::uint64_t major_total = 0;
};
PageFaultCounts page_faults(const sys_reader::VmstatRecord& vmstat, std::uint64_t previous_minor_total,
                            std::uint64_t previous_major_total) noexcept;

double uptime_seconds(std::optional<std::string_view> uptime) noexcept;

// Degrees Celsius of a zone's temp token, nullopt when it is not a number
// (the zone is then passed over for the next one).
std::optional<float> zone_celsius(std::string_view temp) noexcept;

// (first, second) rates between two readings of a device file whose counters
// are of `unit_bytes` bytes each; {0, 0} when either reading has no device or
// memory runs out.
std::pair<std::uint64_t, std::uint64_t> device_rates(DeviceTable& previous, DeviceTable& current,
                                                     std::uint64_t unit_bytes, double interval_seconds) noexcept;

}  // namespace quillmere::collector::exact
