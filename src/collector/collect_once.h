// collect_once: start a fresh collector on the runtime and hand back the
// first snapshot it publishes.
//
// The receiver is subscribed before the collector starts, so it sees the
// first snapshot, which the collector's timer fires at once: a run lasts one
// pass over the sources, not one period. The collector keeps running,
// detached, until the runtime shuts down.
#pragma once

#include <cstdint>
#include <variant>

#include "collector/collector.h"
#include "collector/snapshot.h"
#include "runtime/sampling_runtime.h"

namespace quillmere::collector {

inline constexpr std::size_t kSnapshotCapacity = 8;

struct CollectError {
  enum class Kind { kClosed, kLagged };
  Kind kind = Kind::kClosed;
  std::uint64_t missed = 0;  // for kLagged
};

using CollectResult = std::variant<MetricsSnapshot, CollectError>;

// Blocks the calling thread until the first snapshot or the channel's close
// (for instance: a zero interval, which the collector's timer refuses). A
// caller so slow that the collector overwrote snapshots before the first
// receive gets the oldest snapshot still held, a later tick's sample.
CollectResult collect_once(runtime::SamplingRuntime& runtime, std::uint64_t interval_ms,
                           const SourcePaths& paths = {});

// The receiving half of collect_once: the first snapshot the receiver can
// still get, or kClosed.
CollectResult receive_first_snapshot(runtime::BroadcastReceiver<MetricsSnapshot>& receiver);

}  // namespace quillmere::collector
