// Reader of /proc/stat: the machine-wide CPU tick counters and the number of
// context switches since boot.
#include "sys_reader/readers.h"

#include <array>
#include <optional>
#include <string>

#include "sys_reader/cutting.h"
#include "sys_reader/file_read.h"
#include "sys_reader/numbers.h"

namespace quillmere::sys_reader {

// Lines used, as the kernel writes them:
//   cpu  4705 356 584 3699 23 23 0 0 0 0
//   ctxt 1990473
// The aggregate line has 7 counters up to 2.6.10; 2.6.11 adds steal, 2.6.24
// guest and 2.6.33 guest_nice. The guest columns are already counted in user
// and nice, so they are left out. Per-CPU lines ("cpu0 ...") have a digit
// where the aggregate line has its space and so never match.
CpuTimes parse_cpu_times(std::string_view text, std::uint64_t previous_context_switches_total) noexcept {
  std::uint64_t user = 0, nice = 0, system = 0, idle = 0, iowait = 0, irq = 0, softirq = 0, steal = 0;
  std::uint64_t context_switches = 0;

  for (const std::string_view line : text_lines(text)) {
    if (starts_with(line, "cpu ")) {
      std::array<std::string_view, 9> tokens;
      const std::size_t count = count_tokens_keeping_first(line, tokens);
      if (count < 8) continue;  // too short to trust any of its columns
      user = parse_u64_or_zero(tokens[1]);
      nice = parse_u64_or_zero(tokens[2]);
      system = parse_u64_or_zero(tokens[3]);
      idle = parse_u64_or_zero(tokens[4]);
      iowait = parse_u64_or_zero(tokens[5]);
      irq = parse_u64_or_zero(tokens[6]);
      softirq = parse_u64_or_zero(tokens[7]);
      // Kernels before 2.6.11 have no steal column; steal is then not
      // touched and keeps its 0.
      if (count >= 9) steal = parse_u64_or_zero(tokens[8]);
    } else if (starts_with(line, "ctxt ")) {
      TokenCursor tokens(line);
      tokens.next();  // the key
      context_switches = parse_u64_or_zero(tokens.next());
    }
  }

  CpuTimes times;
  times.user = user + nice;
  times.system = system;
  times.idle = idle;
  times.iowait = iowait;
  times.irq = irq;
  times.softirq = softirq;
  times.steal = steal;
  times.total = user + nice + system + idle + iowait + irq + softirq + steal;
  times.context_switches_total = context_switches;
  // A count below the previous one (a wrap or a different boot) is no
  // activity rather than a huge wrapped difference.
  times.context_switches = saturating_sub(context_switches, previous_context_switches_total);
  return times;
}

CpuTimes read_cpu_times(std::uint64_t previous_context_switches_total, const char* path) {
  const std::optional<std::string> text = read_text_file(path);
  return parse_cpu_times(text ? std::string_view(*text) : std::string_view(), previous_context_switches_total);
}

}  // namespace quillmere::sys_reader
