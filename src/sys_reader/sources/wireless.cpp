// The per-interface lines of the wireless file.
#include "sys_reader/sources/wireless.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>

#include "sys_reader/cutting.h"
#include "sys_reader/numbers.h"

namespace quillmere::sys_reader {
namespace {

// "70." or "70": one '.' after the number marks a fresh figure.
std::optional<double> figure(std::string_view token) noexcept {
  if (!token.empty() && token.back() == '.') token.remove_suffix(1);
  const std::optional<double> value = parse_f64(token);
  if (!value || !std::isfinite(*value)) return std::nullopt;
  return value;
}

}  // namespace

std::vector<WirelessLine> parse_wireless(std::string_view text) {
  std::vector<WirelessLine> lines;
  std::size_t number = 0;
  for (std::string_view line : text_lines(text)) {
    if (++number <= 2) continue;
    line.remove_prefix(std::min(line.find_first_not_of(' '), line.size()));
    const std::size_t colon = line.find(':');
    if (colon == std::string_view::npos || colon == 0) continue;
    // Status, link quality, level, noise.
    std::array<std::string_view, 3> tokens;
    const std::size_t count = take_first_tokens(line.substr(colon + 1), tokens);
    lines.push_back(WirelessLine{line.substr(0, colon), count >= 2 ? figure(tokens[1]) : std::nullopt,
                                 count >= 3 ? figure(tokens[2]) : std::nullopt});
  }
  return lines;
}

}  // namespace quillmere::sys_reader
