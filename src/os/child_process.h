// Running an outside program to completion, bounded in time and memory.
//
// Promises: run_program never leaves anything behind. The child is always
// reaped (killed with SIGKILL first when it overruns its deadline or its
// output cap), every descriptor is closed, and memory stays bounded by the
// cap whatever the child writes. System calls are retried on EINTR. The child
// gets stdin from /dev/null, stdout and stderr as pipes (both drained together
// so that neither can fill and stall it), an empty signal mask and default
// dispositions for the signals the interpreter ignores (SIGPIPE, SIGXFSZ); its
// environment and working directory are inherited.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace quillmere::os {

struct RunLimits {
  // The whole run: start, reading both pipes to end of file, and reaping.
  std::chrono::milliseconds timeout{1000};
  // Standard output kept; more than this makes the run a failure.
  std::size_t stdout_cap = std::size_t{64} * 1024;
};

struct CompletedRun {
  bool exited_normally = false;  // false: killed by a signal
  int exit_code = -1;            // meaningful when exited_normally
  std::string stdout_bytes;      // raw bytes, at most RunLimits::stdout_cap
};

// Looks `name` up the way execvp does: a name with a '/' is taken as is;
// otherwise each entry of PATH (unset PATH: "/bin:/usr/bin"; an empty entry:
// the current directory) is tried for a regular file that is executable.
// Returns nullopt when there is none, so that no process is created for a
// program that cannot be run.
std::optional<std::string> find_executable(std::string_view name);

// Runs the executable at `path` (as find_executable gives it) with argv[0]
// `argv0` and `args` as argv[1..], no shell. Returns nullopt when it cannot be
// started, overruns the deadline or the output cap, or any step fails.
std::optional<CompletedRun> run_executable(const std::string& path, std::string_view argv0,
                                           std::span<const char* const> args, const RunLimits& limits = {});

// find_executable, then run_executable with `name` as argv[0]; nullopt (and
// no process) when the program is not found.
std::optional<CompletedRun> run_program(std::string_view name, std::span<const char* const> args,
                                        const RunLimits& limits = {});

// How many times run_program has asked the system for a new process, in this
// whole process. Tests use it to prove that a program that is not found costs
// no process at all.
std::uint64_t spawn_count() noexcept;

}  // namespace quillmere::os
