// parse_throttled and parse_arm_clock, both on every input, against the
// reference trim and number grammars: the hex word after the first "0x", and
// the decimal after the first '=', each trimmed to the end of the output; 0
// when there is no marker or the rest is malformed.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz_support.h"
#include "sys_reader/sources/vcgencmd.h"

namespace qf = quillmere::fuzz;
namespace sr = quillmere::sys_reader;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // The tool's output is repaired with decode_utf8_lossy before it is parsed;
  // raw bytes are parsed too, for the sanitizers only.
  const std::string_view raw = qf::as_text(data, size);
  sr::parse_throttled(raw);
  sr::parse_arm_clock(raw);
  const qf::ReaderText decoded(raw);
  const std::string_view output = decoded.view();

  const std::size_t hex_marker = output.find("0x");
  const std::uint32_t throttled =
      hex_marker == std::string_view::npos
          ? 0
          : qf::ref_hex_u32(qf::ref_trim(output.substr(hex_marker + 2))).value_or(0);
  const std::uint32_t got_throttled = sr::parse_throttled(output).value_or(0);
  FUZZ_CHECK(got_throttled == throttled, output,
             "parse_throttled gave " + std::to_string(got_throttled) + ", want " +
                 std::to_string(throttled));

  const std::size_t equals = output.find('=');
  const std::uint64_t clock =
      equals == std::string_view::npos ? 0 : qf::ref_u64(qf::ref_trim(output.substr(equals + 1))).value_or(0);
  const std::uint64_t got_clock = sr::parse_arm_clock(output).value_or(0);
  FUZZ_CHECK(got_clock == clock, output,
             "parse_arm_clock gave " + std::to_string(got_clock) + ", want " + std::to_string(clock));
  return 0;
}
