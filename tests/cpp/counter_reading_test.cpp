// Tests of the monitoring readers and of the interval sample: what each
// parser takes, that an unreadable source is nullopt rather than 0, and the
// rates and shares between two readings of fixture files that changed in
// between. Also the latest-value slot the sampler publishes through.
#include "collector/counter_reading.h"

#include <cmath>
#include <optional>
#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include <poll.h>

#include <gtest/gtest.h>

#include "collector/sampler.h"
#include "runtime/latest_value_slot.h"
#include "test_support.h"

namespace quillmere::collector {
namespace {

namespace sr = sys_reader;

TEST(MonitoringReaders, ParseWhatTheyTakeAndReportWhatIsMissing) {
  const sr::StatCounters stat = sr::parse_stat_counters("cpu  1 2 3 4 5 6 7 8 9 10\nctxt 99\n");
  ASSERT_TRUE(stat.cpu);
  EXPECT_EQ((std::vector<std::uint64_t>{stat.cpu->user, stat.cpu->nice, stat.cpu->system, stat.cpu->idle,
                                        stat.cpu->iowait, stat.cpu->irq, stat.cpu->softirq, stat.cpu->steal}),
            (std::vector<std::uint64_t>{1, 2, 3, 4, 5, 6, 7, 8}));
  EXPECT_EQ(stat.context_switches_total, 99u);
  const sr::StatCounters short_line = sr::parse_stat_counters("cpu  1 2 3 4 5 6\n");
  EXPECT_FALSE(short_line.cpu);
  EXPECT_FALSE(short_line.context_switches_total);

  const sr::MemoryCounters memory = sr::parse_memory_counters(
      "MemTotal: 1000 kB\nMemFree: 200 kB\nMemAvailable: 700 kB\nBuffers: 100 kB\nCached: 300 kB\n"
      "SwapCached: 50 kB\nSwapTotal: 500 kB\nSwapFree: 600 kB\n");
  EXPECT_EQ(memory.total_bytes, 1000u * 1024);
  EXPECT_EQ(memory.used_bytes, 400u * 1024);
  EXPECT_EQ(memory.available_bytes, 700u * 1024);
  EXPECT_EQ(memory.swap_total_bytes, 500u * 1024);
  EXPECT_EQ(memory.swap_used_bytes, 0u);  // free above total: none used, not a wrapped value
  const sr::MemoryCounters old_kernel = sr::parse_memory_counters("MemTotal: 1000 kB\nMemFree: 200 kB\n");
  EXPECT_EQ(old_kernel.used_bytes, 800u * 1024);
  EXPECT_FALSE(old_kernel.available_bytes);
  EXPECT_FALSE(old_kernel.swap_used_bytes);

  const std::optional<sr::LoadAverage64> load = sr::parse_load_average64("0.52 0.58 0.59 3/234 5678\n");
  ASSERT_TRUE(load);
  EXPECT_EQ(load->load_avg_1, 0.52);  // double precision: 0.52 reads 0.52
  EXPECT_EQ(load->run_queue_length, 3.0);
  EXPECT_FALSE(sr::parse_load_average64("0.52 0.58 0.59 3/234\n"));

  const sr::PageFaultTotals faults = sr::parse_page_fault_totals("pgfaults 1\npgfault 500\n");
  EXPECT_EQ(faults.faults, 500u);
  EXPECT_FALSE(faults.major_faults);
}

TEST(MonitoringReaders, AFieldThatDoesNotParseIsMissingNotZero) {
  const sr::StatCounters stat = sr::parse_stat_counters("cpu  a b c d e f g h 0 0\nctxt x\n");
  EXPECT_FALSE(stat.cpu || stat.context_switches_total);
  EXPECT_FALSE(sr::parse_stat_counters("cpu  1 2 3 4 5 6 7 x\n").cpu);  // one column is enough
  EXPECT_TRUE(sr::parse_stat_counters("cpu  1 2 3 4 5 6 7 x\ncpu  1 2 3 4 5 6 7 8\n").cpu);  // the last line counts
  const sr::MemoryCounters memory = sr::parse_memory_counters("MemTotal: abc kB\nMemFree: 1 kB\nSwapTotal: 8 kB\n");
  EXPECT_FALSE(memory.total_bytes || memory.used_bytes);
  EXPECT_EQ(memory.swap_total_bytes, 8u * 1024);
  EXPECT_FALSE(sr::parse_memory_counters("MemTotal: 9 kB\nCached: 1x kB\n").used_bytes);
  const std::optional<sr::LoadAverage64> load = sr::parse_load_average64("a b c d/e 5\n");
  ASSERT_TRUE(load);
  EXPECT_FALSE(load->load_avg_1 || load->load_avg_5 || load->load_avg_15 || load->run_queue_length);
  EXPECT_FALSE(sr::parse_uptime_seconds("abc 1\n"));
  const sr::PageFaultTotals faults = sr::parse_page_fault_totals("pgfault x\npgmajfault 3\n");
  EXPECT_FALSE(faults.faults);
  EXPECT_EQ(faults.major_faults, 3u);
  std::vector<sr::DeviceLine> lines;
  sr::parse_device_lines(sr::DeviceFormat::kDiskstats, "8 0 sda 1 0 abc 0 1 0 7 0 0 0 0\n", lines);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_FALSE(lines[0].in_known);
  EXPECT_TRUE(lines[0].out_known);

  // The one-shot readers keep reading such a field as 0.
  EXPECT_EQ(sr::parse_cpu_times("cpu  a 2 3 4 5 6 7 8\n", 0).total, 35u);
  EXPECT_EQ(sr::parse_memory_usage("MemTotal: 9 kB\nCached: 1x kB\n").mem_used_bytes, 9u * 1024);
  EXPECT_EQ(sr::parse_page_faults("pgfault x\n", 0, 0).minor_total, 0u);
  EXPECT_EQ(lines[0].bytes.in_bytes, 0u);
}

TEST(MonitoringReaders, AGaugeThatIsNotFiniteOrNegativeIsMissing) {
  const std::optional<sr::LoadAverage64> load = sr::parse_load_average64("-5.0 inf nan -3/10 5\n");
  ASSERT_TRUE(load);
  EXPECT_FALSE(load->load_avg_1 || load->load_avg_5 || load->load_avg_15 || load->run_queue_length);
  for (const char* uptime : {"nan 1\n", "-1 1\n", "inf 1\n", "1e999 1\n"}) {
    EXPECT_FALSE(sr::parse_uptime_seconds(uptime)) << uptime;
  }
  // A zone reading NaN or an infinity is passed over like an unreadable one;
  // a temperature below zero is real.
  test::TempDir dir;
  dir.write_file("thermal_zone0/temp", "nan\n");
  dir.write_file("thermal_zone1/temp", "-inf\n");
  dir.write_file("thermal_zone2/temp", "-5000\n");
  dir.write_file("thermal_zone3/temp", "48312\n");
  const std::vector<sr::ThermalZoneReading> zones = sr::read_thermal_zones(dir.path().c_str());
  ASSERT_EQ(zones.size(), 2u);
  EXPECT_EQ(zones[0].celsius, -5.0);
  EXPECT_EQ(zones[1].celsius, 48.312);
}

TEST(IntervalSample, AProductOrSumThatDoesNotFitIsMissingNotWrapped) {
  constexpr std::uint64_t kMax = UINT64_MAX;
  EXPECT_FALSE(sr::parse_memory_counters("MemTotal: 18446744073709551615 kB\n").total_bytes);
  EXPECT_FALSE(sr::parse_memory_counters("MemTotal: 36028797018963968 kB\n").total_bytes);  // 2^55 KiB
  EXPECT_FALSE(
      sr::parse_memory_counters("MemTotal: 100 kB\nMemFree: 18446744073709551615 kB\nCached: 10 kB\n").used_bytes);
  EXPECT_EQ(sr::parse_memory_usage("MemTotal: 36028797018963968 kB\n").mem_total_bytes, 0u);  // one-shot: wraps
  std::vector<sr::DeviceLine> lines;
  sr::parse_device_lines(sr::DeviceFormat::kDiskstats, "8 0 sda 1 0 36028797018963968 0 1 0 7 0 0 0 0\n", lines);
  EXPECT_FALSE(lines.at(0).in_known);  // 2^55 sectors of 512 bytes

  CounterReading before;
  CounterReading after;
  after.monotonic_ns = 1'000'000'000;
  before.stat.cpu = sr::CpuTicks{};
  after.stat.cpu = sr::CpuTicks{kMax, 0, 0, 100, 0, 0, 0, 0};
  constexpr std::uint64_t kHalf = std::uint64_t{1} << 63;
  before.disks = {{"sda", 0, 0, false}, {"sdb", 0, 0, false}};
  after.disks = {{"sda", kHalf, 1, false}, {"sdb", kHalf, 1, false}};
  EXPECT_EQ(after.disk_totals(), (CounterReading::Totals{std::nullopt, 2}));
  const IntervalSample s = interval_sample(before, after);
  EXPECT_FALSE(s.cpu);  // the ticks add up past 2^64
  EXPECT_FALSE(s.disk_read_bytes_per_sec);
  EXPECT_EQ(s.disk_write_bytes_per_sec, 2.0);
}

TEST(IntervalSample, InterfaceCountersOfA32BitKernelWrapAt4GiB) {
  for (const char* machine : {"armv6l", "armv7l", "i686", "i386", "mips", "ppc"}) {
    EXPECT_EQ(sr::kernel_word_bits(machine), 32u) << machine;
  }
  for (const char* machine : {"x86_64", "aarch64", "armv8l", "riscv64", "ppc64le", "s390x", ""}) {
    EXPECT_EQ(sr::kernel_word_bits(machine), 64u) << machine;
  }
  constexpr std::uint64_t kWord = std::uint64_t{1} << 32;
  CounterReading before;
  CounterReading after;
  after.monotonic_ns = 1'000'000'000;
  // eth0 received wraps; wlan0 sent was reset from above 2^32.
  before.interfaces = {{"eth0", kWord - 1000, 0, false}, {"wlan0", 0, kWord + 5, false}};
  after.interfaces = {{"eth0", 500, 0, false}, {"wlan0", 0, 7, false}};
  after.kernel_word_bits = 32;
  IntervalSample s = interval_sample(before, after);
  EXPECT_EQ(s.net_rx_bytes_per_sec, 1500.0);
  EXPECT_EQ(s.net_tx_bytes_per_sec, 0.0);
  after.kernel_word_bits = 64;
  s = interval_sample(before, after);
  EXPECT_EQ(s.net_rx_bytes_per_sec, 0.0);
}

// A /proc and /sys tree in a temporary directory, rewritten between readings.
class Machine {
 public:
  Machine() {
    sources_.paths.proc_stat = keep(dir_.path() / "stat");
    sources_.paths.proc_loadavg = keep(dir_.path() / "loadavg");
    sources_.paths.proc_meminfo = keep(dir_.path() / "meminfo");
    sources_.paths.proc_uptime = keep(dir_.path() / "uptime");
    sources_.paths.proc_vmstat = keep(dir_.path() / "vmstat");
    sources_.paths.proc_diskstats = keep(dir_.path() / "diskstats");
    sources_.paths.proc_net_dev = keep(dir_.path() / "net_dev");
    sources_.paths.thermal_dir = keep(dir_.path() / "thermal");
    sources_.paths.firmware_tool = "quillmere-test-no-such-tool";
    sources_.sys_block_dir = keep(dir_.path() / "block");
    sources_.whole_disk_dir = keep(dir_.path() / "whole");
    // sdb is a whole disk by its missing partition entry, sda by the listing
    // of whole disks, sda1 a partition by its entry.
    dir_.write_file("block/sda1/partition", "1\n");
    dir_.write_file("block/sdb/size", "2048\n");
    dir_.write_file("whole/sda", "");
    dir_.write_file("thermal/thermal_zone2/temp", "30000\n");
    dir_.write_file("thermal/thermal_zone10/temp", "48312\n");
    dir_.write_file("thermal/thermal_zone10/type", "cpu-thermal\n");
    dir_.write_file("thermal/thermal_zone3/temp", "garbage\n");
  }

  // Writes the counters that move between readings.
  void write(std::uint64_t user, std::uint64_t idle, std::uint64_t iowait, std::uint64_t ctxt,
             std::uint64_t pgfault, std::uint64_t pgmajfault, std::uint64_t sda_sectors_read,
             std::uint64_t sda1_sectors_read, std::uint64_t lo_rx, std::uint64_t eth_tx) {
    const auto n = [](std::uint64_t v) { return std::to_string(v); };
    dir_.write_file("stat", "cpu  " + n(user) + " 0 0 " + n(idle) + " " + n(iowait) + " 0 0 0 0 0\nctxt " + n(ctxt) +
                                "\n");
    dir_.write_file("loadavg", "0.52 0.58 0.59 2/234 5678\n");
    dir_.write_file("meminfo", "MemTotal: 1000 kB\nMemFree: 100 kB\nMemAvailable: 600 kB\n");
    dir_.write_file("uptime", "250.5 900.25\n");
    dir_.write_file("vmstat", "pgfault " + n(pgfault) + "\npgmajfault " + n(pgmajfault) + "\n");
    dir_.write_file("diskstats", "   8  0 sda 1 0 " + n(sda_sectors_read) + " 0 0 0 8 0 0 0 0\n"
                                 "   8  1 sda1 1 0 " + n(sda1_sectors_read) + " 0 0 0 8 0 0 0 0\n"
                                 "   8 16 sdb 1 0 2 0 0 0 0 0 0 0 0\n");
    dir_.write_file("net_dev", "h1\nh2\n    lo: " + n(lo_rx) + " 0 0 0 0 0 0 0 " + n(lo_rx) +
                                   " 0 0 0 0 0 0 0\n  eth0: 0 0 0 0 0 0 0 0 " + n(eth_tx) + " 0 0 0 0 0 0 0\n");
  }

  const CounterSources& sources() const noexcept { return sources_; }

  // A reading stamped as taken at `at_seconds` on the monotonic clock.
  CounterReading read(double at_seconds) const {
    CounterReading reading = take_counter_reading(sources_);
    reading.monotonic_ns = static_cast<std::uint64_t>(at_seconds * 1e9);
    return reading;
  }

 private:
  const char* keep(const std::filesystem::path& path) { return paths_.emplace_back(path.string()).c_str(); }

  test::TempDir dir_;
  std::vector<std::string> paths_ = std::vector<std::string>();
  CounterSources sources_;
};

TEST(IntervalSample, RatesAndSharesComeFromTheCounterMovesOverTheMeasuredInterval) {
  Machine machine;
  machine.write(100, 100, 0, 1000, 5000, 10, 8, 8, 1000, 500);
  const CounterReading before = machine.read(1.0);
  // Over 2 s: 40 ticks user, 40 idle, 20 iowait; 600 switches; 400 faults of
  // which 100 major; sda +2048 sectors, its partition +2048 more (not added
  // again); lo +3000 bytes each way; eth0's counter went back.
  machine.write(140, 140, 20, 1600, 5400, 110, 2056, 2056, 4000, 100);
  const CounterReading after = machine.read(3.0);

  EXPECT_EQ(after.disk_totals(), (CounterReading::Totals{(2056u + 2) * 512, 8u * 512}));
  ASSERT_EQ(after.zones.size(), 2u);  // the garbage zone is left out; zone10 sorts first
  EXPECT_EQ(after.zones[0].zone, "thermal_zone10");
  EXPECT_EQ(after.zones[0].type, "cpu-thermal");
  EXPECT_EQ(after.zones[0].celsius, 48.312);
  EXPECT_FALSE(after.zones[1].type);

  const IntervalSample s = interval_sample(before, after);
  EXPECT_EQ(s.interval_seconds, 2.0);
  ASSERT_TRUE(s.cpu);
  EXPECT_DOUBLE_EQ(s.cpu->usage, 40.0);  // iowait is not busy
  EXPECT_DOUBLE_EQ(s.cpu->user, 40.0);
  EXPECT_DOUBLE_EQ(s.cpu->idle, 40.0);
  EXPECT_DOUBLE_EQ(s.cpu->iowait, 20.0);
  EXPECT_EQ(s.context_switches_per_sec, 300.0);
  EXPECT_EQ(s.page_faults_minor_per_sec, 150.0);
  EXPECT_EQ(s.page_faults_major_per_sec, 50.0);
  EXPECT_EQ(s.disk_read_bytes_per_sec, 2048.0 * 512 / 2);
  EXPECT_EQ(s.disk_write_bytes_per_sec, 0.0);
  EXPECT_EQ(s.net_rx_bytes_per_sec, 1500.0);
  EXPECT_EQ(s.net_tx_bytes_per_sec, 1500.0);  // eth0 going back counts 0, not a wrap
  EXPECT_EQ(s.cpu_temp_celsius, 48.312);
  EXPECT_EQ(s.mem_used_bytes, 900u * 1024);
  EXPECT_EQ(s.mem_available_bytes, 600u * 1024);
  EXPECT_FALSE(s.throttle_status);  // no tool: no value, not 0

  // No CPU time passed: no shares rather than a division by zero.
  EXPECT_FALSE(interval_sample(after, after).cpu);
}

TEST(IntervalSample, AnUnreadableSourceIsMissingNotZero) {
  Machine machine;
  machine.write(100, 100, 0, 1000, 5000, 10, 8, 8, 1000, 500);
  const CounterReading before = machine.read(1.0);
  CounterSources nowhere;
  nowhere.paths = SourcePaths{"/nonexistent/stat", "/nonexistent/loadavg", "/nonexistent/meminfo",
                              "/nonexistent/uptime", "/nonexistent/vmstat", "/nonexistent/diskstats",
                              "/nonexistent/net_dev", "/nonexistent/thermal", "quillmere-test-no-such-tool"};
  const CounterReading after = take_counter_reading(nowhere);
  EXPECT_FALSE(after.stat.cpu || after.stat.context_switches_total || after.load || after.uptime_seconds ||
               after.memory.total_bytes || after.page_faults.faults || after.disks || after.interfaces);
  EXPECT_TRUE(after.zones.empty());

  const IntervalSample s = interval_sample(before, after);
  EXPECT_FALSE(s.cpu || s.context_switches_per_sec || s.page_faults_minor_per_sec || s.disk_read_bytes_per_sec ||
               s.net_rx_bytes_per_sec || s.cpu_temp_celsius || s.mem_total_bytes || s.load || s.uptime_seconds);
}

bool readable(int fd) {
  pollfd entry{fd, POLLIN, 0};
  return ::poll(&entry, 1, 0) == 1;
}

TEST(LatestValueSlot, HandsTheNewestValueToOneTakerAndCountsTheDropped) {
  using Slot = runtime::LatestValueSlot<int>;
  Slot slot;
  std::optional<Slot::Taken> taken;
  EXPECT_FALSE(readable(slot.ready_fd()));
  slot.put(1);
  EXPECT_TRUE(readable(slot.ready_fd()));
  slot.put(2);
  slot.put(3);
  ASSERT_EQ(slot.take(taken), Slot::TakeStatus::kValue);
  EXPECT_EQ(taken->value, 3);
  EXPECT_EQ(taken->missed, 2u);
  EXPECT_FALSE(readable(slot.ready_fd()));
  slot.put(4);
  slot.close();
  EXPECT_EQ(slot.take(taken), Slot::TakeStatus::kClosed);  // closed wins over a held value
}

TEST(Sampler, TakersOnSeveralThreadsShareTheSamplesAndCloseWakesThemAll) {
  Machine machine;
  machine.write(100, 100, 0, 1000, 5000, 10, 8, 8, 1000, 500);
  Sampler sampler(2'000'000, machine.sources());  // 2 ms
  std::atomic<int> taken{0};
  std::atomic<int> closed{0};
  std::vector<std::thread> takers;
  for (int i = 0; i < 4; ++i) {
    takers.emplace_back([&] {
      for (;;) {
        std::optional<Sampler::Slot::Taken> out;
        const Sampler::Slot::TakeStatus status = sampler.take(out);
        if (status == Sampler::Slot::TakeStatus::kClosed) break;
        if (status == Sampler::Slot::TakeStatus::kValue) ++taken;
      }
      ++closed;
    });
  }
  while (taken.load() < 20) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  const auto started = std::chrono::steady_clock::now();
  sampler.close();
  for (std::thread& taker : takers) taker.join();
  EXPECT_EQ(closed.load(), 4);
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(500));
  EXPECT_TRUE(sampler.closed());
}

}  // namespace
}  // namespace quillmere::collector
