#pragma once
// A binary min-heap of deadlines whose entries know their place, so that one
// can be moved or cancelled in O(log n). The entries belong to their owners;
// the heap only orders them.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace zal {

class TIdTimerHeap {
public:
  using Clock = std::chrono::steady_clock;
  static constexpr size_t NotQueued = SIZE_MAX;

  struct TEntry {
    Clock::time_point Due{};
    size_t HeapIndex = NotQueued;
    bool Queued() const { return HeapIndex != NotQueued; }
  };

  // Queues the entry for `due`, or moves it there when it is queued already.
  void Schedule(TEntry& entry, Clock::time_point due);
  void Cancel(TEntry& entry);
  // The earliest entry, or nullptr.
  TEntry* Earliest() const { return FHeap.empty() ? nullptr : FHeap.front(); }
  // Removes and returns an entry due at or before `now`, earliest first; nullptr when none is.
  TEntry* PopDue(Clock::time_point now);
  size_t Size() const { return FHeap.size(); }

private:
  void Place(size_t index, TEntry* entry);
  void SiftUp(size_t index);
  void SiftDown(size_t index);
  void RemoveAt(size_t index);

  std::vector<TEntry*> FHeap;
};

}  // namespace zal
