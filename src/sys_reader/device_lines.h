// Cutting the per-device files (one line per device, a name and columns of
// counters) into device lines, in place.
//
// Promises: one DeviceLine per line that has the layout's tokens, in file
// order, a repeated name once per line; the name is a view into the text and
// the two counters are the integers as read, nullopt where the token is not a
// number. A wide layout (the monitoring pass's) cuts a WideDeviceLine with up
// to eight counters by the same rules and the same code. Tokens are separated by Unicode white space, as everywhere else, so
// any bytes at all are safe; most lines are cut by a plain ASCII scan that
// stops at the last token a line needs, and only lines with a byte at or
// above 0x80 go through the Unicode tokenizer. Nothing is allocated per line.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace quillmere::sys_reader {

// Where a device file keeps what is read: its header lines, the token numbers
// of the name and of the two counters (in rising order), how many tokens a
// line needs to count at all, and whether the name token ends in ':'s that
// are not part of the name.
struct DeviceLayout {
  std::size_t header_lines;
  std::size_t name;
  std::size_t first;
  std::size_t second;
  std::size_t min_tokens;
  bool strip_colons;
};

// The most tokens any layout needs.
inline constexpr std::size_t kMostDeviceTokens = 17;

struct DeviceLine {
  std::string_view name;
  std::optional<std::uint64_t> first;
  std::optional<std::uint64_t> second;
};

// The most counters a wide layout reads.
inline constexpr std::size_t kMostWideCounters = 8;

// A layout that reads more counters: the first `counter_count` entries of
// `counters` are their token numbers, in rising order, all after the name
// and before the last token a line needs (min_tokens - 1).
struct WideDeviceLayout {
  std::size_t header_lines;
  std::size_t name;
  std::array<std::size_t, kMostWideCounters> counters;
  std::size_t counter_count;
  std::size_t min_tokens;
  bool strip_colons;
};

struct WideDeviceLine {
  std::string_view name;
  std::array<std::optional<std::uint64_t>, kMostWideCounters> counters;  // in the layout's order
};

// Replaces `lines` with the device lines of `text`. `lines` keeps its
// capacity, so a caller that reuses it allocates nothing once it has grown to
// the file's size. Throws only std::bad_alloc.
void parse_device_lines(const DeviceLayout& layout, std::string_view text, std::vector<DeviceLine>& lines);
void parse_device_lines(const WideDeviceLayout& layout, std::string_view text, std::vector<WideDeviceLine>& lines);

}  // namespace quillmere::sys_reader
