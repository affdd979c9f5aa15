// Cutting text into lines (forwards and backwards), white-space separated
// tokens and pieces between a separator.
//
// Promises: every line, token and piece is a std::string_view into the
// caller's one buffer; nothing here copies characters or allocates. Tokens
// are separated by Unicode white space (see unicode_space.h), so the
// tokenizers work on any bytes, valid UTF-8 or not.
#pragma once

#include <cstddef>
#include <cstring>  // ::memrchr (a GNU extension that musl has too)
#include <iterator>  // std::default_sentinel_t
#include <optional>
#include <span>
#include <string_view>

namespace quillmere::sys_reader {

// Each takes the next line (or token) off the front of `rest`, or gives
// nullopt at its end.
std::optional<std::string_view> take_line(std::string_view& rest) noexcept;
std::optional<std::string_view> take_token(std::string_view& rest) noexcept;

// The state machines behind the ranges below. Each next() gives the
// following view, or nullopt at the end.
template <std::optional<std::string_view> (*kTake)(std::string_view&) noexcept>
class Cursor {
 public:
  explicit Cursor(std::string_view text) noexcept : rest_(text) {}
  std::optional<std::string_view> next() noexcept { return kTake(rest_); }

 private:
  std::string_view rest_;
};
using LineCursor = Cursor<take_line>;
using TokenCursor = Cursor<take_token>;

class SplitCursor {
 public:
  SplitCursor(std::string_view text, char separator) noexcept : rest_(text), sep_(separator) {}
  std::optional<std::string_view> next() noexcept;

 private:
  std::string_view rest_;
  char sep_;
  bool done_ = false;
};

// A single-pass range over the views a cursor gives, for range-for loops.
template <typename Cursor>
class ViewRange {
 public:
  class iterator {
   public:
    using value_type = std::string_view;
    using difference_type = std::ptrdiff_t;
    explicit iterator(Cursor cursor) noexcept : cursor_(cursor) { ++*this; }
    std::string_view operator*() const noexcept { return current_; }
    iterator& operator++() noexcept {
      if (auto view = cursor_.next()) {
        current_ = *view;
      } else {
        done_ = true;
      }
      return *this;
    }
    void operator++(int) noexcept { ++*this; }
    bool operator==(std::default_sentinel_t) const noexcept { return done_; }

   private:
    Cursor cursor_;
    std::string_view current_;
    bool done_ = false;
  };

  explicit ViewRange(Cursor cursor) noexcept : cursor_(cursor) {}
  iterator begin() const noexcept { return iterator(cursor_); }
  std::default_sentinel_t end() const noexcept { return {}; }

 private:
  Cursor cursor_;
};

// The lines of a text: cut after every '\n', the '\n' removed and then one
// '\r' in front of it. A final piece without '\n' is a line as is (a '\r' at
// its end stays); an empty final piece is not a line; empty text has none.
inline ViewRange<LineCursor> text_lines(std::string_view text) noexcept {
  return ViewRange<LineCursor>(LineCursor(text));
}

// Stores the first out.size() tokens of `text` in `out` and returns the
// number of tokens in the whole text (which may exceed out.size()). For
// readers that index fields by position and must know how many there are;
// the array stays on the stack.
std::size_t count_tokens_keeping_first(std::string_view text, std::span<std::string_view> out) noexcept;

// Stores at most out.size() tokens of `text` in `out` and returns how many it
// stored; the text after the last one stored is not looked at. For readers
// that need a line to have at least out.size() tokens.
std::size_t take_first_tokens(std::string_view text, std::span<std::string_view> out) noexcept;

// The second token of a "key value" line, nullopt when it has none.
inline std::optional<std::string_view> second_token(std::string_view line) noexcept {
  TokenCursor tokens(line);
  tokens.next();
  return tokens.next();
}

// Hands `visit` the lines of `text` from the last to the first, cut exactly
// as text_lines cuts them, until it returns true. For files where the last
// line with a key counts: the scan can stop at the last occurrences.
template <typename Visit>
void visit_lines_backward(std::string_view text, Visit visit) noexcept {
  std::size_t end = text.size();
  // The piece after the last '\n' is a line only when it is not empty, and
  // keeps a '\r' at its end; every other piece loses one.
  bool after_last_newline = true;
  for (;;) {
    // memrchr is vectorised where a backward loop over the bytes is not.
    const auto* newline = static_cast<const char*>(end == 0 ? nullptr : ::memrchr(text.data(), '\n', end));
    const std::size_t start = newline == nullptr ? 0 : static_cast<std::size_t>(newline - text.data()) + 1;
    std::string_view line = text.substr(start, end - start);
    if (!after_last_newline && !line.empty() && line.back() == '\r') line.remove_suffix(1);
    if ((!after_last_newline || !line.empty()) && visit(line)) return;
    if (newline == nullptr) return;
    after_last_newline = false;
    end = start - 1;
  }
}

// True when `line` begins with `key` (compared byte for byte).
constexpr bool starts_with(std::string_view line, std::string_view key) noexcept {
  return line.substr(0, key.size()) == key;
}

}  // namespace quillmere::sys_reader
