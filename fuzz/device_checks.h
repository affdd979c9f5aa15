// Checks shared by the two per-device readers.
#pragma once

#include <string>
#include <string_view>

#include "device_reference.h"
#include "fuzz_support.h"
#include "sys_reader/device_lines.h"
#include "sys_reader/sources/diskstats.h"
#include "sys_reader/sources/net_dev.h"

namespace quillmere::fuzz {

// The devices the reader finds in `text`, by name, the last line winning.
inline DeviceMap parsed_devices(DeviceFormat format, std::string_view text) {
  std::vector<sys_reader::DeviceLine> lines;
  sys_reader::parse_device_lines(layout_of(format), text, lines);
  return map_of(format, lines);
}

// Every device name is a run of non-blank text taken from the input, empty
// only where `may_be_empty` (an interface token made of colons alone loses
// them all); there is at most one device per line; "\r\n" line ends read
// like "\n".
template <typename Parse>
void check_device_map(std::string_view text, const DeviceMap& devices, Parse parse,
                      bool may_be_empty = false) {
  std::size_t lines = 0;
  for (const char c : text) lines += c == '\n' ? 1 : 0;
  FUZZ_CHECK(devices.size() <= lines + 1, text, std::to_string(devices.size()) + " devices");
  for (const auto& [name, bytes] : devices) {
    FUZZ_CHECK(may_be_empty || !name.empty(), text, "a device without a name");
    FUZZ_CHECK(has_no_whitespace(name), text, "device name " + hex(name));
    FUZZ_CHECK(text.find(name) != std::string_view::npos, text, "device name " + hex(name) + " is not in the input");
  }
  FUZZ_CHECK(same_devices(parse(with_crlf(text)), devices), text, "differs with \\r\\n line ends");
}

// The monitoring pass's wide cut of `text` is the narrow cut line for line:
// the same lines and names, and the same two byte counters where the wide
// layout keeps them among its others.
inline void check_wide_cut(DeviceFormat format, std::string_view text) {
  const bool disks = format == DeviceFormat::kDiskstats;
  std::vector<sys_reader::DeviceLine> narrow;
  std::vector<sys_reader::WideDeviceLine> wide;
  sys_reader::parse_device_lines(layout_of(format), text, narrow);
  sys_reader::parse_device_lines(disks ? sys_reader::kDiskstatsWideLayout : sys_reader::kNetDevWideLayout, text, wide);
  FUZZ_CHECK(narrow.size() == wide.size(), text, "the wide cut has another number of lines");
  const std::size_t first = disks ? sys_reader::disk_counter::kSectorsRead : sys_reader::net_counter::kReceivedBytes;
  const std::size_t second =
      disks ? sys_reader::disk_counter::kSectorsWritten : sys_reader::net_counter::kTransmittedBytes;
  for (std::size_t i = 0; i < narrow.size() && i < wide.size(); ++i) {
    FUZZ_CHECK(narrow[i].name == wide[i].name && narrow[i].first == wide[i].counters[first] &&
                   narrow[i].second == wide[i].counters[second],
               text, "line " + std::to_string(i) + " differs in the wide cut");
  }
}

}  // namespace quillmere::fuzz
