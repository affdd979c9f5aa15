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

  return receive_first_snapshot(receiver);
}

CollectResult receive_first_snapshot(runtime::BroadcastReceiver<MetricsSnapshot>& receiver) {
  using Kind = runtime::RecvResult<MetricsSnapshot>::Kind;
  for (;;) {
    auto received = receiver.recv();
    switch (received.kind) {
      case Kind::kValue:
        return *received.value;
      case Kind::kLagged:
        // A caller starved of CPU while a short period ran: the snapshots
        // still held are complete samples of later ticks, so take the oldest
        // of them rather than fail the call. The receive after a lag starts
        // there; it can only lag again if the collector outruns it once more.
        continue;
      case Kind::kClosed:
        break;
    }
    return CollectError{};
  }
}

}  // namespace quillmere::collector
