#include "websocket/zalWebSocket_Handshake.h"

#include <algorithm>
#include <utility>

#include "support/zalHelpers.h"
#include "support/zalIdCoderMIME.h"
#include "support/zalIdHash.h"
#include "support/zalRequestClassification.h"

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

// A control octet other than HTAB (RFC 9110 5.5: CR, LF and NUL are never
// part of a field value).
bool HasControlOctet(std::string_view text) {
  return std::any_of(text.begin(), text.end(), [](char c) {
    const auto octet = static_cast<unsigned char>(c);
    return (octet < 0x20 && octet != '\t') || octet == 0x7F;
  });
}

// RFC 6455 4.1: the key is 16 octets in base64, so 22 characters and "==".
bool IsWebSocketKey(std::string_view key) {
  constexpr std::string_view kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  return key.size() == 24 && key.substr(22) == "==" &&
         key.substr(0, 22).find_first_not_of(kAlphabet) == std::string_view::npos;
}

}  // namespace

TzalWSHandShakeServer::TzalWSHandShakeServer(std::span<const std::string> aHeaders) {
  if (aHeaders.empty() || !TextStartsWith(aHeaders[0], "GET /"))
    Refuse("Error Decoding Header: GET");
  FIsGET = true;
  DecodeRequestLine(aHeaders[0]);
  for (const std::string& line : aHeaders.subspan(1))
    DecodeLine(line);
  CheckRequiredFields();
}

// Each field line as RFC 9110 5 reads it: the name up to the colon (letter case
// ignored), the value without the white space around it. A line that is no
// field, a value holding a control octet (a bare CR, say) and a repeated Host
// or Sec-WebSocket-Key make the request malformed.
void TzalWSHandShakeServer::DecodeLine(const std::string& line) {
  THeaderField field;
  if (line.empty())
    return;  // the empty line that ends the block
  if (!ParseHeaderField(line, field) || HasControlOctet(field.Value))
    Refuse("Error Decoding Header: malformed field");
  const std::string value(field.Value);
  const auto is = [&field](std::string_view name) { return TextIsSame(field.Name, name); };
  if (is("Upgrade")) {
    FIsUpgrade = true;
    if (!MatchesMask(value, "*websocket"))
      Refuse("Error Decoding Header: WebSocket");
  } else if (is("Connection")) {
    FIsConnection = true;
    if (!ListHasToken(value, "Upgrade"))
      Refuse("Error Decoding Header: Upgrade");
  } else if (is("Host")) {
    if (std::exchange(FIsHost, true))
      Refuse("Error Decoding Header: Host");
    FHost = value;
  } else if (is("Sec-WebSocket-Key")) {
    if (std::exchange(FIsKey, true))
      Refuse("Error Decoding Header: WebSocket-Key");
    FKey = value;
  } else if (is("Origin")) {
    FIsOrigin = true;
    FOrigin = value;
  } else if (is("Sec-WebSocket-Protocol")) {
    FIsProtocols = true;
    AppendListValue(FProtocols, value);
  } else if (is("Sec-WebSocket-Version")) {
    FIsVersion = true;
    FVersion = value;
  } else if (is("Sec-WebSocket-Extensions")) {
    FIsExtensions = true;
    AppendListValue(FExtensions, value);
  } else if (is("Sec-WebSocket-Key1")) {
    FIsKey1 = true;
    FKey1 = value;
  } else if (is("Sec-WebSocket-Key2")) {
    FIsKey2 = true;
    FKey2 = value;
  }
}

// RFC 6455 4.2.1: Host, Upgrade, Connection, one key of 16 octets in base64
// and version 13 (426 with the version this server speaks otherwise, 4.4).
// Hixie-76 needs both of its keys, each with at least one space.
void TzalWSHandShakeServer::CheckRequiredFields() const {
  if (!FIsHost)
    Refuse("Error Decoding Header: Host");
  if (!FIsUpgrade)
    Refuse("Error Decoding Header: WebSocket");
  if (!FIsConnection)
    Refuse("Error Decoding Header: Upgrade");
  if (Specification() == spHixie76) {
    if (!FIsKey2)
      Refuse("Error Decoding Header: WebSocket-Key2");
    Hixie76KeyNumber(FKey1);
    Hixie76KeyNumber(FKey2);
    return;
  }
  if (!IsWebSocketKey(FKey))
    Refuse("Error Decoding Header: WebSocket-Key");
  if (FVersion != "13")
    Refuse("Error Decoding Header: WebSocket Version", kUpgradeRequired);
}

// "GET /chat HTTP/1.1": the target is what lies between "GET " and the space
// before "HTTP"; HTTP/1.0 cannot upgrade (RFC 6455 4.1).
void TzalWSHandShakeServer::DecodeRequestLine(const std::string& line) {
  const size_t http = line.find("HTTP");
  if (http == std::string::npos || line.compare(http, std::string::npos, "HTTP/1.0") == 0 || HasControlOctet(line))
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
