// The snapshot queue's outcomes: values in order, the oldest held after an
// overrun, the close after the sender, and a send that never waits.
#include "runtime/snapshot_queue.h"

#include <gtest/gtest.h>

#include <optional>
#include <thread>
#include <vector>

namespace quillmere::runtime {
namespace {

TEST(SnapshotQueue, receiver_gets_values_oldest_first) {
  auto [tx, rx] = make_snapshot_queue<int>(8);
  for (int i = 1; i <= 3; ++i) EXPECT_TRUE(tx.send(i));
  for (int i = 1; i <= 3; ++i) EXPECT_EQ(rx.receive(), i);
}

// A receiver starved of CPU while its producer ran on: the values sent before
// the last 8 are gone, and it takes the oldest still held.
TEST(SnapshotQueue, overrun_receiver_gets_the_oldest_value_still_held) {
  auto [tx, rx] = make_snapshot_queue<int>(8);
  for (int i = 0; i < 100; ++i) EXPECT_TRUE(tx.send(i));  // never waits
  for (int i = 92; i < 100; ++i) EXPECT_EQ(rx.receive(), i);
}

TEST(SnapshotQueue, closed_queue_reports_no_value_only_after_held_values) {
  auto [tx, rx] = make_snapshot_queue<int>(8);
  tx.send(7);
  { auto gone = std::move(tx); }
  EXPECT_EQ(rx.receive(), 7);
  EXPECT_EQ(rx.receive(), std::nullopt);
  EXPECT_EQ(rx.receive(), std::nullopt);
}

TEST(SnapshotQueue, send_without_receiver_fails_and_discards) {
  auto [tx, rx] = make_snapshot_queue<int>(8);
  { auto gone = std::move(rx); }
  EXPECT_FALSE(tx.send(1));
}

TEST(SnapshotQueue, blocked_receiver_wakes_on_send_and_on_close_from_another_thread) {
  auto [tx, rx] = make_snapshot_queue<int>(8);
  std::vector<std::optional<int>> got;
  std::thread receiver([&rx = rx, &got] {
    got.push_back(rx.receive());
    got.push_back(rx.receive());
  });
  std::thread sender([tx = std::move(tx)]() mutable {
    tx.send(1);
    // tx is dropped when the thread's function object is destroyed.
  });
  sender.join();
  receiver.join();
  EXPECT_EQ(got, (std::vector<std::optional<int>>{1, std::nullopt}));
}

}  // namespace
}  // namespace quillmere::runtime
