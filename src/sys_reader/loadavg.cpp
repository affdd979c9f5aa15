// Reader of /proc/loadavg: the three load averages and the number of
// runnable scheduling entities.
#include "sys_reader/readers.h"

#include <array>
#include <optional>
#include <string>

#include "sys_reader/cutting.h"
#include "sys_reader/file_read.h"
#include "sys_reader/numbers.h"

namespace quillmere::sys_reader {

// The file is one line, unchanged in shape since 2.6:
//   0.52 0.58 0.59 1/234 5678
// The fourth field is runnable/total; the fifth, the last PID handed out, is
// only checked for presence: a shorter line is treated as garbage.
LoadAverage parse_load_average(std::string_view text) noexcept {
  std::array<std::string_view, 5> tokens;
  if (count_tokens_keeping_first(text, tokens) < tokens.size()) return {};

  LoadAverage load;
  load.load_avg_1 = parse_f32_or_zero(tokens[0]);
  load.load_avg_5 = parse_f32_or_zero(tokens[1]);
  load.load_avg_15 = parse_f32_or_zero(tokens[2]);
  // Without a '/' the whole field is the first piece.
  load.run_queue_length = parse_f32_or_zero(SplitCursor(tokens[3], '/').next());
  return load;
}

LoadAverage read_load_average(const char* path) {
  const std::optional<std::string> text = read_text_file(path);
  return text ? parse_load_average(*text) : LoadAverage{};
}

}  // namespace quillmere::sys_reader
