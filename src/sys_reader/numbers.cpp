// The number grammars: each is checked byte by byte first and only then
// converted, because the standard conversion routines accept forms (hex
// floats, "nan(...)", a leading '-' for unsigned) that we refuse.
#include "sys_reader/numbers.h"

#include <algorithm>
#include <charconv>
#include <limits>
#include <system_error>

namespace quillmere::sys_reader {
namespace {

constexpr bool is_digit(char c) noexcept { return c >= '0' && c <= '9'; }

constexpr char ascii_lower(char c) noexcept {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool equals_ignoring_case(std::string_view text, std::string_view lower_word) noexcept {
  if (text.size() != lower_word.size()) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (ascii_lower(text[i]) != lower_word[i]) return false;
  }
  return true;
}

// The shape of an unsigned decimal number that passed the grammar check:
// enough to tell overflow from underflow when the conversion reports that
// the value is out of range.
struct DecimalShape {
  bool valid = false;
  // Decimal exponent of the first non-zero digit (d.ddd x 10^exponent), or
  // nothing meaningful when every digit is zero. Saturates far beyond any
  // exponent a float format can reach.
  std::int64_t leading_exponent = 0;
};

constexpr std::int64_t kExponentLimit = std::int64_t{1} << 52;

constexpr std::int64_t saturate(std::int64_t value) noexcept {
  return std::clamp(value, -kExponentLimit, kExponentLimit);
}

// digits [. digits] [(e|E) [+|-] digits], at least one mantissa digit.
DecimalShape check_decimal(std::string_view text) noexcept {
  DecimalShape shape;
  std::size_t pos = 0;
  std::size_t integer_digits = 0;
  std::size_t significant_integer_digits = 0;  // from the first non-zero one
  while (pos < text.size() && is_digit(text[pos])) {
    if (significant_integer_digits > 0 || text[pos] != '0') ++significant_integer_digits;
    ++integer_digits;
    ++pos;
  }
  std::size_t fraction_digits = 0;
  std::size_t fraction_leading_zeros = 0;
  bool fraction_nonzero = false;
  if (pos < text.size() && text[pos] == '.') {
    ++pos;
    while (pos < text.size() && is_digit(text[pos])) {
      if (!fraction_nonzero) {
        if (text[pos] == '0') {
          ++fraction_leading_zeros;
        } else {
          fraction_nonzero = true;
        }
      }
      ++fraction_digits;
      ++pos;
    }
  }
  if (integer_digits + fraction_digits == 0) return shape;

  std::int64_t exponent = 0;
  if (pos < text.size() && (text[pos] == 'e' || text[pos] == 'E')) {
    ++pos;
    bool negative = false;
    if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) {
      negative = text[pos] == '-';
      ++pos;
    }
    if (pos == text.size() || !is_digit(text[pos])) return shape;
    while (pos < text.size() && is_digit(text[pos])) {
      exponent = saturate(exponent * 10 + (text[pos] - '0'));
      ++pos;
    }
    if (negative) exponent = -exponent;
  }
  if (pos != text.size()) return shape;

  shape.valid = true;
  // Text lengths stay far below kExponentLimit, so these sums cannot overflow.
  if (significant_integer_digits > 0) {
    shape.leading_exponent =
        saturate(exponent + static_cast<std::int64_t>(significant_integer_digits) - 1);
  } else {
    shape.leading_exponent =
        saturate(exponent - static_cast<std::int64_t>(fraction_leading_zeros) - 1);
  }
  return shape;
}

template <typename Float>
std::optional<Float> parse_float(std::string_view token) noexcept {
  bool negative = false;
  if (!token.empty() && (token[0] == '+' || token[0] == '-')) {
    negative = token[0] == '-';
    token.remove_prefix(1);
  }
  const auto with_sign = [negative](Float value) { return negative ? -value : value; };

  if (equals_ignoring_case(token, "inf") || equals_ignoring_case(token, "infinity")) {
    return with_sign(std::numeric_limits<Float>::infinity());
  }
  if (equals_ignoring_case(token, "nan")) {
    return with_sign(std::numeric_limits<Float>::quiet_NaN());
  }

  const DecimalShape shape = check_decimal(token);
  if (!shape.valid) return std::nullopt;

  // The sign was taken off above (from_chars refuses a leading '+'); negating
  // afterwards is exact because round-to-nearest is symmetric. The conversion
  // is done directly in the target width: going through double first would
  // round twice.
  Float value{};
  const char* end = token.data() + token.size();
  const auto [ptr, ec] = std::from_chars(token.data(), end, value, std::chars_format::general);
  if (ec == std::errc::result_out_of_range) {
    // The value is left untouched in this case; only the magnitude of the
    // number tells which way it fell out.
    value = shape.leading_exponent >= 0 ? std::numeric_limits<Float>::infinity() : Float{0};
  } else if (ec != std::errc{} || ptr != end) {
    return std::nullopt;
  }
  return with_sign(value);
}

}  // namespace

std::optional<std::uint64_t> parse_u64(std::string_view token) noexcept {
  if (!token.empty() && token[0] == '+') token.remove_prefix(1);
  if (token.empty()) return std::nullopt;
  constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
  std::uint64_t value = 0;
  for (const char c : token) {
    if (!is_digit(c)) return std::nullopt;
    const auto digit = static_cast<std::uint64_t>(c - '0');
    // Leading zeros keep value at 0 and so never trip this check.
    if (value > (kMax - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
  }
  return value;
}

std::optional<std::uint32_t> parse_hex_u32(std::string_view token) noexcept {
  if (!token.empty() && token[0] == '+') token.remove_prefix(1);
  if (token.empty()) return std::nullopt;
  std::uint64_t value = 0;
  for (const char c : token) {
    std::uint64_t digit = 0;
    if (is_digit(c)) {
      digit = static_cast<std::uint64_t>(c - '0');
    } else if (ascii_lower(c) >= 'a' && ascii_lower(c) <= 'f') {
      digit = static_cast<std::uint64_t>(ascii_lower(c) - 'a') + 10;
    } else {
      return std::nullopt;
    }
    value = value * 16 + digit;
    if (value > std::numeric_limits<std::uint32_t>::max()) return std::nullopt;
  }
  return static_cast<std::uint32_t>(value);
}

std::optional<float> parse_f32(std::string_view token) noexcept { return parse_float<float>(token); }

std::optional<double> parse_f64(std::string_view token) noexcept { return parse_float<double>(token); }

float parse_f32_or_zero(std::optional<std::string_view> token) noexcept {
  return token ? parse_f32(*token).value_or(0.0f) : 0.0f;
}

double parse_f64_or_zero(std::optional<std::string_view> token) noexcept {
  return token ? parse_f64(*token).value_or(0.0) : 0.0;
}

}  // namespace quillmere::sys_reader
