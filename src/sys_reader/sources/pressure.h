// Pressure stall information: {procfs}/pressure/{cpu,memory,io}.
//
// Promises: a pure parse of one file into its two totals in seconds. The
// kernel writes
//   some avg10=0.00 avg60=0.00 avg300=0.00 total=12345
//   full avg10=0.00 avg60=0.00 avg300=0.00 total=678
// with total= in microseconds; the cpu file has no full line before 5.13. A
// line or a total= that is missing or not a number gives nullopt; the last
// line of each kind counts.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "sys_reader/roots.h"

namespace quillmere::sys_reader {

inline constexpr SourceFile kPressureDir{Root::kProcfs, "pressure"};

struct PressureRecord {
  std::optional<double> some_seconds_total;  // time at least one task stalled on the resource
  std::optional<double> full_seconds_total;  // time every non-idle task stalled at once

  bool operator==(const PressureRecord&) const = default;
};

PressureRecord parse_pressure(std::string_view text) noexcept;

// Resource name ("cpu", "memory", "io", in that order) -> record, for each
// file that reads and whose some line parses (a kernel booted with psi=0
// keeps the directory but fails every read); nullopt when the pressure
// directory cannot be listed or is empty. Throws only std::bad_alloc.
std::optional<std::vector<std::pair<std::string, PressureRecord>>> read_pressure(const Roots& roots);

}  // namespace quillmere::sys_reader
