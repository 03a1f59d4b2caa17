#include "transport/zalIdThreadSafe.h"

namespace zal {

int TIdThreadSafeInteger::Value() const {
  std::lock_guard lock(FCriticalSection);
  return FValue;
}

void TIdThreadSafeInteger::SetValue(int value) {
  std::lock_guard lock(FCriticalSection);
  FValue = value;
}

int TIdThreadSafeInteger::Increment(int amount) {
  std::lock_guard lock(FCriticalSection);
  const int before = FValue;
  FValue += amount;
  return before;
}

int TIdThreadSafeInteger::Decrement(int amount) {
  std::lock_guard lock(FCriticalSection);
  const int before = FValue;
  FValue -= amount;
  return before;
}

bool TIdThreadSafeBoolean::Value() const {
  std::lock_guard lock(FCriticalSection);
  return FValue;
}

void TIdThreadSafeBoolean::SetValue(bool value) {
  std::lock_guard lock(FCriticalSection);
  FValue = value;
}

bool TIdThreadSafeBoolean::Toggle() {
  std::lock_guard lock(FCriticalSection);
  FValue = !FValue;
  return FValue;
}

}  // namespace zal
