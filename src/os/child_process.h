// Running an outside program to completion, bounded in time and memory.
//
// Promises: a run never leaves a descriptor behind, and its time is bounded
// in two parts. The run itself (start, reading both pipes to end of file,
// the reap of a child that exited) ends by RunLimits::timeout. A child that
// overruns that deadline or the output cap, or whose run is cancelled, or
// that is left running by any other failure, is then killed with SIGKILL
// (through its pidfd where the kernel has one, so a recycled pid is never
// signalled) and waited for up to RunLimits::reap_after_kill more: a run can
// take timeout + reap_after_kill (2 s with the defaults). A killed child
// that still has not been reaped then (stuck in an uninterruptible call, or
// traced by another process that sees its exit first) is given up and stays
// behind, a zombie once it exits, until this process ends; one stuck child
// is better than a caller blocked for ever. The PATH lookup before a run is
// not under the deadline: it is a few stat calls. Memory stays bounded by
// the output cap whatever the child writes. System calls are retried on
// EINTR. The child gets stdin from /dev/null, stdout and stderr as pipes
// (both drained together so that neither can fill and stall it), an empty
// signal mask and default dispositions for the signals the interpreter
// ignores (SIGPIPE, SIGXFSZ); its environment and working directory are
// inherited.
#pragma once

#include <chrono>
#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace quillmere::os {

struct RunLimits {
  // The run up to its normal end: start, reading both pipes to end of file,
  // and the reap of a child that exited. A run that ends otherwise kills the
  // child and may wait reap_after_kill more.
  std::chrono::milliseconds timeout{1000};
  // Standard output kept; more than this makes the run a failure.
  std::size_t stdout_cap = std::size_t{64} * 1024;
  // A descriptor that becomes readable when the run must stop at once (the
  // runtime's cancellation), or -1. Once it is readable no child is started,
  // and a child already running is killed and the run fails.
  int cancel_fd = -1;
  // How long the reap after a kill may wait before the child is given up.
  std::chrono::milliseconds reap_after_kill{1000};
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
std::optional<std::string> find_executable(std::string_view name);

// Runs the executable at `path` (as find_executable gives it) with argv[0]
// `argv0` and `args` as argv[1..], no shell. Returns nullopt when it cannot be
// started, overruns the deadline or the output cap, is cancelled, or any step
// fails. Callers look the program up first, so that one that is not found
// costs no process.
std::optional<CompletedRun> run_executable(const std::string& path, std::string_view argv0,
                                           std::span<const char* const> args, const RunLimits& limits = {});

}  // namespace quillmere::os
