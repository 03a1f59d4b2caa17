#include "websocket/zalWebSocket_Handshake.h"

#include "support/zalHelpers.h"
#include "support/zalIdCoderMIME.h"
#include "support/zalIdHash.h"

namespace zal {

namespace {

constexpr int kBadRequest = 400;
constexpr int kForbidden = 403;
constexpr int kUpgradeRequired = 426;

[[noreturn]] void Refuse(const std::string& message, int statusCode = kBadRequest) {
  throw TzalWSHandshakeException(message, statusCode);
}

// Appends one more line of a list-valued header (RFC 9110 5.3).
void AppendListValue(std::string& list, std::string_view value) {
  if (!list.empty())
    list += ", ";
  list += value;
}

// The items of a comma-separated list, trimmed and unquoted (RFC 6455 11.3.4).
std::vector<std::string_view> ListItems(std::string_view list) {
  std::vector<std::string_view> items;
  for (std::string_view item : SplitTrimmed(list, ',')) {
    if (item.size() >= 2 && item.front() == '"' && item.back() == '"')
      item = item.substr(1, item.size() - 2);
    if (!item.empty())
      items.push_back(item);
  }
  return items;
}

// The number a Hixie-76 key stands for: its digits read as a decimal number
// (modulo 2^32) divided by its count of spaces.
uint32_t Hixie76KeyNumber(std::string_view key) {
  uint32_t number = 0;
  uint32_t spaces = 0;
  for (char c : key) {
    if (c >= '0' && c <= '9')
      number = number * 10 + static_cast<uint32_t>(c - '0');
    else if (c == ' ')
      ++spaces;
  }
  if (spaces == 0)
    Refuse("Error decoding sec-webSocket-key.");
  return number / spaces;
}

}  // namespace

TzalWSHandShakeServer::TzalWSHandShakeServer(std::span<const std::string> aHeaders) {
  for (const std::string& line : aHeaders)
    DecodeLine(line);
  if (!FIsKey && !FIsKey1 && !FIsKey2)
    Refuse("Error Decoding Header: WebSocket-Key");
  // RFC 6455 4.4: a version other than 13 is answered with the versions this server speaks.
  if (Specification() == spRFC6455 && FIsVersion && Trim(FVersion) != "13")
    Refuse("Error Decoding Header: WebSocket Version", kUpgradeRequired);
}

// The first prefix a line begins with (letter case ignored) decides what it is;
// the value is the rest of the line, verbatim.
void TzalWSHandShakeServer::DecodeLine(const std::string& line) {
  const auto value = [&line](std::string_view prefix) { return line.substr(prefix.size()); };
  if (TextStartsWith(line, "GET /")) {
    FIsGET = true;
    DecodeRequestLine(line);
  } else if (TextStartsWith(line, "Upgrade: ")) {
    FIsUpgrade = true;
    if (!MatchesMask(line, "*websocket"))
      Refuse("Error Decoding Header: WebSocket");
  } else if (TextStartsWith(line, "Connection: ")) {
    FIsConnection = true;
    if (!MatchesMask(line, "*Upgrade*"))
      Refuse("Error Decoding Header: Upgrade");
  } else if (TextStartsWith(line, "Host: ")) {
    FIsHost = true;
    FHost = value("Host: ");
  } else if (TextStartsWith(line, "Sec-WebSocket-Key: ")) {
    FIsKey = true;
    FKey = value("Sec-WebSocket-Key: ");
  } else if (TextStartsWith(line, "Origin: ")) {
    FIsOrigin = true;
    FOrigin = value("Origin: ");
  } else if (TextStartsWith(line, "Sec-WebSocket-Protocol: ")) {
    FIsProtocols = true;
    AppendListValue(FProtocols, value("Sec-WebSocket-Protocol: "));
  } else if (TextStartsWith(line, "Sec-WebSocket-Version: ")) {
    FIsVersion = true;
    FVersion = value("Sec-WebSocket-Version: ");
  } else if (TextStartsWith(line, "Sec-WebSocket-Extensions: ")) {
    FIsExtensions = true;
    AppendListValue(FExtensions, value("Sec-WebSocket-Extensions: "));
  } else if (TextStartsWith(line, "Sec-WebSocket-Key1: ")) {
    FIsKey1 = true;
    FKey1 = value("Sec-WebSocket-Key1: ");
  } else if (TextStartsWith(line, "Sec-WebSocket-Key2: ")) {
    FIsKey2 = true;
    FKey2 = value("Sec-WebSocket-Key2: ");
  }
}

// "GET /chat HTTP/1.1": the target is what lies between "GET " and the space
// before "HTTP"; HTTP/1.0 cannot upgrade (RFC 6455 4.1).
void TzalWSHandShakeServer::DecodeRequestLine(const std::string& line) {
  const size_t http = line.find("HTTP");
  if (http == std::string::npos || line.compare(http, std::string::npos, "HTTP/1.0") == 0)
    Refuse("Error Decoding Header: GET");
  FGet = http > 5 ? line.substr(4, http - 5) : std::string();
}

void TzalWSHandShakeServer::SetKey3(std::span<const uint8_t, 8> aOctets) { FKey3 = BytesToHex(aOctets); }

std::string GetAcceptKey(std::string_view aKey) {
  const std::string text = std::string(aKey) + "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";
  return TIdEncoderMIME::EncodeBytes(
      TIdHashSHA1().HashBytes({reinterpret_cast<const uint8_t*>(text.data()), text.size()}));
}

std::array<uint8_t, 16> GetHixie76Response(std::string_view aKey1, std::string_view aKey2, std::string_view aKey3) {
  TIdBytes challenge;
  for (const uint32_t number : {Hixie76KeyNumber(aKey1), Hixie76KeyNumber(aKey2)})
    for (int shift = 24; shift >= 0; shift -= 8)
      challenge.push_back(static_cast<uint8_t>(number >> shift));
  AppendBytes(challenge, HexToBytes(aKey3));
  const TIdBytes digest = TIdHashMessageDigest5().HashBytes(challenge);
  std::array<uint8_t, 16> response{};
  std::copy(digest.begin(), digest.end(), response.begin());
  return response;
}

std::string SelectSubprotocol(std::string_view aServerProtocols, std::string_view aClientProtocols) {
  if (aClientProtocols.empty())
    return {};
  const std::vector<std::string_view> server = ListItems(aServerProtocols);
  const std::vector<std::string_view> client = ListItems(aClientProtocols);
  for (std::string_view offered : client)
    for (std::string_view supported : server)
      if (TextIsSame(offered, supported))
        return std::string(offered);
  std::string names;
  for (std::string_view offered : client)
    names.append(offered).append("\r\n");
  Refuse("Error Protocol: " + names + " not supported.");
}

void CheckOriginAllowed(std::string_view aOriginsAllowed, std::string_view aOrigin) {
  if (aOriginsAllowed.empty() || aOrigin.empty())
    return;
  for (std::string_view mask : ListItems(aOriginsAllowed))
    if (MatchesMask(aOrigin, mask))
      return;
  Refuse("Origin " + std::string(aOrigin) + " not allowed", kForbidden);
}

std::vector<std::string> RFC6455ResponseLines(const TzalWSHandShakeServer& aHandshake, std::string_view aProtocol) {
  std::vector<std::string> lines = {"HTTP/1.1 101 Switching Protocols", "Upgrade: websocket", "Connection: Upgrade"};
  if (!aProtocol.empty())
    lines.push_back("Sec-WebSocket-Protocol: " + std::string(aProtocol));
  lines.push_back("Sec-WebSocket-Accept: " + GetAcceptKey(aHandshake.Key()));
  lines.push_back("Server: zalWebSockets 4.4.6");
  return lines;
}

std::vector<std::string> Hixie76ResponseLines(const TzalWSHandShakeServer& aHandshake, std::string_view aProtocol,
                                              bool aSecure) {
  return {"HTTP/1.1 101 WebSocket Protocol Handshake",
          "Upgrade: WebSocket",
          "Connection: Upgrade",
          "Sec-WebSocket-Origin: " + aHandshake.Origin(),
          std::string(aSecure ? "Sec-WebSocket-Location: wss://" : "Sec-WebSocket-Location: ws://") +
              aHandshake.Host() + aHandshake.Get(),
          "Sec-WebSocket-Protocol: " + (aProtocol.empty() ? std::string("*") : std::string(aProtocol)),
          "Server: zalWebSockets 4.4.6"};
}

std::string HandshakeFailureResponse(int aStatusCode) {
  std::string response = "HTTP/1.1 " + std::to_string(aStatusCode) + " ";
  switch (aStatusCode) {
    case kForbidden: response += "Forbidden\r\n"; break;
    case kUpgradeRequired: response += "Upgrade Required\r\nSec-WebSocket-Version: 13\r\n"; break;
    case 414: response += "URI Too Long\r\n"; break;
    case 431: response += "Request Header Fields Too Large\r\n"; break;
    default: response += "Bad Request\r\n"; break;
  }
  return response + "Connection: close\r\nContent-Length: 0\r\nServer: zalWebSockets 4.4.6\r\n\r\n";
}

}  // namespace zal
