#pragma once
// The process's memory, for tests that check that large data is not held:
// as the kernel reports it, and as the allocator has handed it out.
#include <malloc.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <fstream>
#include <string>
#include <thread>

#if defined(__SANITIZE_ADDRESS__)
extern "C" size_t __sanitizer_get_current_allocated_bytes();  // the sanitizer runtime's
#endif

namespace zal::test {

// A figure of /proc/self/status, in KiB for the "Vm...:" ones (-1 when unknown).
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
// Threads of this process now, the library's and the test's.
inline long ProcessThreads() { return StatusKiB("Threads:"); }

// The live heap: the blocks allocated and not yet freed, as the sanitizer counts
// them under AddressSanitizer, else as the allocator does (mallinfo2's in-use
// bytes in the arenas plus its mapped blocks), so that freed blocks the
// allocator keeps for reuse, and pages it has not yet given back, do not count.
inline int64_t LiveHeap() {
#if defined(__SANITIZE_ADDRESS__)
  return static_cast<int64_t>(__sanitizer_get_current_allocated_bytes());
#else
  const struct mallinfo2 heap = mallinfo2();
  return static_cast<int64_t>(heap.uordblks + heap.hblkhd);
#endif
}

// The highest value `measure` gives while the sampler lives, sampled every
// `period` on a thread of its own (resident memory, live heap, descriptors).
class PeakSampler {
public:
  PeakSampler(std::function<int64_t()> measure, std::chrono::milliseconds period)
      : FPeak(measure()), FThread([this, measure = std::move(measure), period] {
          while (FRunning) {
            FPeak = std::max<int64_t>(FPeak, measure());
            std::this_thread::sleep_for(period);
          }
        }) {}
  ~PeakSampler() { Stop(); }
  // Ends the sampling; returns the highest value seen.
  int64_t Stop() {
    FRunning = false;
    if (FThread.joinable())
      FThread.join();
    return FPeak;
  }

private:
  std::atomic<bool> FRunning{true};
  std::atomic<int64_t> FPeak;
  std::thread FThread;  // last: it starts once the members above exist
};

}  // namespace zal::test
