#pragma once
// Runs a shell command of a test peer and collects what it prints.
#include <string>

namespace zal::test {

struct CommandResult {
  int exitCode;        // -1 when the command could not run or was killed
  std::string output;  // standard output and standard error together
};

CommandResult RunCommand(const std::string& command);

}  // namespace zal::test
