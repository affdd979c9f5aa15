// parse_memory_usage: both values are whole kibibytes, used never exceeds
// total (for counts that fit in bytes), and "\r\n" line ends read like "\n".
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz_support.h"
#include "sys_reader/readers.h"

namespace qf = quillmere::fuzz;
namespace sr = quillmere::sys_reader;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // Any bytes at all must be safe to parse; the checks below are made on
  // the text the reader really gets.
  const std::string_view raw = qf::as_text(data, size);
  sr::parse_memory_usage(raw);
  const qf::ReaderText reader_text(raw);
  const std::string_view text = reader_text.view();
  const sr::MemoryUsage usage = sr::parse_memory_usage(text);
  const std::string detail =
      "total " + std::to_string(usage.mem_total_bytes) + ", used " + std::to_string(usage.mem_used_bytes);
  FUZZ_CHECK(usage.mem_total_bytes % 1024 == 0 && usage.mem_used_bytes % 1024 == 0, text, detail);
  // Kibibyte counts of 2^54 and more no longer fit in bytes; below 10^16 they do.
  if (qf::max_significant_digits(text) <= 16) FUZZ_CHECK(usage.mem_used_bytes <= usage.mem_total_bytes, text, detail);

  const sr::MemoryUsage from_crlf = sr::parse_memory_usage(qf::with_crlf(text));
  FUZZ_CHECK(from_crlf.mem_total_bytes == usage.mem_total_bytes && from_crlf.mem_used_bytes == usage.mem_used_bytes,
             text, "differs with \\r\\n line ends");
  return 0;
}
