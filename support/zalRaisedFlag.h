#pragma once
// A flag that is true while a scope runs: set on entry, cleared on every way
// out (return or exception), so other threads can see the scope is under way.
#include <atomic>

namespace zal {

class TzalRaisedFlag {
public:
  explicit TzalRaisedFlag(std::atomic<bool>& flag) : FFlag(flag) { FFlag.store(true); }
  ~TzalRaisedFlag() { FFlag.store(false); }
  TzalRaisedFlag(const TzalRaisedFlag&) = delete;
  TzalRaisedFlag& operator=(const TzalRaisedFlag&) = delete;

private:
  std::atomic<bool>& FFlag;
};

}  // namespace zal
