// The snapshot's wall-clock instant as Python's float seconds since the epoch.
#pragma once

#include "os/clock.h"

namespace quillmere::lib {

// seconds + nanoseconds / 1e9 in double precision; 0.0 for an instant before
// the Unix epoch, so no negative timestamp is ever returned.
double timestamp_seconds(const os::WallClockInstant& instant) noexcept;

}  // namespace quillmere::lib
