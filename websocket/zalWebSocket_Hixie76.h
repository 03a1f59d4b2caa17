#pragma once
// Hixie-76 framing (draft-hixie-thewebsocketprotocol-76 section 4.2): a text
// frame is 0x00, UTF-8 text, 0xFF; the closing handshake is 0xFF 0x00. There
// are no binary frames, pings or close codes. The reader is push-driven like
// the RFC 6455 reader: it consumes whole frames and leaves a partial one.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>

#include "support/zalIdTextEncoding.h"
#include "support/zalTypes.h"

namespace zal {

class TzalWSHixie76Reader {
public:
  uint64_t MaxMessageSize = 16 * 1024 * 1024;  // text octets of one frame
  bool ValidateUTF8 = false;
  std::function<void(const std::string& Text)> OnMessage;
  std::function<void()> OnClose;

  // Consumes whole frames (at most one text frame per call) and returns their
  // length. A text longer than MaxMessageSize raises TzalWSException (1009),
  // invalid UTF-8 with ValidateUTF8 raises it with 1007.
  size_t Read(std::span<const uint8_t> bytes);
  bool Closed() const { return FClosed; }

private:
  bool FClosed = false;
  // Octets after the 0x00 of the partial frame at the head that were already
  // searched for the end marker; each call searches only what is new.
  size_t FScanned = 0;
};

// Appends a Hixie-76 frame: opText writes the text, opClose the closing
// handshake; other opcodes append nothing.
void AppendHixie76Frame(TIdBytes& out, TOpcode aOpCode, std::string_view aText);

}  // namespace zal
