#pragma once
// TLS through OpenSSL: the options, the server context with its password,
// verify, status and ALPN callbacks, and the exceptions of the TLS layer.
// Sessions are in zalIdSSLSocket, the connection and server I/O handlers in
// zalIdSSLIOHandler.
#include <openssl/err.h>
#include <openssl/ssl.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "support/zalIdException.h"

namespace zal {

enum TIdSSLVersion : uint8_t {
  sslvSSLv2,
  sslvSSLv23,
  sslvSSLv3,
  sslvTLSv1,
  sslvTLSv1_1,
  sslvTLSv1_2,
  sslvTLSv1_3
};
enum TIdSSLMode : uint8_t { sslmUnassigned, sslmClient, sslmServer, sslmBoth };
// Set bit values 1, 2 and 4 are OpenSSL's SSL_VERIFY_PEER, _FAIL_IF_NO_PEER_CERT, _CLIENT_ONCE.
enum TIdSSLVerifyMode : uint8_t { sslvrfPeer, sslvrfFailIfNoPeerCert, sslvrfClientOnce };
enum TIdSSLCtxMode : uint8_t { sslCtxClient, sslCtxServer };

// A set of TIdSSLVersion: bit n stands for version n.
using TIdSSLVersions = uint8_t;
// A set of TIdSSLVerifyMode: bit n stands for mode n.
using TIdSSLVerifyModeSet = uint8_t;

constexpr TIdSSLVersions SSLVersionBit(TIdSSLVersion version) { return static_cast<TIdSSLVersions>(1u << version); }
constexpr TIdSSLVerifyModeSet VerifyModeBit(TIdSSLVerifyMode mode) {
  return static_cast<TIdSSLVerifyModeSet>(1u << mode);
}
// Every version but the negotiating sslvSSLv23 itself.
constexpr TIdSSLVersions kIdAllSSLVersions =
    SSLVersionBit(sslvSSLv2) | SSLVersionBit(sslvSSLv3) | SSLVersionBit(sslvTLSv1) | SSLVersionBit(sslvTLSv1_1) |
    SSLVersionBit(sslvTLSv1_2) | SSLVersionBit(sslvTLSv1_3);

class TIdSSLOptions {
public:
  const std::string& RootCertFile() const { return fsRootCertFile; }
  void SetRootCertFile(const std::string& value) { fsRootCertFile = value; }
  const std::string& CertFile() const { return fsCertFile; }
  void SetCertFile(const std::string& value) { fsCertFile = value; }
  const std::string& KeyFile() const { return fsKeyFile; }
  void SetKeyFile(const std::string& value) { fsKeyFile = value; }
  const std::string& DHParamsFile() const { return fsDHParamsFile; }
  void SetDHParamsFile(const std::string& value) { fsDHParamsFile = value; }
  TIdSSLVersion Method() const { return fMethod; }
  // One version; sslvSSLv23 stands for every version.
  void SetMethod(TIdSSLVersion value);
  TIdSSLVersions SSLVersions() const { return fSSLVersions; }
  // One version also becomes the Method; any other set makes the Method sslvSSLv23.
  void SetSSLVersions(TIdSSLVersions value);
  TIdSSLMode Mode() const { return fMode; }
  void SetMode(TIdSSLMode value) { fMode = value; }
  int VerifyDepth() const { return fVerifyDepth; }
  void SetVerifyDepth(int value) { fVerifyDepth = value; }
  TIdSSLVerifyModeSet VerifyMode() const { return fVerifyMode; }
  void SetVerifyMode(TIdSSLVerifyModeSet value) { fVerifyMode = value; }
  const std::string& VerifyDirs() const { return fVerifyDirs; }
  void SetVerifyDirs(const std::string& value) { fVerifyDirs = value; }
  const std::string& CipherList() const { return fCipherList; }
  void SetCipherList(const std::string& value) { fCipherList = value; }

private:
  std::string fsRootCertFile;
  std::string fsCertFile;
  std::string fsKeyFile;
  std::string fsDHParamsFile;
  TIdSSLVersion fMethod = sslvTLSv1;
  TIdSSLVersions fSSLVersions = SSLVersionBit(sslvTLSv1);
  TIdSSLMode fMode = sslmUnassigned;
  int fVerifyDepth = 0;
  TIdSSLVerifyModeSet fVerifyMode = 0;
  std::string fVerifyDirs;
  std::string fCipherList;
};

// ---- exceptions ------------------------------------------------------------------

class EIdOpenSSLError : public EIdException {
public:
  using EIdException::EIdException;
};

// A failed SSL call: the SSL_get_error code and the call's return value.
class EIdOpenSSLAPISSLError : public EIdOpenSSLError {
public:
  EIdOpenSSLAPISSLError(const std::string& message, int errorCode, int retCode)
      : EIdOpenSSLError(message), FErrorCode(errorCode), FRetCode(retCode) {}
  int ErrorCode() const { return FErrorCode; }
  int RetCode() const { return FRetCode; }

private:
  int FErrorCode;
  int FRetCode;
};

// A failed library call: the code of the OpenSSL error-queue entry.
class EIdOpenSSLAPICryptoError : public EIdOpenSSLError {
public:
  EIdOpenSSLAPICryptoError(const std::string& message, unsigned long errorCode)
      : EIdOpenSSLError(message), FErrorCode(errorCode) {}
  unsigned long ErrorCode() const { return FErrorCode; }

private:
  unsigned long FErrorCode;
};

class EIdOSSLUnderlyingCryptoError : public EIdOpenSSLAPISSLError {
public:
  using EIdOpenSSLAPISSLError::EIdOpenSSLAPISSLError;
};

class EIdOSSLAcceptError : public EIdOpenSSLAPISSLError {
public:
  static constexpr const char* kMessage = "Error accepting connection with SSL.";
  using EIdOpenSSLAPISSLError::EIdOpenSSLAPISSLError;
};

// A message text as a template argument, so each exception of the failure
// table is a type of its own that carries its text.
template <size_t N>
struct TIdFixedMessage {
  char Text[N];
  constexpr TIdFixedMessage(const char (&text)[N]) { std::copy_n(text, N, Text); }
};

// A failure with a fixed message.
template <TIdFixedMessage aText>
class EIdOSSLFixedError : public EIdOpenSSLError {
public:
  EIdOSSLFixedError() : EIdOpenSSLError(aText.Text) {}
};
using EIdOSSLCouldNotLoadSSLLibrary = EIdOSSLFixedError<"Could not load SSL library.">;
using EIdOSSLModeNotSet = EIdOSSLFixedError<"Mode has not been set.">;
using EIdOSSLGetMethodError = EIdOSSLFixedError<"Error getting SSL method.">;
using EIdOSSLSettingCipherError = EIdOSSLFixedError<"SetCipher failed.">;
using EIdOSSLCreatingSessionError = EIdOSSLFixedError<"Error creating SSL session.">;
using EIdOSSLDataBindingError = EIdOSSLFixedError<"Error binding data to SSL socket.">;
using EIdOSSLFDSetError = EIdOSSLFixedError<"Error setting File Descriptor for SSL">;

// Context errors carry the message, CR LF and the first OpenSSL error-queue text.
template <TIdFixedMessage aText>
class EIdOSSLContextError : public EIdOpenSSLAPICryptoError {
public:
  static constexpr const char* kMessage = aText.Text;
  using EIdOpenSSLAPICryptoError::EIdOpenSSLAPICryptoError;
};
using EIdOSSLCreatingContextError = EIdOSSLContextError<"Error creating SSL context.">;
using EIdOSSLLoadingRootCertError = EIdOSSLContextError<"Could not load root certificate.">;
using EIdOSSLLoadingCertError = EIdOSSLContextError<"Could not load certificate.">;
using EIdOSSLLoadingKeyError = EIdOSSLContextError<"Could not load key, check password.">;
using EIdOSSLLoadingDHParamsError = EIdOSSLContextError<"Could not load DH Parameters.">;

// The text of an OpenSSL error-queue code (at most 160 characters). OpenSSL 3's
// "unexpected eof while reading" reads as "EOF was observed that violates the protocol".
std::string OpenSSLErrorText(unsigned long code);

// Raises E with its message, CR LF and the text of the first error-queue entry.
template <typename E>
[[noreturn]] void RaiseOpenSSLCryptoError() {
  const unsigned long code = ERR_get_error();
  ERR_clear_error();
  throw E(std::string(E::kMessage) + "\r\n" + OpenSSLErrorText(code), code);
}

// The detail text of a failed SSL call (SSL_get_error code `errorCode`, return
// value `ret`): an error-queue entry when there is one, else the text for the code.
std::string SSLCallErrorDetail(int errorCode, int ret);
// Raises the socket error of a failed system call under OpenSSL.
[[noreturn]] void RaiseSSLSyscallSocketError();

// Raises E for a failed SSL call: an EIdOSSLUnderlyingCryptoError when the error
// queue explains it, E for an EOF against the protocol, the socket error for a
// failed system call, and E with the text for the code otherwise.
template <typename E>
[[noreturn]] void RaiseOpenSSLAPISSLError(int errorCode, int ret) {
  const bool queued = ERR_peek_error() != 0;
  const std::string message = std::string(E::kMessage) + "\r\n" + SSLCallErrorDetail(errorCode, ret);
  if ((errorCode == SSL_ERROR_SSL || errorCode == SSL_ERROR_SYSCALL) && queued)
    throw EIdOSSLUnderlyingCryptoError(message, errorCode, ret);
  if (errorCode == SSL_ERROR_SYSCALL && ret != 0)
    RaiseSSLSyscallSocketError();
  throw E(message, errorCode, ret);
}

// ---- the context -------------------------------------------------------------------

class TIdSSLSocket;

// What a context asks of the I/O handler that made it.
class IIdSSLOpenSSLCallbackHelper {
public:
  virtual ~IIdSSLOpenSSLCallbackHelper() = default;
  virtual std::string GetPassword(bool isWrite) = 0;
  virtual void StatusInfo(const SSL* ssl, int where, int ret, const std::string& message) = 0;
  virtual bool VerifyPeer(X509* certificate, bool ok, int depth, int error) = 0;
};

// One OpenSSL SSL_CTX built from a copy of the options.
class TIdSSLContext {
public:
  TIdSSLContext(IIdSSLOpenSSLCallbackHelper* parent, const TIdSSLOptions& options, bool statusInfoOn,
                bool verifyOn);
  ~TIdSSLContext();
  TIdSSLContext(const TIdSSLContext&) = delete;
  TIdSSLContext& operator=(const TIdSSLContext&) = delete;

  // Builds the SSL_CTX; raises the context errors.
  void InitContext(TIdSSLCtxMode ctxMode);
  SSL_CTX* Context() const { return fContext; }
  IIdSSLOpenSSLCallbackHelper* Parent() const { return FParent; }
  TIdSSLMode Mode() const { return fMode; }
  int VerifyDepth() const { return fVerifyDepth; }

private:
  void SetProtocolVersions();
  void LoadRootCertificates();
  void LoadCertificate();
  void LoadKey();
  void LoadDHParams();
  void InstallCallbacks();

  IIdSSLOpenSSLCallbackHelper* FParent;
  TIdSSLVersion fMethod;
  TIdSSLVersions fSSLVersions;
  TIdSSLMode fMode;
  std::string fsRootCertFile;
  std::string fsCertFile;
  std::string fsKeyFile;
  std::string fsDHParamsFile;
  int fVerifyDepth;
  TIdSSLVerifyModeSet fVerifyMode;
  std::string fVerifyDirs;
  std::string fCipherList;
  SSL_CTX* fContext = nullptr;
  bool fStatusInfoOn;
  bool fVerifyOn;
  int32_t fSessionId = 1;
  TIdSSLCtxMode fCtxMode = sslCtxServer;
};

// Parses a TLS ALPN protocol list (RFC 7301 3.1: each name is a one-octet length
// and that many octets). Stops at a zero length; a name that runs past the end
// makes the whole list invalid (empty result).
std::vector<std::string> ParseALPNProtocolList(const unsigned char* in, unsigned inlen);

}  // namespace zal
