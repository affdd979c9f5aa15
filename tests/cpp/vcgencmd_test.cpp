// The firmware queries: picking the number out of the tool's output, and the
// queries end to end against a fake tool first on PATH.
#include "sys_reader/sources/vcgencmd.h"

#include "test_support.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace quillmere::sys_reader {
namespace {

TEST(VcgencmdParse, ThrottledWordRunsFromFirstMarkerToEndOfOutput) {
  struct Case {
    std::string_view output;
    std::uint32_t expected;
  };
  const Case cases[] = {
      {"throttled=0x5\n", 5},
      {"throttled=0x0\n", 0},
      {"throttled=0xaB\n", 0xab},
      {"throttled=0xffffffff\n", 0xffffffff},
      {"throttled=0x00000000ffffffff\n", 0xffffffff},  // leading zeros do not overflow
      {"throttled=0x1ffffffff\n", 0},                  // nine significant digits
      {"throttled=0x5 extra\n", 0},
      {"throttled=0x5\nmore\n", 0},  // the number runs to the end of the output
      {"throttled=0x5\n \r\n\t", 5},
      {"throttled=0X5\n", 0},  // only a lower-case x marks the number
      {"throttled=0x\n", 0},
      {"throttled=0x-5\n", 0},
      {"a=0x1 b=0x2\n", 0},  // the first marker counts
      {"throttled=5\n", 0},
      {"", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.output);
    EXPECT_EQ(parse_throttled(c.output).value_or(0), c.expected);
  }
}

TEST(VcgencmdParse, ArmClockRunsFromFirstEqualsToEndOfOutput) {
  struct Case {
    std::string_view output;
    std::uint64_t expected;
  };
  const Case cases[] = {
      {"frequency(48)=600\n", 600},
      {"frequency(48)=1500345728\r\n", 1500345728},
      {"frequency(48)=+600\n", 600},
      {"frequency(48)=18446744073709551615\n", 18446744073709551615ULL},
      {"frequency(48)=18446744073709551616\n", 0},
      {"a=b=600\n", 0},  // the first '=' counts
      {"frequency(48)=600\nmore\n", 0},
      {"frequency(48)=0x258\n", 0},
      {"frequency(48)=-1\n", 0},
      {"frequency(48)=\n", 0},
      {"600\n", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.output);
    EXPECT_EQ(parse_arm_clock(c.output).value_or(0), c.expected);
  }
}

class VcgencmdQueryTest : public ::testing::Test {
 protected:
  test::TempDir dir_;
  test::ScopedEnv path_{"PATH", (dir_.path() / "bin").string() + ":/usr/bin:/bin"};
};

TEST_F(VcgencmdQueryTest, OnlyCleanExitWithWellFormedAnswerGivesValues) {
  struct Case {
    const char* name;
    std::string script;
    std::uint32_t throttled;
    std::uint64_t arm_clock;
  };
  // Answers only the two exact argument lists, each a separate argument.
  const std::string answer =
      "case \"$#:$1:$2\" in\n"
      "  1:get_throttled:) printf '%s\\n' \"$THROTTLED\" ;;\n"
      "  2:measure_clock:arm) printf '%s\\n' \"$CLOCK\" ;;\n"
      "  *) exit 2 ;;\n"
      "esac\n";
  const Case cases[] = {
      {"answers", "THROTTLED=throttled=0x50005 CLOCK='frequency(48)=1500000000'\n" + answer, 0x50005, 1500000000},
      {"invalid UTF-8 away from the number",
       "THROTTLED=$(printf '\\377throttled=0x7') CLOCK=$(printf '\\300frequency(48)=600')\n" + answer, 7, 600},
      {"exit code 1", "THROTTLED=throttled=0x5 CLOCK='frequency(48)=600'\n" + answer + "exit 1", 0, 0},
      {"killed by a signal", "echo throttled=0x5; echo frequency=600; kill -KILL $$", 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    dir_.write_script("bin/vcgencmd", c.script);
    const std::optional<FirmwareTool> tool = find_firmware_tool();
    ASSERT_TRUE(tool.has_value());
    const std::optional<std::string> throttled = run_firmware_tool(*tool, kThrottledArgs);
    EXPECT_EQ(throttled ? parse_throttled(*throttled).value_or(0) : 0, c.throttled);
    const std::optional<std::string> arm_clock = run_firmware_tool(*tool, kArmClockArgs);
    EXPECT_EQ(arm_clock ? parse_arm_clock(*arm_clock).value_or(0) : 0, c.arm_clock);
  }
}

TEST_F(VcgencmdQueryTest, MissingToolIsNotFoundSoNoProcessIsStarted) {
  const test::ScopedEnv path("PATH", (dir_.path() / "empty").string());
  EXPECT_FALSE(find_firmware_tool().has_value());
}

}  // namespace
}  // namespace quillmere::sys_reader
