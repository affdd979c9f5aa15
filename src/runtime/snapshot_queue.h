// A queue from one producer to one consumer that holds the last `capacity`
// values: a send never waits, and a send into a full queue overwrites the
// oldest value. The exact call's collector publishes its snapshots through
// one of capacity 8; the call takes the oldest one held.
//
// Semantics:
// - A send once the receiver is gone fails (returns false) and the value is
//   discarded.
// - receive() blocks until a value is held and returns the oldest; a
//   receiver that fell behind simply gets the oldest value still held.
// - When the sender is gone and nothing is held, receive() returns nullopt.
//
// Threads: the two ends may be used on different threads at once; one mutex
// guards the ring and the counts. A send (or the sender's destruction)
// happens-before the receive() that observes its value (or the close). The
// ends share the state through a shared_ptr, so either may be destroyed
// first, on any thread. The ring is allocated when the queue is made: a send
// allocates nothing.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

namespace quillmere::runtime {

namespace detail {

template <typename T>
struct QueueState {
  explicit QueueState(std::size_t capacity) : ring(capacity) {}

  std::mutex mutex;
  std::condition_variable readable;
  std::vector<std::optional<T>> ring;  // guarded by mutex; the oldest at `first`
  std::size_t first = 0;               // guarded by mutex
  std::size_t held = 0;                // guarded by mutex
  bool sender_alive = true;            // guarded by mutex
  bool receiver_alive = true;          // guarded by mutex
};

}  // namespace detail

// One end of a queue: the sending end (kSends) or the receiving one. Either
// end's destruction tells the other side it is gone.
template <typename T, bool kSends>
class QueueEnd {
 public:
  explicit QueueEnd(std::shared_ptr<detail::QueueState<T>> state) noexcept : state_(std::move(state)) {}
  QueueEnd(QueueEnd&&) noexcept = default;
  QueueEnd& operator=(QueueEnd&&) = delete;
  QueueEnd(const QueueEnd&) = delete;
  QueueEnd& operator=(const QueueEnd&) = delete;
  ~QueueEnd() {
    if (!state_) return;
    {
      std::lock_guard lock(state_->mutex);
      (kSends ? state_->sender_alive : state_->receiver_alive) = false;
    }
    state_->readable.notify_all();
  }

  // Copies `value` into the queue, overwriting the oldest when it is full.
  // Never waits. Returns false (value discarded) when the receiver is gone.
  bool send(const T& value)
    requires kSends
  {
    {
      std::lock_guard lock(state_->mutex);
      if (!state_->receiver_alive) return false;
      const std::size_t capacity = state_->ring.size();
      state_->ring[(state_->first + state_->held) % capacity] = value;
      if (state_->held == capacity) {
        state_->first = (state_->first + 1) % capacity;
      } else {
        ++state_->held;
      }
    }
    state_->readable.notify_all();
    return true;
  }

  // The oldest value held, waiting for one; nullopt once the sender is gone
  // and nothing is held.
  std::optional<T> receive()
    requires(!kSends)
  {
    std::unique_lock lock(state_->mutex);
    state_->readable.wait(lock, [this] { return state_->held != 0 || !state_->sender_alive; });
    if (state_->held == 0) return std::nullopt;
    std::optional<T> value = std::move(state_->ring[state_->first]);
    state_->first = (state_->first + 1) % state_->ring.size();
    --state_->held;
    return value;
  }

 private:
  std::shared_ptr<detail::QueueState<T>> state_;
};

template <typename T>
using QueueSender = QueueEnd<T, true>;
template <typename T>
using QueueReceiver = QueueEnd<T, false>;

// A queue holding at most `capacity` (> 0) values, and its two ends.
template <typename T>
std::pair<QueueSender<T>, QueueReceiver<T>> make_snapshot_queue(std::size_t capacity) {
  auto state = std::make_shared<detail::QueueState<T>>(capacity == 0 ? 1 : capacity);
  return {QueueSender<T>(state), QueueReceiver<T>(state)};
}

}  // namespace quillmere::runtime
