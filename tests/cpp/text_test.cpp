// Tests of the text primitives: cutting text into lines, tokens and pieces,
// Unicode white space, UTF-8 checking and repair, the number grammars and
// whole-file reading.
#include "sys_reader/cutting.h"
#include "sys_reader/file_read.h"
#include "sys_reader/numbers.h"
#include "sys_reader/unicode_space.h"
#include "sys_reader/utf8.h"

#include <chrono>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <future>
#include <limits>
#include <thread>
#include <vector>

#include <fcntl.h>     // open
#include <sys/stat.h>  // mkfifo
#include <unistd.h>    // close, truncate

#include <gtest/gtest.h>

#include "test_support.h"

namespace quillmere::sys_reader {
namespace {

using Views = std::vector<std::string_view>;

template <typename Cursor>
Views collect(Cursor cursor) {
  Views out;
  while (const std::optional<std::string_view> view = cursor.next()) out.push_back(*view);
  return out;
}

struct CutCase {
  std::string_view input;
  Views expected;
};

TEST(TextLines, StripsOneCarriageReturnBeforeEachNewlineOnly) {
  const std::vector<CutCase> cases = {
      {"a\r\nb\n", {"a", "b"}}, {"a\n\n", {"a", ""}},     {"x\r", {"x\r"}},
      {"", {}},                 {"\n", {""}},              {"a\r\r\n", {"a\r"}},
      {"a\nb", {"a", "b"}},     {"\r\n\r\n", {"", ""}},
  };
  for (const auto& c : cases) EXPECT_EQ(collect(LineCursor(c.input)), c.expected) << c.input;
}

TEST(EachToken, SplitsOnEveryUnicodeWhiteSpaceCharacter) {
  const std::vector<CutCase> cases = {
      {"  cpu  1\t2 ", {"cpu", "1", "2"}},
      {"a\u00A0b\u0085c", {"a", "b", "c"}},
      {"a\v\fb\r", {"a", "b"}},
      {"1\u16802\u20003\u200A4\u20285\u20296\u202F7\u205F8\u30009", {"1", "2", "3", "4", "5", "6", "7", "8", "9"}},
      {"\u3000 \u2001\n", {}},
      // Same lead bytes as white space, but not white space themselves:
      // U+00A9, U+200B, U+2027, U+2030, U+180E, U+3001.
      {"a\u00A9b\u200Bc\u2027d\u2030e\u180Ef\u3001g", {"a\u00A9b\u200Bc\u2027d\u2030e\u180Ef\u3001g"}},
      {"\xE2\x80", {"\xE2\x80"}},  // truncated sequence is not white space
      // A truncated sequence before an ASCII byte does not swallow it.
      {"\xE2\x80" "5 7", {"\xE2\x80" "5", "7"}},
  };
  for (const auto& c : cases) EXPECT_EQ(collect(TokenCursor(c.input)), c.expected) << c.input;
}

TEST(TokensIntoASpan, CountingKeepsTheFirstAndCountsAllTakingStopsWhenFull) {
  std::string_view out[2];
  EXPECT_EQ(count_tokens_keeping_first(" a b\u00A0c d ", out), 4u);
  EXPECT_EQ(out[0], "a");
  EXPECT_EQ(out[1], "b");
  // take_first_tokens counts only what it stored.
  std::string_view first[3];
  EXPECT_EQ(take_first_tokens(" a b\u00A0c d ", first), 3u);
  EXPECT_EQ(first[2], "c");
  EXPECT_EQ(take_first_tokens("\u3000a\t", first), 1u);
  EXPECT_EQ(first[0], "a");
}

TEST(TrimWhitespace, RemovesSingleAndMultibyteWhiteSpaceFromBothEnds) {
  const std::vector<std::pair<std::string_view, std::string_view>> cases = {
      {"  48312\n", "48312"}, {"\u00A0x y\u3000\u2028", "x y"}, {"\u3000 \t", ""},
      {"", ""},               {"x\u00A9", "x\u00A9"},           {"\u0085\u00A0", ""},
  };
  for (const auto& [input, expected] : cases) EXPECT_EQ(trim_whitespace(input), expected) << input;
}

TEST(SplitOnChar, KeepsEmptyPieces) {
  const std::vector<CutCase> cases = {
      {"1/234", {"1", "234"}}, {"/5", {"", "5"}}, {"5", {"5"}},
      {"", {""}},              {"a//b/", {"a", "", "b", ""}},
  };
  for (const auto& c : cases) EXPECT_EQ(collect(SplitCursor(c.input, '/')), c.expected) << c.input;
}

TEST(Utf8, AcceptsOnlyWellFormedSequences) {
  const std::vector<std::pair<std::string_view, bool>> cases = {
      {"", true},
      {"plain ascii longer than eight bytes", true},
      {"\u00E9\u20AC\U0001D11E\U0010FFFF\uD7FF\uE000", true},
      {"\xC0\x80", false},          // overlong
      {"\xE0\x80\x80", false},      // overlong
      {"\xED\xA0\x80", false},      // surrogate
      {"\xF4\x90\x80\x80", false},  // above U+10FFFF
      {"\xF5\x80\x80\x80", false},
      {"abcdefgh\x80", false},  // stray byte right after a fast-path block
      {"abcdefghijklmno\xFF", false},
      {"\xE2\x82", false},  // truncated
  };
  for (const auto& [input, valid] : cases) EXPECT_EQ(is_valid_utf8(input), valid) << input;
}

TEST(Utf8, LossyDecodingReplacesEachMaximalIllFormedSubpart) {
  const std::vector<std::pair<std::string_view, std::string_view>> cases = {
      {"a\xF1\x80\x80\xE1\x80\xC2" "b\x80" "c\x80\xBF" "d", "a\uFFFD\uFFFD\uFFFDb\uFFFDc\uFFFD\uFFFDd"},
      {"\xED\xA0\x80", "\uFFFD\uFFFD\uFFFD"},
      {"\xF0\x9F\x98", "\uFFFD"},
      {"\xC0\xAF", "\uFFFD\uFFFD"},
      {"throttled=0x5\n\u00E9", "throttled=0x5\n\u00E9"},
  };
  for (const auto& [input, expected] : cases) EXPECT_EQ(decode_utf8_lossy(input), expected) << input;
}

TEST(ParseU64, AcceptsOptionalPlusAndDigitsUpToTheLargestValue) {
  const std::vector<std::pair<std::string_view, std::optional<std::uint64_t>>> cases = {
      {"+42", 42},
      {"0", 0},
      {"18446744073709551615", std::numeric_limits<std::uint64_t>::max()},
      {"000000000000000000000000042", 42},
      {"18446744073709551616", std::nullopt},
      {"99999999999999999999", std::nullopt},
      {"-1", std::nullopt},
      {"-0", std::nullopt},
      {"+", std::nullopt},
      {"-", std::nullopt},
      {"", std::nullopt},
      {"12a", std::nullopt},
      {" 1", std::nullopt},
      {"++1", std::nullopt},
      {"\u0663", std::nullopt},  // ARABIC-INDIC DIGIT THREE
  };
  for (const auto& [input, expected] : cases) {
    EXPECT_EQ(parse_u64(input), expected) << input;
  }
}

TEST(ParseHexU32, AcceptsEitherCaseAndRejectsPrefixesAndOverflow) {
  const std::vector<std::pair<std::string_view, std::optional<std::uint32_t>>> cases = {
      {"aB", 171},        {"+5", 5},
      {"ffffffff", 0xFFFFFFFFu},   {"0000000ffffffff", 0xFFFFFFFFu},
      {"100000000", std::nullopt}, {"0x5", std::nullopt},
      {"", std::nullopt}, {"-1", std::nullopt}, {"5 ", std::nullopt}, {"g", std::nullopt},
  };
  for (const auto& [input, expected] : cases) EXPECT_EQ(parse_hex_u32(input), expected) << input;
}

TEST(ParseF32, FollowsTheDecimalGrammarAndRoundsOnceToSinglePrecision) {
  constexpr float kInf = std::numeric_limits<float>::infinity();
  const std::string tiny_leading = "0." + std::string(60, '0') + "1e100";  // 1e39
  const std::string long_mantissa = "1" + std::string(60, '0') + "e-110";  // 1e-50
  const std::vector<std::pair<std::string, std::optional<float>>> cases = {
      {"0.52", 0.52f},  {"1e3", 1000.0f},  {"+.5", 0.5f},  {"5.", 5.0f},   {"-5000", -5000.0f},
      {"1E-2", 0.01f},  {"2.5e+1", 25.0f}, {"INF", kInf},  {"-Infinity", -kInf},
      {"1e39", kInf},   {"-1e39", -kInf},  {"3.4028236e38", kInf},
      {"3.4028235e38", std::numeric_limits<float>::max()},
      {"1e99999999999999999999", kInf},
      {tiny_leading, kInf},
      {"1e-45", std::numeric_limits<float>::denorm_min()},
      {"1e-50", 0.0f},  {long_mantissa, 0.0f},
      // Exactly halfway between 1 and the next float: ties to even. With a
      // tail beyond double precision it must round up, which a detour
      // through double would lose.
      {"1.000000059604644775390625", 1.0f},
      {"1.00000005960464477539062500000000001", std::nextafter(1.0f, 2.0f)},
      {".", std::nullopt},    {"1,5", std::nullopt}, {"", std::nullopt},    {"+", std::nullopt},
      {" 1", std::nullopt},   {"1 ", std::nullopt},  {"e5", std::nullopt},  {"1e", std::nullopt},
      {"1e+", std::nullopt},  {"0x1p3", std::nullopt}, {"nan(1)", std::nullopt}, {"infin", std::nullopt},
      {"--1", std::nullopt},  {"1.2.3", std::nullopt},
  };
  for (const auto& [input, expected] : cases) {
    EXPECT_EQ(parse_f32(input), expected) << input;
    EXPECT_EQ(parse_f32_or_zero(input), expected.value_or(0.0f)) << input;
  }
  EXPECT_TRUE(std::signbit(*parse_f32("-1e-50")));
  EXPECT_TRUE(std::isnan(*parse_f32("NaN")));
  EXPECT_TRUE(std::isnan(parse_f32_or_zero("nAn")));
  EXPECT_EQ(parse_f32_or_zero(std::nullopt), 0.0f);
}

TEST(ParseF64, RoundsToDoubleWithOverflowToInfinityAndUnderflowToZero) {
  const std::vector<std::pair<std::string_view, std::optional<double>>> cases = {
      {"250.5", 250.5},
      {"0.52", 0.52},
      {"1e309", std::numeric_limits<double>::infinity()},
      {"4.9e-324", std::numeric_limits<double>::denorm_min()},
      {"2e-324", 0.0},
      {"1e-400", 0.0},
      {"1.", 1.0},
      {"1e", std::nullopt},
  };
  for (const auto& [input, expected] : cases) EXPECT_EQ(parse_f64(input), expected) << input;
  EXPECT_EQ(parse_f64_or_zero(std::nullopt), 0.0);
}

class ReadTextFile : public ::testing::Test {
 protected:
  std::string write(const std::string& name, const std::string& content) {
    return temp_.write_file(name, content).string();
  }
  test::TempDir temp_;
  const std::string dir_ = temp_.path().string();
};

TEST_F(ReadTextFile, ReadsPastTheBufferSizeToTheEnd) {
  // Sizes around the first buffer (4 KiB) and the later pieces (64 KiB), with
  // text that changes along the file so that a piece out of order shows.
  for (const std::size_t size : {4095UL, 4096UL, 4097UL, 69631UL, 69632UL, 69633UL, 200000UL}) {
    std::string text(size, ' ');
    for (std::size_t i = 0; i < size; ++i) text[i] = static_cast<char>('a' + (i / 1000) % 26);
    EXPECT_EQ(read_text_file(write("big", text).c_str()), text) << size;
  }
  EXPECT_EQ(read_text_file(write("empty", "").c_str()), "");
}

TEST_F(ReadTextFile, ReadsProcFilesThatReportSizeZero) {
  const auto text = read_text_file("/proc/self/status");
  ASSERT_TRUE(text.has_value());
  EXPECT_NE(text->find("Name:"), std::string::npos);
}

TEST_F(ReadTextFile, TreatsMissingDirectoryAndInvalidUtf8AlikeAsUnreadable) {
  EXPECT_EQ(read_text_file((dir_ + "/missing").c_str()), std::nullopt);
  EXPECT_EQ(read_text_file(dir_.c_str()), std::nullopt);
  EXPECT_EQ(read_text_file(write("bad", "48312\xFF\n").c_str()), std::nullopt);
}

TEST_F(ReadTextFile, OnlyARegularFileWithinItsLimitIsRead) {
  // A FIFO nobody writes would block the open and then the read for ever.
  // Should a reader wait on it all the same, a writer opens it once a second
  // and closes it, so that the reader gets an empty text (a failure here)
  // instead of hanging the suite.
  const std::string fifo = dir_ + "/fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  std::promise<void> done;
  std::thread writer([&fifo, finished = done.get_future()] {
    while (finished.wait_for(std::chrono::seconds(1)) != std::future_status::ready) {
      const int fd = ::open(fifo.c_str(), O_RDWR | O_CLOEXEC);
      if (fd >= 0) ::close(fd);
    }
  });
  const std::optional<std::string> from_fifo = read_text_file(fifo.c_str());
  SourceBuffer buffer;
  const bool buffered = buffer.read(fifo.c_str(), kDeviceSourceLimit, 0);
  done.set_value();
  writer.join();
  EXPECT_EQ(from_fifo, std::nullopt);
  EXPECT_FALSE(buffered);

  // Endless, and larger than the limit by its size or by what it holds.
  EXPECT_EQ(read_text_file("/dev/zero"), std::nullopt);
  EXPECT_FALSE(buffer.read("/dev/zero", kDeviceSourceLimit, 0));
  const std::string big = write("big", "");
  ASSERT_EQ(::truncate(big.c_str(), static_cast<off_t>(kDeviceSourceLimit) + 1), 0);  // sparse
  EXPECT_EQ(read_text_file(big.c_str()), std::nullopt);
  EXPECT_FALSE(buffer.read(big.c_str(), kDeviceSourceLimit, 0));
  const std::string text(100, 'x');
  EXPECT_EQ(read_text_file(write("at_limit", text).c_str(), 100), text);
  EXPECT_EQ(read_text_file(write("over_limit", text + "x").c_str(), 100), std::nullopt);
  // /proc reports a size of 0: only what it holds can tell.
  EXPECT_EQ(read_text_file("/proc/self/status", 100), std::nullopt);
}

}  // namespace
}  // namespace quillmere::sys_reader
