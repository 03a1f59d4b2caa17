#include "support/zalQueues.h"

#include "support/zalHelpers.h"

namespace zal {

namespace {

// The group of an identifier: its first `level` characters, or "" for a level of 0 or less.
std::string_view GroupOf(std::string_view id, int level) {
  return level <= 0 ? std::string_view() : id.substr(0, std::min(id.size(), static_cast<size_t>(level)));
}

}  // namespace

// ---- TzalQueueBase

void TzalQueueBase::AddItem(TzalQueueItemBase* aItem) {
  std::lock_guard guard(FLock);
  FList.push_back(aItem);
  Changed();
}

void TzalQueueBase::RemoveAt(size_t index) {
  TzalQueueItemBase* item = FList[index];
  FList.erase(FList.begin() + static_cast<std::ptrdiff_t>(index));
  Changed();
  Discard(item);
}

bool TzalQueueBase::DeleteItem(std::string_view aID) {
  std::lock_guard guard(FLock);
  for (size_t i = 0; i < FList.size(); ++i) {
    if (FList[i]->ID() == aID) {
      RemoveAt(i);
      return true;
    }
  }
  return false;
}

bool TzalQueueBase::DeleteItem(int Index) {
  std::lock_guard guard(FLock);
  if (Index < 0 || static_cast<size_t>(Index) >= FList.size())
    return false;
  RemoveAt(static_cast<size_t>(Index));
  return true;
}

TzalQueueItemBase* TzalQueueBase::GetItem(std::string_view aID) const {
  std::lock_guard guard(FLock);
  for (TzalQueueItemBase* item : FList)
    if (item->ID() == aID)
      return item;
  return nullptr;
}

TzalQueueItemBase* TzalQueueBase::GetItemByIndex(int Index) const {
  std::lock_guard guard(FLock);
  if (Index < 0 || static_cast<size_t>(Index) >= FList.size())
    return nullptr;
  return FList[static_cast<size_t>(Index)];
}

// ---- TzalFIFOQueue

void TzalFIFOQueue::TrimTo(size_t limit) {
  while (FList.size() > limit)
    RemoveAt(0);
}

void TzalFIFOQueue::AddItem(TzalQueueItemBase* aItem) {
  std::lock_guard guard(FLock);
  if (FMaxItems > 0)
    TrimTo(static_cast<size_t>(FMaxItems) - 1);
  FList.push_back(aItem);
  Changed();
}

void TzalFIFOQueue::SetMaxItems(int value) {
  std::lock_guard guard(FLock);
  FMaxItems = value;
  if (FMaxItems > 0)
    TrimTo(static_cast<size_t>(FMaxItems));
}

// ---- TzalCacheQueue

TzalCacheQueue::~TzalCacheQueue() { Clear(); }

void TzalCacheQueue::AddItem(TzalQueueItemBase* aItem) {
  std::lock_guard guard(FLock);
  FQueue.AddItem(aItem);
}

TzalQueueItemBase* TzalCacheQueue::GetItem(std::string_view aID) {
  std::lock_guard guard(FLock);
  if (FCache.MaxItems() <= 0)
    return FQueue.GetItem(aID);
  if (TzalQueueItemBase* cached = FCache.GetItem(aID))
    return cached;
  TzalQueueItemBase* found = FQueue.GetItem(aID);
  if (found)
    FCache.AddItem(found);
  return found;
}

bool TzalCacheQueue::DeleteItem(std::string_view aID) {
  std::lock_guard guard(FLock);
  FCache.DeleteItem(aID);
  return FQueue.DeleteItem(aID);
}

void TzalCacheQueue::Clear() {
  std::lock_guard guard(FLock);
  FCache.Clear();
  FQueue.Clear();
}

void TzalCacheQueue::SetCacheSize(int value) {
  std::lock_guard guard(FLock);
  FCache.Clear();
  FCache.SetMaxItems(value);
}

// ---- TzalCacheQueueListBase

TzalCacheQueue* TzalCacheQueueListBase::GetGroup(std::string_view aID) {
  const std::string_view group = GroupOf(aID, FGroupLevel);
  std::lock_guard guard(FLock);
  for (TzalCacheQueue* queue : FList)
    if (queue->QueueName() == group)
      return queue;
  auto* queue = new TzalCacheQueue;
  queue->SetCacheSize(FCacheSize);
  queue->SetQueueName(std::string(group));
  queue->SetOwnObjects(true);
  FList.push_back(queue);
  Changed();
  return queue;
}

void TzalCacheQueueListBase::AddItem(TzalQueueItemBase* aItem) { GetGroup(aItem->ID())->AddItem(aItem); }

TzalQueueItemBase* TzalCacheQueueListBase::GetItem(std::string_view aID) { return GetGroup(aID)->GetItem(aID); }

bool TzalCacheQueueListBase::DeleteItem(std::string_view aID) { return GetGroup(aID)->DeleteItem(aID); }

int TzalCacheQueueListBase::Count() const {
  int total = 0;
  for (const TzalCacheQueue* queue : Snapshot())
    total += queue->Count();
  return total;
}

void TzalCacheQueueListBase::SetCacheSize(int value) {
  std::lock_guard guard(FLock);
  FCacheSize = value;
  for (TzalCacheQueue* queue : FList)
    queue->SetCacheSize(value);
}

void TzalCacheQueueListBase::SetGroupLevel(int value) {
  std::lock_guard guard(FLock);
  if (value == FGroupLevel)
    return;
  if (Count() > 0)
    throw EListError("GroupLevel cannot change while the list holds items");
  TzalQueueCommon<TzalCacheQueue>::Clear();  // the empty groups of the old level
  FGroupLevel = value;
}

// ---- TzalQueueNameListBase

TzalQueueNameBase* TzalQueueNameListBase::GetQueueByName(std::string_view aQueueName) {
  std::lock_guard guard(FLock);
  for (TzalQueueNameBase* queue : FList)
    if (queue->QueueName() == aQueueName)
      return queue;
  auto* queue = new TzalQueueNameBase;
  queue->SetQueueName(std::string(aQueueName));
  queue->SetOwnObjects(true);
  FList.push_back(queue);
  Changed();
  return queue;
}

bool TzalQueueNameListBase::AddItem(TzalQueueNameItemBase* aItem) {
  TzalQueueNameBase* queue = GetQueueByName(aItem->Queue());
  // The check and the append run under the queue's lock, so that two threads
  // adding the same identifier cannot both succeed.
  queue->LockList();
  const bool present = queue->GetItem(aItem->ID()) != nullptr;
  if (!present)
    queue->AddItem(aItem);
  queue->UnlockList();
  return !present;
}

// Member queues are removed only by Clear and destruction, so the walks below use
// a snapshot and never hold the list's lock and a member's lock together.
void TzalQueueNameListBase::DeleteItem(std::string_view aID) {
  const auto queues = Snapshot();
  for (auto it = queues.rbegin(); it != queues.rend(); ++it)
    (*it)->DeleteItem(aID);
}

bool TzalQueueNameListBase::DeleteItem(std::string_view aQueueName, std::string_view aID) {
  const auto queues = Snapshot();
  for (auto it = queues.rbegin(); it != queues.rend(); ++it) {
    if ((*it)->QueueName() == aQueueName) {
      (*it)->DeleteItem(aID);
      return true;
    }
  }
  return false;
}

std::string TzalQueueNameListBase::GetQueuesDelimitedText() const {
  TzalDelimitedStringList names;
  std::lock_guard guard(FLock);
  for (auto it = FList.rbegin(); it != FList.rend(); ++it)
    names.Add((*it)->QueueName());
  return names.DelimitedText();
}

int TzalQueueNameListBase::Count() const {
  int total = 0;
  for (const TzalQueueNameBase* queue : Snapshot())
    total += queue->Count();
  return total;
}

}  // namespace zal
