// The collector's tick over fixture sources: differences between ticks, the
// single-precision percentages, rates over the configured period, and the
// one-shot run's outcomes on a real runtime.
#include "collector/collector.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>

#include "collector/collect_once.h"
#include "lib/timestamp.h"
#include "runtime/sampling_runtime.h"
#include "test_support.h"

namespace quillmere::collector {
namespace {

// Fixture copies of every source in a temporary directory; no firmware tool.
class FixtureSources {
 public:
  FixtureSources() {
    for (int i = 0; i < kFiles; ++i) names_[i] = (temp_.path() / kNames[i]).string();
    paths.proc_stat = names_[0].c_str();
    paths.proc_loadavg = names_[1].c_str();
    paths.proc_meminfo = names_[2].c_str();
    paths.proc_uptime = names_[3].c_str();
    paths.proc_vmstat = names_[4].c_str();
    paths.proc_diskstats = names_[5].c_str();
    paths.proc_net_dev = names_[6].c_str();
    paths.thermal_dir = names_[7].c_str();
    paths.firmware_tool = "quillmere-test-no-such-tool";
  }
  static void write(const char* path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }

  void counters(std::uint64_t ctxt, std::uint64_t pgfault, std::uint64_t sectors_read) {
    write(paths.proc_stat, "cpu  10 20 30 40 50 60 70 80 90 100\nctxt " + std::to_string(ctxt) + "\n");
    write(paths.proc_vmstat, "pgfault " + std::to_string(pgfault) + "\npgmajfault 3\n");
    write(paths.proc_diskstats, "   8       0 sda 1 0 " + std::to_string(sectors_read) + " 0 0 0 0 0 0 0 0\n");
  }

  SourcePaths paths;

 private:
  static constexpr int kFiles = 8;
  static constexpr const char* kNames[kFiles] = {"stat",   "loadavg",   "meminfo", "uptime",
                                                 "vmstat", "diskstats", "net_dev", "thermal"};
  test::TempDir temp_;
  std::string names_[kFiles];
};

TEST(Collector, counters_are_since_boot_on_the_first_tick_then_increases) {
  FixtureSources src;
  auto [tx, rx] = runtime::make_broadcast_channel<MetricsSnapshot>(8);
  Collector collector(Period::from_millis(1500), std::move(tx), src.paths);
  src.counters(1000, 1000, 0);
  collector.read_baseline();
  const std::uint64_t ctxt[] = {1000, 1500, 1600};
  const std::uint64_t expected[] = {1000, 500, 100};
  for (int i = 0; i < 3; ++i) {
    // The disk grows by 6 sectors (3072 bytes) per tick, over a 1.5 s period.
    src.counters(ctxt[i], ctxt[i], static_cast<std::uint64_t>(i + 1) * 6);
    const MetricsSnapshot s = collector.sample();
    EXPECT_EQ(s.context_switches_per_sec, expected[i]);
    EXPECT_EQ(s.page_faults_minor_per_sec, expected[i]);
    EXPECT_EQ(s.page_faults_major_per_sec, i == 0 ? 3u : 0u);
    EXPECT_EQ(s.disk_read_bytes_per_sec, 2048u);  // 3072 bytes / 1.5 s
  }
}

TEST(Collector, percentages_divide_then_multiply_in_single_precision) {
  sys_reader::CpuTimes t;
  t.user = 30;
  t.system = 30;
  t.idle = 40;
  t.iowait = 50;
  t.irq = 60;
  t.softirq = 70;
  t.steal = 0;
  t.total = 280;
  MetricsSnapshot s;
  fill_cpu_percentages(t, s);
  EXPECT_EQ(s.cpu_usage_percent, 240.0f / 280.0f * 100.0f);
  EXPECT_EQ(s.cpu_idle_percent, 40.0f / 280.0f * 100.0f);
  EXPECT_EQ(s.cpu_steal_percent, 0.0f);
}

TEST(Collector, zero_total_gives_nan_in_all_eight_percentages) {
  MetricsSnapshot s;
  fill_cpu_percentages(sys_reader::CpuTimes{}, s);
  for (float v : {s.cpu_usage_percent, s.cpu_user_percent, s.cpu_system_percent, s.cpu_idle_percent,
                  s.cpu_iowait_percent, s.cpu_irq_percent, s.cpu_softirq_percent, s.cpu_steal_percent}) {
    EXPECT_TRUE(std::isnan(v));
  }
}

TEST(CollectOnce, returns_the_first_snapshot_at_once_whatever_the_period) {
  FixtureSources src;
  src.counters(42, 7, 0);
  runtime::SamplingRuntime rt;
  const auto result = collect_once(rt, 3600 * 1000, src.paths);
  const auto* snapshot = std::get_if<MetricsSnapshot>(&result);
  ASSERT_NE(snapshot, nullptr);
  EXPECT_EQ(snapshot->context_switches_per_sec, 42u);
  EXPECT_GT(snapshot->timestamp.seconds, 1600000000);
}

TEST(CollectOnce, zero_interval_closes_the_channel) {
  FixtureSources src;
  runtime::SamplingRuntime rt;
  testing::internal::CaptureStderr();
  const auto result = collect_once(rt, 0, src.paths);
  // The worker reports the refused period before it drops the task, whose
  // sender then closes the channel.
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "quillmere: internal fault in thread 'quillmere-work': the sampling period must be non-zero\n");
  EXPECT_TRUE(std::holds_alternative<CollectError>(result));
}

// A caller starved of CPU while a 1 ms collector runs: by its first
// receive the collector has overwritten the first snapshots. The caller
// still gets a complete snapshot (a later tick's), not an error.
TEST(CollectOnce, a_receiver_overrun_before_its_first_receive_gets_the_oldest_snapshot_held) {
  FixtureSources src;
  src.counters(42, 7, 0);
  runtime::SamplingRuntime rt;
  auto [sender, receiver] = runtime::make_broadcast_channel<MetricsSnapshot>(kSnapshotCapacity);
  struct Task final : runtime::SamplingRuntime::Task {
    explicit Task(Collector c) : collector(std::move(c)) {}
    void run(runtime::TickClock& clock) override { collector.run(clock); }
    Collector collector;
  };
  rt.spawn(std::make_unique<Task>(Collector(Period::from_millis(1), std::move(sender), src.paths)));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));  // about 100 ticks
  const auto result = receive_first_snapshot(receiver);
  const auto* snapshot = std::get_if<MetricsSnapshot>(&result);
  ASSERT_NE(snapshot, nullptr);
  EXPECT_EQ(snapshot->mem_total_bytes, 0u);  // no meminfo fixture written
  EXPECT_GT(snapshot->timestamp.seconds, 1600000000);
}

TEST(Timestamp, converts_to_seconds_and_clamps_before_the_epoch) {
  EXPECT_EQ(lib::timestamp_seconds({1700000000, 500000000}), 1700000000.5);
  EXPECT_EQ(lib::timestamp_seconds({0, 0}), 0.0);
  EXPECT_EQ(lib::timestamp_seconds({-1, 999999999}), 0.0);
}

}  // namespace
}  // namespace quillmere::collector
