// The per-call task runtime: one worker thread, a wake-up descriptor for
// cancellation, and the monotonic clock that timers on it use.
//
// Lifetime: built by one call, shut down and destroyed before that call
// returns. The constructor creates the wake-up eventfd (O_CLOEXEC) and starts
// the worker thread with every signal blocked, so that signals keep going to
// the interpreter's main thread. shutdown() (also run by the destructor)
// cancels, drops every task that has not started, waits for the running task
// to reach its next wait for a tick, joins the worker and closes the eventfd:
// afterwards the process has the threads and descriptors it had before the
// runtime.
//
// Threads: spawn() and shutdown() are called by the owning thread only. Tasks
// run on the worker, one after another. A task that throws is dropped there,
// with a diagnostic on standard error; it never reaches the owner.
// Cancellation is an atomic flag plus an eventfd write: the flag set by
// shutdown() happens-before any wait that observes it.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>

#include "os/unique_fd.h"
#include "runtime/periodic_timer.h"

namespace quillmere::runtime {

// The runtime could not be built because the system refused a resource: a
// descriptor (EMFILE, ENFILE: no eventfd) or a thread (EAGAIN). what() is the
// system's description of the error, after "could not start the worker
// thread: " for a thread.
class RuntimeBuildError : public std::runtime_error {
 public:
  enum class Resource { kDescriptor, kThread };
  explicit RuntimeBuildError(int error_number, Resource resource = Resource::kDescriptor);
  int error_number() const noexcept { return error_number_; }
  Resource resource() const noexcept { return resource_; }

 private:
  int error_number_;
  Resource resource_;
};

// CLOCK_MONOTONIC, whose waits the runtime's cancellation interrupts.
class CancellableClock final : public TickClock {
 public:
  // Throws RuntimeBuildError when the eventfd cannot be created.
  CancellableClock();

  std::uint64_t now_ns() noexcept override;
  bool wait_until(std::uint64_t deadline_ns) override;
  bool cancelled() const noexcept override { return cancelled_.load(std::memory_order_acquire); }
  int cancel_fd() const noexcept override { return wake_fd_.get(); }

  // Sets the flag and wakes every wait. Idempotent.
  void cancel() noexcept;
  // Closes the eventfd once no thread can wait any more (the worker joined).
  void release_descriptor() noexcept { wake_fd_.reset(); }

 private:
  os::UniqueFd wake_fd_;
  std::atomic<bool> cancelled_{false};
};

class SamplingRuntime {
 public:
  class Task {
   public:
    Task() = default;
    Task(const Task&) = delete;
    Task& operator=(const Task&) = delete;
    virtual ~Task() = default;
    virtual void run(TickClock& clock) = 0;
  };

  // Throws RuntimeBuildError (no eventfd, or no thread).
  SamplingRuntime();
  SamplingRuntime(const SamplingRuntime&) = delete;
  SamplingRuntime& operator=(const SamplingRuntime&) = delete;
  ~SamplingRuntime() { shutdown(); }

  // Queues `task` for the worker. The handle is not kept: the task runs until
  // it returns, throws, or is cancelled at shutdown.
  void spawn(std::unique_ptr<Task> task);

  // Cancels, drops queued tasks and joins the worker. Idempotent.
  void shutdown() noexcept;

 private:
  void worker_loop() noexcept;

  CancellableClock clock_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::unique_ptr<Task>> queue_;  // guarded by mutex_
  bool stopping_ = false;                    // guarded by mutex_
  std::thread worker_;
};

}  // namespace quillmere::runtime
