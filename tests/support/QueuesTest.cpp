#include "support/zalQueues.h"

#include "support/zalHelpers.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

namespace zal {
namespace {

// An item that counts its destructions, to check ownership.
class CountedItem : public TzalQueueNameItemBase {
public:
  CountedItem(std::string id, std::atomic<int>* destroyed, std::string queue = "")
      : FDestroyed(destroyed) {
    SetID(std::move(id));
    SetQueue(std::move(queue));
  }
  ~CountedItem() override {
    if (FDestroyed)
      ++*FDestroyed;
  }

private:
  std::atomic<int>* FDestroyed;
};

std::vector<std::string> Ids(const TzalQueueBase& queue) {
  std::vector<std::string> ids;
  for (int i = 0; TzalQueueItemBase* item = queue.GetItemByIndex(i); ++i)
    ids.push_back(item->ID());
  return ids;
}

TEST(Queue, FindsAndDeletesByExactIdentifierAndIndex) {
  std::atomic<int> destroyed{0};
  TzalQueue queue;
  queue.SetOwnObjects(true);
  for (const char* id : {"a", "B", "a"})
    queue.AddItem(new CountedItem(id, &destroyed));
  EXPECT_EQ(queue.GetItem("A"), nullptr);  // letter case is significant
  EXPECT_EQ(queue.GetItem("a"), queue.GetItem(0));
  EXPECT_TRUE(queue.DeleteItem("a"));
  EXPECT_EQ(Ids(queue), (std::vector<std::string>{"B", "a"}));
  EXPECT_FALSE(queue.DeleteItem("zz"));
  EXPECT_FALSE(queue.DeleteItem(2));
  EXPECT_FALSE(queue.DeleteItem(-1));
  EXPECT_EQ(queue.GetItem(-1), nullptr);
  EXPECT_TRUE(queue.DeleteItem(1));
  EXPECT_EQ(destroyed.load(), 2);
  EXPECT_EQ(queue.Count(), 1);
}

TEST(Queue, AQueueThatDoesNotOwnItsItemsLeavesThemAlive) {
  std::atomic<int> destroyed{0};
  CountedItem item("x", &destroyed);
  {
    TzalQueue queue;
    queue.AddItem(&item);
    queue.DeleteItem("x");
    queue.AddItem(&item);
  }
  EXPECT_EQ(destroyed.load(), 0);
}

TEST(Queue, ClearingAnOwningQueueDeletesEveryItem) {
  std::atomic<int> destroyed{0};
  {
    TzalQueue queue;
    queue.SetOwnObjects(true);
    for (int i = 0; i < 5; ++i)
      queue.AddItem(new CountedItem(std::to_string(i), &destroyed));
    queue.Clear();
    EXPECT_EQ(destroyed.load(), 5);
    EXPECT_TRUE(queue.IsEmpty());
    queue.AddItem(new CountedItem("late", &destroyed));
  }
  EXPECT_EQ(destroyed.load(), 6);  // destruction clears too
}

TEST(FIFOQueue, ABoundedQueueDropsItsOldestItems) {
  std::atomic<int> destroyed{0};
  TzalFIFOQueue queue;
  queue.SetOwnObjects(true);
  queue.SetMaxItems(2);
  for (const char* id : {"A", "B", "C"})
    queue.AddItem(new CountedItem(id, &destroyed));
  EXPECT_EQ(Ids(queue), (std::vector<std::string>{"B", "C"}));
  EXPECT_EQ(destroyed.load(), 1);
  queue.SetMaxItems(1);
  EXPECT_EQ(Ids(queue), (std::vector<std::string>{"C"}));
  queue.SetMaxItems(0);
  for (const char* id : {"D", "E", "F"})
    queue.AddItem(new CountedItem(id, &destroyed));
  EXPECT_EQ(queue.Count(), 4);
}

class CacheQueueTest : public ::testing::Test {
protected:
  void SetUp() override {
    cache.SetOwnObjects(true);
    for (const char* id : {"X", "Y", "Z"})
      cache.AddItem(new CountedItem(id, &destroyed));
  }
  bool Cached(const char* id) const { return cache.Cache().GetItem(id) != nullptr; }

  std::atomic<int> destroyed{0};
  TzalCacheQueue cache;
};

TEST_F(CacheQueueTest, WithOneEntryTheCacheHoldsOnlyTheLastItemFound) {
  cache.SetCacheSize(1);
  ASSERT_NE(cache.GetItem("X"), nullptr);
  EXPECT_TRUE(Cached("X"));
  ASSERT_NE(cache.GetItem("Y"), nullptr);
  EXPECT_FALSE(Cached("X"));  // the third look-up of X must scan the queue again
  EXPECT_EQ(cache.GetItem("X")->ID(), "X");
  EXPECT_TRUE(Cached("X"));
  EXPECT_FALSE(Cached("Y"));
}

TEST_F(CacheQueueTest, WithTwoEntriesTheThirdLookUpIsAnsweredFromTheCache) {
  cache.SetCacheSize(2);
  TzalQueueItemBase* x = cache.GetItem("X");
  cache.GetItem("Y");
  EXPECT_TRUE(Cached("X"));
  EXPECT_TRUE(Cached("Y"));
  EXPECT_EQ(cache.GetItem("X"), x);
  EXPECT_EQ(cache.Cache().Count(), 2);
}

TEST_F(CacheQueueTest, WithoutACacheOnlyTheQueueIsSearched) {
  EXPECT_EQ(cache.CacheSize(), 0);
  EXPECT_EQ(cache.GetItem("Z")->ID(), "Z");
  EXPECT_EQ(cache.Cache().Count(), 0);
  EXPECT_EQ(cache.GetItem("missing"), nullptr);
}

TEST_F(CacheQueueTest, DeletingRemovesTheItemFromCacheAndQueue) {
  cache.SetCacheSize(3);
  cache.GetItem("Y");
  EXPECT_TRUE(cache.DeleteItem("Y"));
  EXPECT_FALSE(Cached("Y"));
  EXPECT_EQ(cache.GetItem("Y"), nullptr);
  EXPECT_EQ(destroyed.load(), 1);
  EXPECT_FALSE(cache.DeleteItem("Y"));
  EXPECT_EQ(cache.Count(), 2);
}

TEST_F(CacheQueueTest, ShrinkingTheCacheNeverLeavesStaleEntries) {
  cache.SetCacheSize(2);
  cache.GetItem("X");
  cache.SetCacheSize(0);  // deleting X now must not leave it in a cache used later
  EXPECT_TRUE(cache.DeleteItem("X"));
  cache.SetCacheSize(2);
  EXPECT_EQ(cache.GetItem("X"), nullptr);
}

TEST(CacheQueueList, GroupsItemsByTheirIdentifierPrefix) {
  std::atomic<int> destroyed{0};
  {
    TzalCacheQueueList list;
    list.SetGroupLevel(2);
    list.SetCacheSize(4);
    for (const char* id : {"AB1", "AB2", "AC1"})
      list.AddItem(new CountedItem(id, &destroyed));
    EXPECT_EQ(list.Count(), 3);
    EXPECT_EQ(list.QueueCache().GroupCount(), 2);
    TzalCacheQueue* ab = list.QueueCache().GetGroup("AB9");
    EXPECT_EQ(ab->QueueName(), "AB");
    EXPECT_EQ(ab->Count(), 2);
    EXPECT_EQ(ab->CacheSize(), 4);
    EXPECT_EQ(list.QueueCache().GetGroup("AC")->Count(), 1);
    EXPECT_EQ(list.GetItem("AB2")->ID(), "AB2");
    EXPECT_EQ(list.GetItem("AC2"), nullptr);
    EXPECT_TRUE(list.DeleteItem("AB1"));
    EXPECT_FALSE(list.DeleteItem("AB1"));
    EXPECT_EQ(list.Count(), 2);
    EXPECT_EQ(destroyed.load(), 1);
  }
  EXPECT_EQ(destroyed.load(), 3);  // the list owns its groups, the groups their items
}

TEST(CacheQueueList, LevelZeroPutsEveryItemInOneGroupAndShortIdsFormTheirOwn) {
  std::atomic<int> destroyed{0};
  TzalCacheQueueList list;
  list.SetGroupLevel(0);
  for (const char* id : {"AB1", "Z", ""})
    list.AddItem(new CountedItem(id, &destroyed));
  EXPECT_EQ(list.QueueCache().GroupCount(), 1);
  EXPECT_EQ(list.GetItem("")->ID(), "");

  TzalCacheQueueList byTwo;
  byTwo.SetGroupLevel(2);
  byTwo.AddItem(new CountedItem("Z", &destroyed));
  EXPECT_EQ(byTwo.QueueCache().GetGroup("Z")->QueueName(), "Z");
  EXPECT_EQ(byTwo.GetItem("Z")->ID(), "Z");
}

TEST(CacheQueueList, TheGroupLevelCannotChangeWhileItemsAreListed) {
  std::atomic<int> destroyed{0};
  TzalCacheQueueList list;
  list.AddItem(new CountedItem("AB", &destroyed));
  EXPECT_THROW(list.SetGroupLevel(2), EListError);
  EXPECT_EQ(list.GroupLevel(), 1);
  list.DeleteItem("AB");
  list.SetGroupLevel(2);
  EXPECT_EQ(list.GroupLevel(), 2);
}

TEST(CacheQueueList, ConcurrentAddsLookUpsAndDeletesOfRandomIdentifiers) {
  constexpr int kThreads = 4, kPerThread = 400;
  std::atomic<int> destroyed{0};
  std::atomic<int> misses{0};
  TzalCacheQueueList list;
  list.SetCacheSize(8);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&] {
      std::vector<std::string> mine;
      for (int i = 0; i < kPerThread; ++i) {
        mine.push_back(CreateGuidString());
        list.AddItem(new CountedItem(mine.back(), &destroyed));
        if (list.GetItem(mine.back()) == nullptr)
          ++misses;
        if (i % 2 == 0 && !list.DeleteItem(mine[i / 2]))
          ++misses;
      }
    });
  for (auto& thread : threads)
    thread.join();
  EXPECT_EQ(misses.load(), 0);
  const int removed = kThreads * ((kPerThread + 1) / 2);
  EXPECT_EQ(destroyed.load(), removed);
  EXPECT_EQ(list.Count(), kThreads * kPerThread - removed);
  EXPECT_LE(list.QueueCache().GroupCount(), 16);
}

TEST(QueueNameList, IdentifiersAreUniqueWithinANamedQueue) {
  std::atomic<int> destroyed{0};
  TzalQueueNameListBase list;
  EXPECT_TRUE(list.AddItem(new CountedItem("1", &destroyed, "chat")));
  auto duplicate = std::make_unique<CountedItem>("1", &destroyed, "chat");
  EXPECT_FALSE(list.AddItem(duplicate.get()));
  EXPECT_TRUE(list.AddItem(new CountedItem("1", &destroyed, "news")));
  EXPECT_TRUE(list.AddItem(new CountedItem("2", &destroyed, "chat")));
  EXPECT_EQ(list.Count(), 3);
  EXPECT_EQ(list.GetQueueByName("chat")->Count(), 2);
}

TEST(QueueNameList, DeletesFromEveryQueueOrFromOneNamedQueue) {
  std::atomic<int> destroyed{0};
  TzalQueueNameListBase list;
  for (const char* queue : {"a", "b", "c"})
    list.AddItem(new CountedItem("id", &destroyed, queue));
  list.AddItem(new CountedItem("other", &destroyed, "a"));
  EXPECT_TRUE(list.DeleteItem("b", "id"));
  EXPECT_EQ(destroyed.load(), 1);
  EXPECT_FALSE(list.DeleteItem("missing", "id"));
  list.DeleteItem("id");
  EXPECT_EQ(destroyed.load(), 3);
  EXPECT_EQ(list.Count(), 1);
}

TEST(QueueNameList, NamesTheQueuesFromTheLastToTheFirst) {
  TzalQueueNameListBase list;
  for (const char* name : {"first", "with space", "a,b", "last"})
    list.GetQueueByName(name);
  EXPECT_EQ(list.GetQueuesDelimitedText(), "last,\"a,b\",\"with space\",first");
  EXPECT_EQ(list.GetQueueByName("first")->QueueName(), "first");
  EXPECT_EQ(list.GetQueuesDelimitedText(), "last,\"a,b\",\"with space\",first");  // no second "first"
}

TEST(QueueNameList, ConcurrentAddsOfTheSameIdentifierSucceedOnce) {
  std::atomic<int> destroyed{0};
  std::atomic<int> added{0};
  TzalQueueNameListBase list;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&] {
      for (int i = 0; i < 200; ++i) {
        auto item = std::make_unique<CountedItem>(std::to_string(i), &destroyed, "q" + std::to_string(i % 3));
        if (list.AddItem(item.get())) {
          item.release();
          ++added;
        }
      }
    });
  for (auto& thread : threads)
    thread.join();
  EXPECT_EQ(added.load(), 200);
  EXPECT_EQ(list.Count(), 200);
}

}  // namespace
}  // namespace zal
