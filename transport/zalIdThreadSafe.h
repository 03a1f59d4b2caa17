#pragma once
// Values and lists guarded by their own lock.
#include <algorithm>
#include <cstddef>
#include <mutex>
#include <vector>

namespace zal {

// One re-entrant lock around whatever the derived class guards.
class TIdThreadSafe {
public:
  void Lock() const { FCriticalSection.lock(); }
  void Unlock() const { FCriticalSection.unlock(); }

protected:
  mutable std::recursive_mutex FCriticalSection;
};

class TIdThreadSafeInteger : public TIdThreadSafe {
public:
  explicit TIdThreadSafeInteger(int value = 0) : FValue(value) {}
  int Value() const;
  void SetValue(int value);
  // Each returns the value before the change.
  int Increment(int amount = 1);
  int Decrement(int amount = 1);

private:
  int FValue;
};

class TIdThreadSafeBoolean : public TIdThreadSafe {
public:
  explicit TIdThreadSafeBoolean(bool value = false) : FValue(value) {}
  bool Value() const;
  void SetValue(bool value);
  // Returns the new value.
  bool Toggle();

private:
  bool FValue;
};

// A locked list of pointers. LockList/UnlockList bracket walks of the whole list;
// code of this library holds them through a TLocked guard.
template <typename T>
class TIdThreadSafeList : public TIdThreadSafe {
public:
  std::vector<T*>& LockList() {
    Lock();
    return FItems;
  }
  void UnlockList() { Unlock(); }

  // Holds the list locked for a whole walk and unlocks it on every way out,
  // exceptions included.
  class TLocked {
  public:
    explicit TLocked(TIdThreadSafeList& list) : FList(list), FItems(list.LockList()) {}
    ~TLocked() { FList.UnlockList(); }
    TLocked(const TLocked&) = delete;
    TLocked& operator=(const TLocked&) = delete;
    std::vector<T*>& Items() { return FItems; }

  private:
    TIdThreadSafeList& FList;
    std::vector<T*>& FItems;
  };

  void Add(T* item) {
    std::lock_guard lock(FCriticalSection);
    FItems.push_back(item);
  }
  // Removes the first occurrence; returns whether the item was there.
  bool Remove(T* item) {
    std::lock_guard lock(FCriticalSection);
    auto found = std::find(FItems.begin(), FItems.end(), item);
    if (found == FItems.end())
      return false;
    FItems.erase(found);
    return true;
  }
  bool Contains(T* item) const {
    std::lock_guard lock(FCriticalSection);
    return std::find(FItems.begin(), FItems.end(), item) != FItems.end();
  }
  int Count() const {
    std::lock_guard lock(FCriticalSection);
    return static_cast<int>(FItems.size());
  }
  bool IsCountLessThan(int count) const { return Count() < count; }
  bool IsEmpty() const { return Count() == 0; }
  // Removes and returns the last item, or nullptr.
  T* Pop() {
    std::lock_guard lock(FCriticalSection);
    if (FItems.empty())
      return nullptr;
    T* item = FItems.back();
    FItems.pop_back();
    return item;
  }
  // Removes and returns the first item, or nullptr.
  T* Pull() {
    std::lock_guard lock(FCriticalSection);
    if (FItems.empty())
      return nullptr;
    T* item = FItems.front();
    FItems.erase(FItems.begin());
    return item;
  }
  void Assign(const std::vector<T*>& items) {
    std::lock_guard lock(FCriticalSection);
    FItems = items;
  }
  void Clear() {
    std::lock_guard lock(FCriticalSection);
    FItems.clear();
  }

protected:
  std::vector<T*> FItems;
};

// A locked list that may own its items.
template <typename T>
class TIdThreadSafeObjectList : public TIdThreadSafeList<T> {
public:
  explicit TIdThreadSafeObjectList(bool ownsObjects = false) : FOwnsObjects(ownsObjects) {}
  ~TIdThreadSafeObjectList() {
    if (FOwnsObjects)
      ClearAndFree();
  }
  TIdThreadSafeObjectList(const TIdThreadSafeObjectList&) = delete;
  TIdThreadSafeObjectList& operator=(const TIdThreadSafeObjectList&) = delete;

  bool OwnsObjects() const { return FOwnsObjects; }
  void SetOwnsObjects(bool value) { FOwnsObjects = value; }
  // Frees every item and empties the list.
  void ClearAndFree() {
    std::vector<T*> items;
    {
      std::lock_guard lock(this->FCriticalSection);
      items.swap(this->FItems);
    }
    for (T* item : items)
      delete item;
  }

private:
  bool FOwnsObjects;
};

}  // namespace zal
