// The keyed lines of /proc/meminfo, scanned from the end.
#include "sys_reader/sources/meminfo.h"

#include <algorithm>
#include <array>
#include <cstddef>

#include "sys_reader/cutting.h"
#include "sys_reader/numbers.h"

namespace quillmere::sys_reader {
namespace {

// True when `line` starts with an ASCII byte that is not white space: its
// first token then starts at its first byte, so that token can only be a
// given key if the line starts with that key. Other lines (empty, white space
// first, or a multibyte character first) are left to the tokenizer.
bool begins_with_ascii_token(std::string_view line) noexcept {
  if (line.empty()) return false;
  const auto first = static_cast<unsigned char>(line[0]);
  return first < 0x80 && first != ' ' && (first < '\t' || first > '\r');
}

}  // namespace

// Lines used (kibibytes whatever the unit token says):
//   MemTotal:        8049048 kB
//   MemFree:          211684 kB
//   MemAvailable:    5123456 kB     (3.14 and later)
//   Buffers:          120992 kB
//   Cached:          3563700 kB
//   SwapTotal:       2097148 kB
//   SwapFree:        2097148 kB
// The last line with a key counts: the scan runs from the end of the file,
// takes the first value it meets for each key and stops once it has them
// all. Most lines are passed over on their first bytes, without cutting them
// into tokens.
MeminfoRecord parse_meminfo(std::string_view text) noexcept {
  MeminfoRecord record;
  struct Key {
    std::string_view name;
    MeminfoValue* value;
  };
  const std::array<Key, 7> keys = {{{"MemTotal:", &record.mem_total},
                                    {"MemFree:", &record.mem_free},
                                    {"MemAvailable:", &record.mem_available},
                                    {"Buffers:", &record.buffers},
                                    {"Cached:", &record.cached},
                                    {"SwapTotal:", &record.swap_total},
                                    {"SwapFree:", &record.swap_free}}};
  std::size_t missing = keys.size();
  visit_lines_backward(text, [&keys, &missing](std::string_view line) {
    const auto line_starts_with = [line](const Key& key) {
      return line[0] == key.name[0] && starts_with(line, key.name);
    };
    if (begins_with_ascii_token(line) && std::none_of(keys.begin(), keys.end(), line_starts_with)) return false;
    TokenCursor tokens(line);
    const std::optional<std::string_view> first = tokens.next();
    if (!first) return false;
    for (const Key& key : keys) {
      if (*first != key.name) continue;
      if (!key.value->present) {
        key.value->present = true;
        const std::optional<std::string_view> value = tokens.next();
        key.value->kib = value ? parse_u64(*value) : std::nullopt;
        --missing;
      }
      break;
    }
    return missing == 0;
  });
  return record;
}

}  // namespace quillmere::sys_reader
