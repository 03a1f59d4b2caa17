#pragma once
// The message of the library exception an action raises, or "" when it raises none.
#include <string>

#include "support/zalIdException.h"

namespace zal::test {

template <typename Action>
std::string ExceptionMessage(Action action) {
  try {
    action();
  } catch (const EIdException& e) {
    return e.what();
  }
  return "";
}

}  // namespace zal::test
