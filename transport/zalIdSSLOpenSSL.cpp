#include "transport/zalIdSSLOpenSSL.h"

#include <openssl/pem.h>
#include <openssl/pkcs12.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <mutex>

#include "support/zalIdTextEncoding.h"
#include "transport/zalIdSSLSocket.h"
#include "transport/zalIdStack.h"

namespace zal {

namespace {

constexpr size_t kErrorTextSize = 160;
constexpr const char* kEOFAgainstProtocol = "EOF was observed that violates the protocol";
// PKCS#12 pass phrases are asked into a buffer of this size (at most 128 characters).
constexpr int kPKCS12PasswordBuffer = 129;

// The info, password and verify callbacks each run under their own process-wide lock.
std::mutex& InfoLock() {
  static std::mutex lock;
  return lock;
}
std::mutex& PasswordLock() {
  static std::mutex lock;
  return lock;
}
std::mutex& VerifyLock() {
  static std::mutex lock;
  return lock;
}

// Keeps the calling thread's errno across a callback, so the callback never
// changes the error a read or write is about to inspect.
struct KeepErrno {
  int saved = errno;
  ~KeepErrno() { errno = saved; }
};

struct BIODeleter {
  void operator()(BIO* bio) const { BIO_free(bio); }
};
using BIOPtr = std::unique_ptr<BIO, BIODeleter>;

// The whole file in a memory BIO; nullptr with a system-library error queued
// when it cannot be read.
BIOPtr FileAsMemoryBIO(const std::string& fileName, std::string& storage) {
  std::ifstream file(fileName, std::ios::binary);
  if (!file) {
    ERR_raise_data(ERR_LIB_SYS, errno ? errno : ENOENT, "calling fopen(%s, r)", fileName.c_str());
    return nullptr;
  }
  storage.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
  return BIOPtr(BIO_new_mem_buf(storage.data(), static_cast<int>(storage.size())));
}

bool IsPKCS12File(const std::string& fileName) {
  const size_t dot = fileName.rfind('.');
  if (dot == std::string::npos)
    return false;
  std::string extension = fileName.substr(dot);
  std::transform(extension.begin(), extension.end(), extension.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return extension == ".p12" || extension == ".pfx";
}

// ---- OpenSSL callbacks -----------------------------------------------------------

int PasswordCallback(char* buffer, int size, int rwflag, void* userdata) {
  KeepErrno keepErrno;
  if (!buffer || size <= 0)
    return 0;
  std::memset(buffer, 0, static_cast<size_t>(size));
  auto* context = static_cast<TIdSSLContext*>(userdata);
  std::string password;
  {
    std::lock_guard lock(PasswordLock());
    password = context->Parent()->GetPassword(rwflag > 0);
  }
  const TIdBytes octets = IdTextEncoding(tek8Bit).GetBytes(password);
  // Room stays for the terminating zero: at most size - 1 octets are copied.
  const int length = std::min(static_cast<int>(octets.size()), size - 1);
  std::memcpy(buffer, octets.data(), static_cast<size_t>(length));
  buffer[size - 1] = 0;
  return length;
}

void InfoCallback(const SSL* ssl, int where, int ret) {
  KeepErrno keepErrno;
  auto* context = static_cast<TIdSSLContext*>(SSL_CTX_get_app_data(SSL_get_SSL_CTX(ssl)));
  if (!context)
    return;
  std::lock_guard lock(InfoLock());
  context->Parent()->StatusInfo(ssl, where, ret,
                                std::string("SSL status: \"") + SSL_state_string_long(ssl) + "\"");
}

int VerifyCallback(int ok, X509_STORE_CTX* store) {
  KeepErrno keepErrno;
  auto* ssl = static_cast<SSL*>(X509_STORE_CTX_get_ex_data(store, SSL_get_ex_data_X509_STORE_CTX_idx()));
  if (!ssl || !SSL_get_app_data(ssl))
    return ok;
  auto* context = static_cast<TIdSSLContext*>(SSL_CTX_get_app_data(SSL_get_SSL_CTX(ssl)));
  if (!context)
    return ok;
  std::lock_guard lock(VerifyLock());
  const int depth = X509_STORE_CTX_get_error_depth(store);
  const bool verdict = ok >= 1 && depth <= context->VerifyDepth();
  try {
    return context->Parent()->VerifyPeer(X509_STORE_CTX_get_current_cert(store), verdict, depth,
                                         X509_STORE_CTX_get_error(store))
               ? 1
               : 0;
  } catch (...) {
    return 0;
  }
}

// RFC 9113 9.2: HTTP/2 only over TLS 1.2 or later, and over TLS 1.2 only with an
// ephemeral key exchange and an AEAD cipher (9.2.2: every other suite is on the
// block list). OpenSSL chooses the cipher before it asks for ALPN.
bool HTTP2Allowed(SSL* ssl) {
  if (SSL_version(ssl) < TLS1_2_VERSION)
    return false;
  if (SSL_version(ssl) >= TLS1_3_VERSION)
    return true;
  const SSL_CIPHER* cipher = SSL_get_pending_cipher(ssl);
  if (cipher == nullptr || SSL_CIPHER_is_aead(cipher) == 0)
    return false;
  const int exchange = SSL_CIPHER_get_kx_nid(cipher);
  return exchange == NID_kx_ecdhe || exchange == NID_kx_dhe;
}

// RFC 7301 3.2: the server answers only with a protocol the client offered, and
// otherwise sends no ALPN answer. An "h2" that TLS does not allow here becomes
// "http/1.1" when the client offered that.
int ALPNSelectCallback(SSL* ssl, const unsigned char** out, unsigned char* outlen, const unsigned char* in,
                       unsigned inlen, void*) {
  *outlen = 0;
  auto* socket = static_cast<TIdSSLSocket*>(SSL_get_app_data(ssl));
  if (!socket || inlen == 0)
    return SSL_TLSEXT_ERR_NOACK;
  const std::vector<std::string> offered = ParseALPNProtocolList(in, inlen);
  if (offered.empty())
    return SSL_TLSEXT_ERR_NOACK;
  std::string selected;
  try {
    socket->SelectALPN(offered, selected);
  } catch (...) {
    return SSL_TLSEXT_ERR_NOACK;
  }
  if (selected.empty() || std::find(offered.begin(), offered.end(), selected) == offered.end())
    return SSL_TLSEXT_ERR_NOACK;
  if (selected == "h2" && !HTTP2Allowed(ssl))
    selected = std::find(offered.begin(), offered.end(), "http/1.1") != offered.end() ? "http/1.1" : "";
  if (selected.empty())
    return SSL_TLSEXT_ERR_NOACK;
  const std::string& kept = socket->KeepALPNProtocol(selected);
  *out = reinterpret_cast<const unsigned char*>(kept.data());
  *outlen = static_cast<unsigned char>(kept.size());
  return SSL_TLSEXT_ERR_OK;
}

// The protocol version number of a TIdSSLVersion (SSLv2 is long gone: SSLv3's).
int ProtocolVersionOf(TIdSSLVersion version) {
  switch (version) {
    case sslvTLSv1: return TLS1_VERSION;
    case sslvTLSv1_1: return TLS1_1_VERSION;
    case sslvTLSv1_2: return TLS1_2_VERSION;
    case sslvTLSv1_3: return TLS1_3_VERSION;
    default: return SSL3_VERSION;
  }
}

uint64_t ExclusionOptionOf(TIdSSLVersion version) {
  switch (version) {
    case sslvTLSv1: return SSL_OP_NO_TLSv1;
    case sslvTLSv1_1: return SSL_OP_NO_TLSv1_1;
    case sslvTLSv1_2: return SSL_OP_NO_TLSv1_2;
    case sslvTLSv1_3: return SSL_OP_NO_TLSv1_3;
    default: return SSL_OP_NO_SSLv3;
  }
}

}  // namespace

std::string OpenSSLErrorText(unsigned long code) {
  if (ERR_GET_LIB(code) == ERR_LIB_SSL && ERR_GET_REASON(code) == SSL_R_UNEXPECTED_EOF_WHILE_READING)
    return kEOFAgainstProtocol;
  OPENSSL_init_ssl(OPENSSL_INIT_LOAD_SSL_STRINGS | OPENSSL_INIT_LOAD_CRYPTO_STRINGS, nullptr);
  char text[kErrorTextSize + 1] = {};
  ERR_error_string_n(code, text, sizeof(text));
  return text;
}

std::string SSLCallErrorDetail(int errorCode, int ret) {
  if (errorCode == SSL_ERROR_SSL || errorCode == SSL_ERROR_SYSCALL) {
    if (const unsigned long queued = ERR_get_error(); queued != 0) {
      ERR_clear_error();
      return OpenSSLErrorText(queued);
    }
    if (errorCode == SSL_ERROR_SYSCALL && ret == 0)
      return kEOFAgainstProtocol;
  }
  return OpenSSLErrorText(static_cast<unsigned long>(errorCode));
}

void RaiseSSLSyscallSocketError() {
  RaiseIdSocketError(errno != 0 ? IdSocketErrorFromErrno(errno) : Id_WSAECONNABORTED);
}

std::vector<std::string> ParseALPNProtocolList(const unsigned char* in, unsigned inlen) {
  std::vector<std::string> protocols;
  unsigned position = 0;
  while (position < inlen) {
    const unsigned length = in[position++];
    if (length == 0)
      break;
    if (length > inlen - position)
      return {};
    protocols.emplace_back(reinterpret_cast<const char*>(in + position), length);
    position += length;
  }
  return protocols;
}

// ---- options -----------------------------------------------------------------------

void TIdSSLOptions::SetMethod(TIdSSLVersion value) {
  fMethod = value;
  fSSLVersions = value == sslvSSLv23 ? kIdAllSSLVersions : SSLVersionBit(value);
}

void TIdSSLOptions::SetSSLVersions(TIdSSLVersions value) {
  value &= static_cast<TIdSSLVersions>(~SSLVersionBit(sslvSSLv23));
  if (value == 0)
    value = kIdAllSSLVersions;
  fSSLVersions = value;
  // A single version is its own method; a set of several negotiates.
  fMethod = sslvSSLv23;
  for (int v = sslvSSLv2; v <= sslvTLSv1_3; ++v) {
    if (value == SSLVersionBit(static_cast<TIdSSLVersion>(v)))
      fMethod = static_cast<TIdSSLVersion>(v);
  }
}

// ---- context -----------------------------------------------------------------------

TIdSSLContext::TIdSSLContext(IIdSSLOpenSSLCallbackHelper* parent, const TIdSSLOptions& options, bool statusInfoOn,
                             bool verifyOn)
    : FParent(parent),
      fMethod(options.Method()),
      fSSLVersions(options.SSLVersions()),
      fMode(options.Mode()),
      fsRootCertFile(options.RootCertFile()),
      fsCertFile(options.CertFile()),
      fsKeyFile(options.KeyFile()),
      fsDHParamsFile(options.DHParamsFile()),
      fVerifyDepth(options.VerifyDepth()),
      fVerifyMode(options.VerifyMode()),
      fVerifyDirs(options.VerifyDirs()),
      fCipherList(options.CipherList()),
      fStatusInfoOn(statusInfoOn),
      fVerifyOn(verifyOn) {
  if (OPENSSL_init_ssl(OPENSSL_INIT_LOAD_SSL_STRINGS | OPENSSL_INIT_LOAD_CRYPTO_STRINGS, nullptr) != 1)
    throw EIdOSSLCouldNotLoadSSLLibrary();
}

TIdSSLContext::~TIdSSLContext() {
  if (fContext)
    SSL_CTX_free(fContext);
}

void TIdSSLContext::InitContext(TIdSSLCtxMode ctxMode) {
  fCtxMode = ctxMode;
  if (fMode == sslmUnassigned)
    fMode = ctxMode == sslCtxServer ? sslmServer : sslmClient;
  ERR_clear_error();
  fContext = SSL_CTX_new(ctxMode == sslCtxServer ? TLS_server_method() : TLS_client_method());
  if (!fContext)
    RaiseOpenSSLCryptoError<EIdOSSLCreatingContextError>();
  SSL_CTX_set_app_data(fContext, this);
  SetProtocolVersions();
  // Renegotiation is a resource a peer can make us spend; HTTP/2 forbids it (RFC 9113 9.2.1).
  SSL_CTX_set_options(fContext, SSL_OP_NO_RENEGOTIATION);
  // A session between records gives its record buffers back: an idle
  // connection holds no TLS buffer of its own.
  SSL_CTX_set_mode(fContext, SSL_MODE_AUTO_RETRY | SSL_MODE_RELEASE_BUFFERS);
  SSL_CTX_set_default_passwd_cb(fContext, PasswordCallback);
  SSL_CTX_set_default_passwd_cb_userdata(fContext, this);
  SSL_CTX_set_default_verify_paths(fContext);
  LoadRootCertificates();
  LoadCertificate();
  LoadKey();
  LoadDHParams();
  InstallCallbacks();
}

// Minimum and maximum from the set; a version inside that range but outside
// the set is excluded by its option.
void TIdSSLContext::SetProtocolVersions() {
  int lowest = 0;
  int highest = 0;
  uint64_t exclusions = 0;
  for (int v = sslvSSLv2; v <= sslvTLSv1_3; ++v) {
    const auto version = static_cast<TIdSSLVersion>(v);
    if (version == sslvSSLv23 || !(fSSLVersions & SSLVersionBit(version)))
      continue;
    const int number = ProtocolVersionOf(version);
    lowest = lowest == 0 ? number : std::min(lowest, number);
    highest = std::max(highest, number);
  }
  for (int v = sslvSSLv3; v <= sslvTLSv1_3; ++v) {
    const auto version = static_cast<TIdSSLVersion>(v);
    const int number = ProtocolVersionOf(version);
    if (number > lowest && number < highest && !(fSSLVersions & SSLVersionBit(version)))
      exclusions |= ExclusionOptionOf(version);
  }
  if (SSL_CTX_set_min_proto_version(fContext, lowest) != 1 ||
      SSL_CTX_set_max_proto_version(fContext, highest) != 1)
    RaiseOpenSSLCryptoError<EIdOSSLCreatingContextError>();
  SSL_CTX_set_options(fContext, exclusions);
}

void TIdSSLContext::LoadRootCertificates() {
  if (fsRootCertFile.empty() && fVerifyDirs.empty())
    return;
  X509_STORE* store = SSL_CTX_get_cert_store(fContext);
  X509_LOOKUP* lookup = store ? X509_STORE_add_lookup(store, X509_LOOKUP_file()) : nullptr;
  const char* file = fsRootCertFile.empty() ? nullptr : fsRootCertFile.c_str();
  // An empty directory is no directory.
  const char* dirs = fVerifyDirs.empty() ? nullptr : fVerifyDirs.c_str();
  if (!lookup || X509_STORE_load_locations(store, file, dirs) != 1)
    RaiseOpenSSLCryptoError<EIdOSSLLoadingRootCertError>();
}

void TIdSSLContext::LoadCertificate() {
  if (fsCertFile.empty())
    return;
  std::string data;
  BIOPtr bio = FileAsMemoryBIO(fsCertFile, data);
  if (!bio)
    RaiseOpenSSLCryptoError<EIdOSSLLoadingCertError>();
  if (IsPKCS12File(fsCertFile)) {
    PKCS12* pkcs12 = d2i_PKCS12_bio(bio.get(), nullptr);
    char password[kPKCS12PasswordBuffer];
    PasswordCallback(password, sizeof(password), 0, this);
    X509* certificate = nullptr;
    const bool parsed = pkcs12 && PKCS12_parse(pkcs12, password, nullptr, &certificate, nullptr) == 1;
    OPENSSL_cleanse(password, sizeof(password));
    PKCS12_free(pkcs12);
    const bool used = parsed && SSL_CTX_use_certificate(fContext, certificate) == 1;
    X509_free(certificate);
    if (!used)
      RaiseOpenSSLCryptoError<EIdOSSLLoadingCertError>();
    return;
  }
  X509* certificate = PEM_read_bio_X509_AUX(bio.get(), nullptr, nullptr, nullptr);
  const bool used = certificate && SSL_CTX_use_certificate(fContext, certificate) == 1;
  X509_free(certificate);
  if (!used)
    RaiseOpenSSLCryptoError<EIdOSSLLoadingCertError>();
  // The rest of the file is the chain; running out of certificates ends it.
  SSL_CTX_clear_chain_certs(fContext);
  while (X509* next = PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr)) {
    if (SSL_CTX_add0_chain_cert(fContext, next) != 1) {
      X509_free(next);
      RaiseOpenSSLCryptoError<EIdOSSLLoadingCertError>();
    }
  }
  const unsigned long last = ERR_peek_last_error();
  if (ERR_GET_LIB(last) == ERR_LIB_PEM && ERR_GET_REASON(last) == PEM_R_NO_START_LINE)
    ERR_clear_error();
  else if (last != 0)
    RaiseOpenSSLCryptoError<EIdOSSLLoadingCertError>();
}

// A certificate without a matching key would fail every handshake: it fails
// activation instead, also when no key file is named.
void TIdSSLContext::LoadKey() {
  if (fsKeyFile.empty()) {
    if (!fsCertFile.empty() && SSL_CTX_check_private_key(fContext) != 1)
      RaiseOpenSSLCryptoError<EIdOSSLLoadingKeyError>();
    return;
  }
  std::string data;
  BIOPtr bio = FileAsMemoryBIO(fsKeyFile, data);
  if (!bio)
    RaiseOpenSSLCryptoError<EIdOSSLLoadingKeyError>();
  EVP_PKEY* key = nullptr;
  if (IsPKCS12File(fsKeyFile)) {
    PKCS12* pkcs12 = d2i_PKCS12_bio(bio.get(), nullptr);
    char password[kPKCS12PasswordBuffer];
    PasswordCallback(password, sizeof(password), 0, this);
    if (pkcs12)
      PKCS12_parse(pkcs12, password, &key, nullptr, nullptr);
    OPENSSL_cleanse(password, sizeof(password));
    PKCS12_free(pkcs12);
  } else {
    key = PEM_read_bio_PrivateKey(bio.get(), nullptr, PasswordCallback, this);
  }
  const bool used = key && SSL_CTX_use_PrivateKey(fContext, key) == 1;
  EVP_PKEY_free(key);
  if (!used || SSL_CTX_check_private_key(fContext) != 1)
    RaiseOpenSSLCryptoError<EIdOSSLLoadingKeyError>();
}

void TIdSSLContext::LoadDHParams() {
  if (fsDHParamsFile.empty())
    return;
  std::string data;
  BIOPtr bio = FileAsMemoryBIO(fsDHParamsFile, data);
  EVP_PKEY* parameters = bio ? PEM_read_bio_Parameters(bio.get(), nullptr) : nullptr;
  if (!parameters || SSL_CTX_set0_tmp_dh_pkey(fContext, parameters) != 1) {
    EVP_PKEY_free(parameters);
    RaiseOpenSSLCryptoError<EIdOSSLLoadingDHParamsError>();
  }
}

void TIdSSLContext::InstallCallbacks() {
  if (fStatusInfoOn)
    SSL_CTX_set_info_callback(fContext, InfoCallback);
  if (!fCipherList.empty()) {
    const TIdBytes list = IdTextEncoding(tek8Bit).GetBytes(fCipherList);
    const std::string text(list.begin(), list.end());
    if (SSL_CTX_set_cipher_list(fContext, text.c_str()) < 1) {
      ERR_clear_error();
      throw EIdOSSLSettingCipherError();
    }
  }
  if (fVerifyMode != 0) {
    SSL_CTX_set_verify(fContext, fVerifyMode, fVerifyOn ? VerifyCallback : nullptr);
    SSL_CTX_set_verify_depth(fContext, fVerifyDepth);
  }
  unsigned char sessionId[4];
  for (int i = 0; i < 4; ++i)
    sessionId[i] = static_cast<unsigned char>(static_cast<uint32_t>(fSessionId) >> (8 * i));
  SSL_CTX_set_session_id_context(fContext, sessionId, sizeof(sessionId));
  if (!fsRootCertFile.empty()) {
    if (STACK_OF(X509_NAME)* names = SSL_load_client_CA_file(fsRootCertFile.c_str()))
      SSL_CTX_set_client_CA_list(fContext, names);
    ERR_clear_error();
  }
  SSL_CTX_set_alpn_select_cb(fContext, ALPNSelectCallback, this);
}

}  // namespace zal
