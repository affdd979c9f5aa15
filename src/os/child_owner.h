// The owner of a started child process, for run_executable
// (child_process.h): it kills the child's process group and reaps the child
// on every way out, within a bound.
//
// The child leads a process group whose id is its pid. Nobody else waits for
// our children, so the pid stays ours (a zombie at worst) until we reap it,
// and with it the group's id: the group is only signalled while waitid()
// still finds the child, so that a pid something else reaped (SIGCHLD
// ignored) and the system handed out again is never signalled.
#pragma once

#include <chrono>
#include <cstddef>
#include <optional>
#include <utility>

#include <sys/types.h>  // pid_t
#include <sys/wait.h>   // idtype_t

#include "os/unique_fd.h"

namespace quillmere::os {

// Without a pidfd, the wait for the exit sleeps between checks: briefly at
// first, since a child that has closed its output is usually exiting already.
inline constexpr std::chrono::milliseconds kFirstWaitSleep{1};
inline constexpr std::chrono::milliseconds kLongestWaitSleep{16};

// A descriptor that becomes readable when the child exits (Linux 5.3 and
// later; pidfd_open always sets close-on-exec). Invalid where the kernel lacks
// the call (ENOSYS) or a filter refuses it; the wait then polls waitpid.
UniqueFd open_pidfd(pid_t pid) noexcept;

// Milliseconds for poll() until `remaining` has passed, rounded up so that a
// wake-up never comes before the deadline and spins.
int poll_timeout_ms(std::chrono::steady_clock::duration remaining) noexcept;

// Killed children not reaped within the bound (stuck in an uninterruptible
// call) are kept with their pidfds, at most this many: each run first reaps
// those that have exited since, through the pidfd, which names that process
// only (a pid could have been reaped elsewhere and handed out again). While
// this many are still there no run starts a child, so a tool that hangs for
// good costs that many processes, not one per run. A child without a pidfd,
// or one over the bound, is left a zombie until this process exits.
inline constexpr std::size_t kMaxGivenUp = 4;

// waitid's id type for a pidfd (Linux 5.4); older C libraries lack the name.
inline constexpr auto kPidfdIdType = static_cast<idtype_t>(3);

// Keeps a killed child that could not be reaped in time, by its pidfd, if
// there is room; takes the pidfd either way.
void give_up(UniqueFd pidfd) noexcept;

// Reaps the kept children that have exited; false while kMaxGivenUp of them
// still run.
bool reap_given_up() noexcept;

// The destructor kills a child not yet reaped, with its group, and reaps it
// within `reap_after_kill`, or gives it up.
class ChildProcess {
 public:
  ChildProcess(pid_t pid, UniqueFd pidfd, std::chrono::milliseconds reap_after_kill) noexcept
      : pid_(pid), pidfd_(std::move(pidfd)), reap_after_kill_(reap_after_kill) {}
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;
  ~ChildProcess() { kill_and_reap(); }

  // The descriptor to poll for the exit, or -1 when the exit has to be found
  // by polling waitpid: no pidfd, or one that already reported an exit that
  // waitpid cannot reap yet (a tracer sees a traced child's exit first), so
  // that polling it again would only spin.
  int exit_fd() const noexcept { return exit_reported_ ? -1 : pidfd_.get(); }
  void note_exit_reported() noexcept { exit_reported_ = true; }

  // Reaps the child if it has exited, without blocking, once the rest of its
  // group is killed. True once the child is gone; wait_status() then says how
  // it ended.
  bool try_reap() noexcept;

  // The wait status of a reaped child; nullopt when it is not known.
  std::optional<int> wait_status() const noexcept { return status_; }

 private:
  // SIGKILL to the child's whole group while the child is still ours
  // (running, or exited and not yet reaped). Once something else has reaped
  // it, nothing is signalled.
  void kill_group() noexcept;
  void kill_and_reap() noexcept;

  pid_t pid_;
  UniqueFd pidfd_;
  std::chrono::milliseconds reap_after_kill_;
  std::optional<int> status_;
  bool exit_reported_ = false;
};

}  // namespace quillmere::os
