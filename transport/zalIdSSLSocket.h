#pragma once
// TIdSSLSocket: one server TLS session over a memory BIO pair, with no socket
// inside. The driver feeds received ciphertext with FeedInput, advances the
// handshake with Handshake, reads and writes plaintext with Read and Write, and
// sends what TakeOutput hands it. Nothing here blocks, sleeps or waits; the
// caller serialises all calls (the connection's TLS lock).
#include <openssl/ssl.h>

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "support/zalIdTextEncoding.h"

namespace zal {

class TIdSSLContext;
class TIdServerIOHandlerSSLOpenSSL;

using TIdSSLALPNSelectHook = std::function<void(const std::vector<std::string>& aProtocols, std::string& aProtocol)>;

enum TIdTLSProgress : uint8_t {
  tlsDone,       // the handshake is complete
  tlsWantInput,  // more ciphertext from the peer is needed
};

// Read's result when no whole record has arrived yet.
constexpr int IdTLSWantInput = -1;

class TIdSSLSocket {
public:
  explicit TIdSSLSocket(TIdServerIOHandlerSSLOpenSSL* parent) : fParent(parent) {}
  ~TIdSSLSocket();
  TIdSSLSocket(const TIdSSLSocket&) = delete;
  TIdSSLSocket& operator=(const TIdSSLSocket&) = delete;

  // Creates the server session in `context` over two memory BIOs; raises
  // EIdOSSLCreatingSessionError or EIdOSSLDataBindingError.
  void Accept(TIdSSLContext& context);
  // One handshake step over the ciphertext fed so far; a failure raises
  // EIdOSSLAcceptError (or its underlying crypto error).
  TIdTLSProgress Handshake();
  bool HandshakeDone() const { return FHandshakeDone; }

  // Hands received ciphertext to the session.
  void FeedInput(std::span<const uint8_t> ciphertext);
  // Plaintext into `buffer`: the count, 0 for the peer's close_notify, or
  // IdTLSWantInput. A protocol failure raises EIdOpenSSLAPISSLError.
  int Read(uint8_t* buffer, int length);
  // Encrypts all of `plaintext` into the output.
  void Write(std::span<const uint8_t> plaintext);
  // Whether Read can deliver without more input: decrypted bytes wait, or
  // whole records fed earlier are still unread.
  bool HasBufferedInput() const;
  // Moves the ciphertext waiting to be sent to the end of `output`.
  void TakeOutput(TIdBytes& output);
  bool HasOutput() const;
  // Queues close_notify once; nothing after a fatal error or before the handshake ends.
  void Shutdown();
  // The peer sent close_notify or a fatal error happened.
  bool Finished() const { return FFatal || FPeerClosed; }

  // The protocol ALPN selected for this session, or "".
  std::string GetALPNProtocol() const;
  // The negotiated protocol name, such as "TLSv1.3".
  std::string GetSSLVersion() const;

  // Asks the ALPN hook; the ALPN callback calls it during the handshake.
  void SelectALPN(const std::vector<std::string>& protocols, std::string& selected) const;
  // Keeps the selected protocol alive for OpenSSL to point at.
  const std::string& KeepALPNProtocol(const std::string& protocol);

  SSL* Handle() const { return fSSL; }
  TIdServerIOHandlerSSLOpenSSL* Parent() const { return fParent; }
  TIdSSLALPNSelectHook FOnALPNSelect;

private:
  TIdServerIOHandlerSSLOpenSSL* fParent;
  SSL* fSSL = nullptr;
  BIO* FBioIn = nullptr;   // owned by fSSL
  BIO* FBioOut = nullptr;  // owned by fSSL
  std::string FALPNProtocol;
  bool FHandshakeDone = false;
  bool FFatal = false;
  bool FPeerClosed = false;
  bool FShutdownSent = false;
};

}  // namespace zal
