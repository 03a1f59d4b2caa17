#pragma once
// A list of object references behind its own lock. Every operation takes the
// lock for its own duration; LockList/UnlockList give a caller the list for a
// longer walk.
#include "support/zalCriticalSection.h"
#include "support/zalIdException.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

namespace zal {

// Errors of list operations (duplicates, indexes out of range).
class EListError : public EIdException {
public:
  using EIdException::EIdException;
};

enum TDuplicates : uint8_t { dupIgnore, dupAccept, dupError };
// Only tdlOnlyThread is in force: keyed (dictionary) look-ups are not provided
// and keys are ignored.
enum TzalThreadListType : uint8_t { tdlThreadDictionary, tdlOnlyThread, tdlOnlyDictionary };
enum TDirection : uint8_t { FromBeginning, FromEnd };

// "List does not allow duplicates ($0<address in hexadecimal>)".
std::string DuplicateItemMessage(const void* item);
// "List index out of bounds (<index>)".
std::string ListIndexMessage(long long index);

template <typename T>
class TzalThreadList {
public:
  using TList = std::vector<T*>;

  TzalThreadList() = default;
  TzalThreadList(const TzalThreadList&) = delete;
  TzalThreadList& operator=(const TzalThreadList&) = delete;
  virtual ~TzalThreadList() {
    FLock.Acquire();
    FList.clear();
    FLock.Release();
  }

  // Takes the lock and hands out the list; pair with UnlockList.
  TList& LockList() {
    FLock.Acquire();
    return FList;
  }
  void UnlockList() {
    FCount.store(FList.size(), std::memory_order_relaxed);
    FLock.Release();
  }

  // Appends the item unless it is already listed: then dupIgnore does nothing,
  // dupError raises EListError and dupAccept appends it again.
  void Add(T* Item) {
    std::lock_guard guard(FLock);
    if (FDuplicates != dupAccept && std::find(FList.begin(), FList.end(), Item) != FList.end()) {
      if (FDuplicates == dupError)
        throw EListError(DuplicateItemMessage(Item));
      return;
    }
    FList.push_back(Item);
    Changed();
  }
  void AddKey(T* Item, const std::string& /*aKey*/) { Add(Item); }

  // Removes the entry at Index; an index outside the list raises EListError.
  void Delete(int Index) {
    std::lock_guard guard(FLock);
    if (Index < 0 || static_cast<size_t>(Index) >= FList.size())
      throw EListError(ListIndexMessage(Index));
    FList.erase(FList.begin() + Index);
    Changed();
  }
  void DeleteKey(int Index, const std::string& /*aKey*/) { Delete(Index); }

  void Remove(T* Item) { RemoveItem(Item, FromBeginning); }
  // Removes the first occurrence of Item, searching from the given end.
  void RemoveItem(T* Item, TDirection Direction) {
    std::lock_guard guard(FLock);
    if (Direction == FromBeginning) {
      if (const auto it = std::find(FList.begin(), FList.end(), Item); it != FList.end())
        FList.erase(it);
    } else if (const auto it = std::find(FList.rbegin(), FList.rend(), Item); it != FList.rend()) {
      FList.erase(std::next(it).base());
    }
    Changed();
  }

  virtual void Clear() {
    std::lock_guard guard(FLock);
    FList.clear();
    Changed();
  }

  // Keyed look-ups are not provided: always nullptr.
  T* GetValue(const std::string& /*aKey*/) const { return nullptr; }

  // A cheap pre-check without the lock; may be stale by the time it is used.
  bool IsEmpty() const { return FCount.load(std::memory_order_relaxed) == 0; }

  TDuplicates Duplicates() const { return FDuplicates; }
  void SetDuplicates(TDuplicates value) {
    std::lock_guard guard(FLock);
    FDuplicates = value;
  }
  TzalThreadListType ListType() const { return FListType; }

protected:
  // Publishes the entry count for IsEmpty; call under the lock after changing FList.
  void Changed() { FCount.store(FList.size(), std::memory_order_relaxed); }

  TList FList;
  mutable TzalCriticalSection FLock;
  TDuplicates FDuplicates = dupIgnore;
  TzalThreadListType FListType = tdlOnlyThread;

private:
  std::atomic<size_t> FCount{0};
};

}  // namespace zal
