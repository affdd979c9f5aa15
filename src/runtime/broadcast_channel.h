// A bounded channel from one sender to one receiver in which a send never
// waits: a receiver that falls behind loses the oldest values, not the
// sender's time.
//
// Semantics:
// - The channel holds the last `capacity` values sent; a send beyond that
//   overwrites the oldest. A send once the receiver is gone fails (returns
//   false) and the value is discarded.
// - recv() blocks until a value this receiver has not taken is held, and
//   returns a copy, oldest first. A receiver that fell so far behind that
//   values it had not taken were overwritten gets kLagged with the number it
//   missed; its next recv() continues with the oldest value still held.
// - When the sender is gone and the receiver has taken everything still
//   held, recv() returns kClosed.
//
// Threads: the two ends may be used on different threads at once; one mutex
// guards the ring and the counters. A send (or the sender's destruction)
// happens-before the recv() that observes its value (or the close). The two
// ends share the state through a shared_ptr, so either end may be destroyed
// first, on any thread.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

namespace quillmere::runtime {

template <typename T>
struct RecvResult {
  enum class Kind { kValue, kLagged, kClosed };
  Kind kind = Kind::kClosed;
  std::optional<T> value;       // set for kValue
  std::uint64_t missed = 0;     // set for kLagged
};

namespace detail {

template <typename T>
struct ChannelState {
  explicit ChannelState(std::size_t cap) : slots(cap) {}

  std::mutex mutex;
  std::condition_variable readable;
  std::vector<std::optional<T>> slots;  // guarded by mutex; value n lives at slots[n % size]
  std::uint64_t sent = 0;               // guarded by mutex; values ever sent
  std::size_t senders = 1;              // guarded by mutex
  bool receiver_alive = true;           // guarded by mutex
};

// The slot of value number `n`. The count is 64-bit on every target while a
// vector index is 32-bit on 32-bit boards; the remainder is below `size`, so
// narrowing it back loses nothing.
inline std::size_t slot_index(std::uint64_t n, std::size_t size) noexcept {
  return static_cast<std::size_t>(n % size);
}

}  // namespace detail

template <typename T>
class BroadcastReceiver;

template <typename T>
class BroadcastSender {
 public:
  BroadcastSender(BroadcastSender&& other) noexcept = default;
  BroadcastSender& operator=(BroadcastSender&& other) noexcept {
    if (this != &other) {
      drop();
      state_ = std::move(other.state_);
    }
    return *this;
  }
  BroadcastSender(const BroadcastSender&) = delete;
  BroadcastSender& operator=(const BroadcastSender&) = delete;
  ~BroadcastSender() { drop(); }

  // Copies `value` into the channel. Never waits for the receiver. Returns
  // false (value discarded) when the receiver is gone.
  bool send(const T& value) {
    {
      std::lock_guard lock(state_->mutex);
      if (!state_->receiver_alive) return false;
      state_->slots[detail::slot_index(state_->sent, state_->slots.size())] = value;
      ++state_->sent;
    }
    state_->readable.notify_all();
    return true;
  }

 private:
  template <typename U>
  friend std::pair<BroadcastSender<U>, BroadcastReceiver<U>> make_broadcast_channel(std::size_t);

  explicit BroadcastSender(std::shared_ptr<detail::ChannelState<T>> state) noexcept
      : state_(std::move(state)) {}

  void drop() noexcept {
    if (!state_) return;
    {
      std::lock_guard lock(state_->mutex);
      --state_->senders;
    }
    state_->readable.notify_all();
    state_.reset();
  }

  std::shared_ptr<detail::ChannelState<T>> state_;
};

template <typename T>
class BroadcastReceiver {
 public:
  BroadcastReceiver(BroadcastReceiver&& other) noexcept = default;
  BroadcastReceiver& operator=(BroadcastReceiver&& other) noexcept {
    if (this != &other) {
      drop();
      state_ = std::move(other.state_);
      next_ = other.next_;
    }
    return *this;
  }
  BroadcastReceiver(const BroadcastReceiver&) = delete;
  BroadcastReceiver& operator=(const BroadcastReceiver&) = delete;
  ~BroadcastReceiver() { drop(); }

  // Blocks until a value, a lag or the close can be reported.
  RecvResult<T> recv() {
    using Kind = typename RecvResult<T>::Kind;
    std::unique_lock lock(state_->mutex);
    for (;;) {
      const std::uint64_t capacity = state_->slots.size();
      const std::uint64_t oldest = state_->sent > capacity ? state_->sent - capacity : 0;
      if (next_ < oldest) {
        RecvResult<T> lagged{Kind::kLagged, std::nullopt, oldest - next_};
        next_ = oldest;
        return lagged;
      }
      if (next_ < state_->sent) {
        RecvResult<T> taken{Kind::kValue, state_->slots[detail::slot_index(next_, state_->slots.size())], 0};
        ++next_;
        return taken;
      }
      if (state_->senders == 0) return RecvResult<T>{Kind::kClosed, std::nullopt, 0};
      state_->readable.wait(lock);
    }
  }

 private:
  template <typename U>
  friend std::pair<BroadcastSender<U>, BroadcastReceiver<U>> make_broadcast_channel(std::size_t);

  BroadcastReceiver(std::shared_ptr<detail::ChannelState<T>> state, std::uint64_t next) noexcept
      : state_(std::move(state)), next_(next) {}

  void drop() noexcept {
    if (!state_) return;
    // Take the reference out first so that the state (and its mutex) outlives
    // the lock even when this is the last reference.
    const auto state = std::move(state_);
    std::lock_guard lock(state->mutex);
    state->receiver_alive = false;
  }

  std::shared_ptr<detail::ChannelState<T>> state_;
  std::uint64_t next_ = 0;  // sequence number of the next value to take
};

// A channel holding at most `capacity` (> 0) values, and its two ends.
template <typename T>
std::pair<BroadcastSender<T>, BroadcastReceiver<T>> make_broadcast_channel(std::size_t capacity) {
  auto state = std::make_shared<detail::ChannelState<T>>(capacity == 0 ? 1 : capacity);
  return {BroadcastSender<T>(state), BroadcastReceiver<T>(state, 0)};
}

}  // namespace quillmere::runtime
