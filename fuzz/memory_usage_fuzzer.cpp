// /proc/meminfo through the exact contract: the values are those of a plain scan that cuts every
// line into tokens (the last line with a key counts), both are whole
// kibibytes, used never exceeds total (for counts that fit in bytes), and
// "\r\n" line ends read like "\n".
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz_support.h"
#include "sys_reader/cutting.h"
#include "sys_reader/numbers.h"
#include "collector/exact/exact_contract.h"
#include "sys_reader/sources/meminfo.h"

namespace qf = quillmere::fuzz;
namespace sr = quillmere::sys_reader;
namespace ex = quillmere::collector::exact;

namespace {

ex::MemoryUsage parse_memory_usage(std::string_view text) { return ex::memory_usage(sr::parse_meminfo(text)); }

// Every line's first token compared with each key; total and used in bytes.
ex::MemoryUsage tokenizing_scan(std::string_view text) {
  std::uint64_t total = 0, free = 0, buffers = 0, cached = 0;
  for (const std::string_view line : sr::text_lines(text)) {
    sr::TokenCursor tokens(line);
    const std::optional<std::string_view> key = tokens.next();
    std::uint64_t* target = !key                  ? nullptr
                            : *key == "MemTotal:" ? &total
                            : *key == "MemFree:"  ? &free
                            : *key == "Buffers:"  ? &buffers
                            : *key == "Cached:"   ? &cached
                                                  : nullptr;
    const std::optional<std::string_view> value = tokens.next();
    if (target != nullptr) *target = value ? qf::ref_u64(*value).value_or(0) : 0;
  }
  const std::uint64_t unused = free + buffers + cached;
  return ex::MemoryUsage{total * 1024, total > unused ? (total - unused) * 1024 : 0};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // Any bytes at all must be safe to parse; the checks below are made on
  // the text the reader really gets.
  const std::string_view raw = qf::as_text(data, size);
  const ex::MemoryUsage from_raw = parse_memory_usage(raw);
  const ex::MemoryUsage scanned = tokenizing_scan(raw);
  FUZZ_CHECK(from_raw.mem_total_bytes == scanned.mem_total_bytes && from_raw.mem_used_bytes == scanned.mem_used_bytes,
             raw, "tokenizing scan: total " + std::to_string(scanned.mem_total_bytes) + ", used " +
                      std::to_string(scanned.mem_used_bytes));
  const qf::ReaderText reader_text(raw);
  const std::string_view text = reader_text.view();
  const ex::MemoryUsage usage = parse_memory_usage(text);
  const std::string detail =
      "total " + std::to_string(usage.mem_total_bytes) + ", used " + std::to_string(usage.mem_used_bytes);
  FUZZ_CHECK(usage.mem_total_bytes % 1024 == 0 && usage.mem_used_bytes % 1024 == 0, text, detail);
  // Kibibyte counts of 2^54 and more no longer fit in bytes; below 10^16 they do.
  if (qf::max_significant_digits(text) <= 16) FUZZ_CHECK(usage.mem_used_bytes <= usage.mem_total_bytes, text, detail);

  const ex::MemoryUsage from_crlf = parse_memory_usage(qf::with_crlf(text));
  FUZZ_CHECK(from_crlf.mem_total_bytes == usage.mem_total_bytes && from_crlf.mem_used_bytes == usage.mem_used_bytes,
             text, "differs with \\r\\n line ends");
  return 0;
}
