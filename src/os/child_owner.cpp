// Killing and reaping a child and its process group.
#include "os/child_owner.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <mutex>
#include <utility>

#include <poll.h>         // poll
#include <signal.h>       // kill NOLINT(modernize-deprecated-headers): POSIX, not in <csignal>
#include <sys/syscall.h>  // SYS_pidfd_open
#include <sys/wait.h>     // waitid, waitpid
#include <unistd.h>       // syscall

namespace quillmere::os {

using Clock = std::chrono::steady_clock;

namespace {

// The pidfds of the kept children (-1: a free slot), as plain integers:
// nothing is closed at exit while a daemon thread may still run a tool, and
// the descriptors are close-on-exec and go with the process.
struct Kept {
  std::mutex mutex;
  std::array<int, kMaxGivenUp> pidfds = [] {
    std::array<int, kMaxGivenUp> slots{};
    slots.fill(-1);
    return slots;
  }();
};
Kept& kept() noexcept {
  static Kept kept;
  return kept;
}

}  // namespace

void give_up(UniqueFd pidfd) noexcept {
  if (!pidfd) return;
  Kept& all = kept();
  const std::lock_guard lock(all.mutex);
  for (int& slot : all.pidfds) {
    if (slot < 0) {
      slot = pidfd.release();
      return;
    }
  }
}

bool reap_given_up() noexcept {
  Kept& all = kept();
  const std::lock_guard lock(all.mutex);
  std::size_t running = 0;
  for (int& slot : all.pidfds) {
    if (slot < 0) continue;
    siginfo_t exited{};
    const int rc = retry_on_eintr([&] {
      return ::waitid(kPidfdIdType, static_cast<id_t>(slot), &exited, WEXITED | WNOHANG);
    });
    // Still running: kept. Reaped now, reaped by something else (ECHILD),
    // or a kernel that cannot wait on a pidfd (EINVAL): the slot is freed.
    if (rc == 0 && exited.si_pid == 0) {
      ++running;
      continue;
    }
    UniqueFd closed(slot);
    slot = -1;
  }
  return running < all.pidfds.size();
}

UniqueFd open_pidfd(pid_t pid) noexcept {
#ifdef SYS_pidfd_open
  const long fd = ::syscall(SYS_pidfd_open, pid, 0);
  if (fd >= 0) return UniqueFd(static_cast<int>(fd));
#else
  (void)pid;
#endif
  return {};
}

int poll_timeout_ms(Clock::duration remaining) noexcept {
  const auto ms = std::chrono::ceil<std::chrono::milliseconds>(remaining).count();
  return static_cast<int>(std::clamp<decltype(ms)>(ms, 0, INT_MAX));
}

bool ChildProcess::try_reap() noexcept {
  if (pid_ < 0) return true;
  siginfo_t exited{};
  // WNOWAIT leaves an exited child a zombie, which keeps its pid, the
  // group's id, ours while the group is killed.
  if (retry_on_eintr([&] { return ::waitid(P_PID, static_cast<id_t>(pid_), &exited,
                                           WEXITED | WNOHANG | WNOWAIT); }) == 0) {
    if (exited.si_pid == 0) return false;  // still running
    kill_group();
  }
  int status = 0;
  const pid_t reaped = retry_on_eintr([&] { return ::waitpid(pid_, &status, WNOHANG); });
  if (reaped == 0) return false;
  // ECHILD: something else reaped it (SIGCHLD ignored, a stray wait(-1)),
  // so how it ended is unknown.
  if (reaped == pid_) status_ = status;
  pid_ = -1;
  pidfd_.reset();
  return true;
}

void ChildProcess::kill_group() noexcept {
  siginfo_t state{};
  if (retry_on_eintr([&] { return ::waitid(P_PID, static_cast<id_t>(pid_), &state,
                                           WEXITED | WNOHANG | WNOWAIT); }) != 0) {
    return;
  }
  ::kill(-pid_, SIGKILL);
}

void ChildProcess::kill_and_reap() noexcept {
  if (pid_ < 0) return;
  kill_group();
  const Clock::time_point deadline = Clock::now() + reap_after_kill_;
  std::chrono::milliseconds sleep = kFirstWaitSleep;
  while (!try_reap()) {
    const Clock::time_point now = Clock::now();
    if (now >= deadline) {
      // Given up rather than blocking the caller for ever: a later run
      // reaps it (give_up).
      give_up(std::move(pidfd_));
      pid_ = -1;
      return;
    }
    const int remaining_ms = poll_timeout_ms(deadline - now);
    if (exit_fd() >= 0) {
      pollfd polled{exit_fd(), POLLIN, 0};
      if (retry_on_eintr([&] { return ::poll(&polled, 1, remaining_ms); }) > 0) note_exit_reported();
    } else {
      // Nothing to watch: a plain wait.
      ::poll(nullptr, 0, std::min(remaining_ms, static_cast<int>(sleep.count())));
      sleep = std::min(sleep * 2, kLongestWaitSleep);
    }
  }
}

}  // namespace quillmere::os
