// Tests of the /proc sources through the exact call's contract: line
// selection, field positions, fallbacks and saturating differences, on
// hand-made text and on whole-file samples.
#include "collector/exact/exact_contract.h"

#include <limits>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "records.h"

namespace quillmere::sys_reader {
namespace {

using collector::DeviceTable;
using collector::exact::CpuTimes;
using collector::exact::MemoryUsage;
using collector::exact::LoadAverage;
using collector::exact::PageFaultCounts;
using test::file_text;

const std::string kFixtures = QUILLMERE_FIXTURE_DIR "/proc/";
constexpr const char* kMissing = QUILLMERE_FIXTURE_DIR "/proc/no-such-file";

TEST(CpuTimes, TakesColumnsOfTheAggregateLineOnly) {
  struct Case {
    std::string_view text;
    std::uint64_t user, system, idle, iowait, irq, softirq, steal, total;
  };
  const std::vector<Case> cases = {
      {"cpu  10 20 30 40 50 60 70\n", 30, 30, 40, 50, 60, 70, 0, 280},
      {"cpu  10 20 30 40 50 60 70 80 90 100\n", 30, 30, 40, 50, 60, 70, 80, 360},
      {"cpu  10 20 30 40 50 60\n", 0, 0, 0, 0, 0, 0, 0, 0},
      {"cpu0 10 20 30 40 50 60 70 80\ncpu1 1 1 1 1 1 1 1 1\n", 0, 0, 0, 0, 0, 0, 0, 0},
      {"cpu\t10 20 30 40 50 60 70 80\n", 0, 0, 0, 0, 0, 0, 0, 0},  // key needs its space
      {"cpu  10 x 30 40 50 60 70 80\n", 10, 30, 40, 50, 60, 70, 80, 340},
      {"cpu  1 1 1 1 1 1 1 1\ncpu  10 20 30 40 50 60 70 80\n", 30, 30, 40, 50, 60, 70, 80, 360},
  };
  for (const auto& c : cases) {
    const CpuTimes t = test::exact_cpu_times(c.text, 0);
    const CpuTicks& k = t.ticks;
    EXPECT_EQ((std::vector<std::uint64_t>{k.user + k.nice, k.system, k.idle, k.iowait, k.irq, k.softirq, k.steal,
                                          t.total}),
              (std::vector<std::uint64_t>{c.user, c.system, c.idle, c.iowait, c.irq, c.softirq, c.steal, c.total}))
        << c.text;
  }
}

TEST(CpuTimes, ContextSwitchDifferenceSaturatesAtZero) {
  struct Case {
    std::string_view text;
    std::uint64_t previous, expected_difference, expected_total;
  };
  const std::vector<Case> cases = {
      {"ctxt 1000\n", 400, 600, 1000}, {"ctxt 1000\n", 1500, 0, 1000}, {"ctxt 1000\n", 0, 1000, 1000},
      {"ctxt\n", 0, 0, 0},             {"ctxt -5\n", 0, 0, 0},          {"ctxt 1\nctxt 7\n", 0, 7, 7},
      {"ctxts 99\n", 0, 0, 0},
  };
  for (const auto& c : cases) {
    const CpuTimes t = test::exact_cpu_times(c.text, c.previous);
    EXPECT_EQ(t.context_switches, c.expected_difference) << c.text << c.previous;
    EXPECT_EQ(t.context_switches_total, c.expected_total) << c.text;
  }
}

TEST(CpuTimes, ReadsAWholeStatFileAndFallsBackToZero) {
  const CpuTimes t = test::exact_cpu_times(file_text(kFixtures + "stat"), 1990000);
  EXPECT_EQ(t.ticks.user + t.ticks.nice, 2289u);
  EXPECT_EQ(t.ticks.steal, 12u);
  EXPECT_EQ(t.total, 2255u + 34 + 2290 + 22625563 + 6290 + 127 + 456 + 12);
  EXPECT_EQ(t.context_switches_total, 1990473u);
  EXPECT_EQ(t.context_switches, 473u);
  const CpuTimes missing = test::exact_cpu_times(file_text(kMissing), 5);
  EXPECT_EQ(missing.total, 0u);
  EXPECT_EQ(missing.context_switches, 0u);
}

TEST(MemoryUsage, UsedIsTotalMinusFreeBuffersCachedSaturating) {
  struct Case {
    std::string_view text;
    std::uint64_t total_kib, used_kib;
  };
  const std::vector<Case> cases = {
      {"MemTotal: 1000 kB\nMemFree: 200 kB\nBuffers: 100 kB\nCached: 300 kB\n", 1000, 400},
      {"MemTotal: 1000 kB\nMemFree: 800 kB\nBuffers: 100 kB\nCached: 300 kB\n", 1000, 0},
      {"MemTotal: 1000\nSwapCached: 300 kB\nMemFree: 100 kB\n", 1000, 900},
      {"MemFree: 100 kB\nCached: 5 kB\n", 0, 0},
      {"MemTotal: 1000 kB\nMemFree: lots\nMemTotal: 2000 kB\n", 2000, 2000},
      {"MemTotal:\nMemTotalX: 5\n", 0, 0},
      // A key after white space, ASCII or not, is still the first token.
      {" MemTotal: 1000 kB\n\xc2\xa0MemFree: 100 kB\n", 1000, 900},
  };
  for (const auto& c : cases) {
    const MemoryUsage m = test::exact_memory_usage(c.text);
    EXPECT_EQ(m.mem_total_bytes, c.total_kib * 1024) << c.text;
    EXPECT_EQ(m.mem_used_bytes, c.used_kib * 1024) << c.text;
  }
  const MemoryUsage m = test::exact_memory_usage(file_text(kFixtures + "meminfo"));
  EXPECT_EQ(m.mem_total_bytes, std::uint64_t{8049048} * 1024);
  EXPECT_EQ(m.mem_used_bytes, std::uint64_t{8049048 - 211684 - 120992 - 3563700} * 1024);
  EXPECT_EQ(test::exact_memory_usage(file_text(kMissing)).mem_total_bytes, 0u);
}

TEST(LoadAverage, NeedsFiveTokensAndTakesRunQueueBeforeTheSlash) {
  struct Case {
    std::string_view text;
    float run_queue, one, five, fifteen;
  };
  const std::vector<Case> cases = {
      {"0.52 0.58 0.59 1/234 5678\n", 1.0f, 0.52f, 0.58f, 0.59f},
      {"0.52 0.58 0.59 1/234\n", 0.0f, 0.0f, 0.0f, 0.0f},
      {"0.52 0.58 0.59 12 5678\n", 12.0f, 0.52f, 0.58f, 0.59f},
      {"0.52 0.58 0.59 /234 5678\n", 0.0f, 0.52f, 0.58f, 0.59f},
      {"0.52 x 0.59 3/234 5678\n", 3.0f, 0.52f, 0.0f, 0.59f},
  };
  for (const auto& c : cases) {
    const LoadAverage l = test::exact_load_average(c.text);
    EXPECT_EQ(l.run_queue_length, c.run_queue) << c.text;
    EXPECT_EQ(l.load_avg_1, c.one) << c.text;
    EXPECT_EQ(l.load_avg_5, c.five) << c.text;
    EXPECT_EQ(l.load_avg_15, c.fifteen) << c.text;
  }
  EXPECT_EQ(test::exact_load_average(file_text(kFixtures + "loadavg")).load_avg_15, 0.59f);
  EXPECT_EQ(test::exact_load_average(file_text(kMissing)).load_avg_1, 0.0f);
}

TEST(Uptime, FirstNumberInDoublePrecision) {
  EXPECT_EQ(test::exact_uptime("250.5 900.25\n"), 250.5);
  EXPECT_EQ(test::exact_uptime(""), 0.0);
  EXPECT_EQ(test::exact_uptime("up 900.25\n"), 0.0);
  EXPECT_EQ(test::exact_uptime(file_text(kFixtures + "uptime")), 350735.47);
  EXPECT_EQ(test::exact_uptime(file_text(kMissing)), 0.0);
}

TEST(PageFaults, DifferencesAgainstPreviousTotalsSaturate) {
  struct Case {
    std::string_view text;
    std::uint64_t previous_minor, previous_major;
    PageFaultCounts expected;
  };
  const std::vector<Case> cases = {
      {"pgfault 5000\npgmajfault 10\n", 3000, 12, {2000, 0, 5000, 10}},
      {"pgfault 5000\npgmajfault 10\n", 0, 0, {5000, 10, 5000, 10}},
      {"pgfaults 7\npgmajfault_s 9\npgfault x\n", 0, 0, {0, 0, 0, 0}},
      {"pgfault 1\npgfault 4\npgmajfault\n", 0, 3, {4, 0, 4, 0}},
      // The last line with a key counts, with or without a final '\n'.
      {"pgfault 1\npgmajfault 2\n\npgfault 3\npgmajfault 4", 0, 0, {3, 4, 3, 4}},
      {"pgfault 9", 0, 0, {9, 0, 9, 0}},
  };
  for (const auto& c : cases) {
    const PageFaultCounts f = test::exact_page_faults(c.text, c.previous_minor, c.previous_major);
    EXPECT_EQ((std::vector<std::uint64_t>{f.minor, f.major, f.minor_total, f.major_total}),
              (std::vector<std::uint64_t>{c.expected.minor, c.expected.major, c.expected.minor_total,
                                          c.expected.major_total}))
        << c.text;
  }
  const PageFaultCounts f = test::exact_page_faults(file_text(kFixtures + "vmstat"), 0, 0);
  EXPECT_EQ(f.minor_total, 184530912u);
  EXPECT_EQ(f.major_total, 17830u);
  EXPECT_EQ(test::exact_page_faults(file_text(kMissing), 1, 1).minor_total, 0u);
}

// Bytes in and out of one device, as the exact call takes them (a counter
// that is not a number reads 0).
struct DeviceBytes {
  std::uint64_t in_bytes = 0;
  std::uint64_t out_bytes = 0;
  bool operator==(const DeviceBytes&) const = default;
};

enum class DeviceFormat { kDiskstats, kNetDev };
const DeviceLayout& layout_of(DeviceFormat format) {
  return format == DeviceFormat::kDiskstats ? kDiskstatsLayout : kNetDevLayout;
}

// The devices of a reading by name, the last line of a repeated name winning.
std::map<std::string, DeviceBytes> by_name(DeviceFormat format, const std::vector<DeviceLine>& lines) {
  const std::uint64_t unit = format == DeviceFormat::kDiskstats ? kSectorBytes : 1;
  std::map<std::string, DeviceBytes> devices;
  for (const DeviceLine& line : lines) {
    devices.insert_or_assign(std::string(line.name),
                             DeviceBytes{line.first.value_or(0) * unit, line.second.value_or(0) * unit});
  }
  return devices;
}

std::map<std::string, DeviceBytes> parse_devices(DeviceFormat format, std::string_view text) {
  std::vector<DeviceLine> lines;
  parse_device_lines(layout_of(format), text, lines);
  return by_name(format, lines);
}

std::map<std::string, DeviceBytes> read_devices(DeviceFormat format, const char* path) {
  DeviceTable table;
  collector::read_device_table(path, kDeviceSourceLimit, layout_of(format), table);
  return by_name(format, table.lines);
}

TEST(DiskCounters, NeedFourteenTokensAndCountSectorsOf512Bytes) {
  const auto d = parse_devices(DeviceFormat::kDiskstats,
                               "8 0 short 1 2 3 4 5 6 7 8 9 10\n"           // 13 tokens: skipped
                               "8 1 sda1 1 2 8 4 5 6 abc 8 9 10 11\n"      // 14 tokens
                               "8 2 sda2 1 2 3 4 5 6 7 8 9 10 11\n"
                               "8 2 sda2 1 2 5 4 5 6 7 8 9 10 11 12 13\n"  // later line replaces
  );
  ASSERT_EQ(d.size(), 2u);
  EXPECT_EQ(d.at("sda1").in_bytes, 4096u);
  EXPECT_EQ(d.at("sda1").out_bytes, 0u);
  EXPECT_EQ(d.at("sda2").in_bytes, 5u * 512);

  const auto fixture = read_devices(DeviceFormat::kDiskstats, (kFixtures + "diskstats").c_str());
  EXPECT_EQ(fixture.size(), 6u);
  EXPECT_EQ(fixture.at("sda").out_bytes, std::uint64_t{9406024} * 512);
  EXPECT_EQ(fixture.at("mmcblk0").in_bytes, std::uint64_t{412008} * 512);
  EXPECT_TRUE(read_devices(DeviceFormat::kDiskstats, kMissing).empty());
}

TEST(NetCounters, SkipTwoHeaderLinesAndShortLines) {
  const std::string row = " 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16\n";
  const auto n = parse_devices(DeviceFormat::kNetDev,
                               "eth0: 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16\n" + ("hdr:" + row) + "eth0:" + row +
                                   "eth1:99 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16\n" +
                                   "short: 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15\n" + "a:b::" + row +
                                   "eth0: 7 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16\n");
  ASSERT_EQ(n.size(), 2u);
  EXPECT_EQ(n.at("eth0").in_bytes, 7u);
  EXPECT_EQ(n.at("eth0").out_bytes, 9u);
  EXPECT_EQ(n.count("a:b"), 1u);

  EXPECT_TRUE(parse_devices(DeviceFormat::kNetDev, "h1\nh2\n").empty());
  const auto fixture = read_devices(DeviceFormat::kNetDev, (kFixtures + "net_dev").c_str());
  EXPECT_EQ(fixture.size(), 3u);
  EXPECT_EQ(fixture.at("wlan0").out_bytes, 9412885u);
  EXPECT_TRUE(read_devices(DeviceFormat::kNetDev, kMissing).empty());
}

// A line holding a byte above 0x7F is cut on Unicode white space (here
// U+00A0 and U+2003); the other lines keep their plain cut.
TEST(DeviceLines, NonAsciiLinesAreCutOnUnicodeWhiteSpace) {
  const auto d = parse_devices(DeviceFormat::kDiskstats,
                               "8 0 sd\xC2\xA0" "a 1 2 3 4 5 6 7 8 9 10 11\n"    // name, then 15 tokens
                               "8 1 sdb 1 2 3\xE2\x80\x83" "4 5 6 7 8 9 10 11\n"  // 4 is its own field
                               "8 2 sd\xC3\xA9 1 2 3 4 5 6 7 8 9 10 11\n"        // U+00E9 is no space
                               "8 3 sdc 1 2 3 4 5 6 7 8 9 10\xC2\xA0" "11\n");     // 14 tokens
  EXPECT_EQ(d, (std::map<std::string, DeviceBytes>{{"sd", {2 * 512, 6 * 512}},
                                                   {"sdb", {3 * 512, 7 * 512}},
                                                   {"sdc", {3 * 512, 7 * 512}},
                                                   {"sd\xC3\xA9", {3 * 512, 7 * 512}}}));
}

// Lines as /proc/net/dev gives them, for the rates: name, bytes in, bytes out.
std::string net_text(const std::vector<std::pair<std::string, DeviceBytes>>& devices) {
  std::string text = "h1\nh2\n";
  for (const auto& [name, bytes] : devices) {
    text += name + ": " + std::to_string(bytes.in_bytes) + " 0 0 0 0 0 0 0 " + std::to_string(bytes.out_bytes) +
            " 0 0 0 0 0 0 0\n";
  }
  return text;
}

std::pair<std::uint64_t, std::uint64_t> rates_of(const std::string& before, const std::string& after,
                                                 double interval_seconds) {
  const test::TempDir dir;
  DeviceTable previous, current;
  test::read_device_text(dir, "before", before, kNetDevLayout, previous);
  test::read_device_text(dir, "after", after, kNetDevLayout, current);
  return collector::exact::device_rates(previous, current, 1, interval_seconds);
}

TEST(DeviceRates, SumSaturatingIncreasesOfDevicesInBothReadings) {
  constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
  using Devices = std::vector<std::pair<std::string, DeviceBytes>>;
  struct Case {
    Devices previous, current;
    double interval_seconds;
    std::pair<std::uint64_t, std::uint64_t> expected;
  };
  const std::vector<Case> cases = {
      {{}, {{"sda", {100, 100}}}, 1.0, {0, 0}},
      {{{"sda", {0, 0}}}, {}, 1.0, {0, 0}},
      {{{"sda", {0, 0}}}, {{"sdb", {100, 100}}}, 1.0, {0, 0}},
      {{{"sda", {100, 500}}}, {{"sda", {50, 800}}}, 1.0, {0, 300}},
      {{{"a", {0, 0}}, {"b", {0, 0}}}, {{"a", {400, 1}}, {"b", {600, 2}}}, 1.5, {666, 2}},
      {{{"a", {0, 0}}, {"b", {0, 0}}}, {{"a", {kMax, 0}}, {"b", {kMax, 0}}}, 0.5, {kMax, 0}},
      {{{"a", {0, 0}}}, {{"a", {10, 0}}}, 0.0, {kMax, 0}},  // 10/0 is +inf; 0/0 is NaN
      {{{"a", {0, 0}}}, {{"a", {10, 10}}}, -1.0, {0, 0}},
      // Positions shift: c appears at the top, a leaves, d is new at the end.
      {{{"a", {0, 0}}, {"b", {0, 0}}, {"c", {0, 0}}},
       {{"c", {1, 0}}, {"b", {20, 0}}, {"d", {300, 0}}},
       1.0,
       {21, 0}},
      // Repeated names: the last line of a name counts, once.
      {{{"a", {5, 0}}, {"b", {0, 0}}, {"a", {10, 0}}},
       {{"a", {50, 0}}, {"b", {1, 0}}, {"a", {12, 0}}},
       1.0,
       {3, 0}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(rates_of(net_text(c.previous), net_text(c.current), c.interval_seconds), c.expected)
        << net_text(c.previous) << net_text(c.current);
  }
}

TEST(DeviceRates, HandlesTenThousandDevices) {
  std::string before = "h\nh\n", after = "h\nh\n";
  for (int i = 0; i < 10000; ++i) {
    const std::string name = "veth" + std::to_string(i) + ":";
    before += name + " 1000 0 0 0 0 0 0 0 10 0 0 0 0 0 0 0\n";
    after += name + " 1003 0 0 0 0 0 0 0 15 0 0 0 0 0 0 0\n";
  }
  ASSERT_EQ(parse_devices(DeviceFormat::kNetDev, before).size(), 10000u);
  EXPECT_EQ(rates_of(before, after, 1.0), (std::pair<std::uint64_t, std::uint64_t>{30000, 50000}));
}

}  // namespace
}  // namespace quillmere::sys_reader
