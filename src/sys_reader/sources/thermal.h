// The kernel's thermal zones: /sys/class/thermal/thermal_zone*/temp and type.
//
// Promises: the zones' names in byte-wise order (thermal_zone10 before
// thermal_zone2, the same on every system), the path of each zone's files,
// and a pure parse of a temp file's text into its token (millidegrees
// Celsius, converted by each module in its own precision).
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "sys_reader/roots.h"

namespace quillmere::sys_reader {

inline constexpr SourceFile kThermalDir{Root::kSysfs, "class/thermal"};

// The thermal_zone* entries of the directory, sorted byte-wise; empty when it
// cannot be listed.
std::vector<std::string> thermal_zone_names(const std::string& thermal_dir);

// thermal_dir/zone/file, for `file` "temp" or "type".
std::string zone_file(const std::string& thermal_dir, std::string_view zone, std::string_view file);

// "48312\n": the text without white space at either end. Some sensors fail
// the read (EIO, EAGAIN) or report garbage while they start; the modules
// pass such a zone over.
std::string_view parse_zone_temp(std::string_view text) noexcept;

}  // namespace quillmere::sys_reader
