// Text primitives shared by the readers: whole-file reading, UTF-8 checking,
// cutting text into lines, tokens and pieces, and the number grammars.
//
// Everything that cuts text works byte by byte on std::string_views into the
// caller's buffer and never allocates. The number parsers check their grammar
// first and only then convert, because the standard conversion routines accept
// forms (hex floats, "nan(...)", a leading '-' for unsigned) that we refuse.
#include "sys_reader/text.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstring>
#include <exception>
#include <limits>
#include <memory>
#include <span>
#include <system_error>
#include <vector>

#include "os/unique_fd.h"

namespace quillmere::sys_reader {
namespace {

constexpr unsigned char byte_at(std::string_view text, std::size_t pos) noexcept {
  return static_cast<unsigned char>(text[pos]);
}

// --- UTF-8 -------------------------------------------------------------------

// Length of the sequence that starts at bytes[pos] and whether it is a
// well-formed character. For an ill-formed sequence the length is that of its
// maximal ill-formed subpart: the longest prefix that could still have begun
// a well-formed character, or 1 when the first byte cannot begin one.
struct Utf8Step {
  std::size_t length;
  bool valid;
};

Utf8Step utf8_step(std::string_view bytes, std::size_t pos) noexcept {
  const unsigned char lead = byte_at(bytes, pos);
  if (lead < 0x80) return {1, true};

  // The allowed range of the second byte depends on the lead byte: this is
  // what rules out overlong forms (E0, F0), surrogates (ED) and code points
  // above U+10FFFF (F4). Later continuation bytes are always 80..BF.
  std::size_t continuation_count = 0;
  unsigned char second_min = 0x80;
  unsigned char second_max = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    continuation_count = 1;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    continuation_count = 2;
    if (lead == 0xE0) second_min = 0xA0;
    if (lead == 0xED) second_max = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    continuation_count = 3;
    if (lead == 0xF0) second_min = 0x90;
    if (lead == 0xF4) second_max = 0x8F;
  } else {
    return {1, false};  // 80..C1 and F5..FF never start a character
  }

  std::size_t length = 1;
  for (std::size_t i = 1; i <= continuation_count; ++i) {
    if (pos + i >= bytes.size()) return {length, false};
    const unsigned char b = byte_at(bytes, pos + i);
    const unsigned char lo = i == 1 ? second_min : static_cast<unsigned char>(0x80);
    const unsigned char hi = i == 1 ? second_max : static_cast<unsigned char>(0xBF);
    if (b < lo || b > hi) return {length, false};
    ++length;
  }
  return {length, true};
}

// Index of the first byte at or after `pos` that is not ASCII, checking eight
// bytes at a time: pseudo-files are almost entirely ASCII.
std::size_t skip_ascii(std::string_view bytes, std::size_t pos) noexcept {
  constexpr std::uint64_t kHighBits = 0x8080808080808080ULL;
  while (pos + 8 <= bytes.size()) {
    std::uint64_t word = 0;
    std::memcpy(&word, bytes.data() + pos, sizeof word);
    if ((word & kHighBits) != 0) break;
    pos += 8;
  }
  while (pos < bytes.size() && byte_at(bytes, pos) < 0x80) ++pos;
  return pos;
}

// --- White space -------------------------------------------------------------

// Length of a multibyte White_Space character starting at text[pos], else 0.
// Every such character begins with the lead byte C2, E1, E2 or E3, none of
// which can occur inside another character, so a byte-wise scan never
// mistakes the middle of a character for white space.
std::size_t multibyte_whitespace_length_at(std::string_view text, std::size_t pos) noexcept {
  const std::size_t left = text.size() - pos;
  const unsigned char b0 = byte_at(text, pos);
  if (b0 == 0xC2) {
    if (left < 2) return 0;
    const unsigned char b1 = byte_at(text, pos + 1);
    return (b1 == 0x85 || b1 == 0xA0) ? 2 : 0;  // U+0085, U+00A0
  }
  if (left < 3) return 0;
  const unsigned char b1 = byte_at(text, pos + 1);
  const unsigned char b2 = byte_at(text, pos + 2);
  switch (b0) {
    case 0xE1:  // U+1680
      return (b1 == 0x9A && b2 == 0x80) ? 3 : 0;
    case 0xE2:
      if (b1 == 0x80) {
        // U+2000..U+200A, U+2028, U+2029, U+202F
        return ((b2 >= 0x80 && b2 <= 0x8A) || b2 == 0xA8 || b2 == 0xA9 || b2 == 0xAF) ? 3 : 0;
      }
      return (b1 == 0x81 && b2 == 0x9F) ? 3 : 0;  // U+205F
    case 0xE3:  // U+3000
      return (b1 == 0x80 && b2 == 0x80) ? 3 : 0;
    default:
      return 0;
  }
}

// What one byte can start: the scanners look every byte up here, and only
// the four lead bytes of multibyte white space need a closer look.
enum ByteClass : unsigned char { kTokenByte = 0, kAsciiSpace, kMultibyteSpaceLead };

constexpr std::array<ByteClass, 256> kByteClasses = [] {
  std::array<ByteClass, 256> classes{};
  for (const std::size_t b : {0x09U, 0x0AU, 0x0BU, 0x0CU, 0x0DU, 0x20U}) classes[b] = kAsciiSpace;
  for (const std::size_t b : {0xC2U, 0xE1U, 0xE2U, 0xE3U}) classes[b] = kMultibyteSpaceLead;
  return classes;
}();

inline std::size_t whitespace_at(std::string_view text, std::size_t pos) noexcept {
  switch (kByteClasses[byte_at(text, pos)]) {
    case kTokenByte:
      return 0;
    case kAsciiSpace:
      return 1;
    case kMultibyteSpaceLead:
      break;
  }
  return multibyte_whitespace_length_at(text, pos);
}

// Length of the White_Space character that ends just before text[end], or 0.
std::size_t whitespace_length_before(std::string_view text, std::size_t end) noexcept {
  const unsigned char last = byte_at(text, end - 1);
  if (last < 0x80) return (last == 0x20 || (last >= 0x09 && last <= 0x0D)) ? 1 : 0;
  if (end >= 2 && whitespace_at(text, end - 2) == 2) return 2;
  if (end >= 3 && whitespace_at(text, end - 3) == 3) return 3;
  return 0;
}

std::size_t skip_whitespace(std::string_view text, std::size_t pos) noexcept {
  while (pos < text.size()) {
    const std::size_t n = whitespace_at(text, pos);
    if (n == 0) break;
    pos += n;
  }
  return pos;
}

std::size_t skip_token(std::string_view text, std::size_t pos) noexcept {
  while (pos < text.size() && whitespace_at(text, pos) == 0) ++pos;
  return pos;
}

// --- Numbers -----------------------------------------------------------------

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

// --- Reading -----------------------------------------------------------------

namespace {

// Reads into `buffer` until it is full or the file ends; the bytes read, or -1.
ssize_t fill(int fd, std::span<char> buffer) noexcept {
  std::size_t used = 0;
  while (used < buffer.size()) {
    const std::span<char> rest = buffer.subspan(used);
    const ssize_t n = os::read_retrying(fd, rest.data(), rest.size());
    if (n < 0) return -1;
    if (n == 0) break;
    used += static_cast<std::size_t>(n);
  }
  return static_cast<ssize_t>(used);
}

}  // namespace

std::optional<std::string> read_text_file(const char* path) {
  std::optional<std::string> content = read_whole_file(path);
  if (content && !is_valid_utf8(*content)) return std::nullopt;
  return content;
}

std::optional<std::string> read_whole_file(const char* path) {
  try {
    const os::UniqueFd fd = os::open_read_only(path);
    if (!fd) return std::nullopt;
    // The size that /proc and /sys report (0 or 4096) says nothing about the
    // content, so read until read() returns 0. Nearly every file fits the
    // first buffer, on the stack. A longer one is read in pieces and copied
    // once into a string of its exact size: growing one string by doubling
    // copies and zero-fills fresh memory over and over, and the page faults
    // on it cost about as much as parsing the text (one /proc/diskstats with
    // 10,000 devices is 1.5 MB).
    constexpr std::size_t kFirst = 4096;
    constexpr std::size_t kPiece = 65536;
    // Not zeroed: read() fills what is used of it.
    std::array<char, kFirst> first;  // NOLINT(cppcoreguidelines-pro-type-member-init)
    const ssize_t first_used = fill(fd.get(), first);
    if (first_used < 0) return std::nullopt;
    std::string content(first.data(), static_cast<std::size_t>(first_used));
    if (content.size() == kFirst) {
      // Uninitialised pieces, which read() fills.
      std::vector<std::unique_ptr<char[]>> pieces;  // NOLINT(*-avoid-c-arrays)
      std::vector<std::size_t> sizes;
      std::size_t total = content.size();
      for (;;) {
        pieces.push_back(std::make_unique_for_overwrite<char[]>(kPiece));  // NOLINT(*-avoid-c-arrays)
        const ssize_t used = fill(fd.get(), std::span<char>(pieces.back().get(), kPiece));
        if (used < 0) return std::nullopt;
        sizes.push_back(static_cast<std::size_t>(used));
        total += sizes.back();
        if (sizes.back() < kPiece) break;
      }
      content.reserve(total);
      for (std::size_t i = 0; i < pieces.size(); ++i) content.append(pieces[i].get(), sizes[i]);
    }
    return content;
  } catch (const std::exception&) {
    // Out of memory: treated like any other file we could not read.
    return std::nullopt;
  }
}

bool is_valid_utf8(std::string_view bytes) noexcept {
  std::size_t pos = 0;
  for (;;) {
    pos = skip_ascii(bytes, pos);
    if (pos == bytes.size()) return true;
    const Utf8Step step = utf8_step(bytes, pos);
    if (!step.valid) return false;
    pos += step.length;
  }
}

std::string decode_utf8_lossy(std::string_view bytes) {
  constexpr std::string_view kReplacement = "\xEF\xBF\xBD";  // U+FFFD
  std::string out;
  out.reserve(bytes.size());
  std::size_t pos = 0;
  while (pos < bytes.size()) {
    const std::size_t ascii_end = skip_ascii(bytes, pos);
    out.append(bytes.substr(pos, ascii_end - pos));
    pos = ascii_end;
    if (pos == bytes.size()) break;
    const Utf8Step step = utf8_step(bytes, pos);
    if (step.valid) {
      out.append(bytes.substr(pos, step.length));
    } else {
      out.append(kReplacement);
    }
    pos += step.length;
  }
  return out;
}

// --- Cutting -----------------------------------------------------------------

std::optional<std::string_view> LineReader::next() noexcept {
  if (rest_.empty()) return std::nullopt;  // an empty final piece is not a line
  const std::size_t newline = rest_.find('\n');
  if (newline == std::string_view::npos) {
    // Last line without '\n': returned as is, a trailing '\r' included.
    const std::string_view line = rest_;
    rest_ = {};
    return line;
  }
  std::string_view line = rest_.substr(0, newline);
  rest_.remove_prefix(newline + 1);
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  return line;
}

std::optional<std::string_view> TokenReader::next() noexcept {
  const std::size_t start = skip_whitespace(rest_, 0);
  if (start == rest_.size()) {
    rest_ = {};
    return std::nullopt;
  }
  const std::size_t end = skip_token(rest_, start);
  const std::string_view token = rest_.substr(start, end - start);
  rest_.remove_prefix(end);
  return token;
}

std::optional<std::string_view> SplitReader::next() noexcept {
  if (done_) return std::nullopt;
  const std::size_t at = rest_.find(sep_);
  if (at == std::string_view::npos) {
    done_ = true;
    return rest_;
  }
  const std::string_view piece = rest_.substr(0, at);
  rest_.remove_prefix(at + 1);
  return piece;
}

std::size_t whitespace_tokens(std::string_view text, std::span<std::string_view> out) noexcept {
  TokenReader reader(text);
  std::size_t count = 0;
  while (const auto token = reader.next()) {
    if (count < out.size()) out[count] = *token;
    ++count;
  }
  return count;
}

// Walks the text directly rather than through TokenReader: the optional that
// next() hands back goes through memory and stalls each token on a store
// forward, which was most of the time spent on a line of /proc/diskstats.
std::size_t first_whitespace_tokens(std::string_view text, std::span<std::string_view> out) noexcept {
  std::size_t count = 0;
  for (std::size_t pos = skip_whitespace(text, 0); count < out.size() && pos < text.size();
       pos = skip_whitespace(text, pos)) {
    const std::size_t end = skip_token(text, pos);
    out[count++] = std::string_view(text.data() + pos, end - pos);
    pos = end;
  }
  return count;
}

std::size_t line_count_upper_bound(std::string_view text) noexcept {
  // find() is memchr underneath, which the C library vectorises; a plain
  // counting loop is several times slower at -O2 and -O3 alike with GCC and
  // Clang.
  std::size_t count = 1;
  for (std::size_t at = text.find('\n'); at != std::string_view::npos; at = text.find('\n', at + 1)) ++count;
  return count;
}

std::string_view trim_whitespace(std::string_view text) noexcept {
  text.remove_prefix(skip_whitespace(text, 0));
  while (!text.empty()) {
    const std::size_t n = whitespace_length_before(text, text.size());
    if (n == 0) break;
    text.remove_suffix(n);
  }
  return text;
}

// --- Numbers -----------------------------------------------------------------

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

std::uint64_t parse_u64_or_zero(std::optional<std::string_view> token) noexcept {
  return token ? parse_u64(*token).value_or(0) : 0;
}

float parse_f32_or_zero(std::optional<std::string_view> token) noexcept {
  return token ? parse_f32(*token).value_or(0.0f) : 0.0f;
}

double parse_f64_or_zero(std::optional<std::string_view> token) noexcept {
  return token ? parse_f64(*token).value_or(0.0) : 0.0;
}

}  // namespace quillmere::sys_reader
