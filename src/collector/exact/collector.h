// The exact call's collector: on every tick of its periodic timer it reads
// every source once, in a fixed order, turns the records into one
// MetricsSnapshot by the exact contract (exact_contract.h) and publishes it.
//
// Between ticks it keeps only what the next tick needs: the previous absolute
// counters (context switches, page faults) and the previous reading of each
// per-device file. It never ends by itself: run() returns when the worker is
// stopped at a wait for a tick. All of its state belongs to the task that runs
// it; the queue it publishes on is the only thing it shares.
#pragma once

#include <cstdint>
#include <string>

#include "collector/device_table.h"
#include "collector/exact/period.h"
#include "collector/exact/snapshot.h"
#include "runtime/periodic_timer.h"
#include "runtime/snapshot_queue.h"
#include "sys_reader/roots.h"
#include "sys_reader/sources/vcgencmd.h"

namespace quillmere::collector {

// Where the collector reads: the roots every path is built from, and the
// firmware tool's name, looked up along PATH. Tests point them at fixtures.
struct CollectorSources {
  sys_reader::Roots roots;
  std::string firmware_tool = sys_reader::kFirmwareTool;
};

class Collector {
 public:
  using Sender = runtime::QueueSender<MetricsSnapshot>;

  // Reads nothing yet.
  Collector(Period period, Sender sender, CollectorSources sources = {});

  // Takes the baseline device counters, makes the timer (a zero period throws
  // InternalFault) and publishes one snapshot per tick until `clock` is
  // cancelled.
  void run(runtime::TickClock& clock);

 private:
  MetricsSnapshot sample();

  Period period_;
  Sender sender_;
  CollectorSources sources_;
  std::string disk_path_;
  std::string net_path_;
  std::string thermal_dir_;
  std::uint64_t previous_context_switches_total_ = 0;
  std::uint64_t previous_minor_total_ = 0;
  std::uint64_t previous_major_total_ = 0;
  DeviceHistory disk_;
  DeviceHistory net_;
  int cancel_fd_ = -1;  // the running clock's cancellation, watched by tool runs
};

}  // namespace quillmere::collector
