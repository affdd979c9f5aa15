// parse_device_lines on /proc/diskstats: device names are non-empty and blank-free, byte counts
// are whole 512-byte sectors, and "\r\n" line ends read like "\n".
#include <cstddef>
#include <cstdint>
#include <string>

#include "device_checks.h"

namespace qf = quillmere::fuzz;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // Any bytes at all must be safe to parse; the checks below are made on
  // the text the reader really gets.
  const std::string_view raw = qf::as_text(data, size);
  qf::parsed_devices(qf::DeviceFormat::kDiskstats, raw);
  const qf::ReaderText reader_text(raw);
  const std::string_view text = reader_text.view();
  const qf::DeviceMap disks = qf::parsed_devices(qf::DeviceFormat::kDiskstats, text);
  for (const auto& [name, bytes] : disks) {
    FUZZ_CHECK(bytes.in_bytes % 512 == 0 && bytes.out_bytes % 512 == 0, text, "device " + qf::hex(name));
  }
  qf::check_device_map(text, disks,
                       [](std::string_view t) { return qf::parsed_devices(qf::DeviceFormat::kDiskstats, t); });
  qf::check_wide_cut(qf::DeviceFormat::kDiskstats, raw);
  qf::check_wide_cut(qf::DeviceFormat::kDiskstats, text);
  return 0;
}
