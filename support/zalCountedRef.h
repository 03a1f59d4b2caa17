#pragma once
// A counted reference to an object that keeps its own count (AddReference,
// and DropReference answering whether that was the last one). Every thread
// that uses a shared object holds one for as long as it does; whoever drops
// the last reference frees the object, on whichever thread that happens.
#include <cstddef>
#include <utility>

namespace zal {

template <typename T>
class TzalCountedRef {
public:
  TzalCountedRef() = default;
  // Takes a new reference on an object the caller knows to be alive (one it
  // holds a reference to, or was handed by an event while that event runs).
  explicit TzalCountedRef(T* object) : FObject(object) {
    if (FObject)
      FObject->AddReference();
  }
  TzalCountedRef(const TzalCountedRef& other) : TzalCountedRef(other.FObject) {}
  TzalCountedRef(TzalCountedRef&& other) noexcept : FObject(std::exchange(other.FObject, nullptr)) {}
  TzalCountedRef& operator=(TzalCountedRef other) noexcept {
    std::swap(FObject, other.FObject);
    return *this;
  }
  ~TzalCountedRef() { Reset(); }

  void Reset() { Drop(std::exchange(FObject, nullptr)); }
  T* get() const { return FObject; }
  T* operator->() const { return FObject; }
  T& operator*() const { return *FObject; }
  explicit operator bool() const { return FObject != nullptr; }
  bool operator==(std::nullptr_t) const { return FObject == nullptr; }

  // Gives up one reference that was taken without a TzalCountedRef.
  static void Drop(T* object) {
    if (object && object->DropReference())
      delete object;
  }

private:
  T* FObject = nullptr;
};

}  // namespace zal
