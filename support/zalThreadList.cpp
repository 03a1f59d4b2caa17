#include "support/zalThreadList.h"

#include <cstdio>

namespace zal {

std::string DuplicateItemMessage(const void* item) {
  char text[64];
  std::snprintf(text, sizeof text, "List does not allow duplicates ($0%llX)",
                static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(item)));
  return text;
}

std::string ListIndexMessage(long long index) { return "List index out of bounds (" + std::to_string(index) + ")"; }

}  // namespace zal
