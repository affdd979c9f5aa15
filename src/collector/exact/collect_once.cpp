// The one-shot run: queue, collector task, one receive.
#include "collector/exact/collect_once.h"

#include <memory>
#include <utility>

namespace quillmere::collector {

std::optional<MetricsSnapshot> collect_once(std::optional<runtime::Worker>& worker, std::uint64_t interval_ms,
                                            const CollectorSources& sources) {
  auto [sender, receiver] = runtime::make_snapshot_queue<MetricsSnapshot>(kSnapshotQueueCapacity);
  // The task alone owns the collector: dropping it on the worker, however
  // the collector ended, drops the sender and so closes the queue.
  worker.emplace([collector = std::make_shared<Collector>(Period::from_millis(interval_ms), std::move(sender),
                                                          sources)](runtime::TickClock& clock) { collector->run(clock); });
  return receiver.receive();
}

}  // namespace quillmere::collector
