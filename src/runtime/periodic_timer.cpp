// The periodic timer's schedule and its wait for a tick.
#include "runtime/periodic_timer.h"

#include "runtime/fault.h"

namespace quillmere::runtime {

PeriodicTimer::PeriodicTimer(TickClock& clock, std::uint64_t period_ns)
    : clock_(clock), period_ns_(period_ns) {
  if (period_ns == 0) throw InternalFault("the sampling period must be non-zero");
  next_deadline_ns_ = clock_.now_ns();
}

bool PeriodicTimer::tick() {
  if (clock_.cancelled()) return false;
  if (!clock_.wait_until(next_deadline_ns_)) return false;
  next_deadline_ns_ = saturating_add(next_deadline_ns_, period_ns_);
  return true;
}

}  // namespace quillmere::runtime
