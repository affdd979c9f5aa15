// Clock readings with the 64-bit fallback of 32-bit builds.
#include "os/clock.h"

#include <optional>

#include <sys/syscall.h>  // SYS_clock_gettime64 (32-bit targets only)
#include <unistd.h>       // syscall

namespace quillmere::os {
namespace {

struct Reading {
  std::int64_t seconds;
  std::uint32_t nanoseconds;
};

std::optional<Reading> read_clock_or_fallback(clockid_t clock, ClockReader read_clock) noexcept {
  timespec ts{};
  if (read_clock(clock, &ts) == 0 && ts.tv_nsec >= 0 && ts.tv_nsec < 1000000000L) {
    return Reading{static_cast<std::int64_t>(ts.tv_sec), static_cast<std::uint32_t>(ts.tv_nsec)};
  }
#if defined(SYS_clock_gettime64)
  // The kernel's timespec for this call: two 64-bit fields on every target.
  struct {
    std::int64_t tv_sec;
    std::int64_t tv_nsec;
  } ts64{};
  if (::syscall(SYS_clock_gettime64, clock, &ts64) == 0 && ts64.tv_nsec >= 0 && ts64.tv_nsec < 1000000000) {
    return Reading{ts64.tv_sec, static_cast<std::uint32_t>(ts64.tv_nsec)};
  }
#endif
  return std::nullopt;
}

}  // namespace

WallClockInstant read_wall_clock(ClockReader read_clock) noexcept {
  const std::optional<Reading> now = read_clock_or_fallback(CLOCK_REALTIME, read_clock);
  return now ? WallClockInstant{now->seconds, now->nanoseconds} : WallClockInstant{};
}

std::uint64_t monotonic_now_ns(ClockReader read_clock) noexcept {
  const std::optional<Reading> now = read_clock_or_fallback(CLOCK_MONOTONIC, read_clock);
  if (!now || now->seconds < 0) return 0;
  return static_cast<std::uint64_t>(now->seconds) * 1000000000ULL + now->nanoseconds;
}

}  // namespace quillmere::os
