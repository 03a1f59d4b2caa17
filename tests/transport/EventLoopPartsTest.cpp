// The event loop's timer heap and the limits of the engine's settings.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <thread>
#include <vector>

#include "transport/zalIdTimerHeap.h"
#include "transport/zalSock_IOCP_Engine.h"

namespace zal {
namespace {

using Clock = TIdTimerHeap::Clock;

// Random deadlines, some moved and some cancelled: the heap yields exactly the
// ones still queued, earliest first, and only once they are due.
TEST(TimerHeap, YieldsWhatIsQueuedInDeadlineOrderAfterMovesAndCancels) {
  const Clock::time_point start{};
  std::mt19937 random(7);
  std::vector<TIdTimerHeap::TEntry> entries(500);
  TIdTimerHeap heap;
  for (auto& entry : entries)
    heap.Schedule(entry, start + std::chrono::milliseconds(random() % 1000));
  for (size_t i = 0; i < entries.size(); i += 3)
    heap.Schedule(entries[i], start + std::chrono::milliseconds(random() % 1000));  // moved
  for (size_t i = 1; i < entries.size(); i += 5)
    heap.Cancel(entries[i]);
  heap.Cancel(entries[1]);  // a second cancel changes nothing
  std::vector<Clock::time_point> expected;
  for (const auto& entry : entries)
    if (entry.Queued())
      expected.push_back(entry.Due);
  std::sort(expected.begin(), expected.end());
  ASSERT_EQ(heap.Size(), expected.size());

  EXPECT_EQ(heap.PopDue(start - std::chrono::milliseconds(1)), nullptr) << "nothing is due before the first deadline";
  std::vector<Clock::time_point> popped;
  while (TIdTimerHeap::TEntry* due = heap.PopDue(start + std::chrono::seconds(1))) {
    EXPECT_FALSE(due->Queued());
    popped.push_back(due->Due);
  }
  EXPECT_EQ(popped, expected);
  EXPECT_EQ(heap.Earliest(), nullptr);
}

struct LimitRow {
  int (*Limit)(int);
  int Given;
  int Expected;
};

TEST(EngineLimits, ZeroNegativeAndLargeCountsAreBroughtWithinBounds) {
  const int cores = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
  const LimitRow rows[] = {
      {TzalSock_IOCP_Engine::LimitIOCPThreads, 0, 8},          {TzalSock_IOCP_Engine::LimitIOCPThreads, 100, 64},
      {TzalSock_IOCP_Engine::LimitIOCPThreads, -3, 1},         {TzalSock_IOCP_Engine::LimitIOCPThreads, 5, 5},
      {TzalSock_IOCP_Engine::LimitWorkOpThreads, 0, std::min(cores, 64)},
      {TzalSock_IOCP_Engine::LimitWorkOpThreads, 65, 64},      {TzalSock_IOCP_Engine::LimitWorkOpThreads, -1, 1},
      {TzalSock_IOCP_Engine::LimitTimeOut, 0, 10000},          {TzalSock_IOCP_Engine::LimitTimeOut, 250, 250},
  };
  for (const LimitRow& row : rows)
    EXPECT_EQ(row.Limit(row.Given), row.Expected) << "given " << row.Given;
}

}  // namespace
}  // namespace zal
