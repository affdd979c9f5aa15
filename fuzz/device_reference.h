// The plain reading of the two device files that the shipped readers must
// agree with: every line cut by the Unicode tokenizer, devices in a map by
// name (the last line of a repeated name wins), and the rate summed over the
// names found in both maps. Slow and obviously right; the fuzz targets
// compare the readers' results with it.
#pragma once

#include <array>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>

#include "fuzz_support.h"
#include "sys_reader/cutting.h"
#include "sys_reader/numbers.h"
#include "sys_reader/sources/diskstats.h"
#include "sys_reader/sources/net_dev.h"

namespace quillmere::fuzz {

// Bytes in and out of one device, a counter that is not a number read as 0,
// as the exact call takes them.
struct DeviceBytes {
  std::uint64_t in_bytes = 0;
  std::uint64_t out_bytes = 0;
  bool operator==(const DeviceBytes&) const = default;
};

enum class DeviceFormat { kDiskstats, kNetDev };

inline const sys_reader::DeviceLayout& layout_of(DeviceFormat format) {
  return format == DeviceFormat::kDiskstats ? sys_reader::kDiskstatsLayout : sys_reader::kNetDevLayout;
}
inline std::uint64_t unit_of(DeviceFormat format) { return format == DeviceFormat::kDiskstats ? 512 : 1; }

// Device name -> bytes. Names compare byte for byte; no order.
using DeviceMap = std::unordered_map<std::string, DeviceBytes>;

// The map of the lines after the first `header_lines`: a line with at least
// kTokens tokens gives one device through entry(tokens); shorter lines are
// skipped. A repeated name keeps the values of its last line.
template <std::size_t kTokens, typename Entry>
DeviceMap reference_device_map(std::string_view text, std::size_t header_lines, Entry entry) {
  DeviceMap devices;
  std::size_t line_number = 0;
  for (const std::string_view line : sys_reader::text_lines(text)) {
    if (line_number++ < header_lines) continue;
    std::array<std::string_view, kTokens> tokens;
    if (sys_reader::take_first_tokens(line, tokens) < kTokens) continue;
    const auto [name, bytes] = entry(tokens);
    devices.insert_or_assign(std::string(name), bytes);
  }
  return devices;
}

struct ReferenceDevice {
  std::string_view name;
  DeviceBytes bytes;
};

// /proc/diskstats: name in token 3, sectors read in 6, written in 10, at
// least 14 tokens; a sector is 512 bytes.
inline DeviceMap reference_disk_map(std::string_view text) {
  return reference_device_map<14>(text, 0, [](const auto& tokens) {
    return ReferenceDevice{tokens[2], {ref_u64(tokens[5]).value_or(0) * 512, ref_u64(tokens[9]).value_or(0) * 512}};
  });
}

// /proc/net/dev: two header lines; name in token 1 without its trailing
// ':'s, bytes received in 2 and sent in 10, at least 17 tokens.
inline DeviceMap reference_net_map(std::string_view text) {
  return reference_device_map<17>(text, 2, [](const auto& tokens) {
    std::string_view name = tokens[0];
    while (!name.empty() && name.back() == ':') name.remove_suffix(1);
    return ReferenceDevice{name, {ref_u64(tokens[1]).value_or(0), ref_u64(tokens[9]).value_or(0)}};
  });
}

inline DeviceMap reference_map(DeviceFormat format, std::string_view text) {
  return format == DeviceFormat::kDiskstats ? reference_disk_map(text) : reference_net_map(text);
}

// Sum of the per-device increases of the devices in both maps, each
// component saturating on its own, over the interval, truncated; {0, 0} when
// either map is empty.
inline std::pair<std::uint64_t, std::uint64_t> reference_rates(const DeviceMap& previous, const DeviceMap& current,
                                                               double interval_seconds) {
  const auto to_u64 = [](double rate) -> std::uint64_t {
    if (!(rate > 0.0)) return 0;
    if (rate >= 18446744073709551616.0) return std::numeric_limits<std::uint64_t>::max();
    return static_cast<std::uint64_t>(rate);
  };
  if (previous.empty() || current.empty()) return {0, 0};
  std::uint64_t in_sum = 0;
  std::uint64_t out_sum = 0;
  for (const auto& [name, now] : current) {
    const auto before = previous.find(name);
    if (before == previous.end()) continue;
    in_sum += sys_reader::saturating_sub(now.in_bytes, before->second.in_bytes);
    out_sum += sys_reader::saturating_sub(now.out_bytes, before->second.out_bytes);
  }
  return {to_u64(static_cast<double>(in_sum) / interval_seconds),
          to_u64(static_cast<double>(out_sum) / interval_seconds)};
}

// The readers' device lines as a map, the last line of a name winning.
inline DeviceMap map_of(DeviceFormat format, const std::vector<sys_reader::DeviceLine>& lines) {
  const std::uint64_t unit = unit_of(format);
  DeviceMap devices;
  for (const sys_reader::DeviceLine& line : lines) {
    devices.insert_or_assign(std::string(line.name),
                             DeviceBytes{line.first.value_or(0) * unit, line.second.value_or(0) * unit});
  }
  return devices;
}

inline bool same_devices(const DeviceMap& a, const DeviceMap& b) {
  if (a.size() != b.size()) return false;
  for (const auto& [name, bytes] : a) {
    const auto it = b.find(name);
    if (it == b.end() || it->second.in_bytes != bytes.in_bytes || it->second.out_bytes != bytes.out_bytes) {
      return false;
    }
  }
  return true;
}

}  // namespace quillmere::fuzz
