// The core's two clocks: the wall clock that stamps readings and snapshots,
// and the monotonic clock that times periods and intervals. Every reading of
// either goes through here, so that both behave the same on every target.
#pragma once

#include <cstdint>
#include <ctime>  // clock_gettime, clockid_t, timespec

namespace quillmere::os {

// A wall-clock reading: seconds since the Unix epoch (negative before it) and
// nanoseconds, always below 10^9.
struct WallClockInstant {
  std::int64_t seconds = 0;
  std::uint32_t nanoseconds = 0;
};

// The clock call; tests pass one that fails.
using ClockReader = int (*)(clockid_t, timespec*);

// CLOCK_REALTIME. When `read_clock` fails (a 32-bit time_t cannot hold
// instants from 2038 on, and glibc then reports EOVERFLOW), a 32-bit build
// asks the kernel's 64-bit clock call instead; when that fails too the
// instant is the epoch itself, never whatever the failed call left behind.
WallClockInstant read_wall_clock(ClockReader read_clock = &::clock_gettime) noexcept;

// CLOCK_MONOTONIC in nanoseconds, with the same fallback; 0 when no call
// answers.
std::uint64_t monotonic_now_ns(ClockReader read_clock = &::clock_gettime) noexcept;

}  // namespace quillmere::os
