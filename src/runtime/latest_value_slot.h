// A slot that holds the newest value a producer put and hands each value to
// exactly one taker; a value nobody took before the next put is dropped and
// counted as missed.
//
// Semantics:
// - put() never waits. It replaces a value still held (missed grows by one).
// - take() returns the held value with the number of values dropped since the
//   previous take, or blocks until a put, the close, or a signal (EINTR), so
//   that a Python caller can run its signal handlers and wait again. After
//   close() take() reports kClosed at once, even with a value held.
// - ready_fd() is an eventfd that is readable exactly while a value is held:
//   put() into an empty slot makes it readable, take() drains it, both under
//   the mutex. A selector or an event loop can wait on it; it is never closed
//   before the slot is destroyed, so a descriptor number handed out stays
//   ours while any thread may still poll it.
//
// Threads: any number of threads may take at once (each value reaches one of
// them); one thread puts. One mutex guards the value, the count and the flag;
// a put happens-before the take that returns its value. Destroy the slot only
// when no thread is inside take().
#pragma once

#include <array>
#include <cerrno>
#include <cstdint>
#include <mutex>
#include <optional>
#include <system_error>
#include <utility>

#include <poll.h>         // poll
#include <sys/eventfd.h>  // eventfd

#include "os/unique_fd.h"
#include "runtime/sampling_runtime.h"  // RuntimeBuildError

namespace quillmere::runtime {

template <typename T>
class LatestValueSlot {
 public:
  enum class TakeStatus { kValue, kClosed, kInterrupted };
  struct Taken {
    T value;
    std::uint64_t missed = 0;  // values dropped since the previous take
  };

  // Throws RuntimeBuildError when an eventfd cannot be made.
  LatestValueSlot() : ready_fd_(make_eventfd()), closed_fd_(make_eventfd()) {}

  void put(T value) {
    {
      std::lock_guard lock(mutex_);
      if (value_) {
        ++missed_;
      } else {
        signal(ready_fd_.get());
      }
      value_ = std::move(value);
    }
  }

  // Blocks for a value, the close or an interrupting signal; fills `out` for
  // kValue. Throws std::system_error when poll fails for another reason.
  TakeStatus take(std::optional<Taken>& out) {
    for (;;) {
      {
        std::lock_guard lock(mutex_);
        if (closed_) return TakeStatus::kClosed;
        if (value_) {
          out.emplace(Taken{std::move(*value_), missed_});
          value_.reset();
          missed_ = 0;
          std::uint64_t count = 0;
          // Non-blocking: the slot held a value, so the counter is set.
          (void)os::read_retrying(ready_fd_.get(), &count, sizeof count);
          return TakeStatus::kValue;
        }
      }
      // Another taker may win the value this poll sees; the loop then waits
      // again. Both descriptors stay open for the slot's whole life.
      std::array<pollfd, 2> fds{{{ready_fd_.get(), POLLIN, 0}, {closed_fd_.get(), POLLIN, 0}}};
      if (::poll(fds.data(), fds.size(), -1) < 0) {
        if (errno == EINTR) return TakeStatus::kInterrupted;
        throw std::system_error(errno, std::generic_category(), "poll");
      }
    }
  }

  // Idempotent; wakes every taker.
  void close() noexcept {
    std::lock_guard lock(mutex_);
    if (closed_) return;
    closed_ = true;
    signal(closed_fd_.get());
  }

  bool closed() const noexcept {
    std::lock_guard lock(mutex_);
    return closed_;
  }

  int ready_fd() const noexcept { return ready_fd_.get(); }

 private:
  static os::UniqueFd make_eventfd() {
    os::UniqueFd fd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!fd) throw RuntimeBuildError(errno);
    return fd;
  }

  static void signal(int fd) noexcept {
    const std::uint64_t one = 1;
    // Fails only when the counter would overflow: it is readable already.
    (void)os::write_all(fd, &one, sizeof one);
  }

  os::UniqueFd ready_fd_;
  os::UniqueFd closed_fd_;
  mutable std::mutex mutex_;
  std::optional<T> value_;     // guarded by mutex_
  std::uint64_t missed_ = 0;   // guarded by mutex_
  bool closed_ = false;        // guarded by mutex_
};

}  // namespace quillmere::runtime
