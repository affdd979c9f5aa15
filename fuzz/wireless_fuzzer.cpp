// parse_wireless against the reference tokenizer and float grammar: after
// two header lines, each line with a ':' past its leading spaces gives the
// name before it and the second and third tokens after it, one trailing '.'
// dropped, as finite numbers or nothing. The file is read as raw bytes, so
// any input is the text the parser gets.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "sys_reader/cutting.h"
#include "sys_reader/sources/wireless.h"

namespace qf = quillmere::fuzz;
namespace sr = quillmere::sys_reader;

namespace {

std::optional<double> reference_figure(std::string_view token) {
  if (!token.empty() && token.back() == '.') token.remove_suffix(1);
  if (!qf::ref_float_grammar(token)) return std::nullopt;
  const std::optional<double> value = qf::ref_float<double>(token);
  if (!value || !std::isfinite(*value)) return std::nullopt;
  return value;
}

bool same(std::optional<double> a, std::optional<double> b) {
  return a.has_value() == b.has_value() && (!a || qf::same_float(*a, *b));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text = qf::as_text(data, size);
  const std::vector<sr::WirelessLine> got = sr::parse_wireless(text);
  std::size_t at = 0;
  std::size_t number = 0;
  for (const std::string_view whole : sr::text_lines(text)) {
    if (number++ < 2) continue;
    const std::size_t start = whole.find_first_not_of(' ');
    const std::string_view line = start == std::string_view::npos ? std::string_view() : whole.substr(start);
    const std::size_t colon = line.find(':');
    if (colon == std::string_view::npos || colon == 0) continue;
    const std::vector<std::string_view> tokens = qf::ref_tokens(line.substr(colon + 1));
    FUZZ_CHECK(at < got.size(), text, "a line missing");
    const sr::WirelessLine& entry = got[at++];
    FUZZ_CHECK(entry.name == line.substr(0, colon), text, "name " + qf::hex(entry.name));
    FUZZ_CHECK(qf::inside(entry.name, text), text, "the name is not a view into the text");
    FUZZ_CHECK(same(entry.link_quality, tokens.size() >= 2 ? reference_figure(tokens[1]) : std::nullopt), text,
               "link quality");
    FUZZ_CHECK(same(entry.signal_dbm, tokens.size() >= 3 ? reference_figure(tokens[2]) : std::nullopt), text,
               "signal");
  }
  FUZZ_CHECK(at == got.size(), text, std::to_string(got.size() - at) + " lines too many");
  return 0;
}
