// Reader of /proc/diskstats: bytes read and written per block device.
#include "sys_reader/readers.h"

#include <array>
#include <exception>
#include <optional>
#include <string>

#include "sys_reader/text.h"

namespace quillmere::sys_reader {

// One line per device, partitions and loop devices included:
//    8       0 sda 95146 27386 5836294 40233 127390 110474 9406024 127437 0 97000 193460
// Fields after the name: reads, reads merged, sectors read, ms reading,
// writes, writes merged, sectors written, ms writing, I/Os in flight, ms doing
// I/O, weighted ms. 4.18 adds four discard fields and 5.5 two flush fields;
// only the first 14 tokens are relied on. Sectors are always 512 bytes here,
// whatever the device's own sector size.
DeviceCounters parse_disk_counters(std::string_view text) {
  constexpr std::size_t kMinTokens = 14;
  constexpr std::uint64_t kSectorBytes = 512;
  DeviceCounters counters;
  // One device per line at most: reserving up front keeps a file with
  // thousands of devices from rehashing over and over while it is read.
  counters.reserve(line_count_upper_bound(text));
  for (const std::string_view line : text_lines(text)) {
    // Tokens past the fourteenth are never looked at.
    std::array<std::string_view, kMinTokens> tokens;
    if (first_whitespace_tokens(line, tokens) < kMinTokens) continue;
    const ByteCounters bytes{parse_u64_or_zero(tokens[5]) * kSectorBytes,
                             parse_u64_or_zero(tokens[9]) * kSectorBytes};
    // A repeated name keeps the values of its last line.
    counters.insert_or_assign(std::string(tokens[2]), bytes);
  }
  return counters;
}

DeviceCounters read_disk_counters(const char* path) {
  try {
    const std::optional<std::string> text = read_text_file(path);
    return text ? parse_disk_counters(*text) : DeviceCounters{};
  } catch (const std::exception&) {
    // Out of memory while building the map: reported like an unreadable file.
    return {};
  }
}

}  // namespace quillmere::sys_reader
