// Unicode white space, found byte by byte in UTF-8 text.
//
// The set is every White_Space character: U+0009 to U+000D, U+0020, U+0085,
// U+00A0, U+1680, U+2000 to U+200A, U+2028, U+2029, U+202F, U+205F and
// U+3000. Promises: the scans never read outside the view and need no valid
// UTF-8: every multibyte white space character begins with the lead byte C2,
// E1, E2 or E3, none of which can occur inside another character, so a scan
// never takes the middle of a character for white space, and a truncated or
// ill-formed sequence is simply not white space.
#pragma once

#include <array>
#include <cstddef>
#include <string_view>

namespace quillmere::sys_reader {
namespace unicode_space_detail {

// What one byte can start: the scans look every byte up here, and only the
// four lead bytes of multibyte white space need a closer look.
enum ByteClass : unsigned char { kTokenByte = 0, kAsciiSpace, kMultibyteSpaceLead };

inline constexpr std::array<ByteClass, 256> kByteClasses = [] {
  std::array<ByteClass, 256> classes{};
  for (const std::size_t b : {0x09U, 0x0AU, 0x0BU, 0x0CU, 0x0DU, 0x20U}) classes[b] = kAsciiSpace;
  for (const std::size_t b : {0xC2U, 0xE1U, 0xE2U, 0xE3U}) classes[b] = kMultibyteSpaceLead;
  return classes;
}();

// Length of a multibyte white space character starting at text[pos], else 0.
std::size_t multibyte_whitespace_length_at(std::string_view text, std::size_t pos) noexcept;

}  // namespace unicode_space_detail

// Length of the white space character that starts at text[pos] (pos <
// text.size()), or 0 when none does. Inline: the tokenizers call it for
// every byte they pass.
inline std::size_t whitespace_length_at(std::string_view text, std::size_t pos) noexcept {
  namespace detail = unicode_space_detail;
  switch (detail::kByteClasses[static_cast<unsigned char>(text[pos])]) {
    case detail::kTokenByte:
      return 0;
    case detail::kAsciiSpace:
      return 1;
    case detail::kMultibyteSpaceLead:
      break;
  }
  return detail::multibyte_whitespace_length_at(text, pos);
}

// The first position at or after `pos` that does not begin white space.
inline std::size_t skip_whitespace(std::string_view text, std::size_t pos) noexcept {
  while (pos < text.size()) {
    const std::size_t n = whitespace_length_at(text, pos);
    if (n == 0) break;
    pos += n;
  }
  return pos;
}

// The first position at or after `pos` that begins white space, or the end.
inline std::size_t skip_non_whitespace(std::string_view text, std::size_t pos) noexcept {
  while (pos < text.size() && whitespace_length_at(text, pos) == 0) ++pos;
  return pos;
}

// `text` without leading and trailing white space.
std::string_view trim_whitespace(std::string_view text) noexcept;

}  // namespace quillmere::sys_reader
