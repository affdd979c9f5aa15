// Killing and reaping a child and its process group.
#include "os/child_owner.h"

#include <algorithm>
#include <climits>

#include <poll.h>         // poll
#include <signal.h>       // kill NOLINT(modernize-deprecated-headers): POSIX, not in <csignal>
#include <sys/syscall.h>  // SYS_pidfd_open
#include <sys/wait.h>     // waitid, waitpid
#include <unistd.h>       // syscall

namespace quillmere::os {

using Clock = std::chrono::steady_clock;

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
      // Given up: the child stays behind (a zombie once it exits) until
      // this process ends, rather than blocking the caller for ever.
      pid_ = -1;
      pidfd_.reset();
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
