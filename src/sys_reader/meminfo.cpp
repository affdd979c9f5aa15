// Reader of /proc/meminfo: total memory and the memory in use, in bytes.
#include "sys_reader/readers.h"

#include <optional>
#include <string>

#include "sys_reader/counters.h"
#include "sys_reader/file_read.h"

namespace quillmere::sys_reader {

// Lines used (values in kibibytes whatever the unit token says):
//   MemTotal:        8049048 kB
//   MemFree:          211684 kB
//   Buffers:          120992 kB
//   Cached:          3563700 kB
// The keys are matched as whole first tokens, colon included, so that
// SwapCached (and any key that merely ends in one of ours) never matches.
// Used memory is the classic total - free - buffers - cached; MemAvailable
// (3.14+) is deliberately not used.
MemoryUsage parse_memory_usage(std::string_view text) noexcept {
  // The monitoring reader scans the same keys (and a few more) by the same
  // rules, told to keep this reader's arithmetic; its absent values are the
  // zeros this reader reports.
  const MemoryCounters counters = parse_memory_counters(text, Malformed::kZero);
  MemoryUsage usage;
  usage.mem_total_bytes = counters.total_bytes.value_or(0);
  usage.mem_used_bytes = counters.used_bytes.value_or(0);
  return usage;
}

MemoryUsage read_memory_usage(const char* path) {
  const std::optional<std::string> text = read_text_file(path);
  return text ? parse_memory_usage(*text) : MemoryUsage{};
}

}  // namespace quillmere::sys_reader
