#include "common/zalTestProcess.h"

#include <sys/wait.h>

#include <array>
#include <cstdio>

namespace zal::test {

CommandResult RunCommand(const std::string& command, int timeoutSeconds) {
  CommandResult result;
  const std::string bounded = "timeout -k 2 " + std::to_string(timeoutSeconds) + " " + command + " 2>&1";
  FILE* pipe = ::popen(bounded.c_str(), "r");
  if (!pipe)
    return result;
  std::array<char, 4096> chunk;
  size_t n;
  while ((n = std::fread(chunk.data(), 1, chunk.size(), pipe)) > 0)
    result.Output.append(chunk.data(), n);
  const int status = ::pclose(pipe);
  result.ExitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

std::string PeerScript(const std::string& name) { return std::string(ZAL_TEST_PEERS_DIR) + "/" + name; }

size_t Count(const std::string& text, const std::string& what) {
  size_t count = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
    ++count;
  return count;
}

}  // namespace zal::test
