#include "transport/zalIdTimerHeap.h"

#include <cassert>

namespace zal {

void TIdTimerHeap::Schedule(TEntry& entry, Clock::time_point due) {
  entry.Due = due;
  if (!entry.Queued()) {
    FHeap.push_back(&entry);
    entry.HeapIndex = FHeap.size() - 1;
  }
  SiftUp(entry.HeapIndex);
  SiftDown(entry.HeapIndex);
}

void TIdTimerHeap::Cancel(TEntry& entry) {
  if (entry.Queued())
    RemoveAt(entry.HeapIndex);
}

TIdTimerHeap::TEntry* TIdTimerHeap::PopDue(Clock::time_point now) {
  if (FHeap.empty() || FHeap.front()->Due > now)
    return nullptr;
  TEntry* due = FHeap.front();
  RemoveAt(0);
  return due;
}

void TIdTimerHeap::Place(size_t index, TEntry* entry) {
  FHeap[index] = entry;
  entry->HeapIndex = index;
}

void TIdTimerHeap::SiftUp(size_t index) {
  TEntry* entry = FHeap[index];
  while (index > 0) {
    const size_t parent = (index - 1) / 2;
    if (FHeap[parent]->Due <= entry->Due)
      break;
    Place(index, FHeap[parent]);
    index = parent;
  }
  Place(index, entry);
}

void TIdTimerHeap::SiftDown(size_t index) {
  TEntry* entry = FHeap[index];
  const size_t count = FHeap.size();
  for (;;) {
    size_t child = 2 * index + 1;
    if (child >= count)
      break;
    if (child + 1 < count && FHeap[child + 1]->Due < FHeap[child]->Due)
      ++child;
    if (entry->Due <= FHeap[child]->Due)
      break;
    Place(index, FHeap[child]);
    index = child;
  }
  Place(index, entry);
}

void TIdTimerHeap::RemoveAt(size_t index) {
  assert(index < FHeap.size());
  TEntry* removed = FHeap[index];
  TEntry* last = FHeap.back();
  FHeap.pop_back();
  removed->HeapIndex = NotQueued;
  if (removed == last)
    return;
  Place(index, last);
  SiftUp(index);
  SiftDown(last->HeapIndex);
}

}  // namespace zal
