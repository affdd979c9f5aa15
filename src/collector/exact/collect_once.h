// collect_once: start a fresh collector on a worker and hand back the first
// snapshot it publishes.
//
// What the caller waits for: the collector first reads its baseline (the
// block device and interface counters), then its timer's first tick fires
// at once and it reads every source and publishes that tick's snapshot. A
// call lasts the baseline and one sampling pass, not one period; the device
// rates of that first snapshot compare the baseline with a reading taken
// moments later, over the whole period. The collector keeps running, one
// tick per period, until the caller stops the worker.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "collector/exact/collector.h"
#include "collector/exact/snapshot.h"
#include "runtime/worker.h"

namespace quillmere::collector {

inline constexpr std::size_t kSnapshotQueueCapacity = 8;

// Starts the collector on `worker` (made here, and left to the caller to
// stop once it no longer needs the snapshot) and blocks the calling thread
// until the first snapshot it can get, or nullopt when the queue closed
// before any (the collector stopped before its first tick: a zero period,
// which its timer refuses). A caller so slow that later ticks overwrote the
// first snapshots gets the oldest snapshot still held, a later tick's sample.
// Throws RuntimeBuildError when the worker cannot be built.
std::optional<MetricsSnapshot> collect_once(std::optional<runtime::Worker>& worker, std::uint64_t interval_ms,
                                            const CollectorSources& sources = {});

}  // namespace quillmere::collector
