// Reader of /proc/stat: the machine-wide CPU tick counters and the number of
// context switches since boot.
#include "sys_reader/readers.h"

#include <optional>
#include <string>

#include "sys_reader/counters.h"
#include "sys_reader/file_read.h"
#include "sys_reader/numbers.h"

namespace quillmere::sys_reader {

// The lines used ("cpu " and "ctxt ") and the rules they are read by are
// the monitoring reader's (parse_stat_counters), told to read a malformed
// value as 0; a value it finds absent is 0 here too, and user includes nice.
CpuTimes parse_cpu_times(std::string_view text, std::uint64_t previous_context_switches_total) noexcept {
  const StatCounters counters = parse_stat_counters(text, Malformed::kZero);
  const CpuTicks t = counters.cpu.value_or(CpuTicks{});
  const std::uint64_t context_switches = counters.context_switches_total.value_or(0);

  CpuTimes times;
  times.user = t.user + t.nice;
  times.system = t.system;
  times.idle = t.idle;
  times.iowait = t.iowait;
  times.irq = t.irq;
  times.softirq = t.softirq;
  times.steal = t.steal;
  times.total = t.user + t.nice + t.system + t.idle + t.iowait + t.irq + t.softirq + t.steal;
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
