// parse_hex_u32 against a reference: the same acceptance and the same value
// for every input.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz_support.h"
#include "sys_reader/numbers.h"

namespace qf = quillmere::fuzz;
namespace sr = quillmere::sys_reader;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input = qf::as_text(data, size);
  const std::optional<std::uint32_t> got = sr::parse_hex_u32(input);
  const std::optional<std::uint32_t> want = qf::ref_hex_u32(input);
  FUZZ_CHECK(got.has_value() == want.has_value(), input,
             "parse_hex_u32 " + std::string(got ? "accepted" : "refused") + " it");
  if (got) FUZZ_CHECK(*got == *want, input, "got " + std::to_string(*got) + ", want " + std::to_string(*want));
  return 0;
}
