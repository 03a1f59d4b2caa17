#pragma once
// TzalTCPGatherer: the raw TCP transport's reader. Without WebSocket framing,
// the bytes are cut into messages at an application-defined end-of-frame
// sequence. Push-driven like the frame readers: it consumes whole messages
// from the input buffer and leaves a partial one there, searching only the
// octets that arrived since the last call (plus the sequence's length minus
// one, so a sequence split across reads is found).
#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>

#include "support/zalIdTextEncoding.h"
#include "support/zalStream.h"

namespace zal {

enum TtcpEOFScanBuffer : uint8_t {
  eofScanNone,         // every read is one message
  eofScanLatestBytes,  // a message ends when the buffered bytes end with the sequence
  eofScanAllBytes,     // a message ends at each occurrence of the sequence
};

class TzalTCPGatherer {
public:
  TtcpEOFScanBuffer Mode = eofScanNone;
  TIdBytes EndOfFrame;                       // the sequence; empty: nothing ends a message
  uint64_t MaxMessageSize = 16 * 1024 * 1024;
  std::function<void(const TMemoryStream& Data)> OnBinary;

  // Consumes whole messages (sequence included) and returns their length. A
  // message growing past MaxMessageSize raises TzalWSException (1009).
  size_t Read(std::span<const uint8_t> bytes);

private:
  void Deliver(std::span<const uint8_t> message);
  size_t EndingMessage(std::span<const uint8_t> bytes) const;
  size_t FirstMessage(std::span<const uint8_t> bytes);
  size_t FScanned = 0;  // octets at the head already searched without a match
};

}  // namespace zal
