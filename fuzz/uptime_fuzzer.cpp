// parse_uptime against the reference tokenizer and float grammar: the first
// token as a double, 0 when it is missing or malformed.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz_support.h"
#include "collector/exact/exact_contract.h"
#include "sys_reader/sources/uptime.h"

namespace qf = quillmere::fuzz;
namespace sr = quillmere::sys_reader;
namespace ex = quillmere::collector::exact;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // Any bytes at all must be safe to parse; the checks below are made on
  // the text the reader really gets.
  const std::string_view raw = qf::as_text(data, size);
  ex::uptime_seconds(sr::parse_uptime(raw));
  const qf::ReaderText reader_text(raw);
  const std::string_view text = reader_text.view();
  const double got = ex::uptime_seconds(sr::parse_uptime(text));
  const std::vector<std::string_view> tokens = qf::ref_tokens(text);
  double want = 0.0;
  if (!tokens.empty() && qf::ref_float_grammar(tokens[0])) want = qf::ref_float<double>(tokens[0]).value_or(0.0);
  FUZZ_CHECK(qf::same_float(got, want), text, "got " + qf::describe(got) + ", want " + qf::describe(want));
  return 0;
}
