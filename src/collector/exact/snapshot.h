// MetricsSnapshot: one complete sample of the 26 host metrics.
//
// A plain value of fixed-width numbers, copied into the snapshot queue and
// out of it; it owns nothing. Field names and their order are the keys of the
// Python result dictionary and its order. A source that cannot be read
// leaves its fields at the exact contract's fallback (0 or 0.0), never absent.
#pragma once

#include <cstdint>

#include "os/clock.h"

namespace quillmere::collector {

using os::WallClockInstant;

struct MetricsSnapshot {
  WallClockInstant timestamp;             // taken after every source of the tick was read
  float cpu_usage_percent = 0.0f;         // non-idle share of CPU time since boot
  float cpu_user_percent = 0.0f;          // user + nice
  float cpu_system_percent = 0.0f;
  float cpu_idle_percent = 0.0f;
  float cpu_iowait_percent = 0.0f;
  float cpu_irq_percent = 0.0f;
  float cpu_softirq_percent = 0.0f;
  float cpu_steal_percent = 0.0f;
  float run_queue_length = 0.0f;          // runnable scheduling entities
  std::uint64_t context_switches_per_sec = 0;   // increase since the previous tick (since boot on the first)
  float cpu_temp_celsius = 0.0f;
  std::uint32_t throttle_status = 0;      // firmware throttle word, undecoded
  std::uint64_t mem_total_bytes = 0;
  std::uint64_t mem_used_bytes = 0;
  std::uint64_t page_faults_minor_per_sec = 0;  // increase of pgfault, like context switches
  std::uint64_t page_faults_major_per_sec = 0;  // increase of pgmajfault
  double uptime_seconds = 0.0;
  float load_avg_1 = 0.0f;
  float load_avg_5 = 0.0f;
  float load_avg_15 = 0.0f;
  std::uint64_t disk_read_bytes_per_sec = 0;    // divided by the configured period
  std::uint64_t disk_write_bytes_per_sec = 0;
  std::uint64_t net_rx_bytes_per_sec = 0;
  std::uint64_t net_tx_bytes_per_sec = 0;
  std::uint64_t measure_clock = 0;        // ARM clock as the firmware tool reports it
};

}  // namespace quillmere::collector
