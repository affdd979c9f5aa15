// The kernel's NTP state through adjtimex, asked and never set.
#include "os/clock_sync.h"

#include <sys/timex.h>  // adjtimex, struct timex, TIME_ERROR, STA_UNSYNC

#include "os/unique_fd.h"  // retry_on_eintr

namespace quillmere::os {

std::optional<ClockSync> clock_sync_from(int state, std::int64_t status, std::int64_t max_error_us) noexcept {
  if (max_error_us < 0) return std::nullopt;
  return ClockSync{state != TIME_ERROR && (status & STA_UNSYNC) == 0, static_cast<double>(max_error_us) / 1e6};
}

// The fields of struct timex are long, or long long on a 32-bit build with a
// 64-bit time_t; each is widened to 64 bits before it is looked at.
std::optional<ClockSync> read_clock_sync() noexcept {
  struct timex request {};
  request.modes = 0;  // read only: no field is set
  const int state = retry_on_eintr([&request] { return ::adjtimex(&request); });
  if (state < 0) return std::nullopt;
  return clock_sync_from(state, static_cast<std::int64_t>(request.status), static_cast<std::int64_t>(request.maxerror));
}

}  // namespace quillmere::os
