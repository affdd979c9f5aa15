// Reader of /proc/uptime: seconds since boot.
#include "sys_reader/readers.h"

#include <optional>
#include <string>

#include "sys_reader/cutting.h"
#include "sys_reader/file_read.h"
#include "sys_reader/numbers.h"

namespace quillmere::sys_reader {

// One line: seconds since boot, then the idle time summed over all CPUs
// (which is not used):
//   250.50 900.25
double parse_uptime(std::string_view text) noexcept {
  return parse_f64_or_zero(TokenCursor(text).next());
}

double read_uptime(const char* path) {
  const std::optional<std::string> text = read_text_file(path);
  return text ? parse_uptime(*text) : 0.0;
}

}  // namespace quillmere::sys_reader
