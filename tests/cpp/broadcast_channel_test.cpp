// The snapshot channel's outcomes: values in order, lag with the missed
// count, close after the last sender, and a send that never waits.
#include "runtime/broadcast_channel.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace quillmere::runtime {
namespace {

using Kind = RecvResult<int>::Kind;

TEST(BroadcastChannel, receiver_gets_values_oldest_first) {
  auto [tx, rx] = make_broadcast_channel<int>(8);
  for (int i = 1; i <= 3; ++i) EXPECT_TRUE(tx.send(i));
  for (int i = 1; i <= 3; ++i) {
    const auto got = rx.recv();
    ASSERT_EQ(got.kind, Kind::kValue);
    EXPECT_EQ(*got.value, i);
  }
}

TEST(BroadcastChannel, overrun_receiver_is_told_how_many_it_missed_then_resumes_at_oldest) {
  auto [tx, rx] = make_broadcast_channel<int>(8);
  for (int i = 0; i < 11; ++i) EXPECT_TRUE(tx.send(i));  // 0, 1, 2 are overwritten
  const auto lagged = rx.recv();
  ASSERT_EQ(lagged.kind, Kind::kLagged);
  EXPECT_EQ(lagged.missed, 3u);
  for (int i = 3; i < 11; ++i) {
    const auto got = rx.recv();
    ASSERT_EQ(got.kind, Kind::kValue);
    EXPECT_EQ(*got.value, i);
  }
}

TEST(BroadcastChannel, closed_channel_reports_no_snapshot_only_after_held_values) {
  auto [tx, rx] = make_broadcast_channel<int>(8);
  tx.send(7);
  { auto gone = std::move(tx); }
  const auto first = rx.recv();
  ASSERT_EQ(first.kind, Kind::kValue);
  EXPECT_EQ(*first.value, 7);
  EXPECT_EQ(rx.recv().kind, Kind::kClosed);
  EXPECT_EQ(rx.recv().kind, Kind::kClosed);
}

TEST(BroadcastChannel, send_without_receiver_fails_and_discards) {
  auto [tx, rx] = make_broadcast_channel<int>(8);
  { auto gone = std::move(rx); }
  EXPECT_FALSE(tx.send(1));
}

TEST(BroadcastChannel, send_never_waits_for_a_full_channel) {
  auto [tx, rx] = make_broadcast_channel<int>(2);
  for (int i = 0; i < 1000; ++i) EXPECT_TRUE(tx.send(i));  // would deadlock if it waited
  EXPECT_EQ(rx.recv().missed, 998u);
}

TEST(BroadcastChannel, blocked_receiver_wakes_on_send_and_on_close_from_another_thread) {
  auto [tx, rx] = make_broadcast_channel<int>(8);
  std::vector<Kind> kinds;
  std::thread receiver([&rx = rx, &kinds] {
    kinds.push_back(rx.recv().kind);
    kinds.push_back(rx.recv().kind);
  });
  std::thread sender([tx = std::move(tx)]() mutable {
    tx.send(1);
    // tx is dropped when the thread's function object is destroyed.
  });
  sender.join();
  receiver.join();
  EXPECT_EQ(kinds, (std::vector<Kind>{Kind::kValue, Kind::kClosed}));
}

}  // namespace
}  // namespace quillmere::runtime
