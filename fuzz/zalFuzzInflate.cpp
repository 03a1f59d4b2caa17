// Feeds arbitrary data frames to the receiving side of the compression
// extensions: the first octet picks the extension and its parameters, then
// each frame is a first octet (FIN, RSV1, opcode), a payload length octet and
// that many payload octets, cut wherever the fuzzer likes. Messages are bounded
// by a small MaxMessageSize, which an inflated message must never pass.
#include <cstddef>
#include <cstdint>
#include <span>

#include "websocket/zalWebSocket_Exception.h"
#include "websocket/zalWebSocket_Extensions.h"

namespace {

using namespace zal;

constexpr int64_t kMaxMessageSize = 1 << 20;

const char* const kOffers[] = {
    "permessage-deflate",
    "permessage-deflate; client_no_context_takeover",
    "permessage-deflate; client_max_window_bits=9; server_max_window_bits=9",
    "x-webkit-deflate-frame",
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* aData, size_t aSize) {
  if (aSize < 1)
    return 0;
  TzalWSExtensions_Options options;
  options.PerMessage_Deflate.Enabled = true;
  options.DeflateFrame.Enabled = true;
  TzalWSExtensions extensions;
  extensions.Assign(options);
  extensions.AssignMode(appServer);
  extensions.DecodeExtensions(kOffers[aData[0] % std::size(kOffers)]);
  extensions.SetMaxMessageSize(kMaxMessageSize);
  std::span<const uint8_t> input(aData + 1, aSize - 1);
  TIdBytes message;
  while (input.size() >= 2) {
    const uint8_t first = input[0];
    const size_t length = std::min<size_t>(input[1], input.size() - 2);
    const auto payload = input.subspan(2, length);
    input = input.subspan(2 + length);
    if ((first & 0x0F) != opContinuation)
      message.clear();
    try {
      extensions.ReadStream(first, payload, message);
    } catch (const TzalWSException&) {
      return 0;  // the connection is failed here
    }
    if (message.size() > static_cast<size_t>(kMaxMessageSize))
      __builtin_trap();
  }
  return 0;
}
