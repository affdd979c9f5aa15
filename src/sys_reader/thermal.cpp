// Reader of the CPU temperature from the kernel's thermal zones.
#include "sys_reader/readers.h"
#include "sys_reader/counters.h"

#include <algorithm>
#include <exception>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <dirent.h>  // opendir, readdir, closedir

#include "sys_reader/cutting.h"
#include "sys_reader/file_read.h"
#include "sys_reader/numbers.h"
#include "sys_reader/unicode_space.h"

namespace quillmere::sys_reader {
namespace {

constexpr std::string_view kZonePrefix = "thermal_zone";

// Owns a DIR* so that every path out of the listing closes it.
class DirHandle {
 public:
  explicit DirHandle(const char* path) noexcept : dir_(::opendir(path)) {}
  DirHandle(const DirHandle&) = delete;
  DirHandle& operator=(const DirHandle&) = delete;
  ~DirHandle() {
    if (dir_ != nullptr) ::closedir(dir_);
  }
  DIR* get() const noexcept { return dir_; }

 private:
  DIR* dir_;
};

}  // namespace

std::vector<std::string> directory_entries(const char* dir, std::string_view prefix) {
  std::vector<std::string> names;
  // glibc's opendir opens the directory with O_CLOEXEC.
  const DirHandle handle(dir);
  if (handle.get() == nullptr) return names;
  // A readdir error ends the listing like its end would; the entries found
  // so far are still used.
  while (const dirent* entry = ::readdir(handle.get())) {
    // d_name is the C API's NUL-terminated char array.
    const std::string_view name(entry->d_name);  // NOLINT(cppcoreguidelines-pro-bounds-array-to-pointer-decay)
    if (name == "." || name == "..") continue;
    if (starts_with(name, prefix)) names.emplace_back(name);
  }
  // Byte order, not a locale's collation, so that the order is the same on
  // every system.
  std::sort(names.begin(), names.end());
  return names;
}

// Names of the thermal_zone* entries of `thermal_dir`, sorted byte-wise:
// thermal_zone10 comes before thermal_zone2, so the zone chosen is the same
// on every system.
std::vector<std::string> thermal_zone_names(const char* thermal_dir) {
  return directory_entries(thermal_dir, kZonePrefix);
}

// Each zone's temp file holds millidegrees Celsius and a newline:
//   48312
// Some sensors fail the read (EIO, EAGAIN) or report garbage while they
// start; such a zone is passed over for the next one.
float read_cpu_temperature(const char* thermal_dir) {
  try {
    for (const std::string& zone : thermal_zone_names(thermal_dir)) {
      std::string path(thermal_dir);
      path.append("/").append(zone).append("/temp");
      const std::optional<std::string> text = read_text_file(path.c_str());
      if (!text) continue;
      const std::optional<float> millidegrees = parse_f32(trim_whitespace(*text));
      if (!millidegrees) continue;
      return *millidegrees / 1000.0f;
    }
  } catch (const std::exception&) {
    // Out of memory while listing: no temperature, like a missing sensor.
  }
  return 0.0f;
}

}  // namespace quillmere::sys_reader
