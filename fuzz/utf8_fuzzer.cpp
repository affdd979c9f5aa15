// is_valid_utf8 and decode_utf8_lossy against a decoder that works on code
// points: the same verdict, the same repaired text (one U+FFFD per maximal
// ill-formed subpart), a repaired text that is always valid, and valid input
// coming back unchanged.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz_support.h"
#include "sys_reader/utf8.h"

namespace qf = quillmere::fuzz;
namespace sr = quillmere::sys_reader;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input = qf::as_text(data, size);
  const bool valid = sr::is_valid_utf8(input);
  FUZZ_CHECK(valid == qf::ref_is_valid_utf8(input), input, valid ? "accepted" : "refused");

  const std::string decoded = sr::decode_utf8_lossy(input);
  FUZZ_CHECK(sr::is_valid_utf8(decoded), input, "output " + qf::hex(decoded));
  FUZZ_CHECK(qf::ref_is_valid_utf8(decoded), input, "output " + qf::hex(decoded));
  if (valid) FUZZ_CHECK(decoded == input, input, "output " + qf::hex(decoded));
  const std::string want = qf::ref_decode_utf8_lossy(input);
  FUZZ_CHECK(decoded == want, input, "output " + qf::hex(decoded) + ", want " + qf::hex(want));
  return 0;
}
