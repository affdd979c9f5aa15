// Out of memory around the runtime: every allocation of a one-shot run is
// made to fail in turn, through a replacement of the global operator new
// that the tests arm. Whatever fails, the caller's signal mask is back, no
// thread is left, and the failure is std::bad_alloc (or a run that copes),
// never a crash; shutting a runtime down allocates nothing.
#include "runtime/worker.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <iterator>
#include <new>
#include <optional>
#include <string>
#include <thread>

#include <signal.h>  // pthread_sigmask, sigismember

#include "collector/exact/collect_once.h"
#include "collector/monitoring/sampler.h"
#include "runtime/periodic_timer.h"

// ThreadSanitizer's runtime defines operator new itself and refuses a
// replacement; these tests then skip (the other builds run them).
#if defined(__SANITIZE_THREAD__)
#define QUILLMERE_OWN_OPERATOR_NEW 0
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define QUILLMERE_OWN_OPERATOR_NEW 0
#endif
#endif
#ifndef QUILLMERE_OWN_OPERATOR_NEW
#define QUILLMERE_OWN_OPERATOR_NEW 1
#endif

namespace {

// Allocations left before the one that fails; -1 disarms. Shared by every
// thread, so the worker's allocations count too.
std::atomic<std::int64_t> g_allocations_until_failure{-1};
std::atomic<bool> g_failed{false};

}  // namespace

#if QUILLMERE_OWN_OPERATOR_NEW
void* operator new(std::size_t size) {
  const std::int64_t left = g_allocations_until_failure.load(std::memory_order_relaxed);
  if (left >= 0 && g_allocations_until_failure.fetch_sub(1, std::memory_order_relaxed) == 0) {
    g_allocations_until_failure.store(0, std::memory_order_relaxed);  // every later one fails too
    g_failed.store(true, std::memory_order_relaxed);
    throw std::bad_alloc();
  }
  if (void* memory = std::malloc(size == 0 ? 1 : size)) return memory;
  throw std::bad_alloc();
}
// The nothrow forms too (std::stable_sort's buffer comes from them): every
// form the program may pair with the deletes above must come from malloc, or
// AddressSanitizer sees its own allocation released with free().
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  try {
    return ::operator new(size);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}
// GCC's optimiser pairs an inlined new with this free and warns, though the
// replaced operator new above allocates with malloc.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wpragmas"  // GCC before 11 lacks the next one
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif
void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, std::size_t) noexcept { std::free(memory); }
void operator delete(void* memory, const std::nothrow_t&) noexcept { std::free(memory); }
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif
#endif

namespace quillmere::runtime {
namespace {

std::size_t thread_count() {
  const std::filesystem::directory_iterator tasks("/proc/self/task");
  return static_cast<std::size_t>(std::distance(begin(tasks), end(tasks)));
}

// The thread count once it has come down to `expected`, or after a second.
// A joined thread can stay listed for a moment: under qemu-user the join
// returns when the emulator clears the thread id, before the host thread ends.
std::size_t thread_count_settled(std::size_t expected) {
  std::size_t count = thread_count();
  for (int tries = 0; count != expected && tries < 100; ++tries) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    count = thread_count();
  }
  return count;
}

bool same_mask(const sigset_t& a, const sigset_t& b) {
  for (int signal = 1; signal < NSIG; ++signal) {
    if (sigismember(&a, signal) != sigismember(&b, signal)) return false;
  }
  return true;
}

TEST(OutOfMemory, every_failing_allocation_of_a_run_leaves_the_caller_whole) {
  if (!QUILLMERE_OWN_OPERATOR_NEW) GTEST_SKIP() << "operator new cannot be replaced under ThreadSanitizer";
  collector::CollectorSources nowhere;
  nowhere.roots = sys_reader::Roots{"/nonexistent", "/nonexistent"};
  nowhere.firmware_tool = "quillmere-test-no-such-tool";
  sigset_t caller_mask;
  sigemptyset(&caller_mask);
  sigaddset(&caller_mask, SIGUSR2);
  pthread_sigmask(SIG_SETMASK, &caller_mask, nullptr);
  const std::size_t threads = thread_count();

  testing::internal::CaptureStderr();  // the worker reports its own failures
  std::int64_t failures = 0;
  for (std::int64_t n = 0; n < 10000; ++n) {
    g_failed = false;
    g_allocations_until_failure = n;
    try {
      std::optional<Worker> worker;
      (void)collector::collect_once(worker, 1000, nowhere);
    } catch (const std::bad_alloc&) {
    }
    g_allocations_until_failure = -1;
    sigset_t mask;
    pthread_sigmask(SIG_SETMASK, nullptr, &mask);
    ASSERT_TRUE(same_mask(mask, caller_mask)) << "allocation " << n;
    ASSERT_EQ(thread_count_settled(threads), threads) << "allocation " << n;
    if (!g_failed) break;  // the run made fewer than n + 1 allocations
    ++failures;
  }
  testing::internal::GetCapturedStderr();
  pthread_sigmask(SIG_SETMASK, &caller_mask, nullptr);
  EXPECT_GT(failures, 5);
  sigset_t empty;
  sigemptyset(&empty);
  pthread_sigmask(SIG_SETMASK, &empty, nullptr);
}

TEST(OutOfMemory, a_sampler_whose_worker_runs_out_of_memory_is_closed_with_the_error) {
  if (!QUILLMERE_OWN_OPERATOR_NEW) GTEST_SKIP() << "operator new cannot be replaced under ThreadSanitizer";
  collector::CounterSources sources;
  sources.firmware_tool = "quillmere-test-no-such-tool";
  testing::internal::CaptureStderr();  // the worker reports the fault
  collector::Sampler sampler(1000000, sources);
  using Status = collector::Sampler::Slot::TakeStatus;
  std::optional<collector::Sampler::Slot::Taken> taken;
  g_allocations_until_failure = 0;  // the worker's next pass fails; taking allocates nothing
  Status status = Status::kValue;
  while (status == Status::kValue) status = sampler.take(taken);
  g_allocations_until_failure = -1;
  EXPECT_EQ(status, Status::kFailed);
  EXPECT_TRUE(sampler.closed());
  EXPECT_THROW(sampler.raise_failure(), std::bad_alloc);
  sampler.close();  // the worker has written its diagnostic once joined
  const std::string diagnostic = testing::internal::GetCapturedStderr();
  EXPECT_NE(diagnostic.find("internal fault in thread 'quillmere-work'"), std::string::npos) << diagnostic;
}

TEST(OutOfMemory, stop_allocates_nothing) {
  if (!QUILLMERE_OWN_OPERATOR_NEW) GTEST_SKIP() << "operator new cannot be replaced under ThreadSanitizer";
  Worker worker([](TickClock& clock) {
    PeriodicTimer timer(clock, 3600ULL * 1000000000ULL);
    while (timer.tick()) {
    }
  });
  g_failed = false;
  g_allocations_until_failure = 0;  // an allocation in a noexcept stop would terminate the test
  worker.stop();
  g_allocations_until_failure = -1;
  EXPECT_FALSE(g_failed.exchange(false));
}

}  // namespace
}  // namespace quillmere::runtime
