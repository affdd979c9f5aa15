// parse_pressure against the reference tokenizer and integer grammar: the
// last line beginning "some " (or "full ") counts, and its last token that
// begins "total=" gives the microseconds after it, in seconds; nothing when
// that token's number does not parse or the line has no such token. Valid
// UTF-8 only, as read_text_file passes nothing else on; "\r\n" line ends
// read like "\n".
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "sys_reader/cutting.h"
#include "sys_reader/sources/pressure.h"

namespace qf = quillmere::fuzz;
namespace sr = quillmere::sys_reader;

namespace {

std::optional<double> reference_total(std::string_view line) {
  std::optional<double> seconds;
  for (const std::string_view token : qf::ref_tokens(line)) {
    if (token.substr(0, 6) != "total=") continue;
    const std::optional<std::uint64_t> us = qf::ref_u64(token.substr(6));
    seconds = us ? std::optional<double>(static_cast<double>(*us) / 1e6) : std::nullopt;
  }
  return seconds;
}

sr::PressureRecord reference_pressure(std::string_view text) {
  sr::PressureRecord record;
  for (const std::string_view line : sr::text_lines(text)) {
    if (line.substr(0, 5) == "some ") record.some_seconds_total = reference_total(line);
    if (line.substr(0, 5) == "full ") record.full_seconds_total = reference_total(line);
  }
  return record;
}

std::string describe(const sr::PressureRecord& r) {
  const auto one = [](std::optional<double> v) { return v ? qf::describe(*v) : std::string("none"); };
  return "some " + one(r.some_seconds_total) + ", full " + one(r.full_seconds_total);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view raw = qf::as_text(data, size);
  sr::parse_pressure(raw);
  const qf::ReaderText reader_text(raw);
  const std::string_view text = reader_text.view();
  const sr::PressureRecord got = sr::parse_pressure(text);
  const sr::PressureRecord want = reference_pressure(text);
  FUZZ_CHECK(got == want, text, "got " + describe(got) + ", want " + describe(want));
  FUZZ_CHECK(sr::parse_pressure(qf::with_crlf(text)) == got, text, "\\r\\n line ends read differently");
  return 0;
}
