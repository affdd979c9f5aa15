// The first token of /proc/uptime.
#include "sys_reader/sources/uptime.h"

#include "sys_reader/cutting.h"

namespace quillmere::sys_reader {

std::optional<std::string_view> parse_uptime(std::string_view text) noexcept { return TokenCursor(text).next(); }

}  // namespace quillmere::sys_reader
