// One worker thread with a stop signal: the thread runs one task, and the
// task's timer waits on the clock that stop() cancels.
//
// Lifetime: the constructor creates the stop signal's eventfd (O_CLOEXEC) and
// starts the thread with every signal blocked, so that signals keep going to
// the interpreter's main thread. The thread runs the task once and drops it
// there (for the exact collector that drop closes its snapshot queue); a task
// that throws is dropped the same way, with a diagnostic on standard error,
// and never reaches the owner. stop() (also run by the destructor) cancels,
// waits for the task to reach its next wait for a tick (or its end), joins
// the thread and closes the eventfd: afterwards the process has the threads
// and descriptors it had before the worker.
//
// Threads: the owner alone calls stop(). Cancellation is an atomic flag plus
// an eventfd write: the flag set by stop() happens-before any wait that
// observes it.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <thread>

#include "os/unique_fd.h"
#include "runtime/fault.h"
#include "runtime/periodic_timer.h"

namespace quillmere::runtime {

// CLOCK_MONOTONIC, whose waits the worker's stop signal interrupts.
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

class Worker {
 public:
  using Task = std::function<void(TickClock& clock)>;

  // Starts the thread on `task`. Throws RuntimeBuildError (no eventfd, or no
  // thread), having dropped the task.
  explicit Worker(Task task);
  Worker(const Worker&) = delete;
  Worker& operator=(const Worker&) = delete;
  ~Worker() { stop(); }

  // Cancels and joins. Idempotent; allocates nothing.
  void stop() noexcept;

 private:
  CancellableClock clock_;
  std::thread thread_;
};

}  // namespace quillmere::runtime
