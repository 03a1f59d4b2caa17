#pragma once
// The process's memory as the kernel reports it, for tests that check that
// large data is not held.
#include <fstream>
#include <string>

namespace zal::test {

// Peak resident memory of this process, in KiB (-1 when unknown).
inline long PeakResidentKiB() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind("VmHWM:", 0) == 0)
      return std::stol(line.substr(6));
  return -1;
}

}  // namespace zal::test
