// The floor: what one pass over quillmere's sources costs with no parsing, no
// maps and no threads. Each file is opened (O_CLOEXEC), read to end of file
// into one reused buffer and closed; vcgencmd, where it is on PATH, is run
// twice with posix_spawn and its output read to end of file.
//
// It runs as a long-lived server so that its own start-up is never counted:
// each line on standard input is a command and each answer is one line with
// the nanoseconds the command took, measured here with CLOCK_MONOTONIC.
//   pass      one pass over the sources
//   thread    start and join one std::thread created with every signal
//             blocked, the way quillmere starts its worker
//   threaded  one pass on a fresh thread started that way, with the task,
//             the result and a stop request handed between the threads as
//             in a quillmere call
#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <condition_variable>
#include <iostream>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern "C" char** environ;

namespace {

class Fd {
 public:
  explicit Fd(int fd = -1) noexcept : fd_(fd) {}
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() { reset(); }
  int get() const noexcept { return fd_; }
  void reset() noexcept {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_;
};

// Repeats a system call that failed with EINTR.
template <typename Call>
auto retrying(Call call) {
  decltype(call()) result;
  do result = call(); while (result < 0 && errno == EINTR);
  return result;
}

std::uint64_t now_ns() noexcept {
  timespec ts{};
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<std::uint64_t>(ts.tv_sec) * 1000000000ULL + static_cast<std::uint64_t>(ts.tv_nsec);
}

// Reads `fd` to end of file into `buffer`; false on a read error.
bool read_all(int fd, std::string& buffer) {
  std::size_t used = 0;
  for (;;) {
    if (buffer.size() - used < 4096) buffer.resize(std::max<std::size_t>(buffer.size() * 2, 65536));
    const ssize_t n = retrying([&] { return ::read(fd, buffer.data() + used, buffer.size() - used); });
    if (n <= 0) return n == 0;
    used += static_cast<std::size_t>(n);
  }
}

bool read_file(const char* path, std::string& buffer) {
  const Fd fd(retrying([path] { return ::open(path, O_RDONLY | O_CLOEXEC); }));
  return fd.get() >= 0 && read_all(fd.get(), buffer);
}

// The first executable regular file named `name` in PATH's directories.
std::string find_on_path(const char* name) {
  const char* path = std::getenv("PATH");
  std::string_view rest = path != nullptr ? path : "/bin:/usr/bin";
  for (;;) {
    const std::size_t colon = rest.find(':');
    const std::string_view dir = rest.substr(0, colon);
    std::string candidate(dir.empty() ? std::string_view(".") : dir);
    candidate.append("/").append(name);
    struct stat info{};
    if (retrying([&] { return ::stat(candidate.c_str(), &info); }) == 0 && S_ISREG(info.st_mode) &&
        retrying([&] { return ::access(candidate.c_str(), X_OK); }) == 0) {
      return candidate;
    }
    if (colon == std::string_view::npos) return {};
    rest.remove_prefix(colon + 1);
  }
}

// Runs the tool with one or two arguments, its output read to end of file.
void run_tool(const std::string& path, const char* arg1, const char* arg2, std::string& buffer) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return;
  Fd read_end(fds[0]);
  Fd write_end(fds[1]);
  posix_spawn_file_actions_t actions;
  ::posix_spawn_file_actions_init(&actions);
  ::posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  ::posix_spawn_file_actions_adddup2(&actions, write_end.get(), STDOUT_FILENO);
  ::posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  std::string argv0 = "vcgencmd";
  std::string first = arg1;
  std::string second = arg2 != nullptr ? arg2 : "";
  char* argv[] = {argv0.data(), first.data(), arg2 != nullptr ? second.data() : nullptr, nullptr};
  pid_t pid = -1;
  const int spawned = ::posix_spawn(&pid, path.c_str(), &actions, nullptr, argv, environ);
  ::posix_spawn_file_actions_destroy(&actions);
  write_end.reset();
  if (spawned != 0) return;
  read_all(read_end.get(), buffer);
  int status = 0;
  retrying([&] { return ::waitpid(pid, &status, 0); });
}

void one_pass(std::string& buffer) {
  read_file("/proc/diskstats", buffer);
  read_file("/proc/net/dev", buffer);
  read_file("/proc/stat", buffer);
  read_file("/proc/loadavg", buffer);

  // Zones in byte-wise name order until one reads (quillmere goes on until
  // one parses: on a sound machine, the same file).
  std::vector<std::string> zones;
  if (const std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir("/sys/class/thermal"), ::closedir); dir) {
    while (const dirent* entry = ::readdir(dir.get())) {
      if (std::strncmp(entry->d_name, "thermal_zone", 12) == 0) zones.emplace_back(entry->d_name);
    }
  }
  std::sort(zones.begin(), zones.end());
  for (const std::string& zone : zones) {
    if (read_file(("/sys/class/thermal/" + zone + "/temp").c_str(), buffer)) break;
  }

  const std::string tool = find_on_path("vcgencmd");
  if (!tool.empty()) {
    run_tool(tool, "get_throttled", nullptr, buffer);
    run_tool(tool, "measure_clock", "arm", buffer);
  }

  read_file("/proc/meminfo", buffer);
  read_file("/proc/vmstat", buffer);
  read_file("/proc/uptime", buffer);
  read_file("/proc/diskstats", buffer);
  read_file("/proc/net/dev", buffer);
}

// Starts `body` on a thread that has every signal blocked from its first
// instruction on, then restores the caller's mask.
template <typename Body>
std::thread start_with_signals_blocked(Body body) {
  sigset_t all;
  sigset_t previous;
  sigfillset(&all);
  ::pthread_sigmask(SIG_SETMASK, &all, &previous);
  std::thread worker(body);
  ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  return worker;
}

void start_and_join_thread() { start_with_signals_blocked([] {}).join(); }

// The pass on a fresh worker thread, handed over the way a quillmere call
// does it: the thread is started and handed the task, hands the result back,
// is told to stop and is joined. Each hand-off wakes the other thread.
void pass_on_worker(std::string& buffer) {
  std::mutex mutex;
  std::condition_variable changed;
  int stage = 0;  // 1: task handed over, 2: result handed back, 3: stop
  const auto advance_to = [&](int next) {
    {
      const std::lock_guard lock(mutex);
      stage = next;
    }
    changed.notify_all();
  };
  const auto wait_for = [&](int wanted) {
    std::unique_lock lock(mutex);
    changed.wait(lock, [&] { return stage >= wanted; });
  };
  std::thread worker = start_with_signals_blocked([&] {
    wait_for(1);
    one_pass(buffer);
    advance_to(2);
    wait_for(3);
  });
  advance_to(1);
  wait_for(2);
  advance_to(3);
  worker.join();
}

}  // namespace

int main() {
  std::string buffer;
  std::string command;
  while (std::getline(std::cin, command)) {
    const std::uint64_t start = now_ns();
    if (command == "pass") {
      one_pass(buffer);
    } else if (command == "thread") {
      start_and_join_thread();
    } else if (command == "threaded") {
      pass_on_worker(buffer);
    } else {
      std::cerr << "floor: unknown command '" << command << "'\n";
      return 2;
    }
    std::cout << now_ns() - start << std::endl;
  }
  return 0;
}
