// Tests of the monitoring contract and its pass: what each source gives,
// that an unreadable source is nullopt rather than 0, and the rates and shares
// between two readings of fixture trees that changed in between. Also the
// latest-value slot the sampler publishes through.
#include "collector/monitoring/monitoring_contract.h"

#include <atomic>
#include <chrono>
#include <cmath>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <poll.h>

#include <gtest/gtest.h>

#include "collector/monitoring/counter_pass.h"
#include "collector/monitoring/sampler.h"
#include "runtime/latest_value_slot.h"
#include "sys_reader/sources/diskstats.h"
#include "sys_reader/sources/uptime.h"
#include "sys_reader/sources/vmstat.h"
#include "test_support.h"

namespace quillmere::collector {
namespace {

namespace sr = sys_reader;

struct Stat {
  std::optional<CpuTicks> cpu;
  std::optional<std::uint64_t> context_switches_total;
};
Stat stat_of(std::string_view text) {
  const sr::StatRecord record = sr::parse_stat(text);
  return {cpu_ticks(record), record.context_switches};
}
MemoryCounters memory_of(std::string_view text) { return memory_counters(sr::parse_meminfo(text)); }
std::optional<LoadAverage64> load_of(std::string_view text) { return load_average64(sr::parse_loadavg(text)); }
std::optional<double> uptime_of(std::string_view text) { return uptime_seconds64(sr::parse_uptime(text)); }

// A /proc and /sys tree in a temporary directory, rewritten between readings.
class Machine {
 public:
  Machine() {
    sources_.roots.procfs = (dir_.path() / "proc").string();
    sources_.roots.sysfs = (dir_.path() / "sys").string();
    sources_.firmware_tool = "quillmere-test-no-such-tool";
  }

  void write(const std::string& name, const std::string& text) const { dir_.write_file(name, text); }

  // Writes the counters that move between readings, and the rest.
  void write(std::uint64_t user, std::uint64_t idle, std::uint64_t iowait, std::uint64_t ctxt,
             std::uint64_t pgfault, std::uint64_t pgmajfault, std::uint64_t sda_sectors_read,
             std::uint64_t sda1_sectors_read, std::uint64_t lo_rx, std::uint64_t eth_tx) const {
    const auto n = [](std::uint64_t v) { return std::to_string(v); };
    // sdb is a whole disk by its missing partition entry, sda by the listing
    // of whole disks, sda1 a partition by its entry.
    write("sys/class/block/sda1/partition", "1\n");
    write("sys/class/block/sdb/size", "2048\n");
    write("sys/block/sda", "");
    write("sys/class/thermal/thermal_zone2/temp", "30000\n");
    write("sys/class/thermal/thermal_zone10/temp", "48312\n");
    write("sys/class/thermal/thermal_zone10/type", "cpu-thermal\n");
    write("sys/class/thermal/thermal_zone3/temp", "garbage\n");
    write("proc/stat", "cpu  " + n(user) + " 0 0 " + n(idle) + " " + n(iowait) + " 0 0 0 0 0\nctxt " + n(ctxt) + "\n");
    write("proc/loadavg", "0.52 0.58 0.59 2/234 5678\n");
    write("proc/meminfo", "MemTotal: 1000 kB\nMemFree: 100 kB\nMemAvailable: 600 kB\n");
    write("proc/uptime", "250.5 900.25\n");
    write("proc/vmstat", "pgfault " + n(pgfault) + "\npgmajfault " + n(pgmajfault) + "\n");
    write("proc/diskstats", "   8  0 sda 1 0 " + n(sda_sectors_read) + " 0 0 0 8 0 0 0 0\n"
                            "   8  1 sda1 1 0 " + n(sda1_sectors_read) + " 0 0 0 8 0 0 0 0\n"
                            "   8 16 sdb 1 0 2 0 0 0 0 0 0 0 0\n");
    write("proc/net/dev", "h1\nh2\n    lo: " + n(lo_rx) + " 0 0 0 0 0 0 0 " + n(lo_rx) +
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
  test::TempDir dir_;
  CounterSources sources_;
};

TEST(MonitoringContract, TakesWhatTheSourcesGiveAndReportsWhatIsMissing) {
  const Stat stat = stat_of("cpu  1 2 3 4 5 6 7 8 9 10\nctxt 99\n");
  ASSERT_TRUE(stat.cpu);
  EXPECT_EQ((std::vector<std::uint64_t>{stat.cpu->user, stat.cpu->nice, stat.cpu->system, stat.cpu->idle,
                                        stat.cpu->iowait, stat.cpu->irq, stat.cpu->softirq, stat.cpu->steal}),
            (std::vector<std::uint64_t>{1, 2, 3, 4, 5, 6, 7, 8}));
  EXPECT_EQ(stat.context_switches_total, 99u);
  const Stat short_line = stat_of("cpu  1 2 3 4 5 6\n");
  EXPECT_FALSE(short_line.cpu);
  EXPECT_FALSE(short_line.context_switches_total);

  const MemoryCounters memory = memory_of(
      "MemTotal: 1000 kB\nMemFree: 200 kB\nMemAvailable: 700 kB\nBuffers: 100 kB\nCached: 300 kB\n"
      "SwapCached: 50 kB\nSwapTotal: 500 kB\nSwapFree: 600 kB\n");
  EXPECT_EQ(memory.total_bytes, 1000u * 1024);
  EXPECT_EQ(memory.used_bytes, 400u * 1024);
  EXPECT_EQ(memory.available_bytes, 700u * 1024);
  EXPECT_EQ(memory.swap_total_bytes, 500u * 1024);
  EXPECT_EQ(memory.swap_used_bytes, 0u);  // free above total: none used, not a wrapped value
  const MemoryCounters old_kernel = memory_of("MemTotal: 1000 kB\nMemFree: 200 kB\n");
  EXPECT_EQ(old_kernel.used_bytes, 800u * 1024);
  EXPECT_FALSE(old_kernel.available_bytes);
  EXPECT_FALSE(old_kernel.swap_used_bytes);

  const std::optional<LoadAverage64> load = load_of("0.52 0.58 0.59 3/234 5678\n");
  ASSERT_TRUE(load);
  EXPECT_EQ(load->load_avg_1, 0.52);  // double precision: 0.52 reads 0.52
  EXPECT_EQ(load->run_queue_length, 3.0);
  EXPECT_FALSE(load_of("0.52 0.58 0.59 3/234\n"));

  const sr::VmstatRecord faults = sr::parse_vmstat("pgfaults 1\npgfault 500\n");
  EXPECT_EQ(faults.pgfault, 500u);
  EXPECT_FALSE(faults.pgmajfault);
}

TEST(MonitoringContract, AFieldThatDoesNotParseIsMissingNotZero) {
  const Stat stat = stat_of("cpu  a b c d e f g h 0 0\nctxt x\n");
  EXPECT_FALSE(stat.cpu || stat.context_switches_total);
  EXPECT_FALSE(stat_of("cpu  1 2 3 4 5 6 7 x\n").cpu);  // one column is enough
  EXPECT_TRUE(stat_of("cpu  1 2 3 4 5 6 7 x\ncpu  1 2 3 4 5 6 7 8\n").cpu);  // the last line counts
  EXPECT_FALSE(stat_of("cpu  1 2 3 4 5 6 7 x\ncpu  1 2 3 4 5 6 7\n").cpu);  // its steal is the first line's
  const MemoryCounters memory = memory_of("MemTotal: abc kB\nMemFree: 1 kB\nSwapTotal: 8 kB\n");
  EXPECT_FALSE(memory.total_bytes || memory.used_bytes);
  EXPECT_EQ(memory.swap_total_bytes, 8u * 1024);
  EXPECT_FALSE(memory_of("MemTotal: 9 kB\nCached: 1x kB\n").used_bytes);
  const std::optional<LoadAverage64> load = load_of("a b c d/e 5\n");
  ASSERT_TRUE(load);
  EXPECT_FALSE(load->load_avg_1 || load->load_avg_5 || load->load_avg_15 || load->run_queue_length);
  EXPECT_FALSE(uptime_of("abc 1\n"));
  const sr::VmstatRecord faults = sr::parse_vmstat("pgfault x\npgmajfault 3\n");
  EXPECT_FALSE(faults.pgfault);
  EXPECT_EQ(faults.pgmajfault, 3u);
  std::vector<sr::DeviceLine> lines;
  sr::parse_device_lines(sr::kDiskstatsLayout, "8 0 sda 1 0 abc 0 1 0 7 0 0 0 0\n", lines);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_FALSE(lines[0].first);
  EXPECT_EQ(lines[0].second, 7u);
}

TEST(MonitoringContract, AGaugeThatIsNotFiniteOrNegativeIsMissing) {
  const std::optional<LoadAverage64> load = load_of("-5.0 inf nan -3/10 5\n");
  ASSERT_TRUE(load);
  EXPECT_FALSE(load->load_avg_1 || load->load_avg_5 || load->load_avg_15 || load->run_queue_length);
  for (const char* uptime : {"nan 1\n", "-1 1\n", "inf 1\n", "1e999 1\n"}) {
    EXPECT_FALSE(uptime_of(uptime)) << uptime;
  }
  // A zone reading NaN or an infinity is passed over like an unreadable one;
  // a temperature below zero is real.
  const Machine machine;
  machine.write("sys/class/thermal/thermal_zone0/temp", "nan\n");
  machine.write("sys/class/thermal/thermal_zone1/temp", "-inf\n");
  machine.write("sys/class/thermal/thermal_zone2/temp", "-5000\n");
  machine.write("sys/class/thermal/thermal_zone3/temp", "48312\n");
  const std::vector<ZoneTemperature> zones = machine.read(0).zones;
  ASSERT_EQ(zones.size(), 2u);
  EXPECT_EQ(zones[0].celsius, -5.0);
  EXPECT_EQ(zones[1].celsius, 48.312);
}

TEST(IntervalSample, AProductOrSumThatDoesNotFitIsMissingNotWrapped) {
  constexpr std::uint64_t kMax = UINT64_MAX;
  EXPECT_FALSE(memory_of("MemTotal: 18446744073709551615 kB\n").total_bytes);
  EXPECT_FALSE(memory_of("MemTotal: 36028797018963968 kB\n").total_bytes);  // 2^55 KiB
  EXPECT_FALSE(memory_of("MemTotal: 100 kB\nMemFree: 18446744073709551615 kB\nCached: 10 kB\n").used_bytes);

  const Machine machine;
  machine.write("proc/diskstats", "8 0 sda 1 0 0 0 1 0 0 0 0 0 0\n8 16 sdb 1 0 0 0 1 0 0 0 0 0 0\n");
  CounterReading before = machine.read(0);
  // 2^54 sectors of 512 bytes each: 2^63 bytes a disk, 2^64 the two; and
  // 2^55 sectors, whose bytes do not fit at all.
  machine.write("proc/diskstats", "8 0 sda 1 0 18014398509481984 0 1 0 1 0 0 0 0\n"
                                  "8 16 sdb 1 0 18014398509481984 0 1 0 1 0 0 0 0\n"
                                  "8 32 sdc 1 0 36028797018963968 0 1 0 1 0 0 0 0\n");
  CounterReading after = machine.read(1);
  before.cpu = CpuTicks{};
  after.cpu = CpuTicks{kMax, 0, 0, 100, 0, 0, 0, 0};
  EXPECT_EQ(device_totals(after.disks), (Totals{std::nullopt, 3 * 512}));
  EXPECT_FALSE(disk_counters(after.disks).at(2).read_bytes);
  const IntervalSample s = interval_sample(before, after);
  EXPECT_FALSE(s.cpu);  // the ticks add up past 2^64
  EXPECT_FALSE(s.disk_read_bytes_per_sec);
  EXPECT_EQ(s.disk_write_bytes_per_sec, 2.0 * 512);
}

TEST(IntervalSample, InterfaceCountersOfA32BitKernelWrapAt4GiB) {
  for (const char* machine : {"armv6l", "armv7l", "i686", "i386", "mips", "ppc"}) {
    EXPECT_EQ(kernel_word_bits(machine), 32u) << machine;
  }
  for (const char* machine : {"x86_64", "aarch64", "armv8l", "riscv64", "ppc64le", "s390x", ""}) {
    EXPECT_EQ(kernel_word_bits(machine), 64u) << machine;
  }
  const auto net_dev = [](std::uint64_t eth0_rx, std::uint64_t wlan0_tx) {
    const auto row = [](const char* name, std::uint64_t rx, std::uint64_t tx) {
      return std::string(name) + ": " + std::to_string(rx) + " 0 0 0 0 0 0 0 " + std::to_string(tx) +
             " 0 0 0 0 0 0 0\n";
    };
    return "h1\nh2\n" + row("eth0", eth0_rx, 0) + row("wlan0", 0, wlan0_tx);
  };
  constexpr std::uint64_t kWord = std::uint64_t{1} << 32;
  const Machine machine;
  // eth0 received wraps; wlan0 sent was reset from above 2^32.
  machine.write("proc/net/dev", net_dev(kWord - 1000, kWord + 5));
  CounterReading before = machine.read(0);
  machine.write("proc/net/dev", net_dev(500, 7));
  CounterReading after = machine.read(1);
  after.kernel_word_bits = 32;
  IntervalSample s = interval_sample(before, after);
  EXPECT_EQ(s.net_rx_bytes_per_sec, 1500.0);
  EXPECT_EQ(s.net_tx_bytes_per_sec, 0.0);
  // Per interface too, on every counter: eth0's bytes, and its packets and
  // errors (received and transmitted added) beside them.
  ASSERT_TRUE(s.interfaces);
  ASSERT_EQ(s.interfaces->size(), 2u);
  EXPECT_EQ(s.interfaces->at(0).rx_bytes_per_sec, 1500.0);
  EXPECT_EQ(s.interfaces->at(1).tx_bytes_per_sec, 0.0);
  machine.write("proc/net/dev", "h1\nh2\neth0: 0 4294967295 4294967290 0 0 0 0 0 0 0 4294967295 0 0 0 0 0\n");
  before = machine.read(0);
  machine.write("proc/net/dev", "h1\nh2\neth0: 0 9 3 0 0 0 0 0 0 0 1 0 0 0 0 0\n");
  after = machine.read(1);
  after.kernel_word_bits = 32;
  s = interval_sample(before, after);
  ASSERT_TRUE(s.interfaces && s.interfaces->size() == 1);
  EXPECT_EQ(s.interfaces->at(0).rx_packets_per_sec, 10.0);
  EXPECT_EQ(s.interfaces->at(0).errors_per_sec, 9.0 + 2.0);
  after.kernel_word_bits = 64;
  s = interval_sample(before, after);
  EXPECT_EQ(s.net_rx_bytes_per_sec, 0.0);
}

TEST(IntervalSample, RatesAndSharesComeFromTheCounterMovesOverTheMeasuredInterval) {
  const Machine machine;
  machine.write(100, 100, 0, 1000, 5000, 10, 8, 8, 1000, 500);
  CounterReading before = machine.read(1.0);
  // Over 2 s: 40 ticks user, 40 idle, 20 iowait; 600 switches; 400 faults of
  // which 100 major; sda +2048 sectors, its partition +2048 more (not added
  // again); lo +3000 bytes each way; eth0's counter went back.
  machine.write(140, 140, 20, 1600, 5400, 110, 2056, 2056, 4000, 100);
  CounterReading after = machine.read(3.0);

  EXPECT_EQ(device_totals(after.disks), (Totals{(2056u + 2) * 512, 8u * 512}));
  // The load and the entity count come from one text that outlives them.
  ASSERT_TRUE(after.load && after.processes);
  EXPECT_EQ(after.load->load_avg_1, 0.52);
  EXPECT_EQ(after.processes->threads, 234u);
  ASSERT_EQ(after.zones.size(), 2u);  // the garbage zone is left out; zone10 sorts first
  EXPECT_EQ(after.zones[0].zone, "thermal_zone10");
  EXPECT_EQ(after.zones[0].type, "cpu-thermal");
  EXPECT_EQ(after.zones[0].celsius, 48.312);
  EXPECT_FALSE(after.zones[1].type);

  after.kernel_word_bits = 64;  // as on a 64-bit kernel, whatever runs the test (the wrap has a test of its own)
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

TEST(IntervalSample, PerDeviceRatesCoverTheDevicesOfBothReadings) {
  const Machine machine;
  machine.write("proc/diskstats", "8 0 sda 10 0 100 0 20 0 200 0 0 1000 0\n8 16 sdb 1 0 x 0 1 0 1 0 0 0 0\n");
  CounterReading before = machine.read(1.0);
  // Over 2 s: sda read 40 times (400 sectors), wrote 10 times and was busy
  // 3 s of the 2 (clock skew between the two counters: 100 %); sdb's sectors
  // read are no number in the first reading; sdc is new.
  machine.write("proc/diskstats", "8 32 sdc 1 0 1 0 1 0 1 0 0 1 0\n8 0 sda 50 0 500 0 30 0 200 0 0 4000 0\n"
                                  "8 16 sdb 1 0 7 0 1 0 1 0 0 500 0\n");
  CounterReading after = machine.read(3.0);
  const std::vector<DiskCounters> counters = disk_counters(after.disks);
  ASSERT_EQ(counters.size(), 3u);
  EXPECT_EQ(counters[0].name, "sda");
  EXPECT_EQ(counters[0].reads_completed, 50u);
  EXPECT_EQ(counters[0].io_seconds, 4.0);
  const IntervalSample s = interval_sample(before, after);
  ASSERT_TRUE(s.disks);
  ASSERT_EQ(s.disks->size(), 2u);  // sdc was in one reading only
  const DiskRates& sda = s.disks->at(0);
  EXPECT_EQ(sda.name, "sda");
  EXPECT_EQ(sda.reads_per_sec, 20.0);
  EXPECT_EQ(sda.read_bytes_per_sec, 200.0 * 512);
  EXPECT_EQ(sda.writes_per_sec, 5.0);
  EXPECT_EQ(sda.write_bytes_per_sec, 0.0);
  EXPECT_EQ(sda.busy_percent, 100.0);
  const DiskRates& sdb = s.disks->at(1);
  EXPECT_FALSE(sdb.read_bytes_per_sec);
  EXPECT_EQ(sdb.busy_percent, 25.0);
}

TEST(IntervalSample, AnUnreadableSourceIsMissingNotZero) {
  const Machine machine;
  machine.write(100, 100, 0, 1000, 5000, 10, 8, 8, 1000, 500);
  CounterReading before = machine.read(1.0);
  CounterSources nowhere;
  nowhere.roots = sr::Roots{"/nonexistent/proc", "/nonexistent/sys"};
  nowhere.firmware_tool = "quillmere-test-no-such-tool";
  CounterReading after = take_counter_reading(nowhere);
  EXPECT_FALSE(after.cpu || after.context_switches_total || after.load || after.uptime_seconds ||
               after.memory.total_bytes || after.page_faults_total || after.disks.table.readable ||
               after.interfaces.table.readable);
  EXPECT_TRUE(after.zones.empty());

  const IntervalSample s = interval_sample(before, after);
  EXPECT_FALSE(s.cpu || s.context_switches_per_sec || s.page_faults_minor_per_sec || s.disk_read_bytes_per_sec ||
               s.net_rx_bytes_per_sec || s.cpu_temp_celsius || s.mem_total_bytes || s.load || s.uptime_seconds ||
               s.disks || s.interfaces || s.cpus_usage || s.processes_running);
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
