// The sampler's worker task and its shutdown.
#include "collector/sampler.h"

#include <memory>
#include <utility>

#include "runtime/fault.h"
#include "runtime/periodic_timer.h"

namespace quillmere::collector {
namespace {

class SamplerTask final : public runtime::SamplingRuntime::Task {
 public:
  SamplerTask(Sampler::Slot& slot, std::uint64_t period_ns, const CounterSources& sources)
      : slot_(slot), period_ns_(period_ns), sources_(sources) {}

  void run(runtime::TickClock& clock) override {
    runtime::PeriodicTimer timer(clock, period_ns_);
    if (!timer.tick()) return;  // the first tick fires at once
    CounterReading previous = take_counter_reading(sources_, clock.cancel_fd());
    while (timer.tick()) {
      CounterReading current = take_counter_reading(sources_, clock.cancel_fd());
      // A pass cut short by the close (a killed tool run) is not a sample.
      if (clock.cancelled()) return;
      slot_.put(interval_sample(previous, current));
      previous = std::move(current);
    }
  }

 private:
  Sampler::Slot& slot_;
  std::uint64_t period_ns_;
  CounterSources sources_;
};

}  // namespace

Sampler::Sampler(std::uint64_t period_ns, const CounterSources& sources) {
  if (period_ns == 0) throw runtime::InternalFault("the sampling period must be non-zero");
  runtime_.spawn(std::make_unique<SamplerTask>(slot_, period_ns, sources));
}

void Sampler::close() noexcept {
  slot_.close();
  // One closer at a time: the runtime's shutdown belongs to one thread.
  const std::lock_guard lock(close_mutex_);
  runtime_.shutdown();
}

}  // namespace quillmere::collector
