#pragma once
// Base of objects that are owned through a pointer to their base (context data,
// thread data) and freed by their owner.

namespace zal {

class TObject {
public:
  virtual ~TObject() = default;
};

}  // namespace zal
