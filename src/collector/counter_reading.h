// One pass over every source for monitoring (CounterReading), and the
// interval sample made from two such passes (IntervalSample).
//
// A reading holds since-boot counters and current gauges exactly as read,
// each absent (nullopt) when its source could not be read. A sample holds
// true interval rates: every increase between the two readings divided by the
// time measured between the starts of the two passes, CPU shares of the CPU
// time that passed in between, and the newer reading's gauges. Both are plain
// values; nothing here keeps state or touches the interpreter.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "collector/collector.h"
#include "collector/snapshot.h"
#include "os/child_process.h"
#include "os/clock.h"
#include "sys_reader/counters.h"

namespace quillmere::collector {

// Where a reading looks: the one-shot collector's sources, the sysfs
// block-device directory that tells partitions from disks, the clock
// call behind both of its clocks (tests pass one that fails), and the
// environment (PATH included) the firmware tool is found and run with.
struct CounterSources {
  SourcePaths paths;
  const char* sys_block_dir = sys_reader::kSysClassBlock;
  const char* whole_disk_dir = sys_reader::kSysBlock;
  os::ClockReader read_clock = &::clock_gettime;
  // A copy taken where nothing changes the environment (the interpreter lock
  // held); nullptr: the process's own, read during the pass.
  std::shared_ptr<const os::Environment> environment;
};

struct CounterReading {
  std::uint64_t monotonic_ns = 0;  // CLOCK_MONOTONIC at the start of the pass
  WallClockInstant timestamp;      // wall clock once every source was read
  double ticks_per_second = 100.0;  // USER_HZ, for converting CPU ticks
  // The kernel's word: interface counters of a 32-bit kernel wrap at 2^32.
  std::uint32_t kernel_word_bits = 64;
  std::optional<double> uptime_seconds;
  sys_reader::StatCounters stat;
  sys_reader::PageFaultTotals page_faults;
  std::optional<std::vector<sys_reader::DeviceReading>> disks;       // partitions flagged
  std::optional<std::vector<sys_reader::DeviceReading>> interfaces;  // lo included
  std::optional<sys_reader::LoadAverage64> load;
  sys_reader::MemoryCounters memory;
  std::vector<sys_reader::ThermalZoneReading> zones;  // the first is the CPU temperature
  std::optional<std::uint32_t> throttle_status;
  std::optional<std::uint64_t> arm_clock_hz;

  // Bytes summed over whole disks (partitions left out, so that a transfer is
  // counted once): (read, written); each nullopt without the source, when a
  // device's counter is unknown or when the sum does not fit 64 bits.
  using Totals = std::pair<std::optional<std::uint64_t>, std::optional<std::uint64_t>>;
  Totals disk_totals() const noexcept;
  // Bytes summed over every interface: (received, transmitted), likewise.
  Totals net_totals() const noexcept;
};

// One pass, in the one-shot collector's order of sources. The firmware tool
// runs at most twice, each run bounded to a second; `cancel_fd`, when it
// becomes readable, kills a run in progress and skips the rest of the tool's
// queries. Throws only on exhausted memory.
CounterReading take_counter_reading(const CounterSources& sources = {}, int cancel_fd = -1);

// The gauges and rates between two readings. Every optional is nullopt when
// either reading lacks its source (gauges: when the newer one does).
struct IntervalSample {
  WallClockInstant timestamp;  // the newer reading's
  struct CpuShares {
    double usage = 0.0;  // not idle and not iowait
    double user = 0.0;   // user + nice
    double system = 0.0;
    double idle = 0.0;
    double iowait = 0.0;
    double irq = 0.0;
    double softirq = 0.0;
    double steal = 0.0;
  };
  std::optional<CpuShares> cpu;  // also nullopt when no CPU time passed
  std::optional<double> run_queue_length;
  std::optional<double> context_switches_per_sec;
  std::optional<double> cpu_temp_celsius;
  std::optional<std::uint32_t> throttle_status;
  std::optional<std::uint64_t> mem_total_bytes;
  std::optional<std::uint64_t> mem_used_bytes;
  std::optional<double> page_faults_minor_per_sec;  // pgfault - pgmajfault
  std::optional<double> page_faults_major_per_sec;
  std::optional<double> uptime_seconds;
  std::optional<sys_reader::LoadAverage64> load;
  std::optional<double> disk_read_bytes_per_sec;
  std::optional<double> disk_write_bytes_per_sec;
  std::optional<double> net_rx_bytes_per_sec;
  std::optional<double> net_tx_bytes_per_sec;
  std::optional<std::uint64_t> arm_clock_hz;
  double interval_seconds = 0.0;
  std::optional<std::uint64_t> mem_available_bytes;
};

// Increases saturate at 0 (a counter that went back counts nothing), but for
// an interface counter of a 32-bit kernel that stepped back below 2^32,
// which wrapped. A device counter unknown in either reading is passed over;
// a sum that does not fit 64 bits gives nullopt, and so does an interval of
// zero length. CPU shares stay within 0..100.
IntervalSample interval_sample(const CounterReading& previous, const CounterReading& current) noexcept;

}  // namespace quillmere::collector
