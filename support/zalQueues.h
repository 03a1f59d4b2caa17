#pragma once
// Locked queues of identified items: a plain queue, a bounded first-in-first-out
// queue, a queue with a look-up cache, a list of cached queues grouped by the
// first characters of the identifiers, and a list of named queues.
//
// Items are held by pointer. A queue that owns its objects deletes the items it
// removes or clears; otherwise the caller keeps them. Items returned by look-ups
// are not locked: the caller must know that nobody removes them meanwhile.
#include "support/zalThreadList.h"

#include <string>
#include <string_view>

namespace zal {

// An item that queues find by its identifier.
class TzalQueueItemBase {
public:
  virtual ~TzalQueueItemBase() = default;
  const std::string& ID() const { return FID; }
  void SetID(std::string value) { FID = std::move(value); }

protected:
  std::string FID;
};

// An item of a named queue: FQueue names the queue it belongs to.
class TzalQueueNameItemBase : public TzalQueueItemBase {
public:
  const std::string& Queue() const { return FQueue; }
  void SetQueue(std::string value) { FQueue = std::move(value); }

protected:
  std::string FQueue;
};

// Ownership and clearing shared by every queue.
template <typename T>
class TzalQueueCommon : public TzalThreadList<T> {
public:
  ~TzalQueueCommon() override { TzalQueueCommon::Clear(); }

  // Removes the entries from the last to the first, deleting each when owned.
  void Clear() override {
    std::lock_guard guard(this->FLock);
    while (!this->FList.empty()) {
      T* item = this->FList.back();
      this->FList.pop_back();
      Discard(item);
    }
    this->Changed();
  }

  virtual int Count() const {
    std::lock_guard guard(this->FLock);
    return static_cast<int>(this->FList.size());
  }

  bool OwnObjects() const { return FOwnObjects; }
  void SetOwnObjects(bool value) { FOwnObjects = value; }

protected:
  // A copy of the entries, taken under the lock, for walks that must not hold it.
  std::vector<T*> Snapshot() const {
    std::lock_guard guard(this->FLock);
    return this->FList;
  }

  // Deletes a removed item when the queue owns its objects.
  void Discard(T* item) {
    if (FOwnObjects)
      delete item;
  }

  bool FOwnObjects = false;
};

// Identifier look-ups (exact, letter case significant) and index access.
class TzalQueueBase : public TzalQueueCommon<TzalQueueItemBase> {
public:
  // Appends the item (no duplicate check).
  virtual void AddItem(TzalQueueItemBase* aItem);
  // Removes the first item with the identifier; true when one was found.
  bool DeleteItem(std::string_view aID);
  // Removes the item at Index; false when Index is outside the queue.
  bool DeleteItem(int Index);
  // The first item with the identifier, or nullptr.
  TzalQueueItemBase* GetItem(std::string_view aID) const;
  // The item at Index, or nullptr when Index is outside the queue.
  TzalQueueItemBase* GetItem(int Index) const { return GetItemByIndex(Index); }
  virtual TzalQueueItemBase* GetItemByIndex(int Index) const;

protected:
  // Under the lock: removes the entry at `index` and deletes it when owned.
  void RemoveAt(size_t index);
};

class TzalQueue : public TzalQueueBase {};

// A queue of at most MaxItems items (0: unbounded): adding to a full queue first
// removes the oldest items.
class TzalFIFOQueue : public TzalQueueBase {
public:
  void AddItem(TzalQueueItemBase* aItem) override;
  int MaxItems() const { return FMaxItems; }
  // A smaller bound removes the oldest items beyond it at once.
  void SetMaxItems(int value);

private:
  void TrimTo(size_t limit);

  int FMaxItems = 0;
};

class TzalQueueNameBase : public TzalQueueBase {
public:
  const std::string& QueueName() const { return FQueueName; }
  void SetQueueName(std::string value) { FQueueName = std::move(value); }

private:
  std::string FQueueName;
};

// A plain queue with a first-in-first-out look-up cache of CacheSize entries in
// front of it. The cache never owns items; every operation that touches both runs
// under the queue's own lock, so the cache never keeps an item the queue removed.
class TzalCacheQueue {
public:
  TzalCacheQueue() = default;
  TzalCacheQueue(const TzalCacheQueue&) = delete;
  TzalCacheQueue& operator=(const TzalCacheQueue&) = delete;
  virtual ~TzalCacheQueue();

  void AddItem(TzalQueueItemBase* aItem);
  // Looks in the cache first; an item found in the queue instead enters the cache.
  // With CacheSize 0 or less only the queue is searched.
  TzalQueueItemBase* GetItem(std::string_view aID);
  // Removes the item from the cache and the queue; the result is the queue's.
  bool DeleteItem(std::string_view aID);
  void Clear();
  TzalQueueItemBase* GetItemByIndex(int Index) const { return FQueue.GetItemByIndex(Index); }
  int Count() const { return FQueue.Count(); }

  int CacheSize() const { return FCache.MaxItems(); }
  // Changing the size empties the cache.
  void SetCacheSize(int value);
  bool OwnObjects() const { return FQueue.OwnObjects(); }
  void SetOwnObjects(bool value) { FQueue.SetOwnObjects(value); }
  const std::string& QueueName() const { return FQueueName; }
  void SetQueueName(std::string value) { FQueueName = std::move(value); }

  // The cache, for inspection.
  const TzalFIFOQueue& Cache() const { return FCache; }

private:
  mutable TzalCriticalSection FLock;
  TzalFIFOQueue FCache;
  TzalQueue FQueue;
  std::string FQueueName;
};

// Items spread over member cache queues by the first GroupLevel characters of
// their identifiers (all in one group when GroupLevel is 0 or less). The list
// owns its member queues, and they own their items.
class TzalCacheQueueListBase : public TzalQueueCommon<TzalCacheQueue> {
public:
  TzalCacheQueueListBase() { FOwnObjects = true; }

  void AddItem(TzalQueueItemBase* aItem);
  TzalQueueItemBase* GetItem(std::string_view aID);
  bool DeleteItem(std::string_view aID);
  // The number of items in all member queues.
  int Count() const override;

  int CacheSize() const { return FCacheSize; }
  // Applies to the member queues that exist and to those created later.
  void SetCacheSize(int value);
  int GroupLevel() const { return FGroupLevel; }
  // Raises EListError while the list holds items: they would no longer be found.
  void SetGroupLevel(int value);

  // The member queue of the identifier's group, created when absent.
  TzalCacheQueue* GetGroup(std::string_view aID);
  // The number of member queues.
  int GroupCount() const { return TzalQueueCommon<TzalCacheQueue>::Count(); }

private:
  int FCacheSize = 0;
  int FGroupLevel = 1;
};

// The component form of the grouped cache list.
class TzalCacheQueueList {
public:
  void AddItem(TzalQueueItemBase* aItem) { FQueueCache.AddItem(aItem); }
  bool DeleteItem(std::string_view aID) { return FQueueCache.DeleteItem(aID); }
  TzalQueueItemBase* GetItem(std::string_view aID) { return FQueueCache.GetItem(aID); }
  int Count() const { return FQueueCache.Count(); }

  int CacheSize() const { return FQueueCache.CacheSize(); }
  void SetCacheSize(int value) { FQueueCache.SetCacheSize(value); }
  int GroupLevel() const { return FQueueCache.GroupLevel(); }
  void SetGroupLevel(int value) { FQueueCache.SetGroupLevel(value); }

  TzalCacheQueueListBase& QueueCache() { return FQueueCache; }

private:
  TzalCacheQueueListBase FQueueCache;
};

// Named queues, each owning its items; the list owns the queues.
class TzalQueueNameListBase : public TzalQueueCommon<TzalQueueNameBase> {
public:
  TzalQueueNameListBase() { FOwnObjects = true; }

  // The first queue with the name, created when absent.
  TzalQueueNameBase* GetQueueByName(std::string_view aQueueName);
  // Adds the item to the queue named by its Queue; false (and nothing added, the
  // caller keeps the item) when that queue already holds an item with its identifier.
  bool AddItem(TzalQueueNameItemBase* aItem);
  // Removes the item with the identifier from every queue, from the last to the first.
  void DeleteItem(std::string_view aID);
  // Removes the item from the last queue with the name; true when such a queue exists.
  bool DeleteItem(std::string_view aQueueName, std::string_view aID);
  // The queue names from the last to the first as comma-delimited text.
  std::string GetQueuesDelimitedText() const;
  // The number of items in all named queues.
  int Count() const override;
};

}  // namespace zal
