#pragma once
// The process's memory as the kernel reports it, for tests that check that
// large data is not held.
#include <fstream>
#include <string>

namespace zal::test {

// A "Vm...:" figure of /proc/self/status, in KiB (-1 when unknown).
inline long StatusKiB(const std::string& field) {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind(field, 0) == 0)
      return std::stol(line.substr(field.size()));
  return -1;
}

// Peak resident memory of this process, in KiB (-1 when unknown).
inline long PeakResidentKiB() { return StatusKiB("VmHWM:"); }
// Resident memory of this process now, in KiB (-1 when unknown).
inline long ResidentKiB() { return StatusKiB("VmRSS:"); }

}  // namespace zal::test
