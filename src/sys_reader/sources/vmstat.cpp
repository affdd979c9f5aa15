// The page-fault, swap and OOM-kill lines of /proc/vmstat, scanned from the
// end.
#include "sys_reader/sources/vmstat.h"

#include <array>
#include <cstddef>

#include "sys_reader/cutting.h"
#include "sys_reader/numbers.h"

namespace quillmere::sys_reader {
namespace {

// The value of each key's last line into its field: the scan runs from the
// end of the file and stops once it has seen every key.
template <std::size_t N>
void read_last_values(std::string_view text, const std::array<std::string_view, N>& keys,
                      const std::array<std::optional<std::uint64_t>*, N>& fields) noexcept {
  std::array<bool, N> seen{};
  std::size_t left = N;
  visit_lines_backward(text, [&](std::string_view line) {
    for (std::size_t i = 0; i < N; ++i) {
      if (seen[i] || !starts_with(line, keys[i])) continue;
      seen[i] = true;
      --left;
      const std::optional<std::string_view> value = second_token(line);
      *fields[i] = value ? parse_u64(*value) : std::nullopt;
      break;
    }
    return left == 0;
  });
}

}  // namespace

// Lines used (one "name value" pair per line, present since 2.6):
//   pgfault 184530912
//   pgmajfault 17830
// In a kernel's file the scan stops about half way.
VmstatRecord parse_vmstat(std::string_view text) noexcept {
  VmstatRecord record;
  read_last_values<2>(text, {"pgfault ", "pgmajfault "}, {&record.pgfault, &record.pgmajfault});
  return record;
}

// Also used:
//   pswpin 1024
//   pswpout 4096
//   oom_kill 0
// oom_kill comes near the end of the file, so the scan stops early there.
VmstatDetail parse_vmstat_detail(std::string_view text) noexcept {
  VmstatDetail detail;
  read_last_values<5>(text, {"pgfault ", "pgmajfault ", "pswpin ", "pswpout ", "oom_kill "},
                      {&detail.faults.pgfault, &detail.faults.pgmajfault, &detail.pswpin, &detail.pswpout,
                       &detail.oom_kill});
  return detail;
}

}  // namespace quillmere::sys_reader
