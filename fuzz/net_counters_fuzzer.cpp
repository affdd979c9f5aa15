// parse_device_lines on /proc/net/dev: interface names are blank-free and without the
// trailing ':' (a name token of colons alone leaves an empty name, which
// counts like any other), the two header lines never yield an interface, and
// "\r\n" line ends read like "\n".
#include <cstddef>
#include <cstdint>
#include <string>

#include "device_checks.h"

namespace qf = quillmere::fuzz;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // Any bytes at all must be safe to parse; the checks below are made on
  // the text the reader really gets.
  const std::string_view raw = qf::as_text(data, size);
  qf::parsed_devices(qf::DeviceFormat::kNetDev, raw);
  const qf::ReaderText reader_text(raw);
  const std::string_view text = reader_text.view();
  const qf::DeviceMap interfaces = qf::parsed_devices(qf::DeviceFormat::kNetDev, text);
  for (const auto& [name, bytes] : interfaces) {
    FUZZ_CHECK(!name.ends_with(':'), text, "interface " + qf::hex(name));
  }
  std::size_t newlines = 0;
  for (const char c : text) newlines += c == '\n' ? 1 : 0;
  // Lines: newlines + 1 at most, of which two are headers.
  FUZZ_CHECK(interfaces.size() + 1 <= newlines || interfaces.empty(), text,
             std::to_string(interfaces.size()) + " interfaces");
  qf::check_device_map(
      text, interfaces, [](std::string_view t) { return qf::parsed_devices(qf::DeviceFormat::kNetDev, t); }, true);
  qf::check_wide_cut(qf::DeviceFormat::kNetDev, raw);
  qf::check_wide_cut(qf::DeviceFormat::kNetDev, text);
  return 0;
}
