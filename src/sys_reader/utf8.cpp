// UTF-8 checking and repair, with a fast path over runs of ASCII, which is
// nearly all a pseudo-file holds.
#include "sys_reader/utf8.h"

#include <cstddef>
#include <cstdint>
#include <cstring>  // std::memcpy

namespace quillmere::sys_reader {
namespace {

constexpr unsigned char byte_at(std::string_view text, std::size_t pos) noexcept {
  return static_cast<unsigned char>(text[pos]);
}

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

}  // namespace

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

}  // namespace quillmere::sys_reader
