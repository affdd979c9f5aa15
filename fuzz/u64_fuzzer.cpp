// parse_u64 against a reference: the same acceptance and the same value for
// every input.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz_support.h"
#include "sys_reader/numbers.h"

namespace qf = quillmere::fuzz;
namespace sr = quillmere::sys_reader;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input = qf::as_text(data, size);
  const std::optional<std::uint64_t> got = sr::parse_u64(input);
  const std::optional<std::uint64_t> want = qf::ref_u64(input);
  FUZZ_CHECK(got.has_value() == want.has_value(), input,
             "parse_u64 " + std::string(got ? "accepted" : "refused") + " it");
  if (got) FUZZ_CHECK(*got == *want, input, "got " + std::to_string(*got) + ", want " + std::to_string(*want));
  return 0;
}
