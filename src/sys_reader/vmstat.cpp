// Reader of /proc/vmstat: page faults since the counts the caller kept.
#include "sys_reader/readers.h"

#include <optional>
#include <string>

#include "sys_reader/cutting.h"
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
  std::uint64_t minor = 0, major = 0;
  for (const std::string_view line : text_lines(text)) {
    std::uint64_t* target = nullptr;
    if (starts_with(line, "pgfault ")) {
      target = &minor;
    } else if (starts_with(line, "pgmajfault ")) {
      target = &major;
    } else {
      continue;
    }
    TokenCursor tokens(line);
    tokens.next();  // the key
    *target = parse_u64_or_zero(tokens.next());
  }

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
