#include "websocket/zalWebSocket_Classes_Sock.h"

#include <algorithm>
#include <cassert>

#include "support/zalHelpers.h"
#include "support/zalRequestClassification.h"
#include "support/zalStream.h"
#include "transport/zalIdIOHandler.h"
#include "transport/zalIdTCPConnection.h"

namespace zal {

const std::string& TzalTCPConnection_Base::Guid() {
  std::lock_guard lock(FGuidLock);
  if (FGuid.empty())
    FGuid = CreateGuidString();
  return FGuid;
}

void TzalWSConnection_Base_Sock::DisconnectTCP() {
  if (FTCPConnection)
    FTCPConnection->Disconnect(false);
}

// --- TzalWSConnectionServer: the opening handshake ----------------------------

std::string TzalWSConnectionServer::SelectProtocol() { return SelectSubprotocol(FProtocol, FHandshake->Protocols()); }

void TzalWSConnectionServer::CheckOrigin() { CheckOriginAllowed(FServerOriginsAllowed, FHandshake->Origin()); }

void TzalWSConnectionServer::NegotiateExtensions() { FExtensions.DecodeExtensions(FHandshake->Extensions()); }

// The eight octets that follow a Hixie-76 header block, waited for while they
// keep arriving within the handshake time-out.
std::array<uint8_t, 8> TzalWSConnectionServer::AwaitKey3() {
  TIdIOHandler& io = *TCPConnection()->IOHandler();
  const uint64_t deadline = GetTickCount64() + static_cast<uint64_t>(std::max(FHandshakeTimeOut, 0));
  while (io.InputBuffer().Size() < 8) {
    const uint64_t now = GetTickCount64();
    if (now >= deadline || !io.CheckForDataOnSource(static_cast<int>(deadline - now)))
      throw TzalWSHandshakeException("Error Decoding Header: WebSocket-Key3", 400);
  }
  TIdBytes octets;
  io.InputBuffer().ExtractToBytes(octets, 8, false);
  std::array<uint8_t, 8> key3{};
  std::copy(octets.begin(), octets.end(), key3.begin());
  return key3;
}

// Everything the answer depends on, in the order of RFC 6455 4.2.2; a failure
// here is answered with its status before it leaves.
void TzalWSConnectionServer::PrepareHandshake() {
  try {
    FHandshake = std::make_unique<TzalWSHandShakeServer>(FHeadersRequest);
    if (FHandshake->NeedsKey3())
      FHandshake->SetKey3(AwaitKey3());
    FSpecification = FHandshake->Specification();
    FProtocol = SelectProtocol();
    FHeadersResponse.clear();
    CheckOrigin();
    if (FSpecification == spHixie76) {
      if (FTransport == trpUndefined)
        AssignTransport(trpHixie76);
      FHeadersResponse = Hixie76ResponseLines(*FHandshake, FProtocol, FServerSSL);
      return;
    }
    NegotiateExtensions();
    if (FTransport == trpUndefined)
      AssignTransport(trpRFC6455);
    FHeadersResponse = RFC6455ResponseLines(*FHandshake, FProtocol);
    FExtensions.WriteHeader(FHeadersResponse);
  } catch (const TzalWSHandshakeException& e) {
    WriteAnswer(HandshakeFailureResponse(e.StatusCode()));
    throw;
  } catch (const EIdException& e) {
    // An extension offer with a bad parameter value.
    WriteAnswer(HandshakeFailureResponse(400));
    throw TzalWSHandshakeException(e.what(), 400);
  }
}

void TzalWSConnectionServer::DoHandshake() {
  assert(!Enabled() && "the handshake runs once per connection");
  PrepareHandshake();
  if (OnHandshake)
    OnHandshake(this, FHeadersResponse);
  std::string answer;
  for (const std::string& line : FHeadersResponse)
    answer.append(line).append("\r\n");
  answer += "\r\n";
  if (FSpecification == spHixie76) {
    const auto body = GetHixie76Response(FHandshake->Key1(), FHandshake->Key2(), FHandshake->Key3());
    answer.append(body.begin(), body.end());
  }
  WriteAnswer(answer);
  SetEnabled(true);
  if (OnUpdate)
    OnUpdate(this, 1);
}

// --- TzalWSConnectionServer: answers written straight onto the socket ---------

void TzalWSConnectionServer::WriteAnswer(const std::string& bytes) {
  TIdIOHandler& io = *TCPConnection()->IOHandler();
  io.WriteBufferOpen();
  try {
    io.Write(std::span(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()));
    io.WriteBufferClose();
  } catch (...) {
    io.WriteBufferCancel();
    throw;
  }
}

const std::string& TzalWSConnectionServer::URL() {
  if (FURL.empty()) {
    std::string line = GetRequestLineGET(FHeadersRequest);
    if (line.empty())
      line = GetRequestLinePOST(FHeadersRequest);
    FURL = GetRequestTarget(line);
  }
  return FURL;
}

void TzalWSConnectionServer::SendResponseCode(int code, const std::string& text) {
  WriteAnswer("HTTP/1.1 " + std::to_string(code) + " " + text + "\r\n\r\n");
}

void TzalWSConnectionServer::SendRedirect(const std::string& target) {
  WriteAnswer("HTTP/1.1 302 Moved Temporarily\r\nConnection: close\r\nLocation: " + target +
              "\r\nServer: zalWebSockets 4.4.6\r\n\r\n");
}

void TzalWSConnectionServer::SendResponse(TStream& content, const std::string& contentType) {
  TIdIOHandler& io = *TCPConnection()->IOHandler();
  io.WriteBufferOpen();
  try {
    io.Write("HTTP/1.1 200 OK\r\nCache-Control: no-cache\r\nContent-Type: " + contentType +
             "\r\nServer: zalWebSockets 4.4.6\r\n\r\n");
    io.Write(content);
    io.Write("\r\n");
    io.WriteBufferClose();
  } catch (...) {
    io.WriteBufferCancel();
    throw;
  }
}

void TzalWSConnectionServer::SendResponseHTTP(const std::string& aContent, const std::string& aContentType) {
  TMemoryStream stream;
  const TIdBytes bytes = ToBytes(aContent, &IdTextEncoding(tek8Bit));
  stream.WriteBuffer(bytes.data(), static_cast<int64_t>(bytes.size()));
  stream.SetPosition(0);
  SendResponse(stream, aContentType);
}

}  // namespace zal
