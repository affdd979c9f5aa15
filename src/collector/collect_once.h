// collect_once: start a fresh collector on the runtime and hand back the
// first snapshot it publishes.
//
// What the caller waits for: the collector first reads its baseline (the
// block device and interface counters), then its timer's first tick fires
// at once and it reads every source and publishes that tick's snapshot. A
// call lasts the baseline and one sampling pass, not one period; the device
// rates of that first snapshot compare the baseline with a reading taken
// moments later, over the whole period. The collector keeps running,
// detached, one tick per period, until the runtime shuts down.
#pragma once

#include <cstddef>
#include <cstdint>
#include <variant>

#include "collector/collector.h"
#include "collector/snapshot.h"
#include "runtime/sampling_runtime.h"

namespace quillmere::collector {

inline constexpr std::size_t kSnapshotCapacity = 8;

// The channel closed before any snapshot: the collector stopped before its
// first tick (a zero period, which its timer refuses).
struct CollectError {};

using CollectResult = std::variant<MetricsSnapshot, CollectError>;

// Blocks the calling thread until the first snapshot or the channel's close.
// A caller so slow that later ticks overwrote the first snapshots before its
// receive gets the oldest snapshot still held, a later tick's sample, never
// an error.
CollectResult collect_once(runtime::SamplingRuntime& runtime, std::uint64_t interval_ms,
                           const SourcePaths& paths = {});

// The receiving half of collect_once: the first snapshot the receiver can
// still get, or kClosed.
CollectResult receive_first_snapshot(runtime::BroadcastReceiver<MetricsSnapshot>& receiver);

}  // namespace quillmere::collector
