// Running an outside program to completion, bounded in time and memory.
//
// Promises: a run never leaves a descriptor behind, and its time is bounded
// in two parts. The run itself (start, reading both pipes to end of file,
// the reap of a child that exited) ends by RunLimits::timeout. A child that
// overruns that deadline or the output cap, or whose run is cancelled, or
// that is left running by any other failure, is then killed with SIGKILL
// together with its whole process group (the program starts in a group of
// its own, so that what it started itself, a shell wrapper's sleep, dies with
// it) and waited for up to RunLimits::reap_after_kill more: a run can take
// timeout + reap_after_kill (2 s with the defaults). A child that exits by
// itself has the rest of its group killed before it is reaped, so that no
// process of a run outlives it. A child that exited before the deadline but
// whose pipes something it started still holds open counts as finished with
// the output read until the deadline. A killed child that still has not
// been reaped then (stuck in an uninterruptible call, or traced by another
// process that sees its exit first) is given up rather than blocking the
// caller for ever; a later run reaps it, and no run starts while a few such
// children still run (child_owner.h). The PATH lookup before a run is not
// under the deadline: it is a few stat calls. Memory stays bounded by
// the output cap whatever the child writes. System calls are retried on
// EINTR. The child gets stdin from /dev/null, stdout and stderr as pipes
// (both drained together so that neither can fill and stall it), an empty
// signal mask and default dispositions for the signals the interpreter
// ignores (SIGPIPE, SIGXFSZ); its working directory is inherited, and its
// environment is the caller's Environment copy or else the process's own.
#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace quillmere::os {

// A copy of the process's environment taken at one moment. getenv() and
// `environ` are not safe while another thread changes the environment (a
// Python thread writing os.environ), so a caller that runs programs without
// the interpreter lock takes the copy where it holds the lock and runs them
// with the copy from any thread later.
class Environment {
 public:
  // Copies every NAME=value entry of the process's environment now.
  Environment();
  Environment(const Environment&) = delete;
  Environment& operator=(const Environment&) = delete;
  ~Environment() = default;

  // The value of PATH, or nullptr when it is not set.
  const char* path() const noexcept { return path_; }
  // The entries and a terminating nullptr, as posix_spawn takes them.
  char* const* entries() const noexcept { return pointers_.data(); }

 private:
  std::vector<std::string> strings_;
  std::vector<char*> pointers_;  // into strings_, which never changes again
  const char* path_ = nullptr;   // into strings_
};

struct RunLimits {
  // The run up to its normal end: start, reading both pipes to end of file,
  // and the reap of a child that exited. A run that ends otherwise kills the
  // child and may wait reap_after_kill more.
  std::chrono::milliseconds timeout{1000};
  // Standard output kept; more than this makes the run a failure.
  std::size_t stdout_cap = std::size_t{64} * 1024;
  // A descriptor that becomes readable when the run must stop at once (the
  // worker's stop signal), or -1. Once it is readable no child is started,
  // and a child already running is killed and the run fails.
  int cancel_fd = -1;
  // How long the reap after a kill may wait before the child is given up.
  std::chrono::milliseconds reap_after_kill{1000};
  // The child's environment; nullptr: the process's own, read at the start
  // (only for callers that keep it from changing meanwhile).
  const Environment* environment = nullptr;
};

struct CompletedRun {
  bool exited_normally = false;  // false: killed by a signal
  int exit_code = -1;            // meaningful when exited_normally
  std::string stdout_bytes;      // raw bytes, at most RunLimits::stdout_cap
};

// Looks `name` up along PATH: a name with a '/' is taken as is; otherwise
// each absolute entry of PATH (unset PATH: "/bin:/usr/bin") is tried for a
// regular file that is executable. Empty and relative entries (":", ".",
// "bin") are skipped: they would resolve against the working directory, and
// a daemon started in a writable directory must not run whatever lies there
// under a name that its caller never chose. Returns nullopt when there is
// none, so that no process is created for a program that cannot be run.
// PATH is `environment`'s, or the process's own when it is nullptr.
std::optional<std::string> find_executable(std::string_view name, const Environment* environment = nullptr);

// Runs the executable at `path` (as find_executable gives it) with argv[0]
// `argv0` and `args` as argv[1..], no shell. Returns nullopt when it cannot be
// started, overruns the deadline or the output cap, is cancelled, or any step
// fails. Callers look the program up first, so that one that is not found
// costs no process.
std::optional<CompletedRun> run_executable(const std::string& path, std::string_view argv0,
                                           std::span<const char* const> args, const RunLimits& limits = {});

}  // namespace quillmere::os
