#pragma once
// The server side of the WebSocket opening handshake: the decoded upgrade
// request (RFC 6455 section 4.2.1, or the Hixie-76 draft with its three keys),
// the proof of receipt, and the choice of subprotocol and origin checks.
// Everything here works on the request lines already in memory; the
// connection supplies the eight Hixie-76 key octets once they have arrived.
#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "support/zalTypes.h"
#include "websocket/zalWebSocket_Exception.h"

namespace zal {

// A refused handshake: the HTTP status with which it is answered (RFC 6455
// 4.2.1, 4.4) before the connection closes.
class TzalWSHandshakeException : public TzalWSException {
public:
  TzalWSHandshakeException(const std::string& message, int statusCode)
      : TzalWSException(message), FStatusCode(statusCode) {}
  int StatusCode() const { return FStatusCode; }

private:
  int FStatusCode;
};

class TzalWSHandshake_Base {
public:
  const std::string& Protocols() const { return FProtocols; }
  const std::string& Extensions() const { return FExtensions; }

protected:
  std::string FProtocols;   // Sec-WebSocket-Protocol, lines joined with ", "
  std::string FExtensions;  // Sec-WebSocket-Extensions, lines joined with ", "
};

class TzalWSHandshake : public TzalWSHandshake_Base {};

class TzalWSHandShakeServer_Base : public TzalWSHandshake {
public:
  const std::string& Get() const { return FGet; }
  const std::string& Host() const { return FHost; }
  const std::string& Origin() const { return FOrigin; }
  const std::string& Key() const { return FKey; }
  const std::string& Version() const { return FVersion; }
  const std::string& Key1() const { return FKey1; }
  const std::string& Key2() const { return FKey2; }
  const std::string& Key3() const { return FKey3; }
  TwsSpecification Specification() const { return FKey1.empty() ? spRFC6455 : spHixie76; }

protected:
  std::string FGet, FHost, FOrigin, FKey, FVersion;
  bool FIsConnection = false, FIsGET = false, FIsHost = false, FIsKey = false, FIsOrigin = false,
       FIsProtocols = false, FIsUpgrade = false, FIsVersion = false, FIsExtensions = false, FIsKey1 = false,
       FIsKey2 = false;
  std::string FKey1, FKey2;
  std::string FKey3;  // the eight Hixie-76 key octets as 16 uppercase hexadecimal digits
};

class TzalWSHandShakeServer : public TzalWSHandShakeServer_Base {
public:
  // Decodes the request lines (the request line first). Raises
  // TzalWSHandshakeException: 400 for a malformed upgrade (a field missing,
  // repeated or malformed, a bad key), 426 for a version other than 13 (RFC 6455 4.4).
  explicit TzalWSHandShakeServer(std::span<const std::string> aHeaders);

  // Whether the request is Hixie-76 with both keys, so that the eight octets
  // after its header block belong to the handshake.
  bool NeedsKey3() const { return !FKey1.empty() && !FKey2.empty(); }
  void SetKey3(std::span<const uint8_t, 8> aOctets);

private:
  void DecodeLine(const std::string& line);
  void DecodeRequestLine(const std::string& line);
  void CheckRequiredFields() const;
};

// RFC 6455 4.2.2: base64 of the SHA-1 of the key and the protocol's GUID.
std::string GetAcceptKey(std::string_view aKey);
// The 16-octet Hixie-76 answer: MD5 over the two key numbers and Key3.
std::array<uint8_t, 16> GetHixie76Response(std::string_view aKey1, std::string_view aKey2, std::string_view aKey3);

// The first of the client's subprotocols (in its order) that the server's
// comma-separated list holds, as the client wrote it; empty when the client
// offered none. Raises "Error Protocol: %s not supported." when none matches.
std::string SelectSubprotocol(std::string_view aServerProtocols, std::string_view aClientProtocols);
// Raises "Origin %s not allowed" (403) unless the origin matches one of the
// comma-separated masks; no masks or no origin accept.
void CheckOriginAllowed(std::string_view aOriginsAllowed, std::string_view aOrigin);

// The lines of a 101 answer, without the blank line.
std::vector<std::string> RFC6455ResponseLines(const TzalWSHandShakeServer& aHandshake, std::string_view aProtocol);
std::vector<std::string> Hixie76ResponseLines(const TzalWSHandShakeServer& aHandshake, std::string_view aProtocol,
                                              bool aSecure);
// The answer to a refused handshake, ending with the blank line.
std::string HandshakeFailureResponse(int aStatusCode);

}  // namespace zal
