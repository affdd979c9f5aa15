// The exact call's CPU temperature against throwaway thermal directory
// trees: zone selection order, zones passed over, and the 0.0 fallback.
#include "collector/exact/collect_once.h"

#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "runtime/worker.h"

#include "test_support.h"

namespace quillmere::sys_reader {
namespace {

class ThermalDir : public ::testing::Test {
 protected:
  // Creates <root>/<entry>/temp holding `content`.
  void add(const std::string& entry, const std::string& content) {
    std::filesystem::create_directories(root_ / entry);
    std::ofstream(root_ / entry / "temp", std::ios::binary) << content;
  }
  // A zone whose temp cannot be read: a directory opens but read() fails.
  void add_unreadable(const std::string& entry) { std::filesystem::create_directories(root_ / entry / "temp"); }

  // The first snapshot's temperature, read from a sysfs root of our own.
  float read(const char* thermal_dir = "class/thermal") const {
    collector::CollectorSources sources;
    sources.roots.procfs = (temp_.path() / "proc").string();
    sources.roots.sysfs = (temp_.path() / "sys").string();
    sources.firmware_tool = "quillmere-test-no-such-tool";
    std::filesystem::create_directories(temp_.path() / "sys" / thermal_dir);
    std::optional<runtime::Worker> worker;
    return collector::collect_once(worker, 1000, sources).value().cpu_temp_celsius;
  }

  test::TempDir temp_;
  const std::filesystem::path root_ = temp_.path() / "sys" / "class" / "thermal";
};

TEST_F(ThermalDir, ConvertsMillidegreesInSinglePrecision) {
  const std::vector<std::pair<std::string, double>> cases = {
      {"48312\n", 48.3120002746582},
      {"-5000\n", -5.0},
      {"  51540  \n", 51.540000915527344},
  };
  for (const auto& [content, expected] : cases) {
    add("thermal_zone0", content);
    EXPECT_EQ(static_cast<double>(read()), expected) << content;
  }
}

TEST_F(ThermalDir, UsesFirstZoneInByteOrderNotNumericOrder) {
  add("thermal_zone2", "20000\n");
  add("thermal_zone10", "10000\n");
  EXPECT_EQ(read(), 10.0f);
}

TEST_F(ThermalDir, PassesOverUnreadableAndNonNumericZones) {
  add_unreadable("thermal_zone0");
  add("thermal_zone1", " \n");
  add("thermal_zone2", "45000 C\n");
  add("thermal_zone3", "\xFF" "45000\n");  // not UTF-8
  std::filesystem::create_directories(root_ / "thermal_zone4");  // no temp at all
  add("thermal_zone5", "51540\n");
  EXPECT_EQ(static_cast<double>(read()), 51.540000915527344);
}

TEST_F(ThermalDir, IgnoresEntriesThatAreNotZones) {
  add("cooling_device0", "70000\n");
  add("xthermal_zone0", "70000\n");
  EXPECT_EQ(read(), 0.0f);
  add("thermal_zone", "30000\n");  // empty rest of the name still matches
  EXPECT_EQ(read(), 30.0f);
}

TEST_F(ThermalDir, MissingDirectoryGivesZero) {
  EXPECT_EQ(read("class/other"), 0.0f);
}

}  // namespace
}  // namespace quillmere::sys_reader
