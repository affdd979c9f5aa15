// The worker thread and the cancellable monotonic clock it waits on.
#include "runtime/worker.h"

#include <cerrno>
#include <ctime>
#include <exception>
#include <string_view>
#include <system_error>

#include <poll.h>         // ppoll
#include <pthread.h>      // pthread_sigmask, pthread_setname_np
#include <signal.h>       // sigfillset NOLINT(modernize-deprecated-headers): POSIX, not in <csignal>
#include <sys/eventfd.h>  // eventfd
#include <unistd.h>       // write

#include "os/clock.h"
#include "runtime/fault.h"

namespace quillmere::runtime {

namespace {

// The worker's name as shown in diagnostics and in /proc/<pid>/task/*/comm.
constexpr const char* kWorkerName = "quillmere-work";

// No single wait sleeps longer than this; the loop re-checks the clock. It
// keeps ppoll's timeout far from any overflow for saturated deadlines.
constexpr std::uint64_t kMaxWaitNs = 3600ULL * 1000000000ULL;

}  // namespace

CancellableClock::CancellableClock() {
  const int fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (fd < 0) throw RuntimeBuildError(errno);
  wake_fd_.reset(fd);
}

std::uint64_t CancellableClock::now_ns() noexcept { return os::monotonic_now_ns(); }

bool CancellableClock::wait_until(std::uint64_t deadline_ns) {
  for (;;) {
    if (cancelled()) return false;
    const std::uint64_t now = now_ns();
    if (now >= deadline_ns) return true;
    std::uint64_t remaining = deadline_ns - now;
    if (remaining > kMaxWaitNs) remaining = kMaxWaitNs;
    const timespec timeout{static_cast<time_t>(remaining / 1000000000ULL),
                           static_cast<long>(remaining % 1000000000ULL)};
    pollfd wake{wake_fd_.get(), POLLIN, 0};
    // The eventfd is never read: once cancel() has written it, it stays
    // readable and every later wait returns at once.
    const int ready = ::ppoll(&wake, 1, &timeout, nullptr);
    if (ready < 0 && errno != EINTR) throw std::system_error(errno, std::generic_category(), "ppoll");
  }
}

void CancellableClock::cancel() noexcept {
  cancelled_.store(true, std::memory_order_release);
  if (!wake_fd_) return;  // released: nothing can be waiting
  const std::uint64_t one = 1;
  // Can only fail when the counter would overflow, i.e. it is already
  // readable, which is all a waiter needs.
  (void)os::write_all(wake_fd_.get(), &one, sizeof one);
}

namespace {

// Blocks every signal on the calling thread for its lifetime and restores
// the previous mask on every way out, an exception (out of memory included)
// as well as a return.
class AllSignalsBlocked {
 public:
  AllSignalsBlocked() noexcept {
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &previous_);
  }
  AllSignalsBlocked(const AllSignalsBlocked&) = delete;
  AllSignalsBlocked& operator=(const AllSignalsBlocked&) = delete;
  ~AllSignalsBlocked() { pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }

 private:
  sigset_t previous_{};
};

// Runs the task and drops it on the worker, whatever way it ends: what it
// owns (the exact collector's queue sender) is released before the owner
// stops the worker.
void run_task(Worker::Task& task, TickClock& clock) noexcept {
  pthread_setname_np(pthread_self(), kWorkerName);
  try {
    task(clock);
  } catch (const std::exception& fault) {
    report_internal_fault(fault.what());
  } catch (...) {
    report_internal_fault("unknown exception");
  }
  task = nullptr;
}

}  // namespace

Worker::Worker(Task task) {
  // The thread inherits the creating thread's signal mask; block everything
  // for the creation so that no signal can reach it even before its first
  // instruction. The caller's mask is back before anything leaves here:
  // std::bad_alloc passes on as it is (out of memory), a refused thread
  // becomes a RuntimeBuildError with the system's error number.
  int refused = 0;
  {
    const AllSignalsBlocked blocked;
    try {
      thread_ = std::thread([this, owned = std::move(task)]() mutable noexcept { run_task(owned, clock_); });
    } catch (const std::system_error& error) {
      refused = error.code().value();
    }
  }
  if (refused != 0) throw RuntimeBuildError(refused, RuntimeBuildError::Resource::kThread);
}

void Worker::stop() noexcept {
  clock_.cancel();
  if (thread_.joinable()) thread_.join();
  clock_.release_descriptor();
}

}  // namespace quillmere::runtime
