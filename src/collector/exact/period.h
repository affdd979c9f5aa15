// The sampling period: whole seconds plus nanoseconds, made from a count of
// milliseconds with no bound applied.
#pragma once

#include <cstdint>

#include "runtime/periodic_timer.h"  // saturating_add

namespace quillmere::collector {

struct Period {
  std::uint64_t seconds = 0;
  std::uint32_t nanoseconds = 0;  // below 10^9

  static constexpr Period from_millis(std::uint64_t interval_ms) noexcept {
    return Period{interval_ms / 1000, static_cast<std::uint32_t>(interval_ms % 1000) * 1000000U};
  }

  // The divisor of the throughput rates: the configured period, never a
  // measured elapsed time.
  constexpr double interval_seconds() const noexcept {
    return static_cast<double>(seconds) + static_cast<double>(nanoseconds) / 1e9;
  }

  // For the timer; saturates at 2^64 - 1 ns (about 584 years).
  constexpr std::uint64_t saturating_ns() const noexcept {
    constexpr std::uint64_t kMaxSeconds = UINT64_MAX / 1000000000ULL;
    if (seconds > kMaxSeconds) return UINT64_MAX;
    return runtime::saturating_add(seconds * 1000000000ULL, nanoseconds);
  }
};

}  // namespace quillmere::collector
