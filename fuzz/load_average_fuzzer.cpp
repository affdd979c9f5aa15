// parse_load_average against the reference tokenizer and float grammar: with
// five or more tokens, the averages are the first three tokens and the queue
// length the part of the fourth before any '/', each 0 when malformed; with
// fewer, everything is 0.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz_support.h"
#include "collector/exact/exact_contract.h"
#include "sys_reader/sources/loadavg.h"

namespace qf = quillmere::fuzz;
namespace sr = quillmere::sys_reader;
namespace ex = quillmere::collector::exact;

namespace {

ex::LoadAverage parse_load_average(std::string_view text) { return ex::load_average(sr::parse_loadavg(text)); }

float reference_f32_or_zero(std::string_view token) {
  if (!qf::ref_float_grammar(token)) return 0.0f;
  return qf::ref_float<float>(token).value_or(0.0f);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // Any bytes at all must be safe to parse; the checks below are made on
  // the text the reader really gets.
  const std::string_view raw = qf::as_text(data, size);
  parse_load_average(raw);
  const qf::ReaderText reader_text(raw);
  const std::string_view text = reader_text.view();
  const ex::LoadAverage load = parse_load_average(text);
  const std::vector<std::string_view> tokens = qf::ref_tokens(text);
  float want[4] = {};
  if (tokens.size() >= 5) {
    want[0] = reference_f32_or_zero(tokens[3].substr(0, tokens[3].find('/')));
    for (std::size_t i = 0; i < 3; ++i) want[i + 1] = reference_f32_or_zero(tokens[i]);
  }
  const float got[4] = {load.run_queue_length, load.load_avg_1, load.load_avg_5, load.load_avg_15};
  for (std::size_t i = 0; i < 4; ++i) {
    FUZZ_CHECK(qf::same_float(got[i], want[i]), text,
               "field " + std::to_string(i) + ": got " + qf::describe(got[i]) + ", want " + qf::describe(want[i]));
  }
  return 0;
}
