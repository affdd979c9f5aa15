// /proc/uptime: seconds since boot.
//
// Promises: a pure parse of the text into the first token (the seconds since
// boot; the second, the idle time summed over all CPUs, is not used), nullopt
// for a text without one. Each module converts it in its own way.
#pragma once

#include <optional>
#include <string_view>

#include "sys_reader/roots.h"

namespace quillmere::sys_reader {

inline constexpr SourceFile kUptimeFile{Root::kProcfs, "uptime"};

// "250.50 900.25"
std::optional<std::string_view> parse_uptime(std::string_view text) noexcept;

}  // namespace quillmere::sys_reader
