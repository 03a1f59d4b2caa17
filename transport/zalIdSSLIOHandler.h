#pragma once
// The TLS I/O handlers. TIdServerIOHandlerSSLOpenSSL builds the server context
// at activation and gives every accepted socket a TIdSSLIOHandlerSocketOpenSSL,
// which starts as plain TCP (pass-through) and speaks TLS once PassThrough is
// cleared. Under TLS the socket is read and written exactly as for plain TCP;
// the session (TIdSSLSocket) turns ciphertext into plaintext in memory.
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "transport/zalIdIOHandlerStack.h"
#include "transport/zalIdSSLOpenSSL.h"
#include "transport/zalIdSSLSocket.h"
#include "transport/zalIdServerIOHandler.h"

namespace zal {

class TIdServerIOHandlerSSLOpenSSL;

// The default total time a client has to complete its TLS handshake.
constexpr int IdDefaultHandshakeTimeout = 10000;

using TCallbackEvent = std::function<void(const std::string& AMsg)>;
using TCallbackExEvent = std::function<void(void* ASender, const SSL* AsslSocket, int AWhere, int Aret,
                                            const std::string& AType, const std::string& AMsg)>;
using TPasswordEvent = std::function<void(std::string& Password)>;
using TPasswordEventEx = std::function<void(void* ASender, std::string& VPassword, bool AIsWrite)>;
using TVerifyPeerEvent = std::function<bool(X509* Certificate, bool AOk, int ADepth, int AError)>;
using TALPNSelectEvent =
    std::function<void(void* Sender, const std::vector<std::string>& aProtocols, std::string& aProtocol)>;

class TIdSSLIOHandlerSocketOpenSSL : public TIdIOHandlerStack {
public:
  TIdSSLIOHandlerSocketOpenSSL() = default;
  ~TIdSSLIOHandlerSocketOpenSSL() override;

  bool PassThrough() const { return fPassThrough; }
  // Clearing it runs the TLS handshake on the open socket (raising its errors);
  // setting it again is not supported once TLS runs.
  void SetPassThrough(bool value);
  // The handshake as steps, for a caller that waits for the socket itself:
  // BeginTLS starts the session and its total deadline without waiting; each
  // HandshakeStep feeds the session the ciphertext the socket holds now and
  // sends what it wrote. True once the handshake is done (TLS then runs);
  // a failure, or the deadline passing, raises.
  void BeginTLS();
  bool HandshakeStep();
  bool Handshaking() const { return FHandshaking; }
  std::chrono::steady_clock::time_point HandshakeDeadline() const { return FHandshakeDeadline; }
  bool IsPeer() const { return fIsPeer; }
  // The protocol ALPN selected ("" without one) and the session's protocol name.
  std::string GetALPNProtocol();
  std::string GetSSLVersion();

  // The total time the handshake may take, in milliseconds (0: no limit).
  int HandshakeTimeout() const { return FHandshakeTimeout; }
  void SetHandshakeTimeout(int value) { FHandshakeTimeout = value; }

  // False while the handshake runs as steps: the socket's octets are its own.
  bool Readable(int msec = IdTimeoutDefault) override;
  bool HasPendingInput() override;
  // Sends close_notify (unless the session failed) and closes the socket. Safe
  // from another thread: the session itself is freed with the handler.
  void Close() override;
  // close_notify alone (once, unless the session failed), before the sending
  // side of the socket is shut down while the peer may still send.
  void SendCloseNotify();

protected:
  int ReceiveRaw(uint8_t* buffer, int length) override;
  int SendRaw(const uint8_t* bytes, int length) override;
  bool CanTransferFile() const override { return fPassThrough; }
  // Under TLS: one record of at most 16 KiB of plaintext once the records of
  // earlier sends have gone; its ciphertext goes as far as the socket takes it.
  int SendRawNow(const uint8_t* bytes, int length, bool more) override;
  int SendHeldRaw() override;

private:
  friend class TIdServerIOHandlerSSLOpenSSL;

  void StartTLS();
  // The steps, with the socket awaited in between (the plain TCP server's way).
  void RunHandshake();
  // Receives what the socket holds now into the session: the count, 0 when the
  // peer closed, or the negated socket error (Id_WSAEWOULDBLOCK: nothing yet).
  int ReceiveCiphertext();
  // Sends the session's pending output; the negated socket error on failure.
  int FlushOutput();
  // Sends FCipherOut (FSendLock held) and empties it; the negated socket error on failure.
  int SendCipherOut();
  // Sends what FCipherOut holds as far as the socket takes it now (FSendLock
  // held) and keeps the rest: 0 once it is empty, -Id_WSAEWOULDBLOCK, or the
  // negated socket error.
  int SendCipherOutNow();

  std::atomic<bool> fPassThrough{true};
  bool fIsPeer = false;
  TIdSSLContext* fSSLContext = nullptr;           // the server's, shared
  TIdServerIOHandlerSSLOpenSSL* FServer = nullptr;  // set for accepted connections
  std::unique_ptr<TIdSSLSocket> fSSLSocket;
  int FHandshakeTimeout = IdDefaultHandshakeTimeout;
  bool FHandshaking = false;
  std::chrono::steady_clock::time_point FHandshakeDeadline = std::chrono::steady_clock::time_point::max();
  std::atomic<bool> FCloseNotified{false};
  // The session is used only under FTLSLock. FSendLock keeps whole pieces of
  // ciphertext in order on the wire; it is taken before FTLSLock, never after.
  std::mutex FTLSLock;
  std::mutex FSendLock;
  TIdBytes FCipherOut;  // ciphertext waiting to be sent, under FSendLock
};

// The base of server TLS handlers, the type an application's own handler has.
class TIdServerIOHandlerSSLBase : public TIdServerIOHandlerSocket {};

class TIdServerIOHandlerSSLOpenSSL : public TIdServerIOHandlerSSLBase, public IIdSSLOpenSSLCallbackHelper {
public:
  TIdServerIOHandlerSSLOpenSSL() = default;
  ~TIdServerIOHandlerSSLOpenSSL() override;

  // Activation: builds the server context (raises the context errors).
  void Init() override;
  // A pass-through TLS handler for the next accepted socket, or nullptr.
  TIdIOHandler* Accept(TIdSocketHandle* listenBinding, TIdThread* listenerThread, TIdYarn* yarn) override;
  TIdIOHandler* MakeClientIOHandler(TIdYarn* yarn) override;
  // Deactivation: frees the context.
  void Shutdown() override;

  TIdSSLOptions& SSLOptions() { return fxSSLOptions; }
  TIdSSLContext* SSLContext() const { return fSSLContext.get(); }
  bool Asynchronous() const { return FAsynchronous; }
  void SetAsynchronous(bool value) { FAsynchronous = value; }
  int HandshakeTimeout() const { return FHandshakeTimeout; }
  void SetHandshakeTimeout(int value) { FHandshakeTimeout = value; }

  TCallbackEvent OnStatusInfo;
  TCallbackExEvent OnStatusInfoEx;
  TPasswordEvent OnGetPassword;
  TPasswordEventEx OnGetPasswordEx;
  TVerifyPeerEvent OnVerifyPeer;
  TALPNSelectEvent OnALPNSelect;

  std::string GetPassword(bool isWrite) override;
  void StatusInfo(const SSL* ssl, int where, int ret, const std::string& message) override;
  bool VerifyPeer(X509* certificate, bool ok, int depth, int error) override;

protected:
  TIdIOHandlerSocket* NewClientIOHandler() override { return new TIdSSLIOHandlerSocketOpenSSL(); }

private:
  TIdSSLOptions fxSSLOptions;
  std::unique_ptr<TIdSSLContext> fSSLContext;
  bool FAsynchronous = false;
  int FHandshakeTimeout = IdDefaultHandshakeTimeout;
};

}  // namespace zal
