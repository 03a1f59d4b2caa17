#pragma once
// A step driver runs a connection's steps: after each step it waits for what
// the step asked for (input, room to send, a deadline) or for a wake from
// another thread, then runs the next one. Under one thread per connection the
// connection's thread waits itself and has no driver object; under the event
// loop engine the connection's loop is its driver.
#include <chrono>

namespace zal {

class TIdStepDriver {
public:
  virtual ~TIdStepDriver() = default;
  // From any thread: the connection's next step runs soon.
  virtual void Wake() = 0;
  // From the step, once it is over: what ends the wait before the next one.
  virtual void AwaitStep(std::chrono::steady_clock::time_point deadline, bool writable, bool readable) = 0;
};

}  // namespace zal
