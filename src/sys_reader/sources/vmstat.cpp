// The page-fault lines of /proc/vmstat, scanned from the end.
#include "sys_reader/sources/vmstat.h"

#include "sys_reader/cutting.h"
#include "sys_reader/numbers.h"

namespace quillmere::sys_reader {

// Lines used (one "name value" pair per line, present since 2.6):
//   pgfault 184530912
//   pgmajfault 17830
// The last line with a key counts: the scan runs from the end of the file
// and stops once it has seen both keys (in a kernel's file, about half way).
VmstatRecord parse_vmstat(std::string_view text) noexcept {
  VmstatRecord record;
  bool faults_seen = false;
  bool major_seen = false;
  const auto value_of = [](std::string_view line) -> std::optional<std::uint64_t> {
    const std::optional<std::string_view> value = second_token(line);
    return value ? parse_u64(*value) : std::nullopt;
  };
  visit_lines_backward(text, [&](std::string_view line) {
    if (!faults_seen && starts_with(line, "pgfault ")) {
      faults_seen = true;
      record.pgfault = value_of(line);
    } else if (!major_seen && starts_with(line, "pgmajfault ")) {
      major_seen = true;
      record.pgmajfault = value_of(line);
    }
    return faults_seen && major_seen;
  });
  return record;
}

}  // namespace quillmere::sys_reader
