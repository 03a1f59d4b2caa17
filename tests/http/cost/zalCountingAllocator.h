#pragma once
// Counts the bytes every thread of this program allocates through operator new:
// the total since the last reset and the peak of what was live at once. The
// program that includes this replaces the global operator new and delete, so it
// holds only tests that measure allocation.
#include <cstddef>

namespace zal::test {

struct AllocationFigures {
  size_t Total = 0;  // bytes allocated since the reset
  size_t Peak = 0;   // most bytes live at once since the reset, above what was live at the reset
};

// Starts a new measurement.
void ResetAllocationFigures();
AllocationFigures CurrentAllocationFigures();

}  // namespace zal::test
