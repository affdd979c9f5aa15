// Checks shared by the two per-device readers.
#pragma once

#include <string>
#include <string_view>

#include "device_reference.h"
#include "fuzz_support.h"
#include "sys_reader/device_lines.h"

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

}  // namespace quillmere::fuzz
