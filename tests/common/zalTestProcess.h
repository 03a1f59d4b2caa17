#pragma once
// Runs the independent peers of the integration tests as child processes.
#include <cstddef>
#include <string>

namespace zal::test {

struct CommandResult {
  int ExitCode = -1;
  std::string Output;  // standard output and standard error
};

// Runs a shell command, killed after `timeoutSeconds`.
CommandResult RunCommand(const std::string& command, int timeoutSeconds = 60);
// The path of a script in tests/peers/.
std::string PeerScript(const std::string& name);
// How often `what` stands in `text` (a peer's output, say), overlaps counted.
size_t Count(const std::string& text, const std::string& what);

}  // namespace zal::test
