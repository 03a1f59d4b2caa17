#include "transport/zalIdSSLIOHandler.h"

#include <sys/socket.h>
#include <sys/time.h>

#include <cassert>
#include <cerrno>
#include <chrono>

#include "transport/zalIdStack.h"

namespace zal {

namespace {

// Socket send and receive time-outs under TLS when the handler has no ReadTimeout.
constexpr int kDefaultTLSSocketTimeout = 30000;
// Plaintext encrypted per send, so the ciphertext waiting in memory stays small.
constexpr int kMaxPlaintextPerSend = 64 * 1024;
// Plaintext per send that must not wait: one record (RFC 8446 5.1).
constexpr int kMaxPlaintextPerRecord = 16384;

// Rounded up, so that a wait for it never ends before the deadline.
int MillisecondsLeft(std::chrono::steady_clock::time_point deadline) {
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
  return static_cast<int>(std::max<int64_t>(left.count(), 0));
}

}  // namespace

// ---- connection handler ----------------------------------------------------------

TIdSSLIOHandlerSocketOpenSSL::~TIdSSLIOHandlerSocketOpenSSL() {
  if (Opened() || BindingAllocated())
    Close();
}

void TIdSSLIOHandlerSocketOpenSSL::SetPassThrough(bool value) {
  if (value == fPassThrough)
    return;
  if (value)
    throw EIdException("TLS cannot be switched off on an open connection.");
  StartTLS();
}

void TIdSSLIOHandlerSocketOpenSSL::StartTLS() {
  BeginTLS();
  RunHandshake();
}

void TIdSSLIOHandlerSocketOpenSSL::BeginTLS() {
  if (!fSSLContext)
    throw EIdOSSLCouldNotLoadSSLLibrary();
  if (!BindingAllocated())
    throw EIdConnClosedGracefully();
  if (!fSSLSocket)
    fSSLSocket = std::make_unique<TIdSSLSocket>(FServer);
  const int timeoutMs = ReadTimeout() >= 1 ? ReadTimeout() : kDefaultTLSSocketTimeout;
  const timeval timeout{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
  Binding()->SetSockOpt(SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
  Binding()->SetSockOpt(SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof(timeout));
  {
    std::lock_guard tls(FTLSLock);
    fSSLSocket->Accept(*fSSLContext);
  }
  FHandshakeDeadline = FHandshakeTimeout > 0
                           ? std::chrono::steady_clock::now() + std::chrono::milliseconds(FHandshakeTimeout)
                           : std::chrono::steady_clock::time_point::max();
  FHandshaking = true;
}

void TIdSSLIOHandlerSocketOpenSSL::RunHandshake() {
  while (!HandshakeStep()) {
    const bool limited = FHandshakeDeadline != std::chrono::steady_clock::time_point::max();
    Binding()->Readable(limited ? MillisecondsLeft(FHandshakeDeadline) : -1);  // the next step judges the deadline
  }
}

// A state machine over what the socket holds: step the session, send what it
// wrote, take the ciphertext that has come, until it is done or has to wait.
bool TIdSSLIOHandlerSocketOpenSSL::HandshakeStep() {
  for (;;) {
    TIdTLSProgress progress;
    try {
      std::lock_guard tls(FTLSLock);
      progress = fSSLSocket->Handshake();
    } catch (...) {
      FlushOutput();  // the alert tells the client why
      throw;
    }
    if (const int sent = FlushOutput(); sent < 0)
      RaiseIdSocketError(-sent);
    if (progress == tlsDone) {
      FHandshaking = false;
      fPassThrough = false;
      return true;
    }
    const int received = ReceiveCiphertext();
    if (received == -Id_WSAEWOULDBLOCK) {
      if (std::chrono::steady_clock::now() >= FHandshakeDeadline)
        RaiseIdSocketError(Id_WSAETIMEDOUT);
      return false;
    }
    if (received <= 0 && Binding()->ClosedAfterWake())
      throw EIdConnClosedGracefully();  // closed by the server's stop, not by the peer
    if (received == 0)
      throw EIdOSSLAcceptError(std::string(EIdOSSLAcceptError::kMessage) + "\r\n" +
                                   SSLCallErrorDetail(SSL_ERROR_SYSCALL, 0),
                               SSL_ERROR_SYSCALL, 0);
    if (received < 0)
      RaiseIdSocketError(-received);
  }
}

int TIdSSLIOHandlerSocketOpenSSL::ReceiveCiphertext() {
  // Ciphertext passes through the thread's scratch block into the session: an
  // idle connection keeps no receive block of its own.
  thread_local TIdBytes scratch;
  scratch.resize(static_cast<size_t>(RecvBufferSize()));
  const int count = ReceiveNow(scratch.data(), static_cast<int>(scratch.size()));
  if (count > 0) {
    std::lock_guard tls(FTLSLock);
    fSSLSocket->FeedInput(std::span<const uint8_t>(scratch.data(), static_cast<size_t>(count)));
  }
  return count;
}

int TIdSSLIOHandlerSocketOpenSSL::SendCipherOut() {
  const uint8_t* bytes = FCipherOut.data();
  size_t left = FCipherOut.size();
  int result = 0;
  while (left > 0) {
    const int sent = TIdIOHandlerStack::SendRaw(bytes, static_cast<int>(std::min<size_t>(left, INT32_MAX)));
    if (sent <= 0) {
      // Part of a record may be on the wire: no close_notify can follow it.
      FCloseNotified = true;
      result = sent < 0 ? sent : -Id_WSAESHUTDOWN;
      break;
    }
    bytes += sent;
    left -= static_cast<size_t>(sent);
  }
  FCipherOut.clear();
  return result;
}

int TIdSSLIOHandlerSocketOpenSSL::FlushOutput() {
  std::lock_guard send(FSendLock);
  {
    std::lock_guard tls(FTLSLock);
    fSSLSocket->TakeOutput(FCipherOut);
  }
  return SendCipherOut();
}

int TIdSSLIOHandlerSocketOpenSSL::ReceiveRaw(uint8_t* buffer, int length) {
  if (fPassThrough)
    return TIdIOHandlerStack::ReceiveRaw(buffer, length);
  for (;;) {
    int count;
    bool output;
    {
      std::lock_guard tls(FTLSLock);
      count = fSSLSocket->Read(buffer, length);
      output = fSSLSocket->HasOutput();
    }
    // Reading may answer the peer (a key update, an alert).
    if (output) {
      if (const int sent = FlushOutput(); sent < 0)
        return sent;
    }
    if (count >= 0)
      return count;
    const int received = ReceiveCiphertext();
    // A peer that closes TCP without close_notify ends the connection all the
    // same; -Id_WSAEWOULDBLOCK makes the caller wait for the socket again.
    if (received <= 0)
      return received;
  }
}

int TIdSSLIOHandlerSocketOpenSSL::SendRaw(const uint8_t* bytes, int length) {
  if (fPassThrough)
    return TIdIOHandlerStack::SendRaw(bytes, length);
  const int chunk = std::min(length, kMaxPlaintextPerSend);
  std::lock_guard send(FSendLock);
  {
    std::lock_guard tls(FTLSLock);
    fSSLSocket->Write(std::span<const uint8_t>(bytes, static_cast<size_t>(chunk)));
    fSSLSocket->TakeOutput(FCipherOut);
  }
  const int sent = SendCipherOut();
  return sent < 0 ? sent : chunk;
}

int TIdSSLIOHandlerSocketOpenSSL::SendRawNow(const uint8_t* bytes, int length, bool more) {
  if (fPassThrough)
    return TIdIOHandlerStack::SendRawNow(bytes, length, more);
  std::lock_guard send(FSendLock);
  if (const int held = SendCipherOutNow(); held != 0)
    return held;  // the records of earlier sends go first
  const int chunk = std::min(length, kMaxPlaintextPerRecord);
  {
    std::lock_guard tls(FTLSLock);
    fSSLSocket->Write(std::span<const uint8_t>(bytes, static_cast<size_t>(chunk)));
    fSSLSocket->TakeOutput(FCipherOut);
  }
  const int sent = SendCipherOutNow();
  return sent == 0 || sent == -Id_WSAEWOULDBLOCK ? chunk : sent;
}

int TIdSSLIOHandlerSocketOpenSSL::SendHeldRaw() {
  if (fPassThrough)
    return 0;
  std::lock_guard send(FSendLock);
  return SendCipherOutNow();
}

int TIdSSLIOHandlerSocketOpenSSL::SendCipherOutNow() {
  size_t sent = 0;
  int result = 0;
  while (sent < FCipherOut.size()) {
    const int count = TIdIOHandlerStack::SendRawNow(
        FCipherOut.data() + sent, static_cast<int>(std::min<size_t>(FCipherOut.size() - sent, INT32_MAX)), false);
    if (count <= 0) {
      result = count < 0 ? count : -Id_WSAEWOULDBLOCK;
      break;
    }
    sent += static_cast<size_t>(count);
  }
  FSentWithoutWaiting += sent;
  FCipherOut.erase(FCipherOut.begin(), FCipherOut.begin() + static_cast<ptrdiff_t>(sent));
  if (result < 0 && result != -Id_WSAEWOULDBLOCK)
    FCloseNotified = true;  // part of a record may be on the wire: no close_notify can follow it
  return result;
}

bool TIdSSLIOHandlerSocketOpenSSL::Readable(int msec) {
  if (FHandshaking)
    return false;  // what the socket holds is the handshake's, taken by its steps
  return HasPendingInput() || TIdIOHandlerStack::Readable(msec);
}

bool TIdSSLIOHandlerSocketOpenSSL::HasPendingInput() {
  if (fPassThrough)
    return false;
  std::lock_guard tls(FTLSLock);
  return fSSLSocket->HasBufferedInput();
}

void TIdSSLIOHandlerSocketOpenSSL::Close() {
  SendCloseNotify();
  TIdIOHandlerStack::Close();
}

void TIdSSLIOHandlerSocketOpenSSL::SendCloseNotify() {
  if (!fPassThrough && fSSLSocket && !FCloseNotified.exchange(true)) {
    // close_notify goes out only when no send is under way (never into the
    // middle of another record) and without waiting for the peer.
    std::unique_lock send(FSendLock, std::try_to_lock);
    if (send.owns_lock()) {
      {
        std::lock_guard tls(FTLSLock);
        fSSLSocket->Shutdown();
        fSSLSocket->TakeOutput(FCipherOut);
      }
      if (const int handle = Binding()->Handle(); handle != TIdSocketHandle::InvalidHandle && !FCipherOut.empty())
        [[maybe_unused]] const ssize_t ignored =
            ::send(handle, FCipherOut.data(), FCipherOut.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
      FCipherOut.clear();
    }
  }
}

std::string TIdSSLIOHandlerSocketOpenSSL::GetALPNProtocol() {
  if (!fSSLSocket)
    return std::string();
  std::lock_guard tls(FTLSLock);
  return fSSLSocket->GetALPNProtocol();
}

std::string TIdSSLIOHandlerSocketOpenSSL::GetSSLVersion() {
  if (!fSSLSocket)
    return std::string();
  std::lock_guard tls(FTLSLock);
  return fSSLSocket->GetSSLVersion();
}

// ---- server handler ------------------------------------------------------------

TIdServerIOHandlerSSLOpenSSL::~TIdServerIOHandlerSSLOpenSSL() = default;

void TIdServerIOHandlerSSLOpenSSL::Init() {
  assert(!fSSLContext && "Init while a context exists");
  auto context = std::make_unique<TIdSSLContext>(this, fxSSLOptions, OnStatusInfo || OnStatusInfoEx,
                                                 static_cast<bool>(OnVerifyPeer));
  context->InitContext(sslCtxServer);
  fSSLContext = std::move(context);
}

void TIdServerIOHandlerSSLOpenSSL::Shutdown() { fSSLContext.reset(); }

TIdIOHandler* TIdServerIOHandlerSSLOpenSSL::Accept(TIdSocketHandle* listenBinding, TIdThread* listenerThread,
                                                   TIdYarn* yarn) {
  assert(fSSLContext && "Accept without a context");
  auto* handler = static_cast<TIdSSLIOHandlerSocketOpenSSL*>(
      TIdServerIOHandlerSSLBase::Accept(listenBinding, listenerThread, yarn));
  if (!handler)
    return nullptr;
  handler->fIsPeer = true;
  handler->FServer = this;
  handler->fSSLContext = fSSLContext.get();
  handler->FHandshakeTimeout = FHandshakeTimeout;
  handler->fSSLSocket = std::make_unique<TIdSSLSocket>(this);
  handler->fSSLSocket->FOnALPNSelect = [this](const std::vector<std::string>& protocols, std::string& protocol) {
    if (OnALPNSelect)
      OnALPNSelect(this, protocols, protocol);
  };
  return handler;
}

TIdIOHandler* TIdServerIOHandlerSSLOpenSSL::MakeClientIOHandler(TIdYarn*) {
  return new TIdSSLIOHandlerSocketOpenSSL();
}

std::string TIdServerIOHandlerSSLOpenSSL::GetPassword(bool isWrite) {
  std::string password;
  if (OnGetPasswordEx)
    OnGetPasswordEx(this, password, isWrite);
  if (password.empty() && OnGetPassword)
    OnGetPassword(password);
  return password;
}

void TIdServerIOHandlerSSLOpenSSL::StatusInfo(const SSL* ssl, int where, int ret, const std::string& message) {
  if (OnStatusInfo)
    OnStatusInfo(message);
  if (OnStatusInfoEx)
    OnStatusInfoEx(this, ssl, where, ret, SSL_state_string(ssl), message);
}

bool TIdServerIOHandlerSSLOpenSSL::VerifyPeer(X509* certificate, bool ok, int depth, int error) {
  return OnVerifyPeer ? OnVerifyPeer(certificate, ok, depth, error) : true;
}

}  // namespace zal
