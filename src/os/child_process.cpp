// Runs an outside program with posix_spawn and collects its standard output
// under one deadline.
//
// The deadline (monotonic clock) covers the run up to its normal end: the
// start, reading both pipes to end of file, and the reap. We never wait for
// end of file past it, because a process the child started may keep the pipes
// open long after the child itself has exited. Whatever ends a run early (the
// deadline, the output cap, the cancellation, a failed call, an exception)
// leaves the child to its owner, whose destructor kills it with SIGKILL and
// waits for the reap up to RunLimits::reap_after_kill, after the deadline.
// The child leads a process group of its own, and every way a run ends kills
// that group: what the program left running (a shell wrapper's children)
// goes with it.
#include "os/child_process.h"

#include "os/child_owner.h"
#include "os/unique_fd.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>  // getenv
#include <memory>
#include <utility>
#include <vector>

#include <fcntl.h>        // fcntl, F_DUPFD_CLOEXEC, AT_FDCWD, AT_EACCESS
#include <poll.h>         // poll
#include <signal.h>       // sigset_t NOLINT(modernize-deprecated-headers): POSIX, not in <csignal>
#include <spawn.h>        // posix_spawn and its attributes and file actions
#include <sys/stat.h>     // stat, S_ISREG
#include <sys/wait.h>     // waitpid, WIFEXITED
#include <unistd.h>       // faccessat

// The process's environment, for a child run without a copy of its own;
// POSIX has the program declare it.
extern "C" char** environ;  // NOLINT(cppcoreguidelines-avoid-non-const-global-variables)

namespace quillmere::os {
namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t kReadChunkBytes = 4096;

bool is_executable_file(const std::string& path) {
  struct stat info{};
  if (retry_on_eintr([&] { return ::stat(path.c_str(), &info); }) != 0) return false;
  // AT_EACCESS checks the effective ids, which are what exec checks.
  return S_ISREG(info.st_mode) &&
         retry_on_eintr([&] { return ::faccessat(AT_FDCWD, path.c_str(), X_OK, AT_EACCESS); }) == 0;
}



// With the host's standard streams closed, a write end can itself be 1 or 2.
// dup2 onto the same number does nothing, and C libraries older than glibc
// 2.29 then leave close-on-exec set, so the child would lose that stream.
// Above 2, every redirection is a real copy whatever the library.
bool move_above_stdio(UniqueFd& fd) noexcept {
  if (fd.get() > STDERR_FILENO) return true;
  const int moved = ::fcntl(fd.get(), F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
  if (moved < 0) return false;
  fd.reset(moved);
  return true;
}

// Destroys an initialised posix_spawn object (file actions, attributes) on
// every path out of spawn().
template <typename T>
using SpawnObjectGuard = std::unique_ptr<T, int (*)(T*)>;

// Starts `path` with stdin from /dev/null, stdout and stderr on the given
// descriptors, an empty signal mask and SIGPIPE and SIGXFSZ at their defaults.
// posix_spawn leaves nothing to run between fork and exec on our side, and
// reports a failed exec as an error rather than as a child that exits 127.
std::optional<pid_t> spawn(const char* path, char* const* argv, char* const* envp, int stdout_fd, int stderr_fd) {
  posix_spawn_file_actions_t actions;
  if (::posix_spawn_file_actions_init(&actions) != 0) return std::nullopt;
  const SpawnObjectGuard<posix_spawn_file_actions_t> actions_guard(&actions, ::posix_spawn_file_actions_destroy);

  posix_spawnattr_t attributes;
  if (::posix_spawnattr_init(&attributes) != 0) return std::nullopt;
  const SpawnObjectGuard<posix_spawnattr_t> attributes_guard(&attributes, ::posix_spawnattr_destroy);

  // Worker threads block every signal and the interpreter ignores SIGPIPE and
  // SIGXFSZ; a mask and ignored dispositions survive exec, so reset both.
  sigset_t empty_mask;
  sigset_t to_default;
  sigemptyset(&empty_mask);
  sigemptyset(&to_default);
  sigaddset(&to_default, SIGPIPE);
  sigaddset(&to_default, SIGXFSZ);

  // dup2 onto 1 and 2 clears close-on-exec on the copies; every other
  // descriptor of ours is close-on-exec and does not reach the program.
  if (::posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0) != 0 ||
      ::posix_spawn_file_actions_adddup2(&actions, stdout_fd, STDOUT_FILENO) != 0 ||
      ::posix_spawn_file_actions_adddup2(&actions, stderr_fd, STDERR_FILENO) != 0 ||
      ::posix_spawnattr_setsigmask(&attributes, &empty_mask) != 0 ||
      ::posix_spawnattr_setsigdefault(&attributes, &to_default) != 0 ||
      // A process group of its own (group id = its pid), killed whole.
      ::posix_spawnattr_setpgroup(&attributes, 0) != 0 ||
      ::posix_spawnattr_setflags(&attributes, static_cast<short>(POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF |
                                                                 POSIX_SPAWN_SETPGROUP)) != 0) {
    return std::nullopt;
  }

  pid_t pid = -1;
  if (::posix_spawn(&pid, path, &actions, &attributes, argv, envp) != 0) return std::nullopt;
  return pid;
}


}  // namespace

Environment::Environment() {
  // environ is a C array that ends at a null pointer.
  // NOLINTNEXTLINE(cppcoreguidelines-pro-bounds-pointer-arithmetic)
  for (char* const* entry = environ; *entry != nullptr; ++entry) strings_.emplace_back(*entry);
  pointers_.reserve(strings_.size() + 1);
  constexpr std::string_view kPath = "PATH=";
  for (std::string& entry : strings_) {
    pointers_.push_back(entry.data());
    // The first PATH entry is the one getenv() would give.
    if (path_ == nullptr && entry.starts_with(kPath)) path_ = &entry[kPath.size()];
  }
  pointers_.push_back(nullptr);
}

std::optional<std::string> find_executable(std::string_view name, const Environment* environment) {
  if (name.empty() || name.find('\0') != std::string_view::npos) return std::nullopt;
  if (name.find('/') != std::string_view::npos) return std::string(name);

  const char* path_variable = environment != nullptr ? environment->path() : std::getenv("PATH");
  std::string_view search = path_variable != nullptr ? path_variable : "/bin:/usr/bin";
  for (;;) {
    const std::size_t colon = search.find(':');
    const std::string_view dir = search.substr(0, colon);
    // Only absolute entries: an empty or relative one means the working
    // directory, which the caller never chose to run programs from.
    if (!dir.empty() && dir.front() == '/') {
      std::string candidate(dir);
      candidate += '/';
      candidate += name;
      if (is_executable_file(candidate)) return candidate;
    }
    if (colon == std::string_view::npos) return std::nullopt;
    search.remove_prefix(colon + 1);
  }
}

std::optional<CompletedRun> run_executable(const std::string& path, std::string_view argv0,
                                           std::span<const char* const> args, const RunLimits& limits) {
  const Clock::time_point deadline = Clock::now() + limits.timeout;

  Pipe out;
  Pipe err;
  if (!make_pipe(out) || !make_pipe(err) || !move_above_stdio(out.write_end) ||
      !move_above_stdio(err.write_end)) {
    return std::nullopt;
  }

  std::string program_name(argv0);
  std::vector<char*> argv;
  argv.reserve(args.size() + 2);
  argv.push_back(program_name.data());
  // posix_spawn takes char* const[] for historical reasons; it never writes.
  // NOLINTNEXTLINE(cppcoreguidelines-pro-type-const-cast): posix_spawn argv
  for (const char* arg : args) argv.push_back(const_cast<char*>(arg));
  argv.push_back(nullptr);

  // A run cancelled before it starts costs no process, nor does one while
  // earlier runs' children are stuck.
  if (readable_now(limits.cancel_fd) || !reap_given_up()) return std::nullopt;
  char* const* envp = limits.environment != nullptr ? limits.environment->entries() : environ;
  const std::optional<pid_t> pid =
      spawn(path.c_str(), argv.data(), envp, out.write_end.get(), err.write_end.get());
  if (!pid) return std::nullopt;
  ChildProcess child(*pid, open_pidfd(*pid), limits.reap_after_kill);
  // Only the child may hold the write ends, or end of file never comes.
  out.write_end.reset();
  err.write_end.reset();

  std::string captured;
  std::array<char, kReadChunkBytes> chunk{};  // stderr is read into it and dropped
  std::chrono::milliseconds fallback_sleep = kFirstWaitSleep;
  for (;;) {
    // The exit matters only once both pipes are at end of file; until then
    // there is nothing to finish, so the pidfd is not polled.
    const bool output_done = !out.read_end && !err.read_end;
    if (output_done && child.try_reap()) break;
    const Clock::time_point now = Clock::now();
    if (now >= deadline) {
      // The program itself has exited, and only what it started still holds
      // the pipes: its answer is complete, and its group is killed.
      if (child.try_reap()) break;
      return std::nullopt;
    }

    // Both pipes, the exit (once the output is done) and the cancellation.
    std::array<pollfd, 4> polled{};
    std::array<UniqueFd*, 4> ends{};
    nfds_t count = 0;
    for (UniqueFd* end : {&out.read_end, &err.read_end}) {
      if (!*end) continue;
      polled[count] = pollfd{end->get(), POLLIN, 0};
      ends[count++] = end;
    }
    int timeout_ms = poll_timeout_ms(deadline - now);
    nfds_t exit_index = polled.size();
    if (output_done) {
      if (child.exit_fd() >= 0) {
        exit_index = count;
        polled[count++] = pollfd{child.exit_fd(), POLLIN, 0};
      } else {
        timeout_ms = std::min(timeout_ms, static_cast<int>(fallback_sleep.count()));
        fallback_sleep = std::min(fallback_sleep * 2, kLongestWaitSleep);
      }
    }
    nfds_t cancel_index = polled.size();
    if (limits.cancel_fd >= 0) {
      cancel_index = count;
      polled[count++] = pollfd{limits.cancel_fd, POLLIN, 0};
    }

    if (::poll(polled.data(), count, timeout_ms) < 0) {
      if (errno == EINTR) continue;
      return std::nullopt;
    }
    // Cancelled: the child's owner kills it on the way out.
    if (cancel_index < count && polled[cancel_index].revents != 0) return std::nullopt;
    if (exit_index < count && polled[exit_index].revents != 0) child.note_exit_reported();
    for (nfds_t i = 0; i < count; ++i) {
      if (ends[i] == nullptr || polled[i].revents == 0) continue;
      // Blocking read, but it cannot block: poll reported data or a hang-up.
      const ssize_t n = read_retrying(ends[i]->get(), chunk.data(), chunk.size());
      if (n < 0) return std::nullopt;
      if (n == 0) {
        ends[i]->reset();
      } else if (ends[i] == &out.read_end) {
        const auto bytes = static_cast<std::size_t>(n);
        if (bytes > limits.stdout_cap - captured.size()) return std::nullopt;
        captured.append(chunk.data(), bytes);
      }
    }
  }

  const std::optional<int> status = child.wait_status();
  if (!status) return std::nullopt;
  CompletedRun run;
  if (WIFEXITED(*status)) {
    run.exited_normally = true;
    run.exit_code = WEXITSTATUS(*status);
  }
  run.stdout_bytes = std::move(captured);
  return run;
}

}  // namespace quillmere::os
