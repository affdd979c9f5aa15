// Running an outside program: what the child is given, what comes back, the
// PATH lookup, the deadline and output cap, and that no child or descriptor
// is left behind on any path. The programs are small /bin/sh scripts in a
// temporary directory put first on PATH.
#include "os/child_process.h"

#include "os/child_owner.h"

#include "os/unique_fd.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <fcntl.h>            // fcntl
#include <linux/filter.h>     // sock_filter, sock_fprog
#include <linux/seccomp.h>    // SECCOMP_RET_ERRNO
#include <signal.h>           // pthread_sigmask, sigaction, kill
#include <sys/prctl.h>        // prctl: seccomp, child subreaper
#include <sys/eventfd.h>      // eventfd
#include <sys/resource.h>     // getrusage
#include <sys/syscall.h>      // SYS_pidfd_open
#include <sys/time.h>         // setitimer
#include <sys/wait.h>         // waitid
#include <unistd.h>           // dup2, close, _exit

namespace quillmere::os {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// No child at all, not even a zombie (WNOWAIT: nothing is reaped by asking).
bool no_child_left() {
  siginfo_t info{};
  return ::waitid(P_ALL, 0, &info, WEXITED | WNOHANG | WNOWAIT) == -1 && errno == ECHILD;
}

class ChildProcessTest : public ::testing::Test {
 protected:
  // Writes `body` as the script "tool" in the directory first on PATH, looks
  // it up and runs it, as the firmware queries do.
  std::optional<CompletedRun> run_script(const std::string& body, std::span<const char* const> args = {},
                                         const RunLimits& limits = {}) {
    dir_.write_script("bin/tool", body);
    const std::optional<std::string> path = find_executable("tool");
    if (!path) {
      ADD_FAILURE() << "tool not found on PATH";
      return std::nullopt;
    }
    return run_executable(*path, "tool", args, limits);
  }

  test::TempDir dir_;
  test::ScopedEnv path_{"PATH", (dir_.path() / "bin").string() + ":/usr/bin:/bin"};
};

TEST_F(ChildProcessTest, ReportsExitStatusAndKeepsOnlyStdout) {
  struct Case {
    std::string body;
    bool exited_normally;
    int exit_code;
    std::string stdout_bytes;
  };
  const Case cases[] = {
      {"printf out; printf err >&2", true, 0, "out"},
      {"echo partial; exit 3", true, 3, "partial\n"},
      {"echo partial; kill -KILL $$", false, -1, "partial\n"},
      // Stderr far beyond a pipe's buffer: drained alongside stdout, dropped.
      {"head -c 10000000 /dev/zero >&2; echo after", true, 0, "after\n"},
      {"head -c 65536 /dev/zero | tr '\\0' x", true, 0, std::string(64 * 1024, 'x')},  // exactly the cap
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.body);
    const auto run = run_script(c.body);
    ASSERT_TRUE(run.has_value());
    EXPECT_EQ(run->exited_normally, c.exited_normally);
    if (c.exited_normally) {
      EXPECT_EQ(run->exit_code, c.exit_code);
    }
    EXPECT_EQ(run->stdout_bytes, c.stdout_bytes);
  }
}

TEST_F(ChildProcessTest, PassesEachArgumentUnchangedWithoutShell) {
  const std::array<const char*, 3> args{"two words", "", "$HOME;*"};
  const auto run = run_script("printf '[%s]' \"$@\"", args);
  ASSERT_TRUE(run.has_value());
  EXPECT_EQ(run->stdout_bytes, "[two words][][$HOME;*]");
}

TEST_F(ChildProcessTest, OutputOverTheCapFailsWithBoundedMemory) {
  rusage before{};
  ::getrusage(RUSAGE_SELF, &before);
  EXPECT_FALSE(run_script("head -c 65537 /dev/zero").has_value());
  EXPECT_FALSE(run_script("exec head -c 100000000 /dev/zero").has_value());
  rusage after{};
  ::getrusage(RUSAGE_SELF, &after);
  EXPECT_LT(after.ru_maxrss - before.ru_maxrss, 16 * 1024);  // KiB
  EXPECT_TRUE(no_child_left());
}

// True once `pid` no longer runs: gone, or a zombie (killed, waiting for
// whichever process reaps it).
bool stopped_running(pid_t pid) {
  if (::kill(pid, 0) != 0) return errno == ESRCH;
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  std::getline(stat, line);
  const std::size_t close = line.rfind(')');
  return close != std::string::npos && close + 2 < line.size() && line[close + 2] == 'Z';
}

// The killed grandchild, gone within a second; false if it still runs (then
// it is killed here). As a subreaper we reap it and see the signal; where the
// system refuses to make us one (qemu-user does), it is reparented elsewhere
// and all we can see is that it stopped running.
bool killed_and_reaped(pid_t grandchild, bool subreaper) {
  for (int tries = 0; tries < 100; ++tries) {
    int status = 0;
    if (subreaper && ::waitpid(grandchild, &status, WNOHANG) == grandchild) return WIFSIGNALED(status);
    if (!subreaper && stopped_running(grandchild)) return true;
    std::this_thread::sleep_for(10ms);
  }
  ::kill(grandchild, SIGKILL);
  if (subreaper) ::waitpid(grandchild, nullptr, 0);
  return false;
}

TEST_F(ChildProcessTest, DeadlineEndsTheRunAndTheToolsWholeProcessGroup) {
  struct Case {
    const char* body;
    std::optional<std::string> output;
  };
  const Case cases[] = {
      {"exec sleep 60", std::nullopt},                                // never answers
      {"exec >&- 2>&-; exec sleep 60", std::nullopt},                 // closes its output, never exits
      {"sleep 30 & echo $! >\"$0.pid\"; wait", std::nullopt},         // a wrapper waiting for its child
      {"sleep 30 & echo $! >\"$0.pid\"; echo answer", "answer\n"},  // exits answered; its child holds the pipes
  };
  // Orphaned grandchildren come to us rather than to an init that might
  // never reap them, so that a survivor shows.
  const bool subreaper = ::prctl(PR_SET_CHILD_SUBREAPER, 1) == 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.body);
    std::filesystem::remove(dir_.path() / "bin/tool.pid");
    const auto start = Clock::now();
    const std::optional<CompletedRun> run = run_script(c.body);
    const auto elapsed = Clock::now() - start;
    EXPECT_EQ(run ? std::optional(run->stdout_bytes) : std::nullopt, c.output);
    EXPECT_GE(elapsed, 1s);
    EXPECT_LT(elapsed, 1500ms);
    pid_t grandchild = 0;
    if (std::ifstream(dir_.path() / "bin/tool.pid") >> grandchild) {
      EXPECT_TRUE(killed_and_reaped(grandchild, subreaper)) << "the tool's own child survived the run";
    }
    EXPECT_TRUE(no_child_left());
  }
  ::prctl(PR_SET_CHILD_SUBREAPER, 0);
}

TEST_F(ChildProcessTest, FindsFirstExecutableRegularFileOnPath) {
  const std::string root = dir_.path().string();
  dir_.write_file("a/tool", "");
  dir_.write_file("b/tool/x", "");
  dir_.write_script("c/tool", "");
  dir_.write_script("d/tool", "");
  struct Case {
    std::optional<std::string> path_variable;
    const char* name;
    std::optional<std::string> expected;
  };
  const Case cases[] = {
      {root + "/a:" + root + "/b:" + root + "/c:" + root + "/d", "tool", root + "/c/tool"},
      {root + "/a:" + root + "/b", "tool", std::nullopt},
      {"/nonexistent:" + root + "/d", "tool", root + "/d/tool"},
      {"/nonexistent", "some/dir/tool", "some/dir/tool"},  // a '/' means no search
      {std::nullopt, "sh", "/bin/sh"},                        // unset PATH: /bin:/usr/bin
      {root + "/c", "", std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path_variable.value_or("(unset)") + " " + c.name);
    const test::ScopedEnv path("PATH", c.path_variable);
    EXPECT_EQ(find_executable(c.name), c.expected);
  }
  // Empty and relative entries would resolve against the working directory:
  // skipped, although an executable tool lies there under each of them.
  dir_.write_script("c/bin/tool", "");
  const auto cwd = std::filesystem::current_path();
  std::filesystem::current_path(dir_.path() / "c");
  for (const char* entries : {"", ":", ".", "bin", "./bin", "/nonexistent::bin:."}) {
    SCOPED_TRACE(entries);
    const test::ScopedEnv path("PATH", std::string(entries));
    EXPECT_EQ(find_executable("tool"), std::nullopt);
  }
  std::filesystem::current_path(cwd);
}

TEST_F(ChildProcessTest, LeavesNoDescriptorOrChildBehind) {
  const std::size_t before = test::count_open_fds();
  EXPECT_TRUE(run_script("echo ok").has_value());
  EXPECT_FALSE(run_script("exec head -c 100000 /dev/zero").has_value());
  EXPECT_FALSE(run_script("exec sleep 60", {}, RunLimits{.timeout = 100ms}).has_value());
  EXPECT_FALSE(find_executable("no-such-tool-anywhere").has_value());
  EXPECT_EQ(test::count_open_fds(), before);
  EXPECT_TRUE(no_child_left());
}

// A killed child that could not be reaped in time (stuck in the kernel) is
// reaped by a later run; while kMaxGivenUp of them still run, no run starts
// another, so a tool that hangs for good cannot pile up processes.
TEST_F(ChildProcessTest, StuckChildrenAreReapedLaterAndBoundNewRuns) {
  const UniqueFd own = open_pidfd(::getpid());
  siginfo_t info{};
  if (!own || (::waitid(kPidfdIdType, static_cast<id_t>(own.get()), &info, WEXITED | WNOHANG) != 0 &&
               errno == EINVAL)) {
    GTEST_SKIP() << "no waiting on a pidfd here";
  }
  std::vector<pid_t> stuck;
  std::vector<UniqueFd> pidfds;
  for (std::size_t i = 0; i < kMaxGivenUp; ++i) {
    const pid_t pid = ::fork();
    if (pid == 0) {
      ::pause();
      ::_exit(0);
    }
    ASSERT_GT(pid, 0);
    stuck.push_back(pid);
    pidfds.push_back(open_pidfd(pid));
  }
  // Counted once the children are made: a sanitizer opens its own on a fork.
  const std::size_t fds = test::count_open_fds() - kMaxGivenUp;
  for (UniqueFd& pidfd : pidfds) give_up(std::move(pidfd));
  EXPECT_FALSE(run_script("echo answer").has_value());
  // Each waitable (WNOWAIT: not reaped by asking) before the next run.
  const auto exited = [](pid_t pid) {
    siginfo_t state{};
    return ::waitid(P_PID, static_cast<id_t>(pid), &state, WEXITED | WNOHANG | WNOWAIT) == 0 && state.si_pid == pid;
  };
  for (const pid_t pid : stuck) {
    ::kill(pid, SIGKILL);
    for (int tries = 0; tries < 500 && !exited(pid); ++tries) std::this_thread::sleep_for(2ms);
  }
  const std::optional<CompletedRun> run = run_script("echo answer");
  EXPECT_EQ(run ? run->stdout_bytes : "", "answer\n");
  EXPECT_TRUE(no_child_left());
  EXPECT_EQ(test::count_open_fds(), fds);
}

// The runtime's cancellation reaches a run in progress: the child is killed
// and reaped at once instead of at the run's own deadline, and a run asked
// for after the cancellation starts no process at all.
TEST_F(ChildProcessTest, CancellationKillsARunningChildAndStartsNoOther) {
  const UniqueFd cancel(::eventfd(0, EFD_CLOEXEC));
  ASSERT_TRUE(cancel);
  const RunLimits limits{.timeout = 10s, .cancel_fd = cancel.get()};
  // Taken before the canceller starts its 200 ms, so that the run lasts them all.
  const auto start = Clock::now();
  std::thread canceller([&] {
    std::this_thread::sleep_for(200ms);
    const std::uint64_t one = 1;
    EXPECT_TRUE(write_all(cancel.get(), &one, sizeof one));
  });
  EXPECT_FALSE(run_script("exec sleep 60", {}, limits).has_value());
  const auto elapsed = Clock::now() - start;
  canceller.join();
  EXPECT_GE(elapsed, 200ms);
  EXPECT_LT(elapsed, 1s);
  EXPECT_TRUE(no_child_left());

  // Any child started and reaped would leave a SIGCHLD pending while it is
  // blocked here (this is the test's only thread at this point).
  sigset_t child_signal;
  sigset_t saved_mask;
  sigemptyset(&child_signal);
  sigaddset(&child_signal, SIGCHLD);
  ::pthread_sigmask(SIG_BLOCK, &child_signal, &saved_mask);
  const timespec no_wait{};
  while (::sigtimedwait(&child_signal, nullptr, &no_wait) == SIGCHLD) {
  }
  EXPECT_FALSE(run_script("echo late", {}, limits).has_value());
  sigset_t pending;
  ::sigpending(&pending);
  EXPECT_FALSE(sigismember(&pending, SIGCHLD));
  while (::sigtimedwait(&child_signal, nullptr, &no_wait) == SIGCHLD) {
  }
  ::pthread_sigmask(SIG_SETMASK, &saved_mask, nullptr);
}

TEST_F(ChildProcessTest, ChildStartsWithEmptyMaskAndDefaultSigpipe) {
  const std::optional<std::string> grep = find_executable("grep");
  ASSERT_TRUE(grep.has_value());
  sigset_t all;
  sigset_t saved_mask;
  sigfillset(&all);
  ::pthread_sigmask(SIG_SETMASK, &all, &saved_mask);
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  struct sigaction saved_pipe {};
  struct sigaction saved_xfsz {};
  ::sigaction(SIGPIPE, &ignore, &saved_pipe);
  ::sigaction(SIGXFSZ, &ignore, &saved_xfsz);
  // Run directly: a shell would clear its signal mask itself and hide a fault.
  const std::array<const char*, 3> args{"-E", "^Sig(Blk|Ign)", "/proc/self/status"};
  const auto run = run_executable(*grep, "grep", args);
  ::sigaction(SIGXFSZ, &saved_xfsz, nullptr);
  ::sigaction(SIGPIPE, &saved_pipe, nullptr);
  ::pthread_sigmask(SIG_SETMASK, &saved_mask, nullptr);

  ASSERT_TRUE(run.has_value());
  std::istringstream lines(run->stdout_bytes);
  std::string blocked_label, blocked, ignored_label, ignored;
  lines >> blocked_label >> blocked >> ignored_label >> ignored;
  EXPECT_EQ(blocked_label + blocked, "SigBlk:0000000000000000");
  ASSERT_EQ(ignored_label, "SigIgn:");
  const unsigned long long mask = std::stoull(ignored, nullptr, 16);
  EXPECT_EQ(mask & (1ULL << (SIGPIPE - 1)), 0U);
  EXPECT_EQ(mask & (1ULL << (SIGXFSZ - 1)), 0U);
}

TEST_F(ChildProcessTest, InterruptedCallsAreRetried) {
  struct sigaction on_alarm {};
  on_alarm.sa_handler = [](int) {};  // no SA_RESTART: every blocking call sees EINTR
  struct sigaction saved {};
  ::sigaction(SIGALRM, &on_alarm, &saved);
  const itimerval every_ms{{0, 1000}, {0, 1000}};
  ::setitimer(ITIMER_REAL, &every_ms, nullptr);
  const auto run = run_script("sleep 0.2; echo ok");
  const itimerval off{};
  ::setitimer(ITIMER_REAL, &off, nullptr);
  ::sigaction(SIGALRM, &saved, nullptr);
  ASSERT_TRUE(run.has_value());
  EXPECT_EQ(run->stdout_bytes, "ok\n");
}

// With the host's standard streams closed, the pipes land on 0 to 3; the
// child must still get /dev/null as stdin and each pipe on its own number.
TEST_F(ChildProcessTest, ChildGetsNullStdinAndItsPipesWithHostStreamsClosed) {
  std::array<int, 3> saved{};
  for (int fd = 0; fd < 3; ++fd) saved[static_cast<std::size_t>(fd)] = ::fcntl(fd, F_DUPFD_CLOEXEC, 10);
  for (int fd = 0; fd < 3; ++fd) ::close(fd);
  const auto run = run_script("readlink /proc/$$/fd/0; echo err >&2");
  for (int fd = 0; fd < 3; ++fd) {
    ::dup2(saved[static_cast<std::size_t>(fd)], fd);
    ::close(saved[static_cast<std::size_t>(fd)]);
  }
  ASSERT_TRUE(run.has_value());
  EXPECT_EQ(run->stdout_bytes, "/dev/null\n");
}

// Whether this process may install a seccomp filter: qemu-user refuses
// them, since the filter would apply to the emulator's own system calls. A
// forked child tries; between fork and _exit it calls only prctl, which is
// async-signal-safe.
bool seccomp_filters_allowed() {
  const pid_t pid = ::fork();
  if (pid == 0) {
    sock_filter allow{BPF_RET | BPF_K, 0, 0, SECCOMP_RET_ALLOW};
    const sock_fprog program{1, &allow};
    ::_exit(::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
                    ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0
                ? 0
                : 1);
  }
  int status = 0;
  while (pid > 0 && ::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return pid > 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// Where the kernel has no pidfd_open, the wait for the exit polls waitpid and
// must keep the deadline all the same. A seccomp filter in a forked copy of
// the test makes pidfd_open fail with ENOSYS, as an old kernel would.
TEST_F(ChildProcessTest, WithoutPidfdTheWaitStillKeepsTheDeadline) {
  if (!seccomp_filters_allowed()) GTEST_SKIP() << "seccomp filters are refused here (qemu-user refuses them)";
  const auto checks = [this]() -> int {
    ::alarm(5);  // a wait that ignores the deadline ends this copy instead of hanging
    const std::array<sock_filter, 4> filter{{
        {BPF_LD | BPF_W | BPF_ABS, 0, 0, offsetof(seccomp_data, nr)},
        {BPF_JMP | BPF_JEQ | BPF_K, 0, 1, SYS_pidfd_open},
        {BPF_RET | BPF_K, 0, 0, SECCOMP_RET_ERRNO | ENOSYS},
        {BPF_RET | BPF_K, 0, 0, SECCOMP_RET_ALLOW},
    }};
    const sock_fprog program{filter.size(), const_cast<sock_filter*>(filter.data())};
    if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 ||
        ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0 ||
        ::syscall(SYS_pidfd_open, ::getpid(), 0) != -1 || errno != ENOSYS) {
      return 10;
    }
    const auto ok = run_script("exec >&- 2>&-; sleep 0.05; exit 4");
    if (!ok || !ok->exited_normally || ok->exit_code != 4) return 11;
    const auto start = Clock::now();
    if (run_script("exec >&- 2>&-; exec sleep 60", {}, RunLimits{.timeout = 300ms})) return 12;
    const auto elapsed = Clock::now() - start;
    if (elapsed < 300ms || elapsed > 600ms || !no_child_left()) return 13;
    return 0;
  };
  EXPECT_EXIT(::_exit(checks()), ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace quillmere::os
