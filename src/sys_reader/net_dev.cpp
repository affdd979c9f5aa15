// Reader of /proc/net/dev: bytes received and transmitted per interface.
#include "sys_reader/readers.h"

#include <array>
#include <exception>
#include <optional>
#include <string>

#include "sys_reader/text.h"

namespace quillmere::sys_reader {

// Two header lines, then one line per interface:
//     eth0: 1293745   10342    0    0    0     0          0        12   893421    7231    0    0    0     0       0          0
// Eight receive fields (bytes first) and eight transmit fields (bytes
// first), unchanged since 2.6. Kernels before 4.x could fuse the name to a
// wide first counter ("eth0:1293745"); such a line has one token too few and
// is skipped rather than guessed at.
DeviceCounters parse_net_counters(std::string_view text) {
  constexpr std::size_t kMinTokens = 17;
  constexpr std::size_t kHeaderLines = 2;
  DeviceCounters counters;
  // One device per line at most: reserving up front keeps a file with
  // thousands of devices from rehashing over and over while it is read.
  counters.reserve(line_count_upper_bound(text));
  std::size_t line_number = 0;
  for (const std::string_view line : text_lines(text)) {
    if (line_number++ < kHeaderLines) continue;
    // Tokens past the seventeenth are never looked at.
    std::array<std::string_view, kMinTokens> tokens;
    if (first_whitespace_tokens(line, tokens) < kMinTokens) continue;
    std::string_view name = tokens[0];
    while (!name.empty() && name.back() == ':') name.remove_suffix(1);
    // A repeated name keeps the values of its last line.
    counters.insert_or_assign(std::string(name),
                              ByteCounters{parse_u64_or_zero(tokens[1]), parse_u64_or_zero(tokens[9])});
  }
  return counters;
}

DeviceCounters read_net_counters(const char* path) {
  try {
    const std::optional<std::string> text = read_text_file(path);
    return text ? parse_net_counters(*text) : DeviceCounters{};
  } catch (const std::exception&) {
    // Out of memory while building the map: reported like an unreadable file.
    return {};
  }
}

}  // namespace quillmere::sys_reader
