// The one-shot run: queue, collector task, one receive.
#include "collector/exact/collect_once.h"

#include <memory>
#include <utility>

namespace quillmere::collector {
namespace {

class CollectorTask final : public runtime::Worker::Task {
 public:
  explicit CollectorTask(Collector collector) : collector_(std::move(collector)) {}
  void run(runtime::TickClock& clock) override { collector_.run(clock); }

 private:
  Collector collector_;
};

}  // namespace

std::optional<MetricsSnapshot> collect_once(std::optional<runtime::Worker>& worker, std::uint64_t interval_ms,
                                            const CollectorSources& sources) {
  auto [sender, receiver] = runtime::make_snapshot_queue<MetricsSnapshot>(kSnapshotQueueCapacity);
  worker.emplace(std::make_unique<CollectorTask>(Collector(Period::from_millis(interval_ms), std::move(sender),
                                                           sources)));
  return receiver.receive();
}

}  // namespace quillmere::collector
