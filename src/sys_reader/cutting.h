// Cutting text into lines, white-space separated tokens and pieces between a
// separator.
//
// Promises: every line, token and piece is a std::string_view into the
// caller's one buffer; nothing here copies characters or allocates. Tokens
// are separated by Unicode white space (see unicode_space.h), so the
// tokenizers work on any bytes, valid UTF-8 or not.
#pragma once

#include <cstddef>
#include <iterator>  // std::default_sentinel_t
#include <optional>
#include <span>
#include <string_view>

namespace quillmere::sys_reader {

// The state machines behind the ranges below. Each next() gives the
// following view, or nullopt at the end.
class LineCursor {
 public:
  explicit LineCursor(std::string_view text) noexcept : rest_(text) {}
  std::optional<std::string_view> next() noexcept;

 private:
  std::string_view rest_;
};

class TokenCursor {
 public:
  explicit TokenCursor(std::string_view text) noexcept : rest_(text) {}
  std::optional<std::string_view> next() noexcept;

 private:
  std::string_view rest_;
};

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

// Every non-empty token of a text, in order.
inline ViewRange<TokenCursor> each_token(std::string_view text) noexcept {
  return ViewRange<TokenCursor>(TokenCursor(text));
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

// An upper bound on the number of lines of `text` (its '\n' count plus one),
// cheap enough to size a container before the lines are walked.
std::size_t line_count_upper_bound(std::string_view text) noexcept;

// The pieces between occurrences of `separator`, empty pieces included:
// "/5" gives "" and "5"; "5" gives "5"; "" gives one empty piece.
inline ViewRange<SplitCursor> split_on_char(std::string_view text, char separator) noexcept {
  return ViewRange<SplitCursor>(SplitCursor(text, separator));
}

// True when `line` begins with `key` (compared byte for byte).
constexpr bool starts_with(std::string_view line, std::string_view key) noexcept {
  return line.substr(0, key.size()) == key;
}

}  // namespace quillmere::sys_reader
