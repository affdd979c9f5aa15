// The shared pieces of the fuzz targets; see fuzz_support.h.
#include "fuzz_support.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <locale.h>  // newlocale, strtod_l, strtof_l
#include <stdlib.h>

#include "sys_reader/utf8.h"

namespace quillmere::fuzz {
namespace {

std::string encode_utf8(char32_t cp) {
  std::string out;
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
  return out;
}

// The encodings of the Unicode White_Space characters the readers split on.
const std::vector<std::string>& whitespace_encodings() {
  static const std::vector<std::string> encodings = [] {
    std::vector<char32_t> points = {0x20, 0x85, 0xA0, 0x1680, 0x2028, 0x2029, 0x202F, 0x205F, 0x3000};
    for (char32_t cp = 0x09; cp <= 0x0D; ++cp) points.push_back(cp);
    for (char32_t cp = 0x2000; cp <= 0x200A; ++cp) points.push_back(cp);
    std::vector<std::string> out;
    for (const char32_t cp : points) out.push_back(encode_utf8(cp));
    return out;
  }();
  return encodings;
}

// Length of the white space character that starts at text[pos], or 0.
std::size_t ref_whitespace_at(std::string_view text, std::size_t pos) {
  for (const std::string& ws : whitespace_encodings()) {
    if (text.substr(pos).starts_with(ws)) return ws.size();
  }
  return 0;
}

// Length of a white space character that `text` ends with, or 0.
std::size_t ref_whitespace_suffix(std::string_view text) {
  for (const std::string& ws : whitespace_encodings()) {
    if (text.ends_with(ws)) return ws.size();
  }
  return 0;
}

// Decodes the character at bytes[pos] from its code point: the length comes
// from the lead byte's high bits, and overlongs, surrogates and values above
// U+10FFFF are refused after decoding. Returns the length, or 0 if ill-formed.
std::size_t ref_utf8_char_length(std::string_view bytes, std::size_t pos) {
  const auto lead = static_cast<unsigned char>(bytes[pos]);
  std::size_t length = 0;
  char32_t cp = 0;
  if (lead < 0x80) return 1;
  if ((lead & 0xE0) == 0xC0) {
    length = 2;
    cp = lead & 0x1Fu;
  } else if ((lead & 0xF0) == 0xE0) {
    length = 3;
    cp = lead & 0x0Fu;
  } else if ((lead & 0xF8) == 0xF0) {
    length = 4;
    cp = lead & 0x07u;
  } else {
    return 0;
  }
  if (bytes.size() - pos < length) return 0;
  for (std::size_t i = 1; i < length; ++i) {
    const auto b = static_cast<unsigned char>(bytes[pos + i]);
    if ((b & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (b & 0x3Fu);
  }
  static constexpr std::array<char32_t, 5> kSmallest = {0, 0, 0x80, 0x800, 0x10000};
  if (cp < kSmallest[length] || (cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF) return 0;
  return length;
}

// True when `prefix` (shorter than a whole character) can be completed to a
// well-formed character. Padding with the smallest continuation byte is
// enough: the constraints past the second byte are never tighter than 80..BF.
bool ref_is_char_prefix(std::string_view prefix) {
  for (std::string padded(prefix); padded.size() < 4;) {
    padded += '\x80';
    if (ref_utf8_char_length(padded, 0) == padded.size()) return true;
  }
  return false;
}

bool is_dec(char c) { return c >= '0' && c <= '9'; }
bool is_hex(char c) { return is_dec(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

// Length of the run of characters of one class at the start of `text`.
template <typename Class>
std::size_t run_length(std::string_view text, Class in_class) {
  std::size_t n = 0;
  while (n < text.size() && in_class(text[n])) ++n;
  return n;
}

bool same_word_any_case(std::string_view text, std::string_view lower) {
  if (text.size() != lower.size()) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = (text[i] >= 'A' && text[i] <= 'Z') ? static_cast<char>(text[i] + ('a' - 'A')) : text[i];
    if (c != lower[i]) return false;
  }
  return true;
}

locale_t c_locale() {
  static const locale_t locale = newlocale(LC_ALL_MASK, "C", locale_t{});
  return locale;
}

}  // namespace

std::string hex(std::string_view bytes) {
  static constexpr std::string_view kDigits = "0123456789abcdef";
  std::string out;
  for (const char c : bytes) {
    const auto b = static_cast<unsigned char>(c);
    out += kDigits[b >> 4];
    out += kDigits[b & 0xF];
  }
  return out;
}

void fail(const char* file, int line, const char* what, std::string_view input, const std::string& detail) {
  std::fprintf(stderr, "\n%s:%d: check failed: %s\n  input (hex): %s\n", file, line, what, hex(input).c_str());
  if (!detail.empty()) std::fprintf(stderr, "  %s\n", detail.c_str());
  std::fflush(stderr);
  std::abort();
}

std::string_view as_text(const std::uint8_t* data, std::size_t size) {
  return size == 0 ? std::string_view() : std::string_view(reinterpret_cast<const char*>(data), size);
}

ReaderText::ReaderText(std::string_view raw) {
  const std::string text = sys_reader::decode_utf8_lossy(raw);
  size_ = text.size();
  bytes_ = std::make_unique<char[]>(size_);
  std::memcpy(bytes_.get(), text.data(), size_);
}

bool inside(std::string_view view, std::string_view buffer) {
  if (view.empty()) return true;
  return view.data() >= buffer.data() && view.data() + view.size() <= buffer.data() + buffer.size();
}

std::string with_crlf(std::string_view text) {
  std::string out;
  for (const char c : text) {
    if (c == '\n') out += '\r';
    out += c;
  }
  return out;
}

bool has_no_whitespace(std::string_view text) {
  for (std::size_t pos = 0; pos < text.size(); ++pos) {
    if (ref_whitespace_at(text, pos) != 0) return false;
  }
  return true;
}

std::vector<std::string_view> ref_tokens(std::string_view text) {
  std::vector<std::string_view> tokens;
  std::size_t pos = 0;
  std::size_t start = std::string_view::npos;
  while (pos < text.size()) {
    const std::size_t ws = ref_whitespace_at(text, pos);
    if (ws == 0) {
      if (start == std::string_view::npos) start = pos;
      ++pos;
      continue;
    }
    if (start != std::string_view::npos) tokens.push_back(text.substr(start, pos - start));
    start = std::string_view::npos;
    pos += ws;
  }
  if (start != std::string_view::npos) tokens.push_back(text.substr(start));
  return tokens;
}

std::string_view ref_trim(std::string_view text) {
  while (!text.empty()) {
    const std::size_t n = ref_whitespace_at(text, 0);
    if (n == 0) break;
    text.remove_prefix(n);
  }
  while (!text.empty()) {
    const std::size_t n = ref_whitespace_suffix(text);
    if (n == 0) break;
    text.remove_suffix(n);
  }
  return text;
}

bool ref_is_valid_utf8(std::string_view bytes) {
  for (std::size_t pos = 0; pos < bytes.size();) {
    const std::size_t n = ref_utf8_char_length(bytes, pos);
    if (n == 0) return false;
    pos += n;
  }
  return true;
}

std::string ref_decode_utf8_lossy(std::string_view bytes) {
  std::string out;
  for (std::size_t pos = 0; pos < bytes.size();) {
    if (const std::size_t n = ref_utf8_char_length(bytes, pos); n != 0) {
      out.append(bytes.substr(pos, n));
      pos += n;
      continue;
    }
    std::size_t bad = 1;
    for (std::size_t k = 1; k <= 3 && pos + k <= bytes.size(); ++k) {
      if (ref_is_char_prefix(bytes.substr(pos, k))) bad = k;
    }
    out.append("\xEF\xBF\xBD");
    pos += bad;
  }
  return out;
}

std::optional<std::uint64_t> ref_u64(std::string_view text) {
  if (text.starts_with('+')) text.remove_prefix(1);
  if (text.empty() || run_length(text, is_dec) != text.size()) return std::nullopt;
  std::uint64_t value = 0;
  for (const char c : text) {
    if (__builtin_mul_overflow(value, 10u, &value)) return std::nullopt;
    if (__builtin_add_overflow(value, static_cast<unsigned>(c - '0'), &value)) return std::nullopt;
  }
  return value;
}

std::optional<std::uint32_t> ref_hex_u32(std::string_view text) {
  if (text.starts_with('+')) text.remove_prefix(1);
  if (text.empty() || run_length(text, is_hex) != text.size()) return std::nullopt;
  std::uint32_t value = 0;
  for (const char c : text) {
    const unsigned digit = is_dec(c) ? static_cast<unsigned>(c - '0')
                                     : static_cast<unsigned>((c | 0x20) - 'a' + 10);
    if (__builtin_mul_overflow(value, 16u, &value)) return std::nullopt;
    if (__builtin_add_overflow(value, digit, &value)) return std::nullopt;
  }
  return value;
}

std::size_t max_significant_digits(std::string_view text) {
  std::size_t most = 0;
  while (!text.empty()) {
    const std::size_t run = run_length(text, is_dec);
    if (run == 0) {
      text.remove_prefix(1);
      continue;
    }
    const std::string_view digits = text.substr(0, run);
    const std::size_t zeros = run_length(digits, [](char c) { return c == '0'; });
    most = std::max(most, run - zeros);
    text.remove_prefix(run);
  }
  return most;
}

bool ref_float_grammar(std::string_view text) {
  if (text.starts_with('+') || text.starts_with('-')) text.remove_prefix(1);
  if (same_word_any_case(text, "inf") || same_word_any_case(text, "infinity") || same_word_any_case(text, "nan")) {
    return true;
  }
  const std::size_t whole = run_length(text, is_dec);
  text.remove_prefix(whole);
  std::size_t fraction = 0;
  if (text.starts_with('.')) {
    text.remove_prefix(1);
    fraction = run_length(text, is_dec);
    text.remove_prefix(fraction);
  }
  if (whole + fraction == 0) return false;
  if (text.starts_with('e') || text.starts_with('E')) {
    text.remove_prefix(1);
    if (text.starts_with('+') || text.starts_with('-')) text.remove_prefix(1);
    const std::size_t exponent = run_length(text, is_dec);
    if (exponent == 0) return false;
    text.remove_prefix(exponent);
  }
  return text.empty();
}

template <typename Float>
std::optional<Float> ref_float(std::string_view text) {
  const std::string copy(text);
  char* end = nullptr;
  Float value;
  if constexpr (sizeof(Float) == sizeof(float)) {
    value = strtof_l(copy.c_str(), &end, c_locale());
  } else {
    value = strtod_l(copy.c_str(), &end, c_locale());
  }
  if (end != copy.c_str() + copy.size()) return std::nullopt;
  return value;
}

template <typename Float>
bool same_float(Float a, Float b) {
  if (std::isnan(a) || std::isnan(b)) return std::isnan(a) && std::isnan(b);
  return std::memcmp(&a, &b, sizeof a) == 0;
}

template std::optional<float> ref_float<float>(std::string_view);
template std::optional<double> ref_float<double>(std::string_view);
template bool same_float<float>(float, float);
template bool same_float<double>(double, double);

std::string describe(double value) {
  std::array<char, 64> buffer{};
  std::snprintf(buffer.data(), buffer.size(), "%a (%.17g)", value, value);
  return buffer.data();
}

}  // namespace quillmere::fuzz
