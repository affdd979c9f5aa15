// The some and full lines of the pressure files.
#include "sys_reader/sources/pressure.h"

#include <array>

#include "sys_reader/cutting.h"
#include "sys_reader/file_read.h"
#include "sys_reader/numbers.h"

namespace quillmere::sys_reader {
namespace {

// The total= token of a line in seconds; nullopt without one that parses.
std::optional<double> total_seconds(std::string_view line) noexcept {
  TokenCursor tokens(line);
  std::optional<double> seconds;
  while (const std::optional<std::string_view> token = tokens.next()) {
    if (!starts_with(*token, "total=")) continue;
    const std::optional<std::uint64_t> microseconds = parse_u64(token->substr(6));
    seconds = microseconds ? std::optional<double>(static_cast<double>(*microseconds) / 1e6) : std::nullopt;
  }
  return seconds;
}

}  // namespace

PressureRecord parse_pressure(std::string_view text) noexcept {
  PressureRecord record;
  for (const std::string_view line : text_lines(text)) {
    if (starts_with(line, "some ")) {
      record.some_seconds_total = total_seconds(line);
    } else if (starts_with(line, "full ")) {
      record.full_seconds_total = total_seconds(line);
    }
  }
  return record;
}

std::optional<std::vector<std::pair<std::string, PressureRecord>>> read_pressure(const Roots& roots) {
  const std::string dir = roots.path_of(kPressureDir);
  // Listed to tell a kernel without pressure information from one whose
  // files fail; the three files are then read by name, in their own order.
  // directory_entries cannot tell an empty directory from a missing one,
  // and the kernel makes none that is empty.
  if (directory_entries(dir.c_str()).empty()) return std::nullopt;
  std::vector<std::pair<std::string, PressureRecord>> records;
  for (const std::string_view resource : std::array<std::string_view, 3>{"cpu", "memory", "io"}) {
    const std::optional<std::string> text = read_text_file((dir + "/").append(resource).c_str());
    if (!text) continue;
    const PressureRecord record = parse_pressure(*text);
    if (record.some_seconds_total) records.emplace_back(resource, record);
  }
  return records;
}

}  // namespace quillmere::sys_reader
