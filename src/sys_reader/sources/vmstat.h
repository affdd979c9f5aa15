// /proc/vmstat: the page-fault counters; for the monitoring pass also the
// swap and OOM-kill counters.
//
// Promises: a pure parse of the text into the integers as read. A key
// includes its trailing space, so longer names with the same start never
// match; the last line with a key counts; a value that is missing or not a
// number is nullopt, like a key without a line.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "sys_reader/roots.h"

namespace quillmere::sys_reader {

inline constexpr SourceFile kVmstatFile{Root::kProcfs, "vmstat"};

struct VmstatRecord {
  std::optional<std::uint64_t> pgfault;     // every fault, major ones included
  std::optional<std::uint64_t> pgmajfault;
};

VmstatRecord parse_vmstat(std::string_view text) noexcept;

struct VmstatDetail {
  VmstatRecord faults;
  std::optional<std::uint64_t> pswpin;    // pages swapped in since boot
  std::optional<std::uint64_t> pswpout;   // pages swapped out since boot
  std::optional<std::uint64_t> oom_kill;  // OOM kills since boot (4.13 and later)
};

VmstatDetail parse_vmstat_detail(std::string_view text) noexcept;

}  // namespace quillmere::sys_reader
