// Feeds arbitrary octets to the HTTP/1.1 request reader whole and in
// fuzzer-chosen pieces, and stops on any difference between the two: the
// events may not depend on how the octets arrive. The first octets choose the
// limits (small ones, so that every limit is reached) and the piece sizes.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "common/zalTestRequestTrace.h"

namespace {

using namespace zal;

constexpr size_t kSettingOctets = 5;

TIdHTTPRequestLimits LimitsFrom(const uint8_t* settings) {
  TIdHTTPRequestLimits limits;
  limits.MaxLineLength = settings[0] % 128;  // 0: none
  limits.MaxHeaderLines = settings[1] % 16;
  limits.MaxHeaderBlockSize = settings[2] * 4 - 1;  // -1: none
  limits.MaxBodySize = settings[3] * 64 - 1;
  return limits;
}

// Pieces of 1 to 16 octets, their sizes taken in turn from the input's end.
std::vector<std::string_view> PiecesOf(std::string_view input, uint8_t seed) {
  std::vector<std::string_view> pieces;
  size_t size = 0;
  for (size_t at = 0; at < input.size(); at += size) {
    size = seed % 16 + 1;
    seed = static_cast<uint8_t>(seed * 33 + input[input.size() - 1 - pieces.size() % input.size()]);
    pieces.push_back(input.substr(at, size));
  }
  return pieces;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < kSettingOctets)
    return 0;
  const TIdHTTPRequestLimits limits = LimitsFrom(data);
  const std::string_view input(reinterpret_cast<const char*>(data + kSettingOctets), size - kSettingOctets);
  const std::string whole = test::RequestReaderTrace(limits, {input});
  if (test::RequestReaderTrace(limits, PiecesOf(input, data[4])) != whole)
    __builtin_trap();
  return 0;
}
