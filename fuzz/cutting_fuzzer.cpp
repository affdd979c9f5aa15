// The cutting primitives against plain references: text_lines and
// visit_lines_backward, the three tokenizers (TokenCursor,
// count_tokens_keeping_first, take_first_tokens), trim_whitespace and
// SplitCursor. Views must be the same bytes of the caller's buffer, not
// merely equal text. The first input byte is the split separator and,
// modulo 8, the size of the span handed to the fixed-span tokenizer.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "sys_reader/cutting.h"
#include "sys_reader/unicode_space.h"

namespace qf = quillmere::fuzz;
namespace sr = quillmere::sys_reader;

namespace {

using Views = std::vector<std::string_view>;

// Same position in the buffer and same length; empty views only need to be empty.
bool same_view(std::string_view a, std::string_view b) {
  if (a.empty() || b.empty()) return a.empty() && b.empty();
  return a.data() == b.data() && a.size() == b.size();
}

bool same_views(const Views& a, const Views& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (!same_view(a[i], b[i])) return false;
  }
  return true;
}

template <typename Cursor>
Views collect(Cursor cursor) {
  Views out;
  while (const std::optional<std::string_view> view = cursor.next()) out.push_back(*view);
  return out;
}

// Cut after each '\n', drop the '\n' and one '\r' before it; the final piece
// is a line unless it is empty.
Views reference_lines(std::string_view text) {
  Views lines;
  std::size_t start = 0;
  for (std::size_t pos = 0; pos < text.size(); ++pos) {
    if (text[pos] != '\n') continue;
    std::string_view line = text.substr(start, pos - start);
    if (line.ends_with('\r')) line.remove_suffix(1);
    lines.push_back(line);
    start = pos + 1;
  }
  if (start < text.size()) lines.push_back(text.substr(start));
  return lines;
}

std::string describe(const Views& views, std::string_view buffer) {
  std::string out;
  for (const std::string_view view : views) {
    if (view.empty()) {
      out += "[empty]";
      continue;
    }
    out += "[" + std::to_string(view.data() - buffer.data()) + "+" + std::to_string(view.size()) + "]";
  }
  return out;
}

// Failures print the whole input, selector byte included, so that the printed
// hex replays as is.
std::string_view g_input;

void check_lines(std::string_view text) {
  Views got;
  for (const std::string_view line : sr::text_lines(text)) got.push_back(line);
  const Views want = reference_lines(text);
  FUZZ_CHECK(same_views(got, want), g_input, "text_lines " + describe(got, text) + ", want " + describe(want, text));
  // Backwards: the same lines, last first; a visit that returns true stops.
  Views backward;
  sr::visit_lines_backward(text, [&backward](std::string_view line) {
    backward.push_back(line);
    return false;
  });
  std::reverse(backward.begin(), backward.end());
  FUZZ_CHECK(same_views(backward, want), g_input, "visit_lines_backward " + describe(backward, text));
  std::size_t visits = 0;
  sr::visit_lines_backward(text, [&visits](std::string_view) { return ++visits == 2; });
  FUZZ_CHECK(visits == std::min<std::size_t>(2, want.size()), g_input, "stopped after " + std::to_string(visits));
}

void check_tokens(std::string_view text, std::size_t span_size) {
  const Views got = collect(sr::TokenCursor(text));
  const Views want = qf::ref_tokens(text);
  FUZZ_CHECK(same_views(got, want), g_input,
             "TokenCursor " + describe(got, text) + ", want " + describe(want, text));
  for (const std::string_view token : got) FUZZ_CHECK(!token.empty() && qf::inside(token, text), g_input);

  std::string_view out[8];
  const std::size_t count = sr::count_tokens_keeping_first(text, std::span<std::string_view>(out, span_size));
  FUZZ_CHECK(count == got.size(), g_input, "count_tokens_keeping_first counted " + std::to_string(count));
  for (std::size_t i = 0; i < span_size && i < count; ++i) FUZZ_CHECK(same_view(out[i], got[i]), g_input);

  // take_first_tokens stores the same first tokens and counts only those.
  std::string_view first[8];
  const std::size_t stored = sr::take_first_tokens(text, std::span<std::string_view>(first, span_size));
  FUZZ_CHECK(stored == std::min(span_size, got.size()), g_input, "take_first_tokens stored " + std::to_string(stored));
  for (std::size_t i = 0; i < stored; ++i) FUZZ_CHECK(same_view(first[i], got[i]), g_input);
}

void check_trim(std::string_view text) {
  const std::string_view got = sr::trim_whitespace(text);
  const std::string_view want = qf::ref_trim(text);
  FUZZ_CHECK(same_view(got, want) && qf::inside(got, text), g_input,
             "trim_whitespace " + describe({got}, text) + ", want " + describe({want}, text));
}

void check_split(std::string_view text, char separator) {
  const Views pieces = collect(sr::SplitCursor(text, separator));
  std::size_t separators = 0;
  for (const char c : text) separators += c == separator ? 1 : 0;
  FUZZ_CHECK(pieces.size() == separators + 1, g_input, "pieces " + describe(pieces, text));
  std::string joined;
  for (std::size_t i = 0; i < pieces.size(); ++i) {
    FUZZ_CHECK(qf::inside(pieces[i], text), g_input);
    FUZZ_CHECK(pieces[i].find(separator) == std::string_view::npos, g_input);
    if (i > 0) joined += separator;
    joined.append(pieces[i]);
  }
  FUZZ_CHECK(joined == text, g_input, "pieces " + describe(pieces, text));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const char separator = static_cast<char>(data[0]);
  const std::size_t span_size = data[0] % 8u;
  // libFuzzer's buffer ends exactly where the input does, so ASan catches
  // any read past the end of the text.
  const std::string_view text = qf::as_text(data + 1, size - 1);
  g_input = qf::as_text(data, size);
  check_lines(text);
  check_tokens(text, span_size);
  check_trim(text);
  check_split(text, separator);
  return 0;
}
