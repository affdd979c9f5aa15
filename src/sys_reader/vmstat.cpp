// Reader of /proc/vmstat: page faults since the counts the caller kept.
#include "sys_reader/readers.h"

#include <optional>
#include <string>

#include "sys_reader/counters.h"
#include "sys_reader/file_read.h"
#include "sys_reader/numbers.h"

namespace quillmere::sys_reader {

// Lines used (one "name value" pair per line, present since 2.6):
//   pgfault 184530912
//   pgmajfault 17830
// The key includes its trailing space so that longer names with the same
// start never match. pgfault counts every fault, major ones included.
PageFaultCounts parse_page_faults(std::string_view text, std::uint64_t previous_minor_total,
                                  std::uint64_t previous_major_total) noexcept {
  // The monitoring reader scans the same keys by the same rules, told to read
  // a malformed value as 0; its absent values are the zeros reported here.
  const PageFaultTotals totals = parse_page_fault_totals(text, Malformed::kZero);
  const std::uint64_t minor = totals.faults.value_or(0);
  const std::uint64_t major = totals.major_faults.value_or(0);

  PageFaultCounts faults;
  faults.minor_total = minor;
  faults.major_total = major;
  // Saturating: a count below the previous one means a reset, not activity.
  faults.minor = saturating_sub(minor, previous_minor_total);
  faults.major = saturating_sub(major, previous_major_total);
  return faults;
}

PageFaultCounts read_page_faults(std::uint64_t previous_minor_total, std::uint64_t previous_major_total,
                                 const char* path) {
  const std::optional<std::string> text = read_text_file(path);
  return parse_page_faults(text ? std::string_view(*text) : std::string_view(), previous_minor_total,
                           previous_major_total);
}

}  // namespace quillmere::sys_reader
