// /proc/stat: the aggregate CPU line and the context-switch count; for the
// monitoring pass also the per-CPU lines and the task counts.
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
#include <vector>

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

// One "cpuN" line: nullopt ticks when it has fewer than 8 tokens or a column
// that is not a number (a steal column it lacks reads 0).
struct CpuLine {
  std::uint32_t cpu = 0;
  std::optional<CpuTicks> ticks;
};

// What the monitoring pass takes from the file, in one scan: the record
// parse_stat gives, by its rules, and the lines it passes over.
struct StatDetail {
  StatRecord totals;
  // One entry per N of the "cpuN" lines (N digits only, below 2^32; the last
  // line of an N counts), sorted by N.
  std::vector<CpuLine> cpus;
  // The last line of each key, nullopt when missing or not a number.
  std::optional<std::uint64_t> procs_running;  // tasks runnable now
  std::optional<std::uint64_t> procs_blocked;  // tasks waiting on I/O now
  std::optional<std::uint64_t> forks;          // "processes": forks since boot
};

// Throws only std::bad_alloc.
StatDetail parse_stat_detail(std::string_view text);

}  // namespace quillmere::sys_reader
