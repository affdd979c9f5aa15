// The aggregate line and the ctxt line of /proc/stat.
#include "sys_reader/sources/stat.h"

#include <array>
#include <cstddef>

#include "sys_reader/cutting.h"
#include "sys_reader/numbers.h"

namespace quillmere::sys_reader {

// Lines used, as the kernel writes them:
//   cpu  4705 356 584 3699 23 23 0 0 0 0
//   ctxt 1990473
// The aggregate line has 7 counters up to 2.6.10; 2.6.11 adds steal, 2.6.24
// guest and 2.6.33 guest_nice. The guest columns are already counted in user
// and nice, so they are left out. Per-CPU lines have a digit where the
// aggregate line has its space and so never match.
StatRecord parse_stat(std::string_view text) noexcept {
  StatRecord record;
  for (const std::string_view line : text_lines(text)) {
    if (starts_with(line, "cpu ")) {
      std::array<std::string_view, 9> tokens;
      const std::size_t count = count_tokens_keeping_first(line, tokens);
      if (count < 8) continue;
      CpuTicks ticks = record.cpu.value_or(CpuTicks{});
      const std::array<std::uint64_t*, 8> columns = {&ticks.user,   &ticks.nice, &ticks.system,  &ticks.idle,
                                                     &ticks.iowait, &ticks.irq,  &ticks.softirq, &ticks.steal};
      const std::size_t present = count >= 9 ? 8 : 7;
      for (std::size_t i = 0; i < present; ++i) {
        const std::optional<std::uint64_t> value = parse_u64(tokens[i + 1]);
        *columns[i] = value.value_or(0);
        const std::uint32_t bit = std::uint32_t{1} << i;
        record.malformed_columns = value ? record.malformed_columns & ~bit : record.malformed_columns | bit;
      }
      record.cpu = ticks;
    } else if (starts_with(line, "ctxt ")) {
      const std::optional<std::string_view> value = second_token(line);
      record.context_switches = value ? parse_u64(*value) : std::nullopt;
    }
  }
  return record;
}

}  // namespace quillmere::sys_reader
