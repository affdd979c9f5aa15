// The periodic timer's schedule and its wait for a tick.
#include "runtime/periodic_timer.h"

#include "runtime/fault.h"

namespace quillmere::runtime {

PeriodicTimer::PeriodicTimer(TickClock& clock, std::uint64_t period_ns, Catchup catchup)
    : clock_(clock), period_ns_(period_ns), catchup_(catchup) {
  if (period_ns == 0) throw InternalFault("the sampling period must be non-zero");
  next_deadline_ns_ = clock_.now_ns();
}

bool PeriodicTimer::tick() {
  if (clock_.cancelled()) return false;
  if (!clock_.wait_until(next_deadline_ns_)) return false;
  skipped_ = 0;
  if (catchup_ == Catchup::kSkip) {
    const std::uint64_t now = clock_.now_ns();
    const std::uint64_t late = now > next_deadline_ns_ ? now - next_deadline_ns_ : 0;
    if (late >= period_ns_ - period_ns_ / 2) {
      // Late by half a period or more: the next tick on the old schedule
      // would come too soon after this one.
      skipped_ = late / period_ns_;
      next_deadline_ns_ = saturating_add(now, period_ns_);
      return true;
    }
  }
  next_deadline_ns_ = saturating_add(next_deadline_ns_, period_ns_);
  return true;
}

}  // namespace quillmere::runtime
