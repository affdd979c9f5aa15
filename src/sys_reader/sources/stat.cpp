// The aggregate line and the ctxt line of /proc/stat, and for the monitoring
// pass the per-CPU and task lines.
#include "sys_reader/sources/stat.h"

#include <algorithm>
#include <array>
#include <cstddef>

#include "sys_reader/cutting.h"
#include "sys_reader/numbers.h"

namespace quillmere::sys_reader {
namespace {

// The counter columns of a cpu line (its name the first token) into `ticks`,
// one by one: a column that is not a number reads 0 and sets its bit in
// `malformed`, a valid one clears it, and a steal column the line lacks
// leaves steal as it was. False, with nothing changed, for a line of fewer
// than 8 tokens.
bool read_cpu_columns(std::string_view line, CpuTicks& ticks, std::uint32_t& malformed) noexcept {
  std::array<std::string_view, 9> tokens;
  const std::size_t count = count_tokens_keeping_first(line, tokens);
  if (count < 8) return false;
  const std::array<std::uint64_t*, 8> columns = {&ticks.user,   &ticks.nice, &ticks.system,  &ticks.idle,
                                                 &ticks.iowait, &ticks.irq,  &ticks.softirq, &ticks.steal};
  const std::size_t present = count >= 9 ? 8 : 7;
  for (std::size_t i = 0; i < present; ++i) {
    const std::optional<std::uint64_t> value = parse_u64(tokens[i + 1]);
    *columns[i] = value.value_or(0);
    const std::uint32_t bit = std::uint32_t{1} << i;
    malformed = value ? malformed & ~bit : malformed | bit;
  }
  return true;
}

std::optional<std::uint64_t> value_of(std::string_view line) noexcept {
  const std::optional<std::string_view> value = second_token(line);
  return value ? parse_u64(*value) : std::nullopt;
}

// The lines parse_stat reads; false for any other line.
bool read_totals_line(std::string_view line, StatRecord& record) noexcept {
  if (starts_with(line, "cpu ")) {
    CpuTicks ticks = record.cpu.value_or(CpuTicks{});
    if (read_cpu_columns(line, ticks, record.malformed_columns)) record.cpu = ticks;
    return true;
  }
  if (starts_with(line, "ctxt ")) {
    record.context_switches = value_of(line);
    return true;
  }
  return false;
}

// N of a "cpuN" line, nullopt when its first token is not "cpu" and digits
// or N does not fit 32 bits.
std::optional<std::uint32_t> cpu_number(std::string_view line) noexcept {
  const std::optional<std::string_view> name = TokenCursor(line).next();
  if (!name || name->size() <= 3) return std::nullopt;
  const std::string_view digits = name->substr(3);
  if (!std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; })) return std::nullopt;
  const std::optional<std::uint64_t> number = parse_u64(digits);
  if (!number || *number > UINT32_MAX) return std::nullopt;
  return static_cast<std::uint32_t>(*number);
}

}  // namespace

// Lines used, as the kernel writes them:
//   cpu  4705 356 584 3699 23 23 0 0 0 0
//   ctxt 1990473
// The aggregate line has 7 counters up to 2.6.10; 2.6.11 adds steal, 2.6.24
// guest and 2.6.33 guest_nice. The guest columns are already counted in user
// and nice, so they are left out. Per-CPU lines have a digit where the
// aggregate line has its space and so never match.
StatRecord parse_stat(std::string_view text) noexcept {
  StatRecord record;
  for (const std::string_view line : text_lines(text)) read_totals_line(line, record);
  return record;
}

// Also used:
//   cpu0 2351 178 290 1850 11 12 0 0 0 0
//   processes 98231
//   procs_running 2
//   procs_blocked 0
// The kernel writes the per-CPU lines in rising order, once each: sorting is
// needed only for a text that does not.
StatDetail parse_stat_detail(std::string_view text) {
  StatDetail detail;
  bool sorted = true;
  for (const std::string_view line : text_lines(text)) {
    if (read_totals_line(line, detail.totals)) continue;
    if (starts_with(line, "cpu")) {
      const std::optional<std::uint32_t> cpu = cpu_number(line);
      if (!cpu) continue;
      CpuTicks ticks;
      std::uint32_t malformed = 0;
      const bool valid = read_cpu_columns(line, ticks, malformed) && malformed == 0;
      sorted = sorted && (detail.cpus.empty() || detail.cpus.back().cpu < *cpu);
      detail.cpus.push_back(CpuLine{*cpu, valid ? std::optional<CpuTicks>(ticks) : std::nullopt});
    } else if (starts_with(line, "procs_running ")) {
      detail.procs_running = value_of(line);
    } else if (starts_with(line, "procs_blocked ")) {
      detail.procs_blocked = value_of(line);
    } else if (starts_with(line, "processes ")) {
      detail.forks = value_of(line);
    }
  }
  if (!sorted) {
    std::stable_sort(detail.cpus.begin(), detail.cpus.end(),
                     [](const CpuLine& a, const CpuLine& b) { return a.cpu < b.cpu; });
    // The last line of each N is the last of its run.
    const auto last_of_run = std::unique(detail.cpus.rbegin(), detail.cpus.rend(),
                                         [](const CpuLine& a, const CpuLine& b) { return a.cpu == b.cpu; });
    detail.cpus.erase(detail.cpus.begin(), last_of_run.base());
  }
  return detail;
}

}  // namespace quillmere::sys_reader
