// A periodic timer on a monotonic clock that the caller provides.
//
// Schedule: the first tick fires at once; tick k (from 0) is due at
// start + k * period, where start is the clock's reading when the timer is
// made. What happens to ticks a loop fell behind on is the timer's Catchup:
// - kBurst: a tick that is already due completes without blocking, so missed
//   ticks fire back to back until the schedule is caught up: the schedule
//   never shifts and no tick is skipped (the one-shot collector's timer).
// - kSkip: a tick that fires half a period or more after its deadline skips
//   every tick already past (skipped() counts them) and starts the schedule
//   again from that moment, so that two ticks are never less than half a
//   period apart (the background sampler's timer, whose samples are rates).
// Deadlines saturate at the clock's maximum instead of wrapping, so a huge
// period means "no second tick" rather than an early one.
//
// Cancellation: every wait for a tick first checks the clock's cancellation,
// then blocks until the deadline or the cancellation, whichever comes first.
// A tick's work is never interrupted; cancellation takes effect at the next
// wait, even when that tick is already due (a loop that is behind schedule
// must still be stoppable).
#pragma once

#include <cstdint>

namespace quillmere::runtime {

// The time source and the blocking wait behind a timer. The runtime provides
// the real one (CLOCK_MONOTONIC, woken by cancellation); tests provide one
// they advance by hand.
class TickClock {
 public:
  TickClock() = default;
  TickClock(const TickClock&) = delete;
  TickClock& operator=(const TickClock&) = delete;
  virtual ~TickClock() = default;

  virtual std::uint64_t now_ns() noexcept = 0;
  // Blocks until now_ns() >= deadline_ns (true) or until cancelled (false).
  // Returns at once when the deadline has passed.
  virtual bool wait_until(std::uint64_t deadline_ns) = 0;
  virtual bool cancelled() const noexcept = 0;
  // A descriptor that becomes readable once cancelled, for blocking work
  // inside a tick (a run of an outside program) to watch; -1 when there is
  // none.
  virtual int cancel_fd() const noexcept { return -1; }
};

constexpr std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) noexcept {
  return a > UINT64_MAX - b ? UINT64_MAX : a + b;
}

class PeriodicTimer {
 public:
  enum class Catchup { kBurst, kSkip };

  // Throws InternalFault when period_ns is 0: a zero period would tick
  // without end and is refused.
  PeriodicTimer(TickClock& clock, std::uint64_t period_ns, Catchup catchup = Catchup::kBurst);

  // Waits for the next tick. Returns true when it fired, false when the
  // clock's owner cancelled.
  bool tick();

  // The ticks skipped just before the last one that fired (kSkip only).
  std::uint64_t skipped() const noexcept { return skipped_; }

 private:
  TickClock& clock_;
  std::uint64_t period_ns_;
  Catchup catchup_;
  std::uint64_t next_deadline_ns_ = 0;
  std::uint64_t skipped_ = 0;
};

}  // namespace quillmere::runtime
