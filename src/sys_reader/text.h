// Text primitives shared by every reader: reading a pseudo-file whole, cutting
// text into lines, tokens and pieces, and the three number grammars.
//
// Promises: lines, tokens and pieces are std::string_views into the caller's
// one buffer; nothing here copies characters or allocates per line. The
// parsers never fail loudly: anything outside their grammar gives 0 (or 0.0),
// and each grammar is also available as a check that tells a failure apart
// from a parsed zero. Conversions are locale-independent.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>  // std::default_sentinel_t
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace quillmere::sys_reader {

// Reads the whole file at `path`: one open (O_CLOEXEC), reads until end of
// file whatever size the file reports, one close. Returns nullopt when the
// file cannot be opened or read; the bytes are not checked.
std::optional<std::string> read_whole_file(const char* path);

// read_whole_file, and nullopt also when the content is not valid UTF-8.
std::optional<std::string> read_text_file(const char* path);

// True when `bytes` is well-formed UTF-8 (no overlongs, no surrogates, nothing
// above U+10FFFF).
bool is_valid_utf8(std::string_view bytes) noexcept;

// Returns `bytes` with every ill-formed sequence replaced by U+FFFD (one
// replacement per maximal ill-formed subpart). Valid input comes back as is.
std::string decode_utf8_lossy(std::string_view bytes);

// The state machines behind the three cutting primitives. Each next() gives
// the following view, or nullopt at the end.
class LineReader {
 public:
  explicit LineReader(std::string_view text) noexcept : rest_(text) {}
  std::optional<std::string_view> next() noexcept;

 private:
  std::string_view rest_;
};

class TokenReader {
 public:
  explicit TokenReader(std::string_view text) noexcept : rest_(text) {}
  std::optional<std::string_view> next() noexcept;

 private:
  std::string_view rest_;
};

class SplitReader {
 public:
  SplitReader(std::string_view text, char separator) noexcept : rest_(text), sep_(separator) {}
  std::optional<std::string_view> next() noexcept;

 private:
  std::string_view rest_;
  char sep_;
  bool done_ = false;
};

// A single-pass range over the views a reader gives, for range-for loops.
template <typename Reader>
class ViewRange {
 public:
  class iterator {
   public:
    using value_type = std::string_view;
    using difference_type = std::ptrdiff_t;
    explicit iterator(Reader reader) noexcept : reader_(reader) { ++*this; }
    std::string_view operator*() const noexcept { return current_; }
    iterator& operator++() noexcept {
      if (auto view = reader_.next()) {
        current_ = *view;
      } else {
        done_ = true;
      }
      return *this;
    }
    void operator++(int) noexcept { ++*this; }
    bool operator==(std::default_sentinel_t) const noexcept { return done_; }

   private:
    Reader reader_;
    std::string_view current_;
    bool done_ = false;
  };

  explicit ViewRange(Reader reader) noexcept : reader_(reader) {}
  iterator begin() const noexcept { return iterator(reader_); }
  std::default_sentinel_t end() const noexcept { return {}; }

 private:
  Reader reader_;
};

// The lines of a text: cut after every '\n', the '\n' removed and then one
// '\r' in front of it. A final piece without '\n' is a line as is (a '\r' at
// its end stays); an empty final piece is not a line; empty text has none.
inline ViewRange<LineReader> text_lines(std::string_view text) noexcept {
  return ViewRange<LineReader>(LineReader(text));
}

// The non-empty tokens of a text separated by Unicode white space: U+0009 to
// U+000D, U+0020, U+0085, U+00A0, U+1680, U+2000 to U+200A, U+2028, U+2029,
// U+202F, U+205F and U+3000 (trim_whitespace uses the same set).
inline ViewRange<TokenReader> whitespace_tokens(std::string_view text) noexcept {
  return ViewRange<TokenReader>(TokenReader(text));
}

// Stores the first out.size() whitespace tokens of `text` in `out` and returns
// the total number of tokens (which may exceed out.size()). No allocation:
// readers that index fields by position keep a small array on the stack.
std::size_t whitespace_tokens(std::string_view text, std::span<std::string_view> out) noexcept;

// Stores the first out.size() whitespace tokens of `text` in `out` and returns
// how many it stored: the rest of the text is not looked at. For readers that
// need a line to have at least out.size() tokens.
std::size_t first_whitespace_tokens(std::string_view text, std::span<std::string_view> out) noexcept;

// An upper bound on the number of lines of `text` (its '\n' count plus one),
// cheap enough to size a container before the lines are walked.
std::size_t line_count_upper_bound(std::string_view text) noexcept;

// `text` without leading and trailing Unicode white space.
std::string_view trim_whitespace(std::string_view text) noexcept;

// The pieces between occurrences of `separator`, empty pieces included:
// "/5" gives "" and "5"; "5" gives "5"; "" gives one empty piece.
inline ViewRange<SplitReader> split_on_char(std::string_view text, char separator) noexcept {
  return ViewRange<SplitReader>(SplitReader(text, separator));
}

// Grammar: optional single '+', then one or more ASCII digits, value at most
// 2^64 - 1 (leading zeros allowed). nullopt for anything else.
std::optional<std::uint64_t> parse_u64(std::string_view token) noexcept;
// Grammar: optional single '+', one or more hex digits (either case), value
// at most 0xFFFFFFFF (leading zeros allowed). No "0x" prefix of its own.
std::optional<std::uint32_t> parse_hex_u32(std::string_view token) noexcept;
// Grammar: optional sign, then digits with optional '.' and fraction (at least
// one digit in all) and optional exponent ('e' or 'E', optional sign, at least
// one digit); or inf, infinity, nan in any case. Correctly rounded to nearest,
// ties to even; overflow gives infinity and underflow zero.
std::optional<float> parse_f32(std::string_view token) noexcept;
std::optional<double> parse_f64(std::string_view token) noexcept;

// The same grammars with the zero fallback. A missing token (nullopt, e.g. a
// line with fewer fields than asked for) also gives zero.
std::uint64_t parse_u64_or_zero(std::optional<std::string_view> token) noexcept;
float parse_f32_or_zero(std::optional<std::string_view> token) noexcept;
double parse_f64_or_zero(std::optional<std::string_view> token) noexcept;

// current - previous, or 0 when the counter went back.
constexpr std::uint64_t saturating_sub(std::uint64_t current, std::uint64_t previous) noexcept {
  return current > previous ? current - previous : 0;
}

// True when `line` begins with `key` (compared byte for byte).
constexpr bool starts_with(std::string_view line, std::string_view key) noexcept {
  return line.substr(0, key.size()) == key;
}

}  // namespace quillmere::sys_reader
