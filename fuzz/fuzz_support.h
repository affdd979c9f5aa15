// Shared pieces of the fuzz targets: a check that stops the run with the
// offending input printed, and plain reference versions of the text
// primitives and number grammars that the targets compare the readers with.
//
// The references are written for obviousness, not speed: white space is found
// by comparing against the UTF-8 encodings of the listed code points, UTF-8 is
// checked by decoding code points, numbers are checked character class by
// character class and converted by a digit loop or by the C library.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <locale.h>  // newlocale, strtod_l, strtof_l
#include <stdlib.h>

#include "sys_reader/file_read.h"
#include "sys_reader/utf8.h"

namespace quillmere::fuzz {

// --- Failing a run -----------------------------------------------------------

inline std::string hex(std::string_view bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  for (const char c : bytes) {
    const auto b = static_cast<unsigned char>(c);
    out += kDigits[b >> 4];
    out += kDigits[b & 0xF];
  }
  return out;
}

// Prints what went wrong and the input (hex) and aborts, which libFuzzer
// reports as a crash and saves the input as an artifact.
[[noreturn]] inline void fail(const char* file, int line, const char* what, std::string_view input,
                              const std::string& detail) {
  std::fprintf(stderr, "\n%s:%d: check failed: %s\n  input (hex): %s\n", file, line, what, hex(input).c_str());
  if (!detail.empty()) std::fprintf(stderr, "  %s\n", detail.c_str());
  std::fflush(stderr);
  std::abort();
}

// FUZZ_CHECK(condition, input[, detail string])
#define FUZZ_CHECK(cond, input, ...)                                                         \
  do {                                                                                       \
    if (!(cond)) {                                                                           \
      ::quillmere::fuzz::fail(__FILE__, __LINE__, #cond, (input), std::string(__VA_ARGS__)); \
    }                                                                                        \
  } while (false)

inline std::string_view as_text(const std::uint8_t* data, std::size_t size) {
  return size == 0 ? std::string_view() : std::string_view(reinterpret_cast<const char*>(data), size);
}

// The input as the readers get it: read_text_file hands them valid UTF-8
// only, and the firmware tool's output is repaired with decode_utf8_lossy
// before it is parsed. Kept in a heap block of exactly its size, like
// libFuzzer's own buffer, so that ASan flags any read past its end.
class ReaderText {
 public:
  explicit ReaderText(std::string_view raw) {
    const std::string text = sys_reader::decode_utf8_lossy(raw);
    size_ = text.size();
    bytes_ = std::make_unique<char[]>(size_);
    std::memcpy(bytes_.get(), text.data(), size_);
  }
  std::string_view view() const { return {bytes_.get(), size_}; }

 private:
  std::unique_ptr<char[]> bytes_;
  std::size_t size_ = 0;
};

// True when `view` lies inside `buffer` (an empty view may sit at its end).
inline bool inside(std::string_view view, std::string_view buffer) {
  if (view.empty()) return true;
  return view.data() >= buffer.data() && view.data() + view.size() <= buffer.data() + buffer.size();
}

// `text` with every "\n" written as "\r\n". Line-based readers must give the
// same result for both: the line cutter drops that '\r', and where it stays
// (a line already ending in "\r\n") it is white space to the tokenizer.
inline std::string with_crlf(std::string_view text) {
  std::string out;
  for (const char c : text) {
    if (c == '\n') out += '\r';
    out += c;
  }
  return out;
}

// --- White space -------------------------------------------------------------

inline std::string encode_utf8(char32_t cp) {
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
inline const std::vector<std::string>& whitespace_encodings() {
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
inline std::size_t ref_whitespace_at(std::string_view text, std::size_t pos) {
  for (const std::string& ws : whitespace_encodings()) {
    if (text.substr(pos).starts_with(ws)) return ws.size();
  }
  return 0;
}

// Length of a white space character that `text` ends with, or 0.
inline std::size_t ref_whitespace_suffix(std::string_view text) {
  for (const std::string& ws : whitespace_encodings()) {
    if (text.ends_with(ws)) return ws.size();
  }
  return 0;
}

// True when no white space character starts anywhere in `text`.
inline bool has_no_whitespace(std::string_view text) {
  for (std::size_t pos = 0; pos < text.size(); ++pos) {
    if (ref_whitespace_at(text, pos) != 0) return false;
  }
  return true;
}

// Every byte not covered by a white space character belongs to a token.
inline std::vector<std::string_view> ref_tokens(std::string_view text) {
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

inline std::string_view ref_trim(std::string_view text) {
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

// --- UTF-8 -------------------------------------------------------------------

// Decodes the character at bytes[pos] from its code point: the length comes
// from the lead byte's high bits, and overlongs, surrogates and values above
// U+10FFFF are refused after decoding. Returns the length, or 0 if ill-formed.
inline std::size_t ref_utf8_char_length(std::string_view bytes, std::size_t pos) {
  const auto lead = static_cast<unsigned char>(bytes[pos]);
  std::size_t length;
  char32_t cp;
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
  static constexpr char32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
  if (cp < kSmallest[length] || (cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF) return 0;
  return length;
}

inline bool ref_is_valid_utf8(std::string_view bytes) {
  for (std::size_t pos = 0; pos < bytes.size();) {
    const std::size_t n = ref_utf8_char_length(bytes, pos);
    if (n == 0) return false;
    pos += n;
  }
  return true;
}

// True when `prefix` (shorter than a whole character) can be completed to a
// well-formed character. Padding with the smallest continuation byte is
// enough: the constraints past the second byte are never tighter than 80..BF.
inline bool ref_is_char_prefix(std::string_view prefix) {
  for (std::string padded(prefix); padded.size() < 4;) {
    padded += '\x80';
    if (ref_utf8_char_length(padded, 0) == padded.size()) return true;
  }
  return false;
}

// Copies valid characters; each maximal ill-formed subpart (the longest
// prefix of a character that cannot be completed, at least one byte) becomes
// U+FFFD.
inline std::string ref_decode_utf8_lossy(std::string_view bytes) {
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

// --- Number grammars ---------------------------------------------------------

inline bool is_dec(char c) { return c >= '0' && c <= '9'; }
inline bool is_hex(char c) { return is_dec(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

// Length of the run of characters of one class at the start of `text`.
template <typename Class>
std::size_t run_length(std::string_view text, Class in_class) {
  std::size_t n = 0;
  while (n < text.size() && in_class(text[n])) ++n;
  return n;
}

// [+] digit+ with the value checked against 2^64 - 1 digit by digit.
inline std::optional<std::uint64_t> ref_u64(std::string_view text) {
  if (text.starts_with('+')) text.remove_prefix(1);
  if (text.empty() || run_length(text, is_dec) != text.size()) return std::nullopt;
  std::uint64_t value = 0;
  for (const char c : text) {
    if (__builtin_mul_overflow(value, 10u, &value)) return std::nullopt;
    if (__builtin_add_overflow(value, static_cast<unsigned>(c - '0'), &value)) return std::nullopt;
  }
  return value;
}

// [+] hexdigit+ with the value checked against 2^32 - 1 digit by digit.
inline std::optional<std::uint32_t> ref_hex_u32(std::string_view text) {
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

// The most significant digits (leading zeros not counted) in any run of
// decimal digits in `text`: with at most 16, every number in it is below 10^16.
inline std::size_t max_significant_digits(std::string_view text) {
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

inline bool same_word_any_case(std::string_view text, std::string_view lower) {
  if (text.size() != lower.size()) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = (text[i] >= 'A' && text[i] <= 'Z') ? static_cast<char>(text[i] + ('a' - 'A')) : text[i];
    if (c != lower[i]) return false;
  }
  return true;
}

// [+-] then inf | infinity | nan (any case), or
// digits [. digits] with at least one digit, then optionally [eE] [+-] digit+.
inline bool ref_float_grammar(std::string_view text) {
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

inline locale_t c_locale() {
  static const locale_t locale = newlocale(LC_ALL_MASK, "C", locale_t{});
  return locale;
}

// The C library's conversion (correctly rounded in glibc) of text that
// passed ref_float_grammar. Returns nullopt if it did not consume all of it,
// which would mean the reference itself is wrong.
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

// Equal as the readers promise: NaN matches any NaN, zeros must agree in sign,
// everything else bit for bit.
template <typename Float>
bool same_float(Float a, Float b) {
  if (std::isnan(a) || std::isnan(b)) return std::isnan(a) && std::isnan(b);
  return std::memcmp(&a, &b, sizeof a) == 0;
}

inline std::string describe(double value) {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%a (%.17g)", value, value);
  return buffer;
}

}  // namespace quillmere::fuzz
