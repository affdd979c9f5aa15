// parse_f32 and parse_f64 against the reference grammar and the C library's
// correctly rounded conversion: the same acceptance, and the same value bit
// for bit (any NaN matches any NaN; the sign of zero counts). The *_or_zero
// forms must agree with value_or(0). Decimals at and just above the midpoints
// between neighbouring values, built from the input's first bytes, go through
// the same comparison.
#include <cstddef>
#include <cstdint>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <type_traits>

#include "fuzz_support.h"
#include "sys_reader/numbers.h"

namespace qf = quillmere::fuzz;
namespace sr = quillmere::sys_reader;

namespace {

template <typename Float>
void check(std::string_view input, std::optional<Float> got, bool accepted, const char* name) {
  FUZZ_CHECK(got.has_value() == accepted, input,
             std::string(name) + (got ? " accepted" : " refused") + " it");
  if (!got) return;
  const std::optional<Float> want = qf::ref_float<Float>(input);
  FUZZ_CHECK(want.has_value(), input, "the C library did not consume the whole token");
  FUZZ_CHECK(qf::same_float(*got, *want), input,
             std::string(name) + ": got " + qf::describe(*got) + ", want " + qf::describe(*want));
}

// The hardest inputs for correct rounding are decimals at or just above the
// exact midpoint between two neighbouring values. The first bytes of the input
// pick a value; its midpoint with the next value up is printed exactly (a
// float midpoint fits a double and a double midpoint a long double, and glibc
// prints every digit), and once more with a 1 appended to its digits.
template <typename Float, typename Wider>
void check_midpoints(std::string_view input, const char* format, const char* name) {
  if (input.size() < sizeof(Float)) return;
  Float value;
  std::memcpy(&value, input.data(), sizeof value);
  const Float next = std::nextafter(value, std::numeric_limits<Float>::infinity());
  if (!std::isfinite(value) || !std::isfinite(next)) return;
  const Wider midpoint = (static_cast<Wider>(value) + static_cast<Wider>(next)) / 2;
  char exact[1024];
  const int length = std::snprintf(exact, sizeof exact, format, midpoint);
  if (length <= 0 || static_cast<std::size_t>(length) >= sizeof exact) return;
  const std::string halfway(exact, static_cast<std::size_t>(length));
  std::string above = halfway;
  above.insert(above.find('e'), "1");
  for (const std::string& text : {halfway, above}) {
    if constexpr (std::is_same_v<Float, float>) {
      check(text, sr::parse_f32(text), true, name);
    } else {
      check(text, sr::parse_f64(text), true, name);
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input = qf::as_text(data, size);
  const bool accepted = qf::ref_float_grammar(input);

  const std::optional<float> f32 = sr::parse_f32(input);
  check(input, f32, accepted, "parse_f32");
  FUZZ_CHECK(qf::same_float(sr::parse_f32_or_zero(input), f32.value_or(0.0f)), input);

  const std::optional<double> f64 = sr::parse_f64(input);
  check(input, f64, accepted, "parse_f64");
  FUZZ_CHECK(qf::same_float(sr::parse_f64_or_zero(input), f64.value_or(0.0)), input);

  check_midpoints<float, double>(input, "%.160e", "parse_f32");
  check_midpoints<double, long double>(input, "%.800Le", "parse_f64");
  return 0;
}
