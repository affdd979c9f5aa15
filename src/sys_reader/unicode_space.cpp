// Unicode white space: the multibyte characters and trimming from the end,
// where a scan has to look back over up to three bytes.
#include "sys_reader/unicode_space.h"

namespace quillmere::sys_reader {
namespace {

constexpr unsigned char byte_at(std::string_view text, std::size_t pos) noexcept {
  return static_cast<unsigned char>(text[pos]);
}

// Length of the white space character that ends just before text[end], or 0.
std::size_t whitespace_length_before(std::string_view text, std::size_t end) noexcept {
  const unsigned char last = byte_at(text, end - 1);
  if (last < 0x80) return (last == 0x20 || (last >= 0x09 && last <= 0x0D)) ? 1 : 0;
  if (end >= 2 && whitespace_length_at(text, end - 2) == 2) return 2;
  if (end >= 3 && whitespace_length_at(text, end - 3) == 3) return 3;
  return 0;
}

}  // namespace

namespace unicode_space_detail {

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

}  // namespace unicode_space_detail

std::string_view trim_whitespace(std::string_view text) noexcept {
  text.remove_prefix(skip_whitespace(text, 0));
  while (!text.empty()) {
    const std::size_t n = whitespace_length_before(text, text.size());
    if (n == 0) break;
    text.remove_suffix(n);
  }
  return text;
}

}  // namespace quillmere::sys_reader
