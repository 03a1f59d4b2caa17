#include "common/zalTestCommand.h"

#include <sys/wait.h>

#include <array>
#include <cstdio>

namespace zal::test {

CommandResult RunCommand(const std::string& command) {
  CommandResult result{-1, ""};
  FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
  if (!pipe)
    return result;
  std::array<char, 4096> chunk;
  size_t n;
  while ((n = std::fread(chunk.data(), 1, chunk.size(), pipe)) > 0)
    result.output.append(chunk.data(), n);
  const int status = ::pclose(pipe);
  result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

}  // namespace zal::test
