// The exact collector's tick over fixture sources: differences between
// ticks, the single-precision percentages, rates over the configured period,
// and the one-shot run's outcomes on a real worker.
#include "collector/exact/collector.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "collector/exact/collect_once.h"
#include "collector/exact/exact_contract.h"
#include "lib/timestamp.h"
#include "runtime/worker.h"
#include "test_support.h"

namespace quillmere::collector {
namespace {

// A fixture tree with a procfs and a sysfs root; no firmware tool.
class FixtureSources {
 public:
  FixtureSources() {
    sources.roots.procfs = (temp_.path() / "proc").string();
    sources.roots.sysfs = (temp_.path() / "sys").string();
    sources.firmware_tool = "quillmere-test-no-such-tool";
  }

  void counters(std::uint64_t ctxt, std::uint64_t pgfault, std::uint64_t sectors_read) const {
    temp_.write_file("proc/stat", "cpu  10 20 30 40 50 60 70 80 90 100\nctxt " + std::to_string(ctxt) + "\n");
    temp_.write_file("proc/vmstat", "pgfault " + std::to_string(pgfault) + "\npgmajfault 3\n");
    temp_.write_file("proc/diskstats", "   8       0 sda 1 0 " + std::to_string(sectors_read) + " 0 0 0 0 0 0 0 0\n");
  }

  CollectorSources sources;

 private:
  test::TempDir temp_;
};

// A clock the test drives: each wait for a tick first calls `before_tick`
// with the tick's number, then jumps to the deadline; after `ticks` ticks it
// is cancelled.
template <typename BeforeTick>
class ScriptedClock final : public runtime::TickClock {
 public:
  ScriptedClock(int ticks, BeforeTick before_tick) : ticks_(ticks), before_tick_(before_tick) {}
  std::uint64_t now_ns() noexcept override { return now_; }
  bool wait_until(std::uint64_t deadline_ns) override {
    if (cancelled()) return false;
    before_tick_(done_++);
    if (deadline_ns > now_) now_ = deadline_ns;
    return true;
  }
  bool cancelled() const noexcept override { return done_ >= ticks_; }

 private:
  int ticks_;
  int done_ = 0;
  BeforeTick before_tick_;
  std::uint64_t now_ = 0;
};

TEST(Collector, counters_are_since_boot_on_the_first_tick_then_increases) {
  const FixtureSources src;
  auto [tx, rx] = runtime::make_snapshot_queue<MetricsSnapshot>(8);
  Collector collector(Period::from_millis(1500), std::move(tx), src.sources);
  src.counters(1000, 1000, 0);  // the baseline
  const std::uint64_t ctxt[] = {1000, 1500, 1600};
  ScriptedClock clock(3, [&](int tick) {
    // The disk grows by 6 sectors (3072 bytes) per tick, over a 1.5 s period.
    src.counters(ctxt[tick], ctxt[tick], static_cast<std::uint64_t>(tick + 1) * 6);
  });
  collector.run(clock);
  const std::uint64_t expected[] = {1000, 500, 100};
  for (int i = 0; i < 3; ++i) {
    const std::optional<MetricsSnapshot> s = rx.receive();
    ASSERT_TRUE(s);
    EXPECT_EQ(s->context_switches_per_sec, expected[i]);
    EXPECT_EQ(s->page_faults_minor_per_sec, expected[i]);
    EXPECT_EQ(s->page_faults_major_per_sec, i == 0 ? 3u : 0u);
    EXPECT_EQ(s->disk_read_bytes_per_sec, 2048u);  // 3072 bytes / 1.5 s
  }
}

TEST(Collector, percentages_divide_then_multiply_in_single_precision) {
  exact::CpuTimes t;
  t.ticks = sys_reader::CpuTicks{10, 20, 30, 40, 50, 60, 70, 0};
  t.total = 280;
  MetricsSnapshot s;
  exact::fill_cpu_percentages(t, s);
  EXPECT_EQ(s.cpu_usage_percent, 240.0f / 280.0f * 100.0f);
  EXPECT_EQ(s.cpu_idle_percent, 40.0f / 280.0f * 100.0f);
  EXPECT_EQ(s.cpu_steal_percent, 0.0f);
}

TEST(Collector, zero_total_gives_nan_in_all_eight_percentages) {
  MetricsSnapshot s;
  exact::fill_cpu_percentages(exact::CpuTimes{}, s);
  for (float v : {s.cpu_usage_percent, s.cpu_user_percent, s.cpu_system_percent, s.cpu_idle_percent,
                  s.cpu_iowait_percent, s.cpu_irq_percent, s.cpu_softirq_percent, s.cpu_steal_percent}) {
    EXPECT_TRUE(std::isnan(v));
  }
}

TEST(CollectOnce, returns_the_first_snapshot_at_once_whatever_the_period) {
  const FixtureSources src;
  src.counters(42, 7, 0);
  std::optional<runtime::Worker> worker;
  const std::optional<MetricsSnapshot> snapshot = collect_once(worker, 3600 * 1000, src.sources);
  ASSERT_TRUE(snapshot);
  EXPECT_EQ(snapshot->context_switches_per_sec, 42u);
  EXPECT_EQ(snapshot->mem_total_bytes, 0u);  // no meminfo fixture written
  EXPECT_GT(snapshot->timestamp.seconds, 1600000000);
}

TEST(CollectOnce, zero_interval_closes_the_queue) {
  const FixtureSources src;
  std::optional<runtime::Worker> worker;
  testing::internal::CaptureStderr();
  const std::optional<MetricsSnapshot> snapshot = collect_once(worker, 0, src.sources);
  // The worker reports the refused period before it drops the task, whose
  // sender then closes the queue.
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "quillmere: internal fault in thread 'quillmere-work': the sampling period must be non-zero\n");
  EXPECT_FALSE(snapshot);
}

TEST(Timestamp, converts_to_seconds_and_clamps_before_the_epoch) {
  EXPECT_EQ(lib::timestamp_seconds({1700000000, 500000000}), 1700000000.5);
  EXPECT_EQ(lib::timestamp_seconds({0, 0}), 0.0);
  EXPECT_EQ(lib::timestamp_seconds({-1, 999999999}), 0.0);
}

}  // namespace
}  // namespace quillmere::collector
