// Lines, tokens and pieces: byte scans over std::string_views that never
// allocate.
#include "sys_reader/cutting.h"

#include "sys_reader/unicode_space.h"

namespace quillmere::sys_reader {

std::optional<std::string_view> take_line(std::string_view& rest) noexcept {
  if (rest.empty()) return std::nullopt;  // an empty final piece is not a line
  const std::size_t newline = rest.find('\n');
  if (newline == std::string_view::npos) {
    // Last line without '\n': returned as is, a trailing '\r' included.
    const std::string_view line = rest;
    rest = {};
    return line;
  }
  std::string_view line = rest.substr(0, newline);
  rest.remove_prefix(newline + 1);
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  return line;
}

std::optional<std::string_view> take_token(std::string_view& rest) noexcept {
  const std::size_t start = skip_whitespace(rest, 0);
  if (start == rest.size()) {
    rest = {};
    return std::nullopt;
  }
  const std::size_t end = skip_non_whitespace(rest, start);
  const std::string_view token = rest.substr(start, end - start);
  rest.remove_prefix(end);
  return token;
}

std::optional<std::string_view> SplitCursor::next() noexcept {
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

std::size_t count_tokens_keeping_first(std::string_view text, std::span<std::string_view> out) noexcept {
  TokenCursor cursor(text);
  std::size_t count = 0;
  while (const auto token = cursor.next()) {
    if (count < out.size()) out[count] = *token;
    ++count;
  }
  return count;
}

// Walks the text with plain positions rather than through TokenCursor: the
// optional that next() hands back goes through memory and stalls each token
// on a store forward, which matters on long device lines.
std::size_t take_first_tokens(std::string_view text, std::span<std::string_view> out) noexcept {
  std::size_t count = 0;
  for (std::size_t pos = skip_whitespace(text, 0); count < out.size() && pos < text.size();
       pos = skip_whitespace(text, pos)) {
    const std::size_t end = skip_non_whitespace(text, pos);
    out[count++] = std::string_view(text.data() + pos, end - pos);
    pos = end;
  }
  return count;
}

}  // namespace quillmere::sys_reader
