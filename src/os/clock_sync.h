// Whether the kernel's clock is synchronized, and its error bound, from a
// read-only adjtimex: the kernel's NTP state, which timesyncd, chrony and ntpd
// all keep. Boards have no clock battery, so a clock that never synchronized
// after boot is common and worth an alert.
#pragma once

#include <cstdint>
#include <optional>

namespace quillmere::os {

struct ClockSync {
  // adjtimex returned a state other than TIME_ERROR and STA_UNSYNC is clear.
  bool synchronized = false;
  // The kernel's maximum error estimate (maxerror, microseconds) in seconds.
  double max_error_seconds = 0.0;
};

// adjtimex with modes 0, which sets nothing and needs no privilege; nullopt
// when the call fails (a seccomp filter may refuse it).
std::optional<ClockSync> read_clock_sync() noexcept;

// The decision from what the call returned: its state, the status word and
// maxerror. nullopt when maxerror is negative.
std::optional<ClockSync> clock_sync_from(int state, std::int64_t status, std::int64_t max_error_us) noexcept;

}  // namespace quillmere::os
