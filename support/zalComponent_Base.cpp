#include "support/zalComponent_Base.h"

namespace zal {

namespace {
constexpr const char* kVersion = "4.4.6";
}  // namespace

std::string TzalComponent_Base::Version() const { return kVersion; }

}  // namespace zal
