// The timer's schedule on a clock the test controls, and the real worker's
// cancellation of a task waiting for a tick.
#include "runtime/periodic_timer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <thread>
#include <utility>
#include <vector>

#include <pthread.h>  // pthread_sigmask
#include <signal.h>   // sigismember

#include "collector/exact/period.h"
#include "runtime/fault.h"
#include "runtime/worker.h"

namespace quillmere::runtime {
namespace {

// A paused clock: waiting jumps time to the deadline and records it.
class PausedClock final : public TickClock {
 public:
  explicit PausedClock(std::uint64_t start) : now_(start) {}
  std::uint64_t now_ns() noexcept override { return now_; }
  bool wait_until(std::uint64_t deadline_ns) override {
    if (cancelled_) return false;
    if (deadline_ns > now_) {
      ++blocking_waits;
      now_ = deadline_ns;
    }
    return true;
  }
  bool cancelled() const noexcept override { return cancelled_; }

  void advance(std::uint64_t ns) { now_ += ns; }
  void cancel() { cancelled_ = true; }
  int blocking_waits = 0;

 private:
  std::uint64_t now_;
  bool cancelled_ = false;
};

TEST(PeriodicTimer, first_tick_fires_at_once_then_every_period_from_start) {
  PausedClock clock(1000);
  PeriodicTimer timer(clock, 100);
  std::vector<std::uint64_t> fired_at;
  for (int i = 0; i < 4; ++i) {
    ASSERT_TRUE(timer.tick());
    fired_at.push_back(clock.now_ns());
    clock.advance(30);  // the tick's work
  }
  EXPECT_EQ(fired_at, (std::vector<std::uint64_t>{1000, 1100, 1200, 1300}));
  EXPECT_EQ(clock.blocking_waits, 3);
}

TEST(PeriodicTimer, missed_ticks_fire_back_to_back_without_shifting_the_schedule) {
  PausedClock clock(0);
  PeriodicTimer timer(clock, 100);
  ASSERT_TRUE(timer.tick());
  clock.advance(350);  // a slow tick: deadlines 100, 200 and 300 are missed
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(timer.tick());
  EXPECT_EQ(clock.blocking_waits, 0);
  EXPECT_EQ(clock.now_ns(), 350u);
  ASSERT_TRUE(timer.tick());  // back on schedule: waits for 400, not 450
  EXPECT_EQ(clock.now_ns(), 400u);
}

TEST(PeriodicTimer, skipping_timer_drops_ticks_already_past_and_keeps_half_a_period_between_ticks) {
  PausedClock clock(0);
  PeriodicTimer timer(clock, 100, PeriodicTimer::Catchup::kSkip);
  std::vector<std::uint64_t> fired_at;
  std::vector<std::uint64_t> skipped;
  const auto tick = [&] {
    ASSERT_TRUE(timer.tick());
    fired_at.push_back(clock.now_ns());
    skipped.push_back(timer.skipped());
  };
  tick();
  clock.advance(2050);  // a stall: the ticks due at 100 to 2000 have passed
  tick();               // one fires at once for them all
  tick();               // the next a whole period later, not at once
  clock.advance(160);   // a pass that overran: the tick due at 2250 comes 60 late
  tick();
  tick();               // so the schedule starts again from there
  clock.advance(130);   // the tick due at 2510 comes 30 late, less than half a period:
  tick();
  tick();               // the schedule holds
  EXPECT_EQ(fired_at, (std::vector<std::uint64_t>{0, 2050, 2150, 2310, 2410, 2540, 2610}));
  EXPECT_EQ(skipped, (std::vector<std::uint64_t>{0, 19, 0, 0, 0, 0, 0}));
}

TEST(PeriodicTimer, zero_period_is_refused) {
  PausedClock clock(0);
  EXPECT_THROW(PeriodicTimer(clock, 0), InternalFault);
}

TEST(PeriodicTimer, deadlines_saturate_instead_of_wrapping) {
  PausedClock clock(5);
  const auto period = collector::Period::from_millis(UINT64_MAX).saturating_ns();
  EXPECT_EQ(period, UINT64_MAX);
  PeriodicTimer timer(clock, period);
  ASSERT_TRUE(timer.tick());
  ASSERT_TRUE(timer.tick());
  EXPECT_EQ(clock.now_ns(), UINT64_MAX);  // never an early second tick
}

TEST(PeriodicTimer, cancellation_takes_effect_at_a_wait_even_when_behind_schedule) {
  PausedClock clock(0);
  PeriodicTimer timer(clock, 100);
  ASSERT_TRUE(timer.tick());
  clock.advance(1000);
  clock.cancel();
  EXPECT_FALSE(timer.tick());
}

TEST(Period, from_millis_splits_into_seconds_and_nanoseconds) {
  const auto p = collector::Period::from_millis(2500);
  EXPECT_DOUBLE_EQ(p.interval_seconds(), 2.5);
  EXPECT_EQ(p.saturating_ns(), 2500000000u);
  EXPECT_DOUBLE_EQ(collector::Period::from_millis(1500).interval_seconds(), 1.5);
}

TEST(Worker, stop_cancels_a_task_waiting_for_a_far_tick_and_joins) {
  std::atomic<int> ticks{0};
  std::atomic<bool> finished{false};
  const auto started = std::chrono::steady_clock::now();
  {
    const Worker worker([&](TickClock& clock) {
      PeriodicTimer timer(clock, 3600ULL * 1000000000ULL);
      while (timer.tick()) ++ticks;
      finished = true;
    });
    while (ticks.load() == 0) std::this_thread::yield();
  }  // destructor: cancel, join
  EXPECT_TRUE(finished.load());
  EXPECT_EQ(ticks.load(), 1);
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
}

TEST(Worker, blocks_signals_and_leaves_the_callers_mask_alone) {
  sigset_t caller_before;
  pthread_sigmask(SIG_SETMASK, nullptr, &caller_before);
  std::atomic<int> blocked_on_worker{-1};
  {
    const Worker worker([&](TickClock&) {
      sigset_t mask;
      pthread_sigmask(SIG_SETMASK, nullptr, &mask);
      blocked_on_worker = sigismember(&mask, SIGINT) + sigismember(&mask, SIGTERM) + sigismember(&mask, SIGCHLD);
    });
    while (blocked_on_worker.load() < 0) std::this_thread::yield();
  }
  EXPECT_EQ(blocked_on_worker.load(), 3);  // signals go to the interpreter's thread instead
  sigset_t caller_after;
  pthread_sigmask(SIG_SETMASK, nullptr, &caller_after);
  EXPECT_EQ(sigismember(&caller_after, SIGINT), sigismember(&caller_before, SIGINT));
}

TEST(Worker, task_that_throws_is_dropped_on_the_worker) {
  struct Guard {
    explicit Guard(std::atomic<bool>& flag) : flag_(flag) {}
    ~Guard() { flag_ = true; }
    std::atomic<bool>& flag_;
  };
  std::atomic<bool> destroyed{false};
  testing::internal::CaptureStderr();
  Worker worker([guard = std::make_shared<Guard>(destroyed)](TickClock& clock) {
    PeriodicTimer timer(clock, 0);  // throws: the zero period is refused
  });
  for (int i = 0; i < 5000 && !destroyed.load(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  EXPECT_TRUE(destroyed.load());  // released by the worker, before any shutdown
  EXPECT_EQ(testing::internal::GetCapturedStderr(),  // reported before the task is dropped
            "quillmere: internal fault in thread 'quillmere-work': the sampling period must be non-zero\n");
  worker.stop();
}

}  // namespace
}  // namespace quillmere::runtime
