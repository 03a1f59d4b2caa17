#pragma once
// The library's main-thread queue served by the Qt event loop.
#include "support/zalMainThread.h"

namespace zal {

class TzalQtMainThreadQueue : public TzalMainThreadQueue {
public:
  void Queue(std::function<void()> work) override;
  void Synchronize(std::function<void()> work) override;
};

}  // namespace zal
