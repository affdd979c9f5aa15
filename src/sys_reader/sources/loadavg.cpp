// The one line of /proc/loadavg.
#include "sys_reader/sources/loadavg.h"

#include <array>

#include "sys_reader/cutting.h"

namespace quillmere::sys_reader {

// Unchanged in shape since 2.6:
//   0.52 0.58 0.59 1/234 5678
// The fourth field is runnable/total: scheduling entities runnable now and
// in all.
std::optional<LoadavgRecord> parse_loadavg(std::string_view text) noexcept {
  std::array<std::string_view, 5> tokens;
  if (count_tokens_keeping_first(text, tokens) < tokens.size()) return std::nullopt;
  SplitCursor entities(tokens[3], '/');
  const std::string_view runnable = entities.next().value_or("");
  return LoadavgRecord{tokens[0], tokens[1], tokens[2], runnable, entities.next().value_or("")};
}

}  // namespace quillmere::sys_reader
