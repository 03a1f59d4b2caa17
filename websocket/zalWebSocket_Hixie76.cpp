#include "websocket/zalWebSocket_Hixie76.h"

#include <algorithm>

#include "websocket/zalWebSocket_Frame.h"
#include "websocket/zalWebSocket_UTF8.h"

namespace zal {

size_t TzalWSHixie76Reader::Read(std::span<const uint8_t> bytes) {
  size_t pos = 0;
  while (!FClosed && pos < bytes.size()) {
    const uint8_t b = bytes[pos];
    if (b == 0xFF) {
      if (pos + 1 >= bytes.size())
        break;  // the closing handshake may still be arriving
      if (bytes[pos + 1] == 0x00) {
        FClosed = true;
        pos += 2;
        if (OnClose)
          OnClose();
        break;
      }
      pos += 2;  // an unknown frame type: both octets are dropped
      continue;
    }
    if (b != 0x00) {
      ++pos;  // octets outside a frame are skipped
      continue;
    }
    const size_t start = pos + 1;
    const auto from = bytes.begin() + static_cast<std::ptrdiff_t>(start + FScanned);
    const auto end = std::find(from, bytes.end(), uint8_t{0xFF});
    const auto length = static_cast<size_t>(end - bytes.begin()) - start;
    if (length > MaxMessageSize)
      throw TzalWSException(kMessageTooBigText, kCloseMessageTooBig);
    if (end == bytes.end()) {
      FScanned = length;
      break;
    }
    FScanned = 0;
    const std::span<const uint8_t> text = bytes.subspan(start, length);
    if (ValidateUTF8 && !IsValidUTF8(text))
      throw TzalWSException("Invalid UTF8 message", kCloseInvalidPayload);
    pos = start + length + 1;
    if (OnMessage)
      OnMessage(std::string(text.begin(), text.end()));
    break;
  }
  return pos;
}

void AppendHixie76Frame(TIdBytes& out, TOpcode aOpCode, std::string_view aText) {
  if (aOpCode == opText) {
    out.push_back(0x00);
    out.insert(out.end(), aText.begin(), aText.end());
    out.push_back(0xFF);
  } else if (aOpCode == opClose) {
    out.push_back(0xFF);
    out.push_back(0x00);
  }
}

}  // namespace zal
