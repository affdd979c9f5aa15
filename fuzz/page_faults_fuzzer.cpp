// /proc/vmstat through the exact contract: the totals are those of a plain forward scan in which
// the last line with a key counts, the differences saturate against the
// counts handed in, which affect nothing else, and "\r\n" line ends read
// like "\n".
#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>

#include "fuzz_support.h"
#include "sys_reader/cutting.h"
#include "sys_reader/numbers.h"
#include "collector/exact/exact_contract.h"
#include "sys_reader/sources/vmstat.h"

namespace qf = quillmere::fuzz;
namespace sr = quillmere::sys_reader;
namespace ex = quillmere::collector::exact;

namespace {

ex::PageFaultCounts parse_page_faults(std::string_view text, std::uint64_t minor, std::uint64_t major) {
  return ex::page_faults(sr::parse_vmstat(text), minor, major);
}

// Every line in file order, each key's value overwritten by a later line.
std::pair<std::uint64_t, std::uint64_t> forward_totals(std::string_view text) {
  std::uint64_t minor = 0;
  std::uint64_t major = 0;
  for (const std::string_view line : sr::text_lines(text)) {
    std::uint64_t* target = sr::starts_with(line, "pgfault ")      ? &minor
                            : sr::starts_with(line, "pgmajfault ") ? &major
                                                                   : nullptr;
    if (target == nullptr) continue;
    sr::TokenCursor tokens(line);
    tokens.next();
    const std::optional<std::string_view> value = tokens.next();
    *target = value ? qf::ref_u64(*value).value_or(0) : 0;
  }
  return {minor, major};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // Any bytes at all must be safe to parse; the checks below are made on
  // the text the reader really gets.
  const std::string_view raw = qf::as_text(data, size);
  const qf::ReaderText reader_text(raw);
  const std::string_view text = reader_text.view();
  const ex::PageFaultCounts faults = parse_page_faults(text, 0, 0);
  const auto [forward_minor, forward_major] = forward_totals(raw);
  const ex::PageFaultCounts from_raw = parse_page_faults(raw, 0, 0);
  FUZZ_CHECK(from_raw.minor_total == forward_minor && from_raw.major_total == forward_major, raw,
             "forward scan " + std::to_string(forward_minor) + "/" + std::to_string(forward_major));
  FUZZ_CHECK(faults.minor == faults.minor_total && faults.major == faults.major_total, text);

  const std::uint64_t minor = faults.minor_total;
  const std::uint64_t major = faults.major_total;
  const std::uint64_t previous_minor[] = {minor - 1, minor, minor + 1, minor / 2, UINT64_MAX};
  const std::uint64_t previous_major[] = {major + 1, major / 3, major, UINT64_MAX, major - 1};
  for (std::size_t i = 0; i < std::size(previous_minor); ++i) {
    const std::uint64_t pm = previous_minor[i];
    const std::uint64_t pj = previous_major[i];
    const ex::PageFaultCounts later = parse_page_faults(text, pm, pj);
    const std::string detail = "previous " + std::to_string(pm) + "/" + std::to_string(pj) + ": got " +
                               std::to_string(later.minor) + "/" + std::to_string(later.major);
    FUZZ_CHECK(later.minor_total == minor && later.major_total == major, text, detail);
    FUZZ_CHECK(later.minor == (minor > pm ? minor - pm : 0), text, detail);
    FUZZ_CHECK(later.major == (major > pj ? major - pj : 0), text, detail);
  }

  const ex::PageFaultCounts from_crlf = parse_page_faults(qf::with_crlf(text), 0, 0);
  FUZZ_CHECK(from_crlf.minor_total == minor && from_crlf.major_total == major, text, "differs with \\r\\n line ends");
  return 0;
}
