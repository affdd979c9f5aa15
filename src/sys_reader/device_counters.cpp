// Readers of the per-device byte counters: /proc/diskstats (bytes read and
// written per block device) and /proc/net/dev (bytes received and sent per
// interface). Both files hold one device per line; they differ in where the
// name and the two counters sit.
#include "sys_reader/readers.h"

#include <array>
#include <exception>
#include <optional>
#include <string>

#include "sys_reader/cutting.h"
#include "sys_reader/file_read.h"
#include "sys_reader/numbers.h"

namespace quillmere::sys_reader {
namespace {

// The map of the lines after the first `header_lines`: a line with at least
// kTokens tokens gives one device through entry(tokens), which returns its
// name and counters; shorter lines are skipped. Tokens past the kTokens-th
// are never looked at. A repeated name keeps the values of its last line.
template <std::size_t kTokens, typename Entry>
DeviceCounters parse_device_lines(std::string_view text, std::size_t header_lines, Entry entry) {
  DeviceCounters counters;
  // One device per line at most: reserving up front keeps a file with
  // thousands of devices from rehashing over and over while it is read.
  counters.reserve(line_count_upper_bound(text));
  std::size_t line_number = 0;
  for (const std::string_view line : text_lines(text)) {
    if (line_number++ < header_lines) continue;
    std::array<std::string_view, kTokens> tokens;
    if (take_first_tokens(line, tokens) < kTokens) continue;
    const auto [name, bytes] = entry(tokens);
    counters.insert_or_assign(std::string(name), bytes);
  }
  return counters;
}

// The bytes are not checked for UTF-8: the kernel allows any byte but '/',
// ':' and white space in a device name, and names are only ever compared as
// bytes, so one odd name must not cost every other device its counters.
DeviceCounters read_device_file(const char* path, DeviceCounters (*parse)(std::string_view)) {
  try {
    const std::optional<std::string> text = read_whole_file(path);
    return text ? parse(*text) : DeviceCounters{};
  } catch (const std::exception&) {
    // Out of memory while building the map: reported like an unreadable file.
    return {};
  }
}

// /proc/diskstats counts 512-byte sectors whatever the device's own size.
constexpr std::uint64_t kSectorBytes = 512;

struct Device {
  std::string_view name;
  ByteCounters bytes;
};

}  // namespace

// One line per device, partitions and loop devices included:
//    8       0 sda 95146 27386 5836294 40233 127390 110474 9406024 127437 0 97000 193460
// Fields after the name: reads, reads merged, sectors read, ms reading,
// writes, writes merged, sectors written, ms writing, I/Os in flight, ms doing
// I/O, weighted ms. 4.18 adds four discard fields and 5.5 two flush fields;
// only the first 14 tokens are relied on.
DeviceCounters parse_disk_counters(std::string_view text) {
  return parse_device_lines<14>(text, 0, [](const auto& tokens) {
    return Device{tokens[2], {parse_u64_or_zero(tokens[5]) * kSectorBytes,
                              parse_u64_or_zero(tokens[9]) * kSectorBytes}};
  });
}

DeviceCounters read_disk_counters(const char* path) { return read_device_file(path, parse_disk_counters); }

// Two header lines, then one line per interface:
//     eth0: 1293745   10342    0    0    0     0          0        12   893421    7231    0    0    0     0       0          0
// Eight receive fields (bytes first) and eight transmit fields (bytes
// first), unchanged since 2.6. Kernels before 4.x could fuse the name to a
// wide first counter ("eth0:1293745"); such a line has one token too few and
// is skipped rather than guessed at.
DeviceCounters parse_net_counters(std::string_view text) {
  return parse_device_lines<17>(text, 2, [](const auto& tokens) {
    std::string_view name = tokens[0];
    while (!name.empty() && name.back() == ':') name.remove_suffix(1);
    return Device{name, {parse_u64_or_zero(tokens[1]), parse_u64_or_zero(tokens[9])}};
  });
}

DeviceCounters read_net_counters(const char* path) { return read_device_file(path, parse_net_counters); }

}  // namespace quillmere::sys_reader
