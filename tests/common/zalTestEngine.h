#pragma once
// The connection engine the integration tests run their component servers on,
// chosen for the whole test program by the environment variable
// ZAL_TEST_ENGINE: unset or "threads" is a thread per connection (the
// library's default), "loops" the event-loop engine. tests/CMakeLists.txt
// registers the tests that start a component server once for each.
#include "server/zalWebSocket_Options.h"

namespace zal::test {

// The engine ZAL_TEST_ENGINE asks for; any other value aborts the program.
TwsIOHandler TestEngine();

// Sets the engine of a component server that is not active yet.
template <typename Server>
void UseTestEngine(Server& server) {
  server.IOHandlerOptions().IOHandlerType = TestEngine();
}

}  // namespace zal::test
