// /proc/loadavg: the three load averages and the runnable count.
//
// Promises: a pure parse of the text into the tokens the readers convert,
// each module in its own precision. The line needs five tokens (the last, the
// most recent PID, only counts for that); a shorter one gives nullopt.
#pragma once

#include <optional>
#include <string_view>

#include "sys_reader/roots.h"

namespace quillmere::sys_reader {

inline constexpr SourceFile kLoadavgFile{Root::kProcfs, "loadavg"};

// Views into the text.
struct LoadavgRecord {
  std::string_view load_1;
  std::string_view load_5;
  std::string_view load_15;
  std::string_view runnable;  // the fourth field up to its first '/' (the whole field without one)
  std::string_view entities;  // the fourth field after its first '/' up to the next (empty without one)
};

std::optional<LoadavgRecord> parse_loadavg(std::string_view text) noexcept;

}  // namespace quillmere::sys_reader
