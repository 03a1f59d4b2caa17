#pragma once
// A redis-server of the test's own on a free loopback port, without
// persistence; a missing server fails the test.
#include <cstdint>
#include <memory>

#include "common/zalTestChild.h"

namespace zal::test {

class RedisServer {
public:
  RedisServer();
  uint16_t Port() const { return FPort; }
  // Starts it (again) on its port; use with ASSERT_NO_FATAL_FAILURE.
  void Start();
  void Kill();

private:
  uint16_t FPort;
  std::unique_ptr<ChildProcess> FProcess;
};

}  // namespace zal::test
