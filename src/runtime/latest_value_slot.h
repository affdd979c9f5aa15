// A slot that holds the newest value a producer put and hands each value to
// exactly one taker; a value nobody took before the next put is dropped and
// counted as missed.
//
// Semantics:
// - put() never waits. It replaces a value still held (missed grows by one)
//   and adds the values the producer says it skipped. After close() it does
//   nothing.
// - take() returns the held value with the number of values missed since the
//   previous take, or blocks until a put, the close, or a signal (EINTR), so
//   that a Python caller can run its signal handlers and wait again. After
//   close() take() reports kClosed at once, even with a value held; after
//   fail(), kFailed, and error() is the producer's exception.
// - ready_fd() is an eventfd that is readable exactly while a value is held:
//   put() into an empty slot makes it readable, take() drains it, both under
//   the mutex. A selector or an event loop can wait on it. Once closed the
//   slot hands out -1, and release_descriptors() closes both eventfds as soon
//   as no taker is inside take() any more, so that no thread polls a number
//   that may be reused.
//
// Threads: any number of threads may take at once (each value reaches one of
// them); one thread puts. One mutex guards the value, the counts, the flag and
// the error; a put happens-before the take that returns its value. Destroy
// the slot only when no thread is inside take().
#pragma once

#include <array>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <mutex>
#include <optional>
#include <system_error>
#include <utility>

#include <poll.h>         // poll
#include <sys/eventfd.h>  // eventfd

#include "os/unique_fd.h"
#include "runtime/fault.h"  // RuntimeBuildError

namespace quillmere::runtime {

template <typename T>
class LatestValueSlot {
 public:
  enum class TakeStatus { kValue, kClosed, kFailed, kInterrupted };
  struct Taken {
    T value;
    std::uint64_t missed = 0;  // values dropped or skipped since the previous take
  };

  // Throws RuntimeBuildError when an eventfd cannot be made.
  LatestValueSlot() : ready_fd_(make_eventfd()), closed_fd_(make_eventfd()) {}

  // `skipped`: values the producer never made (ticks it let pass), counted
  // as missed like a replaced one.
  void put(T value, std::uint64_t skipped = 0) {
    std::lock_guard lock(mutex_);
    if (closed_) return;
    missed_ += skipped;
    if (value_) {
      ++missed_;
    } else {
      signal(ready_fd_.get());
    }
    value_ = std::move(value);
  }

  // Blocks for a value, the close or an interrupting signal; fills `out` for
  // kValue. Throws std::system_error when poll fails for another reason.
  TakeStatus take(std::optional<Taken>& out) {
    std::unique_lock lock(mutex_);
    ++takers_;
    const TakerExit exit(*this);
    for (;;) {
      if (closed_) return error_ ? TakeStatus::kFailed : TakeStatus::kClosed;
      if (value_) {
        out.emplace(Taken{std::move(*value_), missed_});
        value_.reset();
        missed_ = 0;
        std::uint64_t count = 0;
        // Non-blocking: the slot held a value, so the counter is set.
        (void)os::read_retrying(ready_fd_.get(), &count, sizeof count);
        return TakeStatus::kValue;
      }
      // Another taker may win the value this poll sees; the loop then waits
      // again. Both descriptors stay open while any taker is in here.
      std::array<pollfd, 2> fds{{{ready_fd_.get(), POLLIN, 0}, {closed_fd_.get(), POLLIN, 0}}};
      lock.unlock();
      const int ready = ::poll(fds.data(), fds.size(), -1);
      const int poll_error = errno;
      lock.lock();
      if (ready < 0) {
        if (poll_error == EINTR) return TakeStatus::kInterrupted;
        throw std::system_error(poll_error, std::generic_category(), "poll");
      }
    }
  }

  // Idempotent; wakes every taker.
  void close() noexcept { close_with(nullptr); }

  // Closes with the producer's error (the first close wins).
  void fail(std::exception_ptr error) noexcept { close_with(std::move(error)); }

  bool closed() const noexcept {
    std::lock_guard lock(mutex_);
    return closed_;
  }

  // The producer's error after fail(), else nullptr.
  std::exception_ptr error() const noexcept {
    std::lock_guard lock(mutex_);
    return error_;
  }

  // The eventfd that is readable while a value is held; -1 once closed.
  int ready_fd() const noexcept {
    std::lock_guard lock(mutex_);
    return closed_ ? -1 : ready_fd_.get();
  }

  // Closes both eventfds once the slot is closed and no taker is inside
  // take(). The takers leave at once when woken by the close; one that has
  // not after a second (a thread starved of CPU) leaves the descriptors to
  // the destructor.
  void release_descriptors() noexcept {
    std::unique_lock lock(mutex_);
    if (!closed_) return;
    if (!takers_left_.wait_for(lock, kTakersLeaveWithin, [this] { return takers_ == 0; })) return;
    ready_fd_.reset();
    closed_fd_.reset();
  }

 private:
  static os::UniqueFd make_eventfd() {
    os::UniqueFd fd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!fd) throw RuntimeBuildError(errno);
    return fd;
  }

  static constexpr std::chrono::seconds kTakersLeaveWithin{1};

  // Counts a taker out on every way out of take(), with the mutex held.
  class TakerExit {
   public:
    explicit TakerExit(LatestValueSlot& slot) noexcept : slot_(slot) {}
    TakerExit(const TakerExit&) = delete;
    TakerExit& operator=(const TakerExit&) = delete;
    ~TakerExit() {
      if (--slot_.takers_ == 0) slot_.takers_left_.notify_all();
    }

   private:
    LatestValueSlot& slot_;
  };

  void close_with(std::exception_ptr error) noexcept {
    std::lock_guard lock(mutex_);
    if (closed_) return;
    closed_ = true;
    error_ = std::move(error);
    signal(closed_fd_.get());
  }

  static void signal(int fd) noexcept {
    const std::uint64_t one = 1;
    // Fails only when the counter would overflow: it is readable already.
    (void)os::write_all(fd, &one, sizeof one);
  }

  os::UniqueFd ready_fd_;
  os::UniqueFd closed_fd_;
  mutable std::mutex mutex_;
  std::condition_variable takers_left_;
  std::optional<T> value_;     // guarded by mutex_
  std::uint64_t missed_ = 0;   // guarded by mutex_
  bool closed_ = false;        // guarded by mutex_
  std::exception_ptr error_;   // guarded by mutex_
  std::uint64_t takers_ = 0;   // threads inside take(); guarded by mutex_
};

}  // namespace quillmere::runtime
