#include "transport/zalIdSSLSocket.h"

#include <openssl/err.h>

#include <climits>

#include "transport/zalIdSSLOpenSSL.h"

namespace zal {

namespace {

// A read or write that failed after the handshake.
class EIdOSSLReadWriteError : public EIdOpenSSLAPISSLError {
public:
  static constexpr const char* kMessage = "SSL read or write failed.";
  using EIdOpenSSLAPISSLError::EIdOpenSSLAPISSLError;
};

}  // namespace

TIdSSLSocket::~TIdSSLSocket() {
  if (fSSL)
    SSL_free(fSSL);  // frees both BIOs
}

void TIdSSLSocket::Accept(TIdSSLContext& context) {
  ERR_clear_error();
  fSSL = SSL_new(context.Context());
  if (!fSSL)
    throw EIdOSSLCreatingSessionError();
  if (SSL_set_app_data(fSSL, this) != 1)
    throw EIdOSSLDataBindingError();
  FBioIn = BIO_new(BIO_s_mem());
  FBioOut = BIO_new(BIO_s_mem());
  if (!FBioIn || !FBioOut) {
    BIO_free(FBioIn);
    BIO_free(FBioOut);
    FBioIn = FBioOut = nullptr;
    throw EIdOSSLCreatingSessionError();
  }
  // An empty input BIO asks for more instead of reporting end of file.
  BIO_set_mem_eof_return(FBioIn, -1);
  SSL_set_bio(fSSL, FBioIn, FBioOut);
  SSL_set_accept_state(fSSL);
}

TIdTLSProgress TIdSSLSocket::Handshake() {
  if (FHandshakeDone)
    return tlsDone;
  ERR_clear_error();
  const int ret = SSL_do_handshake(fSSL);
  if (ret == 1) {
    FHandshakeDone = true;
    return tlsDone;
  }
  const int error = SSL_get_error(fSSL, ret);
  if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE)
    return tlsWantInput;
  FFatal = true;
  RaiseOpenSSLAPISSLError<EIdOSSLAcceptError>(error, ret);
}

void TIdSSLSocket::FeedInput(std::span<const uint8_t> ciphertext) {
  while (!ciphertext.empty()) {
    const int chunk = static_cast<int>(std::min<size_t>(ciphertext.size(), INT_MAX));
    const int written = BIO_write(FBioIn, ciphertext.data(), chunk);
    if (written <= 0)
      throw EIdOSSLCreatingSessionError();  // a memory BIO fails only without memory
    ciphertext = ciphertext.subspan(static_cast<size_t>(written));
  }
}

int TIdSSLSocket::Read(uint8_t* buffer, int length) {
  if (FPeerClosed)
    return 0;
  ERR_clear_error();
  const int ret = SSL_read(fSSL, buffer, length);
  if (ret > 0)
    return ret;
  const int error = SSL_get_error(fSSL, ret);
  switch (error) {
    case SSL_ERROR_WANT_READ:
    case SSL_ERROR_WANT_WRITE:
      return IdTLSWantInput;
    case SSL_ERROR_ZERO_RETURN:
      FPeerClosed = true;
      return 0;
    default:
      FFatal = true;
      RaiseOpenSSLAPISSLError<EIdOSSLReadWriteError>(error, ret);
  }
}

void TIdSSLSocket::Write(std::span<const uint8_t> plaintext) {
  while (!plaintext.empty()) {
    ERR_clear_error();
    size_t written = 0;
    const int ret = SSL_write_ex(fSSL, plaintext.data(), plaintext.size(), &written);
    if (ret != 1) {
      FFatal = true;
      RaiseOpenSSLAPISSLError<EIdOSSLReadWriteError>(SSL_get_error(fSSL, ret), ret);
    }
    plaintext = plaintext.subspan(written);
  }
}

bool TIdSSLSocket::HasBufferedInput() const {
  return fSSL && (SSL_pending(fSSL) > 0 || BIO_ctrl_pending(FBioIn) > 0);
}

bool TIdSSLSocket::HasOutput() const { return FBioOut && BIO_ctrl_pending(FBioOut) > 0; }

void TIdSSLSocket::TakeOutput(TIdBytes& output) {
  const size_t pending = FBioOut ? BIO_ctrl_pending(FBioOut) : 0;
  if (pending == 0)
    return;
  const size_t start = output.size();
  output.resize(start + pending);
  const int read = BIO_read(FBioOut, output.data() + start, static_cast<int>(pending));
  output.resize(start + static_cast<size_t>(std::max(read, 0)));
}

void TIdSSLSocket::Shutdown() {
  if (!fSSL || FFatal || !FHandshakeDone || FShutdownSent)
    return;
  FShutdownSent = true;
  ERR_clear_error();
  SSL_shutdown(fSSL);  // queues close_notify; the peer's answer is not awaited
  ERR_clear_error();
}

std::string TIdSSLSocket::GetALPNProtocol() const {
  const unsigned char* data = nullptr;
  unsigned length = 0;
  if (fSSL)
    SSL_get0_alpn_selected(fSSL, &data, &length);
  return data ? std::string(reinterpret_cast<const char*>(data), length) : std::string();
}

std::string TIdSSLSocket::GetSSLVersion() const { return fSSL ? SSL_get_version(fSSL) : std::string(); }

void TIdSSLSocket::SelectALPN(const std::vector<std::string>& protocols, std::string& selected) const {
  if (FOnALPNSelect)
    FOnALPNSelect(protocols, selected);
}

const std::string& TIdSSLSocket::KeepALPNProtocol(const std::string& protocol) {
  FALPNProtocol = protocol;
  return FALPNProtocol;
}

}  // namespace zal
