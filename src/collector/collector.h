// The sampling collector: on every tick of its periodic timer it reads every
// source once, in a fixed order, and publishes one MetricsSnapshot.
//
// Between ticks it keeps only what the next tick needs: the previous absolute
// counters (context switches, page faults) and the previous reading of each
// per-device file (its text and device lines, see sys_reader::DeviceHistory).
// It never ends by itself; run() returns when the runtime cancels it at a
// wait for a tick. All of its state belongs to the task that runs it;
// the channel it publishes on is the only thing it shares.
#pragma once

#include <cstdint>

#include "collector/period.h"
#include "collector/snapshot.h"
#include "runtime/broadcast_channel.h"
#include "runtime/periodic_timer.h"
#include "sys_reader/readers.h"

namespace quillmere::collector {

// Where the collector reads. The defaults are the real sources; tests point
// them at fixtures.
struct SourcePaths {
  const char* proc_stat = sys_reader::kProcStat;
  const char* proc_loadavg = sys_reader::kProcLoadavg;
  const char* proc_meminfo = sys_reader::kProcMeminfo;
  const char* proc_uptime = sys_reader::kProcUptime;
  const char* proc_vmstat = sys_reader::kProcVmstat;
  const char* proc_diskstats = sys_reader::kProcDiskstats;
  const char* proc_net_dev = sys_reader::kProcNetDev;
  const char* thermal_dir = sys_reader::kThermalDir;
  const char* firmware_tool = sys_reader::kFirmwareTool;
};

// The eight CPU shares since boot, in single precision: each counter over the
// total, times 100. A zero total gives NaN for all eight, which is how a
// missing /proc/stat shows.
void fill_cpu_percentages(const sys_reader::CpuTimes& times, MetricsSnapshot& snapshot) noexcept;

class Collector {
 public:
  using Sender = runtime::BroadcastSender<MetricsSnapshot>;

  // Reads nothing yet.
  Collector(Period period, Sender sender, const SourcePaths& paths = {});

  // Takes the baseline device counters, makes the timer (a zero period throws
  // InternalFault) and samples once per tick until `clock` is cancelled.
  void run(runtime::TickClock& clock);

  // The baseline read before the first tick.
  void read_baseline();

  // One tick's readings, in order, and the snapshot they make. Updates the
  // counters kept for the next tick.
  MetricsSnapshot sample();

 private:
  Period period_;
  Sender sender_;
  SourcePaths paths_;
  std::uint64_t previous_context_switches_total_ = 0;
  std::uint64_t previous_minor_total_ = 0;
  std::uint64_t previous_major_total_ = 0;
  sys_reader::DeviceHistory disk_;
  sys_reader::DeviceHistory net_;
  int cancel_fd_ = -1;  // the running clock's cancellation, watched by tool runs
};

}  // namespace quillmere::collector
