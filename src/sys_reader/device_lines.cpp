// The device-line cutter: a word-at-a-time ASCII scan for the common line,
// the Unicode tokenizer for the rest.
//
// A file with 10,000 devices is about 1.5 MB, read twice per one-shot call,
// so the work per line is kept to what reading the line costs anyway: each
// line is cut in place with a plain ASCII scan that stops once the fields it
// needs are found, and only the tokens used are read byte by byte.
#include "sys_reader/device_lines.h"

#include <array>
#include <bit>  // std::countr_zero, std::endian
#include <cstring>
#include <span>
#include <type_traits>

#include "sys_reader/cutting.h"
#include "sys_reader/numbers.h"

namespace quillmere::sys_reader {
namespace {

// The fast path reads a line as ASCII. Its white space is the ASCII part of
// the tokenizer's set (U+0009..U+000D, U+0020), and every other byte below
// 0x80 belongs to a token, as it does for the tokenizer. A byte at or above
// 0x80 may begin multibyte white space, which only the tokenizer knows: the
// fast path gives such a line up, and the tokenizer cuts it instead.
constexpr bool is_space(unsigned char c) noexcept { return c == ' ' || static_cast<unsigned>(c - 0x09) < 5; }
constexpr bool is_token_byte(unsigned char c) noexcept {
  return static_cast<unsigned>(c - 0x21) < 0x5F || (c < 0x21 && !is_space(c));
}

enum class LineKind { kDevice, kShort, kNotAscii };

// The two line shapes, told apart by overloads: how many counters a layout
// reads (the narrow one's two are a constant, so its cut is compiled as
// tightly as a cut written for two), each one's token and its slot.
constexpr std::size_t counter_count(const DeviceLayout& /*layout*/) noexcept { return 2; }
constexpr std::size_t counter_count(const WideDeviceLayout& layout) noexcept { return layout.counter_count; }
constexpr std::size_t counter_token(const DeviceLayout& layout, std::size_t k) noexcept {
  return k == 0 ? layout.first : layout.second;
}
constexpr std::size_t counter_token(const WideDeviceLayout& layout, std::size_t k) noexcept {
  return layout.counters[k];
}
constexpr std::optional<std::uint64_t>& counter_slot(DeviceLine& line, std::size_t k) noexcept {
  return k == 0 ? line.first : line.second;
}
constexpr std::optional<std::uint64_t>& counter_slot(WideDeviceLine& line, std::size_t k) noexcept {
  return line.counters[k];
}

// The token numbers a line's cut looks for, in rising order: the name, the
// counters, and the last token a line must have.
template <typename Layout>
using WantedTokens = std::array<std::size_t, 2 + (std::is_same_v<Layout, DeviceLayout> ? 2 : kMostWideCounters)>;

template <typename Layout>
constexpr WantedTokens<Layout> wanted_tokens(const Layout& layout) noexcept {
  WantedTokens<Layout> wanted{};
  wanted[0] = layout.name;
  const std::size_t counters = counter_count(layout);
  for (std::size_t k = 0; k < counters; ++k) wanted[k + 1] = counter_token(layout, k);
  wanted[counters + 1] = layout.min_tokens - 1;
  return wanted;
}

constexpr std::string_view strip_trailing_colons(std::string_view name) noexcept {
  while (!name.empty() && name.back() == ':') name.remove_suffix(1);
  return name;
}

constexpr unsigned char byte_at(std::string_view text, std::size_t pos) noexcept {
  return static_cast<unsigned char>(text[pos]);
}

// The number grammar of parse_u64 (an optional '+', then digits, nullopt
// for anything else or for a value above 2^64 - 1), read in place from the
// token's first byte at `pos` up to `end` at most. Nineteen digits never
// overflow; a longer run goes to parse_u64 itself.
inline std::optional<std::uint64_t> scan_u64(std::string_view text, std::size_t pos, std::size_t end) noexcept {
  const std::size_t token = pos;
  if (text[pos] == '+') ++pos;
  const std::size_t digits = pos;
  std::uint64_t value = 0;
  for (; pos < end; ++pos) {
    const auto digit = static_cast<unsigned>(byte_at(text, pos) - '0');
    if (digit >= 10) break;
    value = value * 10 + digit;
  }
  if (pos == digits || (pos < end && is_token_byte(byte_at(text, pos)))) return std::nullopt;
  if (pos - digits < 20) return value;
  return parse_u64(text.substr(token, pos - token));
}

// Eight bytes at a time: byte i of a word sits in bits 8i..8i+7 whatever the
// machine's byte order, and a flag for byte i is its bit 8i+7.
constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
constexpr std::uint64_t kHighBits = kOnes * 0x80;
constexpr std::uint64_t kSpaces = kOnes * ' ';

inline std::uint64_t from_memory_order(std::uint64_t word) noexcept {
  if constexpr (std::endian::native == std::endian::big) word = __builtin_bswap64(word);
  return word;
}

// The eight bytes at `pos`, which must all lie inside `text`.
inline std::uint64_t load_word(std::string_view text, std::size_t pos) noexcept {
  std::uint64_t word = 0;
  std::memcpy(&word, &text[pos], sizeof word);
  return from_memory_order(word);
}

// The line's last, partial word [pos, end), white space after `end`. No
// byte past the end of `text` is loaded.
std::uint64_t last_word(std::string_view text, std::size_t pos, std::size_t end) noexcept {
  std::uint64_t word = 0;
  if (text.size() - pos >= 8) {
    word = load_word(text, pos);
  } else {
    std::array<unsigned char, 8> tail{};
    tail.fill(' ');
    std::memcpy(tail.data(), &text[pos], text.size() - pos);
    std::memcpy(&word, tail.data(), sizeof word);
    word = from_memory_order(word);
  }
  const std::uint64_t keep = (std::uint64_t{1} << (8 * (end - pos))) - 1;
  return (word & keep) | (kSpaces & ~keep);
}

// Flags the white-space bytes of a word that holds no byte at or above 0x80.
// Each byte is compared on its own: no sum below carries into the next byte.
inline std::uint64_t space_flags(std::uint64_t word) noexcept {
  const std::uint64_t x20 = word ^ kSpaces;  // zero where the byte is ' '
  const std::uint64_t is_blank = ~(((x20 & ~kHighBits) + ~kHighBits) | x20) & kHighBits;
  const std::uint64_t at_least_09 = word + kOnes * (0x80 - 0x09);
  const std::uint64_t at_least_0e = word + kOnes * (0x80 - 0x0E);
  return is_blank | (at_least_09 & ~at_least_0e & kHighBits);
}

// Cuts the line [begin, end) of `text` the fast way: its name and counters
// when it has the layout's tokens, kShort when it has fewer, kNotAscii when
// it holds a byte at or above 0x80 before the last token it needs (or in the
// same word). Token starts are counted a word at a time; only the tokens
// used are read byte by byte. Bytes past the line's end may be loaded and
// count as white space.
template <typename Layout, typename Line>
LineKind cut_ascii_line(const Layout& layout, const WantedTokens<Layout>& wanted, std::string_view text,
                        std::size_t begin, std::size_t end, Line& line) noexcept {
  const std::size_t counters = counter_count(layout);
  std::size_t next = 0;         // index into `wanted`
  std::size_t tokens = 0;       // token starts seen so far
  std::uint64_t before = 0x80;  // the byte before the line counts as white space
  for (std::size_t at = begin; at < end; at += 8) {
    const std::uint64_t word = end - at >= 8 ? load_word(text, at) : last_word(text, at, end);
    if ((word & kHighBits) != 0) return LineKind::kNotAscii;
    const std::uint64_t spaces = space_flags(word);
    std::uint64_t starts = ~spaces & kHighBits & ((spaces << 8) | before);
    before = spaces >> 56;
    // The flags are 0 or 1 per byte once shifted down; the multiply sums
    // them into the top byte (std::popcount is a library call on targets
    // built without a population-count instruction).
    const auto count = static_cast<std::size_t>(((starts >> 7) * kOnes) >> 56);
    if (tokens + count <= wanted[next]) {
      tokens += count;
      continue;
    }
    for (; starts != 0; starts &= starts - 1) {
      if (tokens++ != wanted[next]) continue;
      const std::size_t token = at + static_cast<std::size_t>(std::countr_zero(starts)) / 8;
      const std::size_t k = next++;
      if (k == 0) {
        std::size_t stop = token;
        while (stop < end && is_token_byte(byte_at(text, stop))) ++stop;
        line.name = text.substr(token, stop - token);
      } else if (k <= counters) {
        counter_slot(line, k - 1) = scan_u64(text, token, end);
      } else {
        // A byte at or above 0x80 inside a token used lies before this
        // one, in a word already looked at.
        return LineKind::kDevice;
      }
    }
  }
  return LineKind::kShort;
}

// The same line cut by the Unicode tokenizer, for lines the fast path gave up.
template <typename Layout, typename Line>
bool cut_unicode_line(const Layout& layout, std::string_view text, Line& line) noexcept {
  std::array<std::string_view, kMostDeviceTokens> tokens;
  const std::span<std::string_view> wanted(tokens.data(), layout.min_tokens);
  if (take_first_tokens(text, wanted) < layout.min_tokens) return false;
  line.name = tokens[layout.name];
  for (std::size_t k = 0; k < counter_count(layout); ++k) counter_slot(line, k) = parse_u64(tokens[counter_token(layout, k)]);
  return true;
}

// Calls on_line(line) for each device line of `text`, in file order. Lines
// are cut at '\n'; a '\r' before it is white space to both cutters, and an
// empty final piece holds no line.
template <typename Line, typename Layout, typename OnLine>
void for_each_device_line(const Layout& layout, std::string_view text, OnLine on_line) {
  const WantedTokens<Layout> wanted = wanted_tokens(layout);
  std::size_t line_number = 0;
  for (std::size_t pos = 0; pos < text.size();) {
    const std::size_t newline = text.find('\n', pos);  // memchr underneath
    const std::size_t line_end = newline != std::string_view::npos ? newline : text.size();
    if (line_number++ >= layout.header_lines) {
      Line line;
      LineKind kind = cut_ascii_line(layout, wanted, text, pos, line_end, line);
      if (kind == LineKind::kNotAscii) {
        line = Line{};
        kind = cut_unicode_line(layout, text.substr(pos, line_end - pos), line) ? LineKind::kDevice : LineKind::kShort;
      }
      if (kind == LineKind::kDevice) {
        if (layout.strip_colons) line.name = strip_trailing_colons(line.name);
        on_line(line);
      }
    }
    pos = line_end + 1;
  }
}

template <typename Layout, typename Line>
void parse_lines(const Layout& layout, std::string_view text, std::vector<Line>& lines) {
  lines.clear();
  // Room for every line the text could hold (a device line is at least two
  // bytes per token), so the vector never grows and copies while it is
  // filled: untouched capacity costs no memory until used.
  lines.reserve(text.size() / (2 * layout.min_tokens) + 1);
  for_each_device_line<Line>(layout, text, [&lines](const Line& line) { lines.push_back(line); });
}

}  // namespace

void parse_device_lines(const DeviceLayout& layout, std::string_view text, std::vector<DeviceLine>& lines) {
  parse_lines(layout, text, lines);
}

void parse_device_lines(const WideDeviceLayout& layout, std::string_view text, std::vector<WideDeviceLine>& lines) {
  parse_lines(layout, text, lines);
}

}  // namespace quillmere::sys_reader
