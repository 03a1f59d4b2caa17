#include "HTTP2TestSupport.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace zal::test {

std::vector<uint8_t> FromHex(std::string_view aHex) {
  std::vector<uint8_t> bytes;
  int high = -1;
  for (char c : aHex) {
    int nibble;
    if (c >= '0' && c <= '9') {
      nibble = c - '0';
    } else if (c >= 'a' && c <= 'f') {
      nibble = c - 'a' + 10;
    } else if (c >= 'A' && c <= 'F') {
      nibble = c - 'A' + 10;
    } else {
      continue;
    }
    if (high < 0) {
      high = nibble;
    } else {
      bytes.push_back(static_cast<uint8_t>(high * 16 + nibble));
      high = -1;
    }
  }
  if (high >= 0)
    throw std::invalid_argument("odd number of hex digits");
  return bytes;
}

std::string ToHex(const std::vector<uint8_t>& aBytes) {
  static const char digits[] = "0123456789abcdef";
  std::string hex;
  for (uint8_t b : aBytes) {
    hex.push_back(digits[b >> 4]);
    hex.push_back(digits[b & 15]);
  }
  return hex;
}

namespace {

std::string TempPath(const char* aSuffix) {
  static int counter = 0;
  return "/tmp/zal_http2_test_" + std::to_string(getpid()) + "_" + std::to_string(++counter) + aSuffix;
}

void WriteFile(const std::string& aPath, const std::string& aText) {
  std::ofstream(aPath, std::ios::binary) << aText;
}

}  // namespace

bool PythonHasModules(const std::vector<std::string>& aModules) {
  if (access("/usr/bin/python3", X_OK) != 0)
    return false;
  std::string script = "import sys\n";
  for (const std::string& module : aModules)
    script += "import " + module + "\n";
  script += "print('ok')\n";
  const auto out = RunPython(script, "");
  return out && out->rfind("ok", 0) == 0;
}

std::optional<std::string> RunPython(const std::string& aScript, const std::string& aInput) {
  const std::string scriptPath = TempPath(".py");
  const std::string inputPath = TempPath(".in");
  WriteFile(scriptPath, aScript);
  WriteFile(inputPath, aInput);
  const std::string command = "timeout 60 /usr/bin/python3 " + scriptPath + " < " + inputPath + " 2>/dev/null";
  std::string output;
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe != nullptr) {
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0)
      output.append(buffer, n);
  }
  const int status = pipe != nullptr ? pclose(pipe) : -1;
  std::remove(scriptPath.c_str());
  std::remove(inputPath.c_str());
  if (status != 0)
    return std::nullopt;
  return output;
}

}  // namespace zal::test
