// /proc/meminfo: the memory and swap sizes, in kibibytes.
//
// Promises: a pure parse of the text into the integers as read. Keys are
// whole first tokens, colon included (SwapCached is not Cached); the last
// line with a key counts. Each value tells whether its key's line was there
// at all and, if so, its number, nullopt when that is missing or not a number.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "sys_reader/roots.h"

namespace quillmere::sys_reader {

inline constexpr SourceFile kMeminfoFile{Root::kProcfs, "meminfo"};

struct MeminfoValue {
  bool present = false;              // the key has a line
  std::optional<std::uint64_t> kib;  // that line's value
};

struct MeminfoRecord {
  MeminfoValue mem_total;
  MeminfoValue mem_free;
  MeminfoValue mem_available;  // 3.14 and later
  MeminfoValue buffers;
  MeminfoValue cached;
  MeminfoValue swap_total;
  MeminfoValue swap_free;
};

MeminfoRecord parse_meminfo(std::string_view text) noexcept;

}  // namespace quillmere::sys_reader
