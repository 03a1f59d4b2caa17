#include "websocket/zalWebSocket_TCPGather.h"

#include <algorithm>

#include "websocket/zalWebSocket_Frame.h"

namespace zal {

void TzalTCPGatherer::Deliver(std::span<const uint8_t> message) {
  if (!OnBinary)
    return;
  TMemoryStream stream(TIdBytes(message.begin(), message.end()));
  OnBinary(stream);
}

size_t TzalTCPGatherer::Read(std::span<const uint8_t> bytes) {
  if (bytes.empty())
    return 0;
  if (Mode == eofScanNone) {
    Deliver(bytes);
    return bytes.size();
  }
  const size_t message = EndOfFrame.empty() ? 0 : Mode == eofScanLatestBytes ? EndingMessage(bytes) : FirstMessage(bytes);
  if (message > MaxMessageSize || (message == 0 && bytes.size() > MaxMessageSize))
    throw TzalWSException(kMessageTooBigText, kCloseMessageTooBig);
  if (message > 0)
    Deliver(bytes.first(message));
  return message;
}

size_t TzalTCPGatherer::EndingMessage(std::span<const uint8_t> bytes) const {
  const size_t terminator = EndOfFrame.size();
  const bool ends = bytes.size() >= terminator && std::equal(EndOfFrame.begin(), EndOfFrame.end(), bytes.end() - static_cast<std::ptrdiff_t>(terminator));
  return ends ? bytes.size() : 0;
}

// Resumes where the last search stopped, backed up so that a sequence which
// straddles the old end is still seen: each octet is searched about once.
size_t TzalTCPGatherer::FirstMessage(std::span<const uint8_t> bytes) {
  const size_t terminator = EndOfFrame.size();
  const size_t from = FScanned >= terminator ? FScanned - (terminator - 1) : 0;
  const auto found =
      std::search(bytes.begin() + static_cast<std::ptrdiff_t>(from), bytes.end(), EndOfFrame.begin(), EndOfFrame.end());
  if (found == bytes.end()) {
    FScanned = bytes.size();
    return 0;
  }
  FScanned = 0;
  return static_cast<size_t>(found - bytes.begin()) + terminator;
}

}  // namespace zal
