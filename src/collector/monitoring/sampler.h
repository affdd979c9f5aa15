// The background sampler: one worker thread that takes a counter reading on
// every tick of a periodic timer and leaves the interval sample between the
// last two readings in a slot for whoever takes it.
//
// Schedule: a reading at start, then one per period; the first sample is
// ready one period after the start. Ticks that passed while the worker could
// not run (a stalled process, a pass longer than a period) are skipped, not
// made up back to back: the schedule starts again from the late tick, so
// that no sample covers less than half a period. A sample nobody took before
// the next one is dropped; both count in Taken::missed. Readers, the timer
// and the firmware tool all run on the worker; the owner's threads only take
// samples.
//
// Failure: a worker whose pass throws (out of memory) closes the slot with
// that error; every take() then reports kFailed and raise_failure() throws
// it for the caller.
//
// Threads: take() may be called from any number of threads at once, each
// sample reaching exactly one of them. close() may be called from any thread,
// more than once: it wakes every taker, cancels the worker (killing a firmware
// tool run in progress through the worker's stop signal), joins
// it, and closes every descriptor of the sampler before it returns. The
// destructor closes; destroy the sampler only when no thread is inside take().
#pragma once

#include <cstdint>
#include <mutex>

#include "collector/monitoring/counter_pass.h"
#include "runtime/latest_value_slot.h"
#include "runtime/worker.h"

namespace quillmere::collector {

class Sampler {
 public:
  using Slot = runtime::LatestValueSlot<IntervalSample>;

  // Starts the worker. Throws RuntimeBuildError (no descriptor or no thread
  // left) or InternalFault (a zero period).
  explicit Sampler(std::uint64_t period_ns, const CounterSources& sources = {});
  Sampler(const Sampler&) = delete;
  Sampler& operator=(const Sampler&) = delete;
  ~Sampler() { close(); }

  Slot::TakeStatus take(std::optional<Slot::Taken>& out) { return slot_.take(out); }
  void close() noexcept;
  bool closed() const noexcept { return slot_.closed(); }
  // Readable exactly while a sample waits to be taken; -1 once closed.
  int ready_fd() const noexcept { return slot_.ready_fd(); }
  // After take() reported kFailed: std::bad_alloc for exhausted memory, else
  // a runtime::ReportedFault naming the worker's error (the worker wrote its
  // diagnostic when it stopped).
  [[noreturn]] void raise_failure() const;

 private:
  Slot slot_;  // declared before the worker: it outlives the thread
  std::mutex close_mutex_;
  runtime::Worker worker_;
};

}  // namespace quillmere::collector
