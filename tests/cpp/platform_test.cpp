// What 32-bit boards and other C libraries change: the widths of file
// offsets, inode numbers and time_t, the wall-clock read when the clock call
// fails, and the two strerror_r signatures.
#include "collector/monitoring/counter_pass.h"
#include "os/clock.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <string>

#include <sys/types.h>  // off_t, ino_t

#include "os/errno_text.h"

namespace quillmere {
namespace {

// A 32-bit off_t or ino_t makes readdir and stat fail with EOVERFLOW on file
// systems with 64-bit directory offsets or inode numbers; a 32-bit time_t
// ends in 2038. glibc before 2.34 has no 64-bit time_t on 32-bit targets.
TEST(Platform, FileAndTimeTypesAre64Bit) {
  EXPECT_EQ(sizeof(off_t), 8U);
  EXPECT_EQ(sizeof(ino_t), 8U);
#if !defined(__GLIBC__) || __GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 34)
  EXPECT_EQ(sizeof(std::time_t), 8U);
#endif
}

// A clock call that fails after scribbling on its output, as a 32-bit
// clock_gettime may after 2038.
int failing_clock(clockid_t /*clock*/, timespec* ts) {
  ts->tv_sec = 12345;
  ts->tv_nsec = 2000000000L;
  errno = EOVERFLOW;
  return -1;
}

TEST(Platform, FailingWallClockGivesRealTimeOrEpochNeverGarbage) {
  // The one wall clock, and the stamp of a monitoring reading, which is
  // taken through it.
  collector::CounterSources nowhere;
  nowhere.roots = sys_reader::Roots{"/nonexistent", "/nonexistent"};
  nowhere.firmware_tool = "quillmere-test-no-such-tool";
  nowhere.read_clock = &failing_clock;
  const auto now_s = std::chrono::duration_cast<std::chrono::seconds>(
                         std::chrono::system_clock::now().time_since_epoch())
                         .count();
  for (const os::WallClockInstant instant :
       {os::read_wall_clock(&failing_clock), collector::take_counter_reading(nowhere).timestamp}) {
    EXPECT_LT(instant.nanoseconds, 1000000000U);
    if (instant.seconds != 0) {
      EXPECT_NEAR(static_cast<double>(instant.seconds), static_cast<double>(now_s), 5.0);
    } else {
      EXPECT_EQ(instant.nanoseconds, 0U);
    }
  }
  EXPECT_GT(os::read_wall_clock().seconds, 1600000000);
}

TEST(Platform, ErrnoTextReadsBothStrerrorSignatures) {
  char buffer[] = "from the buffer";
  EXPECT_STREQ(os::detail::strerror_message("returned", buffer), "returned");  // GNU
  EXPECT_STREQ(os::detail::strerror_message(0, buffer), "from the buffer");    // POSIX
  EXPECT_STREQ(os::detail::strerror_message(ERANGE, buffer), "Unknown error");
  EXPECT_EQ(os::errno_text(EMFILE), std::string(std::strerror(EMFILE)));
  EXPECT_FALSE(os::errno_text(EMFILE).empty());
}

}  // namespace
}  // namespace quillmere
