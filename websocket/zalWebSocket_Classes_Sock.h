#pragma once
// The per-connection object: one per accepted connection, stored in the
// context's Data while the component owns it. The chain of classes grows from
// the transport-independent base to the server side of a socket connection.
#include <array>
#include <atomic>
#include <chrono>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "support/zalFirstBytesScanner.h"
#include "support/zalObject.h"
#include "support/zalTypes.h"
#include "websocket/zalWebSocket_Extensions.h"
#include "websocket/zalWebSocket_Handshake.h"

namespace zal {

class TIdContext;
class TIdTCPConnection;
class TStream;
class TzalWSConnection;

// The response lines of a handshake, which the application may change.
using TzalWSHandshakeEvent = std::function<void(TzalWSConnection* Connection, std::vector<std::string>& Headers)>;
// A change of the connection's state; aType 1: the handshake has been answered.
using TzalWSUpdateEvent = std::function<void(TzalWSConnection* Connection, int aType)>;

enum TwsAuthentication : uint8_t { authNone, authSession, authURL, authBasic, authOAuth2 };

// How (and whether) a connection proved who it is.
struct TzalWSConnectionAuthentication {
  bool FAuthenticated = false;
  TwsAuthentication FAuthType = authNone;
  std::string FUser;
  std::string FPassword;
  std::string FSessionID;
};

class TzalTCPConnection_Base : public TObject {
public:
  // Created on first request: 32 uppercase hexadecimal digits.
  const std::string& Guid();

  bool Enabled() const { return FEnabled.load(); }
  void SetEnabled(bool value) { FEnabled.store(value); }
  bool Disconnected() const { return FDisconnected.load(); }
  void SetDisconnected(bool value) { FDisconnected.store(value); }
  TwsTransport Transport() const { return FTransport; }
  void SetTransport(TwsTransport value) { FTransport = value; }

  bool FIsInternal = false;           // the watchdog monitor's own connection: no events
  bool FNotifyConnection = true;      // raise OnConnect for this connection
  bool FNotifyDisconnection = true;   // raise OnDisconnect for this connection
  std::string FMsgError;              // last error text delivered through OnError
  std::string FMsgException;          // last exception text delivered through OnException
  std::exception_ptr FException;      // the exception delivered through OnException

  // The owner (the context, then the disconnect notification) holds one
  // reference and every queued event that names the connection holds one more;
  // whoever drops the last one frees the object (TzalWSComponent_Base).
  void AddReference() { FReferences.fetch_add(1, std::memory_order_relaxed); }
  // True when this was the last reference.
  bool DropReference() { return FReferences.fetch_sub(1, std::memory_order_acq_rel) == 1; }

protected:
  std::atomic<bool> FEnabled{false};
  std::atomic<bool> FDisconnected{false};
  TwsTransport FTransport = trpUndefined;

private:
  std::atomic<int> FReferences{1};
  std::mutex FGuidLock;
  std::string FGuid;
};

class TzalTCPConnection : public TzalTCPConnection_Base {};
class TzalWSConnection : public TzalTCPConnection {};

class TzalWSConnection_Base_Sock : public TzalWSConnection {
public:
  TIdTCPConnection* TCPConnection() const { return FTCPConnection; }
  void SetTCPConnection(TIdTCPConnection* connection) { FTCPConnection = connection; }
  // Closes the TCP connection without notifying the peer.
  void DisconnectTCP();

private:
  TIdTCPConnection* FTCPConnection = nullptr;
};

class TzalWSConnection_Sock : public TzalWSConnection_Base_Sock {};

class TzalWSConnectionServer : public TzalWSConnection_Sock {
public:
  // The opening handshake on the request in FHeadersRequest, whose header block
  // the connection loop has removed from the input buffer (any bytes after it
  // stay there: the Hixie-76 key octets, awaited up to FHandshakeTimeOut).
  // Writes the 101 answer and enables the connection. A refused handshake is
  // answered with 400, 403 or 426 (RFC 6455 4.2.1, 4.4) and raises
  // TzalWSHandshakeException; the connection stays not enabled.
  void DoHandshake();
  void CheckOrigin();
  void NegotiateExtensions();
  std::string SelectProtocol();
  void AssignTransport(TwsTransport Value) { FTransport = Value; }

  TwsSpecification Specification() const { return FSpecification; }
  const std::vector<std::string>& HeadersResponse() const { return FHeadersResponse; }
  const TzalWSHandShakeServer* Handshake() const { return FHandshake.get(); }
  TzalWSExtensions& Extensions() { return FExtensions; }
  // The request target of the first request line ("GET *" or "POST *").
  const std::string& URL();

  // Answers written straight onto the connection, each in one write.
  void SendResponseCode(int code, const std::string& text);
  void SendRedirect(const std::string& target);
  // A 200 answer with the rest of the stream as its body; the connection closes after it.
  void SendResponse(TStream& content, const std::string& contentType);
  // SendResponse of the text, converted to ISO-8859-1.
  void SendResponseHTTP(const std::string& aContent, const std::string& aContentType);

  TzalWSHandshakeEvent OnHandshake;
  TzalWSUpdateEvent OnUpdate;

  std::vector<std::string> FHeadersRequest;  // the first bytes, split into lines
  int FReadCount = 0;                        // idle steps, for the idle rule
  TzalFirstBytesScanner FFirstBytes;         // how far the first bytes have been examined
  std::chrono::steady_clock::time_point FFirstBytesDeadline{};  // classified or closed by then
  std::chrono::steady_clock::time_point FReadStartSSLDeadline{};  // TLS start rule: set at the lone first byte
  TzalWSConnectionAuthentication FAuthentication;
  int FAuthenticationCloseCode = 1000;
  bool FServerSSL = false;
  std::string FServerOriginsAllowed;
  bool FValidateUTF8 = false;
  bool FCleanDisconnect = false;
  bool FRaiseDisconnectExceptions = true;
  TwsFragmentedMessages FFragmentedMessages = frgOnlyBuffer;
  bool FMasked = false;
  std::string FProtocol;  // the registered sub-protocol names, comma-separated
  bool FCustomHeartBeat = false;  // OnBeforeHeartBeat handled the last ping itself
  int FReadTimeOut = 10;
  TIdContext* FContext = nullptr;
  TIdIPVersion FIPVersion = Id_IPv4;
  int FHandshakeTimeOut = 5000;  // milliseconds

private:
  void PrepareHandshake();
  std::array<uint8_t, 8> AwaitKey3();
  void WriteAnswer(const std::string& bytes);

  TwsSpecification FSpecification = spRFC6455;
  std::unique_ptr<TzalWSHandShakeServer> FHandshake;
  std::vector<std::string> FHeadersResponse;
  TzalWSExtensions FExtensions;
  std::string FURL;
};

}  // namespace zal
