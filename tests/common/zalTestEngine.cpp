#include "common/zalTestEngine.h"

#include <cstdio>
#include <cstdlib>
#include <string_view>

namespace zal::test {

namespace {

TwsIOHandler EngineNamed(const char* name) {
  if (!name || std::string_view(name) == "threads")
    return iohDefault;
  if (std::string_view(name) == "loops")
    return iohIOCP;
  // A misspelt engine must not quietly test the default one instead.
  std::fprintf(stderr, "ZAL_TEST_ENGINE is \"%s\": expected \"threads\" or \"loops\"\n", name);
  std::abort();
}

}  // namespace

TwsIOHandler TestEngine() {
  static const TwsIOHandler engine = EngineNamed(std::getenv("ZAL_TEST_ENGINE"));
  return engine;
}

}  // namespace zal::test
