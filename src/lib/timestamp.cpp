// Conversion of the snapshot's timestamp, kept free of the Python API so that
// the C++ tests can cover it.
#include "lib/timestamp.h"

namespace quillmere::lib {

double timestamp_seconds(const os::WallClockInstant& instant) noexcept {
  if (instant.seconds < 0) return 0.0;
  return static_cast<double>(instant.seconds) + static_cast<double>(instant.nanoseconds) / 1000000000.0;
}

}  // namespace quillmere::lib
