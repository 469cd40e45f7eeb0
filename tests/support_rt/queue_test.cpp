// Threads, critical sections and message queues.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <thread>
#include <vector>

#include "support/UTL_thread.h"

namespace {

using Clock = std::chrono::steady_clock;

void* as_msg(std::uintptr_t v) { return reinterpret_cast<void*>(v); }
std::uintptr_t as_int(void* p) { return reinterpret_cast<std::uintptr_t>(p); }

class QueueTest : public ::testing::Test {
 protected:
  void SetUp() override { UTL_message_queue_create(&q); }
  void TearDown() override { UTL_message_queue_destroy(q); }
  UTL_message_queue* q = nullptr;
};

TEST_F(QueueTest, EmptyQueueTimesOut) {
  const auto t0 = Clock::now();
  EXPECT_EQ(UTL_message_queue_read(q, 0), nullptr);
  EXPECT_EQ(UTL_message_queue_read(q, 150), nullptr);
  // The time-out is waited, not skipped.
  EXPECT_GE(Clock::now() - t0, std::chrono::milliseconds(140));
}

TEST_F(QueueTest, MessagesComeOutOldestFirst) {
  for (std::uintptr_t i = 1; i <= 1000; ++i) UTL_message_queue_write(q, as_msg(i));
  for (std::uintptr_t i = 1; i <= 1000; ++i) ASSERT_EQ(as_int(UTL_message_queue_read(q, 0)), i);
  EXPECT_EQ(UTL_message_queue_read(q, 0), nullptr);
  // Writes and reads taking turns keep the order too.
  UTL_message_queue_write(q, as_msg(7));
  UTL_message_queue_write(q, as_msg(8));
  EXPECT_EQ(as_int(UTL_message_queue_read(q, -1)), 7u);
  UTL_message_queue_write(q, as_msg(9));
  EXPECT_EQ(as_int(UTL_message_queue_read(q, -1)), 8u);
  EXPECT_EQ(as_int(UTL_message_queue_read(q, 10)), 9u);
}

TEST_F(QueueTest, BlockedReaderWakesWhenAMessageArrives) {
  std::atomic<std::uintptr_t> got{0};
  std::thread reader([&] { got = as_int(UTL_message_queue_read(q, -1)); });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(got.load(), 0u);
  UTL_message_queue_write(q, as_msg(42));
  reader.join();
  EXPECT_EQ(got.load(), 42u);

  // A reader with a time-out also gets a message written while it waits.
  std::thread late([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    UTL_message_queue_write(q, as_msg(43));
  });
  EXPECT_EQ(as_int(UTL_message_queue_read(q, 5000)), 43u);
  late.join();
}

// Several writers and several readers on one queue: every message arrives
// once, and each writer's messages arrive in the order it wrote them.
TEST_F(QueueTest, SeveralWritersAndReaders) {
  constexpr int kWriters = 4, kReaders = 3, kEach = 20000;
  std::vector<std::thread> threads;
  for (int w = 0; w < kWriters; ++w) {
    threads.emplace_back([this, w] {
      for (int i = 1; i <= kEach; ++i) UTL_message_queue_write(q, as_msg(std::uintptr_t(w) << 32 | std::uintptr_t(i)));
    });
  }
  std::vector<std::vector<std::uintptr_t>> seen(kReaders);
  std::atomic<int> taken{0};
  std::vector<std::thread> readers;
  for (int r = 0; r < kReaders; ++r) {
    readers.emplace_back([&, r] {
      while (taken.fetch_add(1) < kWriters * kEach) seen[r].push_back(as_int(UTL_message_queue_read(q, -1)));
    });
  }
  for (auto& t : threads) t.join();
  for (auto& t : readers) t.join();

  std::vector<int> count(kWriters, 0);
  for (const auto& s : seen) {
    std::vector<std::uintptr_t> last(kWriters, 0);
    for (std::uintptr_t m : s) {
      const std::uintptr_t w = m >> 32, i = m & 0xffffffffu;
      ASSERT_LT(w, std::uintptr_t(kWriters));
      EXPECT_GT(i, last[w]) << "writer " << w << " out of order for one reader";
      last[w] = i;
      ++count[w];
    }
  }
  for (int w = 0; w < kWriters; ++w) EXPECT_EQ(count[w], kEach);
  EXPECT_EQ(UTL_message_queue_read(q, 0), nullptr);
}

TEST_F(QueueTest, QueueHoldsAHundredThousandMessagesAndNoMore) {
  for (std::uintptr_t i = 1; i <= 100000; ++i) UTL_message_queue_write(q, as_msg(i));
  // One more is a fatal failure.
  EXPECT_EXIT(UTL_message_queue_write(q, as_msg(100001)), testing::ExitedWithCode(1),
              "\"MPNotifyQueue\" OS error\n\nerr=" + std::to_string(EOVERFLOW) + "\\.000000");
  for (std::uintptr_t i = 1; i <= 100000; ++i) ASSERT_EQ(as_int(UTL_message_queue_read(q, 0)), i);
  EXPECT_EQ(UTL_message_queue_read(q, 0), nullptr);
}

TEST(CriticalSectionTest, ExcludesOtherThreadsAndMayBeTakenAgain) {
  UTL_critical_section* cs = nullptr;
  UTL_critical_section_create(&cs);
  // The holder may take it again.
  UTL_critical_section_lock(cs);
  UTL_critical_section_lock(cs);
  std::atomic<bool> entered{false};
  std::thread other([&] {
    UTL_critical_section_lock(cs);
    entered = true;
    UTL_critical_section_unlock(cs);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  UTL_critical_section_unlock(cs);
  EXPECT_FALSE(entered.load()) << "entered while still held once";
  UTL_critical_section_unlock(cs);
  other.join();
  EXPECT_TRUE(entered.load());

  // Plain counting under the lock from several threads loses nothing.
  long counter = 0;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 50000; ++i) {
        UTL_critical_section_lock(cs);
        ++counter;
        UTL_critical_section_unlock(cs);
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(counter, 200000);
  UTL_critical_section_destroy(cs);
}

void* add_one(void* arg) { return as_msg(as_int(arg) + 1); }

void* exit_early(void* arg) {
  UTL_thread_exit(arg);
  return nullptr;  // never reached
}

void* report_ours(void*) { return as_msg(UTL_thread_is_ours() ? 1 : 2); }

TEST(ThreadTest, CreateAndJoinReturnTheResult) {
  EXPECT_GE(UTL_count_processors(), 1);
  UTL_thread_handle h = nullptr, j = nullptr;
  UTL_thread_id id;
  UTL_thread_create(add_one, as_msg(41), &h, &id, &j);
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(h, j);
  EXPECT_NE(id, UTL_get_current_thread());
  int ended = 0;
  EXPECT_EQ(as_int(UTL_thread_join(h, j, &ended)), 42u);
  EXPECT_EQ(ended, 1);

  // UTL_thread_exit ends the thread with its value.
  UTL_thread_create(exit_early, as_msg(7), &h, nullptr, &j);
  EXPECT_EQ(as_int(UTL_thread_join(h, j)), 7u);

  UTL_thread_create(report_ours, nullptr, &h, nullptr, &j);
  EXPECT_EQ(as_int(UTL_thread_join(h, j)), 1u);
  EXPECT_EQ(UTL_thread_is_ours(), 0);
}

}  // namespace
