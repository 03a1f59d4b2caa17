#include "support/zalThreadList.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <thread>
#include <vector>

namespace zal {
namespace {

TEST(CriticalSection, IsReentrantForTheOwnerAndExcludesOthers) {
  TzalCriticalSection section;
  section.Acquire();
  section.Acquire();
  EXPECT_TRUE(section.TryAcquire());
  bool otherGotIt = true;
  std::thread([&] { otherGotIt = section.TryAcquire(); }).join();
  EXPECT_FALSE(otherGotIt);
  section.Release();
  section.Release();
  section.Release();
  std::thread([&] {
    otherGotIt = section.TryAcquire();
    if (otherGotIt)
      section.Release();
  }).join();
  EXPECT_TRUE(otherGotIt);
}

TEST(CriticalSection, AReleaseByAThreadThatDoesNotHoldItIsIgnored) {
  TzalCriticalSection section;
  section.Acquire();
  std::thread([&] { section.Release(); }).join();
  bool otherGotIt = true;
  std::thread([&] { otherGotIt = section.TryAcquire(); }).join();
  EXPECT_FALSE(otherGotIt);  // still held by this thread
  section.Release();
  section.Release();  // one release too many: ignored
  EXPECT_TRUE(section.TryAcquire());
  section.Release();
}

TEST(CriticalSection, SerialisesIncrementsFromSeveralThreads) {
  TzalCriticalSection section;
  long counter = 0;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&] {
      for (int i = 0; i < 20000; ++i) {
        std::lock_guard guard(section);
        ++counter;
      }
    });
  for (auto& thread : threads)
    thread.join();
  EXPECT_EQ(counter, 80000);
}

struct Item {
  int value = 0;
};

TEST(ThreadList, DuplicatePolicies) {
  Item item;
  TzalThreadList<Item> ignore;
  ignore.Add(&item);
  ignore.Add(&item);
  EXPECT_EQ(ignore.LockList().size(), 1u);
  ignore.UnlockList();

  TzalThreadList<Item> accept;
  accept.SetDuplicates(dupAccept);
  accept.Add(&item);
  accept.Add(&item);
  EXPECT_EQ(accept.LockList().size(), 2u);
  accept.UnlockList();

  TzalThreadList<Item> error;
  error.SetDuplicates(dupError);
  error.Add(&item);
  char expected[64];
  std::snprintf(expected, sizeof expected, "List does not allow duplicates ($0%llX)",
                static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(&item)));
  try {
    error.Add(&item);
    ADD_FAILURE() << "no exception";
  } catch (const EListError& e) {
    EXPECT_STREQ(e.what(), expected);
  }
  EXPECT_EQ(error.LockList().size(), 1u);
  error.UnlockList();
}

TEST(ThreadList, RemovesFromEitherEndAndByIndex) {
  Item a, b;
  TzalThreadList<Item> list;
  list.SetDuplicates(dupAccept);
  for (Item* item : {&a, &b, &a, &b})
    list.Add(item);
  list.RemoveItem(&a, FromEnd);
  EXPECT_EQ(list.LockList(), (std::vector<Item*>{&a, &b, &b}));
  list.UnlockList();
  list.Remove(&b);
  EXPECT_EQ(list.LockList(), (std::vector<Item*>{&a, &b}));
  list.UnlockList();
  list.Remove(&b);
  list.Remove(&b);  // absent: nothing happens
  list.Delete(0);
  EXPECT_TRUE(list.IsEmpty());
  EXPECT_THROW(list.Delete(0), EListError);
  EXPECT_THROW(list.DeleteKey(-1, "k"), EListError);
}

TEST(ThreadList, KeysAreIgnored) {
  Item a;
  TzalThreadList<Item> list;
  list.AddKey(&a, "key");
  EXPECT_EQ(list.GetValue("key"), nullptr);
  EXPECT_EQ(list.ListType(), tdlOnlyThread);
  list.DeleteKey(0, "other");
  EXPECT_TRUE(list.IsEmpty());
}

TEST(ThreadList, IsEmptyFollowsChangesMadeThroughLockList) {
  Item a;
  TzalThreadList<Item> list;
  EXPECT_TRUE(list.IsEmpty());
  list.LockList().push_back(&a);
  list.UnlockList();
  EXPECT_FALSE(list.IsEmpty());
  list.Clear();
  EXPECT_TRUE(list.IsEmpty());
}

TEST(ThreadList, ConcurrentAddsAndRemovesKeepEveryItemOnce) {
  constexpr int kThreads = 4, kPerThread = 500;
  std::vector<Item> items(kThreads * kPerThread);
  TzalThreadList<Item> list;
  list.SetDuplicates(dupError);
  std::atomic<int> errors{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&, t] {
      for (int i = 0; i < kPerThread; ++i) {
        Item* item = &items[t * kPerThread + i];
        try {
          list.Add(item);
          if (i % 2 == 1)
            list.Remove(item);
        } catch (const EListError&) {
          ++errors;
        }
        (void)list.IsEmpty();
      }
    });
  for (auto& thread : threads)
    thread.join();
  EXPECT_EQ(errors.load(), 0);
  EXPECT_EQ(list.LockList().size(), static_cast<size_t>(kThreads * kPerThread / 2));
  list.UnlockList();
}

}  // namespace
}  // namespace zal
