#pragma once
// The exception of the WebSocket layer. It carries the close code (RFC 6455
// section 7.4.1) with which the connection is failed when it leaves a read.
#include <string>

#include "support/zalIdException.h"

namespace zal {

// RFC 6455 section 7.4.1 close codes raised by this layer.
constexpr int kCloseProtocolError = 1002;
constexpr int kCloseInvalidPayload = 1007;
constexpr int kCloseMessageTooBig = 1009;
constexpr int kCloseInternalError = 1011;

// The text with which a message larger than MaxMessageSize is refused (1009).
inline constexpr const char* kMessageTooBigText = "Message exceeds MaxMessageSize.";

class TzalWSException : public EIdException {
public:
  explicit TzalWSException(const std::string& message, int closeCode = kCloseProtocolError)
      : EIdException(message), FCloseCode(closeCode) {}
  int CloseCode() const { return FCloseCode; }

private:
  int FCloseCode;
};

}  // namespace zal
