// Throughput between two readings of per-device byte counters.
#include "sys_reader/readers.h"

#include <limits>

#include "sys_reader/numbers.h"

namespace quillmere::sys_reader {
namespace {

// Truncates a non-negative rate to an integer. NaN and negative quotients
// (a zero or negative interval) give 0; anything at or above 2^64 gives the
// largest value, where a plain cast would be undefined.
std::uint64_t rate_to_u64(double rate) noexcept {
  constexpr double kTwoTo64 = 18446744073709551616.0;
  if (!(rate > 0.0)) return 0;
  if (rate >= kTwoTo64) return std::numeric_limits<std::uint64_t>::max();
  return static_cast<std::uint64_t>(rate);
}

}  // namespace

std::pair<std::uint64_t, std::uint64_t> device_rates(const DeviceCounters& previous,
                                                     const DeviceCounters& current,
                                                     double interval_seconds) noexcept {
  // An empty side is a failed reading (or the first one), not a machine
  // without devices, so it gives no rate at all.
  if (previous.empty() || current.empty()) return {0, 0};
  std::uint64_t first_sum = 0;
  std::uint64_t second_sum = 0;
  for (const auto& [name, now] : current) {
    // A device seen only now (or only before) has no increase to report yet.
    const auto before = previous.find(name);
    if (before == previous.end()) continue;
    // The components are judged apart: a counter that went back (device
    // re-created, counter reset) contributes 0 while the other still counts.
    first_sum += saturating_sub(now.first, before->second.first);
    second_sum += saturating_sub(now.second, before->second.second);
  }
  return {rate_to_u64(static_cast<double>(first_sum) / interval_seconds),
          rate_to_u64(static_cast<double>(second_sum) / interval_seconds)};
}

}  // namespace quillmere::sys_reader
