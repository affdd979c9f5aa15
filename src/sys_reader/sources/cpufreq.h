// The kernel's current CPU frequencies:
// {sysfs}/devices/system/cpu/cpufreq/policy*/{affected_cpus,scaling_cur_freq}.
//
// Promises: every CPU that a policy's affected_cpus lists gets the policy's
// scaling_cur_freq (kHz) in Hz. A policy whose frequency or CPU list cannot
// be read, or whose frequency is not a number or does not fit 64 bits in Hz,
// gives no entries; a CPU that two policies list keeps the first policy's
// (byte-wise order of the policy names).
#pragma once

#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "sys_reader/roots.h"

namespace quillmere::sys_reader {

inline constexpr SourceFile kCpufreqDir{Root::kSysfs, "devices/system/cpu/cpufreq"};

// CPU -> Hz, sorted by CPU; nullopt when the cpufreq directory cannot be
// listed or has no policy* entry: a kernel without cpufreq has no directory,
// and one whose hardware offers no driver (most virtual machines) an empty
// one. Throws only std::bad_alloc.
std::optional<std::vector<std::pair<std::uint32_t, std::uint64_t>>> read_cpu_frequencies(const Roots& roots);

}  // namespace quillmere::sys_reader
