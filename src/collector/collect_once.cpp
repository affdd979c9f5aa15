// The one-shot run: channel, collector task, one receive.
#include "collector/collect_once.h"

#include <memory>
#include <utility>

namespace quillmere::collector {

namespace {

class CollectorTask final : public runtime::SamplingRuntime::Task {
 public:
  explicit CollectorTask(Collector collector) : collector_(std::move(collector)) {}
  void run(runtime::TickClock& clock) override { collector_.run(clock); }

 private:
  Collector collector_;
};

}  // namespace

CollectResult collect_once(runtime::SamplingRuntime& runtime, std::uint64_t interval_ms,
                           const SourcePaths& paths) {
  const Period period = Period::from_millis(interval_ms);
  auto [sender, receiver] = runtime::make_broadcast_channel<MetricsSnapshot>(kSnapshotCapacity);
  runtime.spawn(std::make_unique<CollectorTask>(Collector(period, std::move(sender), paths)));

  using Kind = runtime::RecvResult<MetricsSnapshot>::Kind;
  auto received = receiver.recv();
  switch (received.kind) {
    case Kind::kValue:
      return *received.value;
    case Kind::kLagged:
      return CollectError{CollectError::Kind::kLagged, received.missed};
    case Kind::kClosed:
      break;
  }
  return CollectError{CollectError::Kind::kClosed, 0};
}

}  // namespace quillmere::collector
