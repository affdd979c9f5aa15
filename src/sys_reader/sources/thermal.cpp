// Zone names and zone files under the thermal class directory.
#include "sys_reader/sources/thermal.h"

#include "sys_reader/file_read.h"
#include "sys_reader/unicode_space.h"

namespace quillmere::sys_reader {

std::vector<std::string> thermal_zone_names(const std::string& thermal_dir) {
  return directory_entries(thermal_dir.c_str(), "thermal_zone");
}

std::string zone_file(const std::string& thermal_dir, std::string_view zone, std::string_view file) {
  std::string path(thermal_dir);
  path.append("/").append(zone).append("/").append(file);
  return path;
}

std::string_view parse_zone_temp(std::string_view text) noexcept { return trim_whitespace(text); }

}  // namespace quillmere::sys_reader
