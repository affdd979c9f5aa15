// Reader of /proc/meminfo: total memory and the memory in use, in bytes.
#include "sys_reader/readers.h"

#include <optional>
#include <string>

#include "sys_reader/text.h"

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
  std::uint64_t total = 0, free = 0, buffers = 0, cached = 0;
  for (const std::string_view line : text_lines(text)) {
    TokenReader tokens(line);
    const std::optional<std::string_view> key = tokens.next();
    if (!key) continue;
    std::uint64_t* target = nullptr;
    if (*key == "MemTotal:") {
      target = &total;
    } else if (*key == "MemFree:") {
      target = &free;
    } else if (*key == "Buffers:") {
      target = &buffers;
    } else if (*key == "Cached:") {
      target = &cached;
    }
    if (target != nullptr) *target = parse_u64_or_zero(tokens.next());
  }

  MemoryUsage usage;
  usage.mem_total_bytes = total * 1024;
  // The three parts can add up to more than the total (the kernel reads them
  // at slightly different moments); that is reported as nothing used rather
  // than a wrapped-around value.
  usage.mem_used_bytes = saturating_sub(total, free + buffers + cached) * 1024;
  return usage;
}

MemoryUsage read_memory_usage(const char* path) {
  const std::optional<std::string> text = read_text_file(path);
  return text ? parse_memory_usage(*text) : MemoryUsage{};
}

}  // namespace quillmere::sys_reader
