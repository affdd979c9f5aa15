// /proc/stat: the aggregate CPU line and the context-switch count.
//
// Promises: a pure parse of the text into the integers as read, nothing
// more. The last "cpu " line of 8 tokens or more gives the columns; a later
// such line overrides an earlier one column by column, so one without a
// steal column keeps the earlier line's steal. A column that is not a number
// reads 0 and is flagged as malformed; a column the line lacks (steal before
// 2.6.11) reads 0. The last "ctxt " line gives the count, nullopt when its
// value is missing or not a number. Per-CPU lines ("cpu0 ...") never match.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "sys_reader/roots.h"

namespace quillmere::sys_reader {

inline constexpr SourceFile kStatFile{Root::kProcfs, "stat"};

// The aggregate line's columns in USER_HZ ticks since boot, as the kernel
// keeps them: user does not include nice.
struct CpuTicks {
  std::uint64_t user = 0;
  std::uint64_t nice = 0;
  std::uint64_t system = 0;
  std::uint64_t idle = 0;
  std::uint64_t iowait = 0;
  std::uint64_t irq = 0;
  std::uint64_t softirq = 0;
  std::uint64_t steal = 0;
};

struct StatRecord {
  std::optional<CpuTicks> cpu;  // nullopt: no "cpu " line of 8+ tokens
  // Bit i set: column i (user first) of `cpu` was not a number.
  std::uint32_t malformed_columns = 0;
  std::optional<std::uint64_t> context_switches;  // since boot
};

StatRecord parse_stat(std::string_view text) noexcept;

}  // namespace quillmere::sys_reader
