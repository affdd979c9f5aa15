// The floor: what one pass over quillmere's sources costs with no parsing, no
// maps and no threads. Each file is opened (O_CLOEXEC), read to end of file
// into one reused buffer and closed; vcgencmd, where it is on PATH, is run
// twice with posix_spawn and its output read to end of file.
//
// It runs as a long-lived server so that its own start-up is never counted:
// each line on standard input is a command and each answer is one line with
// the nanoseconds the command took, measured here with CLOCK_MONOTONIC, or
// with CLOCK_PROCESS_CPUTIME_ID when the command is prefixed with "cpu ".
//   pass      one pass over the sources of get_metrics_once
//   board     the pass, the /sys/block listing, and the files of the board
//             sources: pressure, filesystems (the mounts file and one statvfs
//             per kept mount point), hwmon, wireless, cpufreq and clock (one
//             read-only adjtimex); "board -hwmon -clock" leaves those two out
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
#include <ctime>
#include <condition_variable>
#include <iostream>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/timex.h>
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

std::uint64_t now_ns(clockid_t clock) noexcept {
  timespec ts{};
  ::clock_gettime(clock, &ts);
  return static_cast<std::uint64_t>(ts.tv_sec) * 1000000000ULL + static_cast<std::uint64_t>(ts.tv_nsec);
}

// Reads `fd` to end of file into `buffer`, the bytes read counted in
// `length`; false on a read error.
bool read_all(int fd, std::string& buffer, std::size_t& length) {
  length = 0;
  for (;;) {
    if (buffer.size() - length < 4096) buffer.resize(std::max<std::size_t>(buffer.size() * 2, 65536));
    const ssize_t n = retrying([&] { return ::read(fd, buffer.data() + length, buffer.size() - length); });
    if (n <= 0) return n == 0;
    length += static_cast<std::size_t>(n);
  }
}

bool read_all(int fd, std::string& buffer) {
  std::size_t length = 0;
  return read_all(fd, buffer, length);
}

// The file's bytes, a view into `buffer`; nullopt when it cannot be read.
std::optional<std::string_view> file_text(const char* path, std::string& buffer) {
  const Fd fd(retrying([path] { return ::open(path, O_RDONLY | O_CLOEXEC); }));
  std::size_t length = 0;
  if (fd.get() < 0 || !read_all(fd.get(), buffer, length)) return std::nullopt;
  return std::string_view(buffer.data(), length);
}

bool read_file(const char* path, std::string& buffer) { return file_text(path, buffer).has_value(); }

// The names in `dir` that begin with `prefix`, "." and ".." left out.
std::vector<std::string> names_in(const char* dir, std::string_view prefix) {
  std::vector<std::string> names;
  if (const std::unique_ptr<DIR, int (*)(DIR*)> listing(::opendir(dir), ::closedir); listing) {
    while (const dirent* entry = ::readdir(listing.get())) {
      const std::string_view name = entry->d_name;
      if (name != "." && name != ".." && name.starts_with(prefix)) names.emplace_back(name);
    }
  }
  return names;
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
  std::vector<std::string> zones = names_in("/sys/class/thermal", "thermal_zone");
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

// The board sources each read can leave out, by their names in a "board"
// command.
struct BoardSources {
  bool pressure = true;
  bool filesystems = true;
  bool hwmon = true;
  bool wireless = true;
  bool cpufreq = true;
  bool clock = true;
};

// File system types never stat'ed: pseudo file systems, and network ones
// whose statvfs can hang.
constexpr std::string_view kSkippedTypes[] = {
    "proc", "sysfs", "cgroup", "cgroup2", "devpts", "devtmpfs", "debugfs", "tracefs", "securityfs", "pstore", "bpf",
    "configfs", "fusectl", "hugetlbfs", "mqueue", "nsfs", "overlay", "autofs", "binfmt_misc", "rpc_pipefs",
    "selinuxfs", "squashfs", "erofs", "iso9660", "fuse.lxcfs",
    "nfs", "nfs4", "cifs", "smb3", "smbfs", "ceph", "glusterfs", "fuse.glusterfs", "fuse.sshfs", "9p", "afs", "lustre",
    "fuse.rclone", "fuse.s3fs", "fuse.gcsfuse", "fuse.gvfsd-fuse"};
constexpr std::string_view kSkippedPoints[] = {"/dev", "/proc", "/sys", "/run/credentials", "/var/lib/docker",
                                               "/var/lib/containers/storage"};

bool kept_mount(std::string_view type, std::string_view point) {
  for (const std::string_view skipped : kSkippedTypes) {
    if (type == skipped) return false;
  }
  for (const std::string_view prefix : kSkippedPoints) {
    if (point.starts_with(prefix) && (point.size() == prefix.size() || point[prefix.size()] == '/')) return false;
  }
  return true;
}

// The next space-separated field of `rest`, taken off its front.
std::string_view next_field(std::string_view& rest) {
  const std::size_t start = std::min(rest.find_first_not_of(' '), rest.size());
  rest.remove_prefix(start);
  const std::size_t end = std::min(rest.find(' '), rest.size());
  const std::string_view field = rest.substr(0, end);
  rest.remove_prefix(end);
  return field;
}

// One statvfs per kept mount point (a point mounted twice once).
void stat_filesystems(std::string& mounts) {
  std::optional<std::string_view> text = file_text("/proc/1/mounts", mounts);
  if (!text) text = file_text("/proc/self/mounts", mounts);
  if (!text) return;
  std::vector<std::string> points;
  std::string_view rest = *text;
  while (!rest.empty()) {
    const std::size_t newline = std::min(rest.find('\n'), rest.size());
    std::string_view line = rest.substr(0, newline);
    rest.remove_prefix(std::min(newline + 1, rest.size()));
    next_field(line);  // the device
    const std::string_view point = next_field(line);
    const std::string_view type = next_field(line);
    if (!point.empty() && kept_mount(type, point)) points.emplace_back(point);
  }
  std::sort(points.begin(), points.end());
  points.erase(std::unique(points.begin(), points.end()), points.end());
  for (const std::string& point : points) {
    struct statvfs info{};
    retrying([&] { return ::statvfs(point.c_str(), &info); });
  }
}

bool ends_with_any(std::string_view name, std::initializer_list<std::string_view> suffixes) {
  for (const std::string_view suffix : suffixes) {
    if (name.ends_with(suffix)) return true;
  }
  return false;
}

// Every chip's name and every input, label and alarm file.
void read_hwmon(std::string& buffer) {
  for (const std::string& chip : names_in("/sys/class/hwmon", "hwmon")) {
    const std::string dir = "/sys/class/hwmon/" + chip + "/";
    read_file((dir + "name").c_str(), buffer);
    for (const std::string& file : names_in(dir.c_str(), "")) {
      if (ends_with_any(file, {"_input", "_label", "_alarm"})) read_file((dir + file).c_str(), buffer);
    }
  }
}

void read_cpufreq(std::string& buffer) {
  const std::string root = "/sys/devices/system/cpu/cpufreq/";
  for (const std::string& policy : names_in(root.c_str(), "policy")) {
    read_file((root + policy + "/affected_cpus").c_str(), buffer);
    read_file((root + policy + "/scaling_cur_freq").c_str(), buffer);
  }
}

void board_pass(const BoardSources& sources, std::string& buffer, std::string& mounts) {
  one_pass(buffer);
  names_in("/sys/block", "");
  if (sources.pressure) {
    for (const char* path : {"/proc/pressure/cpu", "/proc/pressure/memory", "/proc/pressure/io"}) {
      read_file(path, buffer);
    }
  }
  if (sources.filesystems) stat_filesystems(mounts);
  if (sources.hwmon) read_hwmon(buffer);
  if (sources.wireless) read_file("/proc/net/wireless", buffer);
  if (sources.cpufreq) read_cpufreq(buffer);
  if (sources.clock) {
    struct timex state{};
    state.modes = 0;  // read only
    retrying([&] { return ::adjtimex(&state); });
  }
}

// The sources of a "board" command: all of them but those named "-NAME"
// after it; nullopt for a word it does not know.
std::optional<BoardSources> board_sources(std::string_view words) {
  BoardSources sources;
  for (std::string_view word = next_field(words); !word.empty(); word = next_field(words)) {
    bool* flag = word == "-pressure"      ? &sources.pressure
                 : word == "-filesystems" ? &sources.filesystems
                 : word == "-hwmon"       ? &sources.hwmon
                 : word == "-wireless"    ? &sources.wireless
                 : word == "-cpufreq"     ? &sources.cpufreq
                 : word == "-clock"       ? &sources.clock
                                          : nullptr;
    if (flag == nullptr) return std::nullopt;
    *flag = false;
  }
  return sources;
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
  std::string mounts;
  std::string line;
  while (std::getline(std::cin, line)) {
    std::string_view rest = line;
    std::string_view command = next_field(rest);
    const bool cpu = command == "cpu";
    if (cpu) command = next_field(rest);
    const clockid_t clock_id = cpu ? CLOCK_PROCESS_CPUTIME_ID : CLOCK_MONOTONIC;
    const std::optional<BoardSources> board = command == "board" ? board_sources(rest) : std::nullopt;
    const bool alone = next_field(rest).empty();  // no words after the command
    const std::uint64_t start = now_ns(clock_id);
    if (command == "pass" && alone) {
      one_pass(buffer);
    } else if (board) {
      board_pass(*board, buffer, mounts);
    } else if (command == "thread" && alone) {
      start_and_join_thread();
    } else if (command == "threaded" && alone) {
      pass_on_worker(buffer);
    } else {
      std::cerr << "floor: unknown command '" << line << "'\n";
      return 2;
    }
    std::cout << now_ns(clock_id) - start << std::endl;
  }
  return 0;
}
