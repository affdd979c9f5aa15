// One monitoring pass over every source: each read once, in the exact
// collector's order, and its record turned into counters and gauges by the
// monitoring contract (monitoring_contract.h).
#pragma once

#include <memory>
#include <string>

#include "collector/monitoring/monitoring_contract.h"
#include "os/child_process.h"
#include "os/clock.h"
#include "sys_reader/roots.h"
#include "sys_reader/sources/vcgencmd.h"

namespace quillmere::collector {

// Where a pass looks: the roots every path is built from, the firmware tool's
// name, the clock call behind both of its clocks (tests pass one that fails),
// and the environment (PATH included) the tool is found and run with.
struct CounterSources {
  sys_reader::Roots roots;
  std::string firmware_tool = sys_reader::kFirmwareTool;
  os::ClockReader read_clock = &::clock_gettime;
  // A copy taken where nothing changes the environment (the interpreter lock
  // held); nullptr: the process's own, read during the pass.
  std::shared_ptr<const os::Environment> environment;
};

// The firmware tool runs at most twice, each run bounded to a second;
// `cancel_fd`, when it becomes readable, kills a run in progress and skips
// the rest of the tool's queries. Throws only on exhausted memory.
// `previous`, a reading of the same sources, lends the partition flags of
// the disks it saw on the same lines.
CounterReading take_counter_reading(const CounterSources& sources = {}, int cancel_fd = -1,
                                    const CounterReading* previous = nullptr);

}  // namespace quillmere::collector
