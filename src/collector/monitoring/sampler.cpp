// The sampler's worker task and its shutdown.
#include "collector/monitoring/sampler.h"

#include <exception>
#include <memory>
#include <new>
#include <string>
#include <utility>

#include "runtime/fault.h"
#include "runtime/periodic_timer.h"

namespace quillmere::collector {
namespace {

class SamplerTask {
 public:
  SamplerTask(Sampler::Slot& slot, std::uint64_t period_ns, CounterSources sources)
      : slot_(slot), period_ns_(period_ns), sources_(std::move(sources)) {}

  void operator()(runtime::TickClock& clock) {
    try {
      sample_until_cancelled(clock);
    } catch (...) {
      // The consumers learn why no sample comes; the worker reports the
      // fault on standard error.
      slot_.fail(std::current_exception());
      throw;
    }
  }

 private:
  void sample_until_cancelled(runtime::TickClock& clock) {
    runtime::PeriodicTimer timer(clock, period_ns_, runtime::PeriodicTimer::Catchup::kSkip);
    if (!timer.tick()) return;  // the first tick fires at once
    CounterReading previous = take_counter_reading(sources_, clock.cancel_fd());
    while (timer.tick()) {
      CounterReading current = take_counter_reading(sources_, clock.cancel_fd(), &previous);
      // A pass cut short by the close (a killed tool run) is not a sample.
      if (clock.cancelled()) return;
      slot_.put(interval_sample(previous, current), timer.skipped());
      previous = std::move(current);
    }
  }

  Sampler::Slot& slot_;
  std::uint64_t period_ns_;
  CounterSources sources_;
};

// The task, once the period is known to be valid: a zero period is refused
// before any thread starts.
runtime::Worker::Task sampler_task(Sampler::Slot& slot, std::uint64_t period_ns, const CounterSources& sources) {
  if (period_ns == 0) throw runtime::InternalFault("the sampling period must be non-zero");
  return SamplerTask(slot, period_ns, sources);
}

}  // namespace

Sampler::Sampler(std::uint64_t period_ns, const CounterSources& sources)
    : worker_(sampler_task(slot_, period_ns, sources)) {}

void Sampler::close() noexcept {
  slot_.close();
  // One closer at a time: stopping the worker belongs to one thread.
  const std::lock_guard lock(close_mutex_);
  worker_.stop();
  slot_.release_descriptors();
}

void Sampler::raise_failure() const {
  const std::exception_ptr failure = slot_.error();
  if (!failure) throw runtime::ReportedFault("the sampler's worker stopped");
  try {
    std::rethrow_exception(failure);
  } catch (const std::bad_alloc&) {
    throw;
  } catch (const std::exception& error) {
    throw runtime::ReportedFault(std::string("the sampler's worker stopped: ") + error.what());
  } catch (...) {
    throw runtime::ReportedFault("the sampler's worker stopped");
  }
}

}  // namespace quillmere::collector
