#include "common/zalTestTLS.h"

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>

namespace zal::test {

namespace {

std::string BIOText(BIO* bio) {
  char* data = nullptr;
  const long length = BIO_get_mem_data(bio, &data);
  return std::string(data, static_cast<size_t>(length));
}

void AddExtension(X509* certificate, int nid, const char* value) {
  X509V3_CTX context;
  X509V3_set_ctx(&context, certificate, certificate, nullptr, nullptr, 0);
  X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &context, nid, value);
  X509_add_ext(certificate, extension, -1);
  X509_EXTENSION_free(extension);
}

// Runs `action` with SIGPIPE blocked for this thread and takes back any it
// raised: a write to a peer that has gone must not end the test program, and
// the server under test must never depend on SIGPIPE being ignored.
template <typename Action>
auto WithoutSIGPIPE(Action action) {
  sigset_t pipe;
  sigemptyset(&pipe);
  sigaddset(&pipe, SIGPIPE);
  sigset_t previous;
  pthread_sigmask(SIG_BLOCK, &pipe, &previous);
  const auto result = action();
  const timespec now{0, 0};
  while (sigtimedwait(&pipe, nullptr, &now) == SIGPIPE) {
  }
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  return result;
}

}  // namespace

TestCertificate::TestCertificate(const std::string& passPhrase) {
  char folder[] = "/tmp/zal_tls_XXXXXX";
  if (!::mkdtemp(folder))
    throw std::runtime_error("mkdtemp failed");
  FFolder = folder;
  EVP_PKEY* key = EVP_EC_gen("P-256");
  X509* certificate = X509_new();
  X509_set_version(certificate, 2);
  ASN1_INTEGER_set(X509_get_serialNumber(certificate), 1);
  X509_gmtime_adj(X509_getm_notBefore(certificate), -3600);
  X509_gmtime_adj(X509_getm_notAfter(certificate), 3600L * 24 * 30);
  X509_set_pubkey(certificate, key);
  X509_NAME* name = X509_get_subject_name(certificate);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("localhost"), -1, -1, 0);
  X509_set_issuer_name(certificate, name);
  AddExtension(certificate, NID_subject_alt_name, "IP:127.0.0.1,DNS:localhost");
  X509_sign(certificate, key, EVP_sha256());

  BIO* certBio = BIO_new(BIO_s_mem());
  PEM_write_bio_X509(certBio, certificate);
  FCertificatePEM = BIOText(certBio);
  BIO* keyBio = BIO_new(BIO_s_mem());
  if (passPhrase.empty())
    PEM_write_bio_PrivateKey(keyBio, key, nullptr, nullptr, 0, nullptr, nullptr);
  else
    PEM_write_bio_PKCS8PrivateKey(keyBio, key, EVP_aes_256_cbc(), passPhrase.data(),
                                  static_cast<int>(passPhrase.size()), nullptr, nullptr);
  FKeyPEM = BIOText(keyBio);
  BIO_free(certBio);
  BIO_free(keyBio);
  X509_free(certificate);
  EVP_PKEY_free(key);
  WriteFile("cert.pem", FCertificatePEM + FKeyPEM);
}

TestCertificate::~TestCertificate() {
  std::error_code ignored;
  std::filesystem::remove_all(FFolder, ignored);
}

std::string TestCertificate::WriteFile(const std::string& name, const std::string& text) const {
  const std::string path = FFolder + "/" + name;
  std::ofstream(path, std::ios::binary) << text;
  return path;
}

TLSTestClient::TLSTestClient() : FContext(SSL_CTX_new(TLS_client_method())) {}

TLSTestClient::~TLSTestClient() {
  if (FSSL)
    SSL_free(FSSL);
  SSL_CTX_free(FContext);
}

bool TLSTestClient::Connect(uint16_t port, const TLSClientOptions& options, int timeoutMs) {
  FSocket.SetReceiveBuffer(options.receiveBuffer);
  if (!FSocket.Connect("127.0.0.1", port, timeoutMs)) {
    FError = "connect failed";
    return false;
  }
  const int fd = FSocket.Handle();
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  const timeval timeout{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
  ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof(timeout));
  if (options.minVersion)
    SSL_CTX_set_min_proto_version(FContext, options.minVersion);
  if (options.maxVersion)
    SSL_CTX_set_max_proto_version(FContext, options.maxVersion);
  if (options.maxVersion && options.maxVersion < TLS1_2_VERSION)
    SSL_CTX_set_security_level(FContext, 0);  // Debian's OpenSSL speaks TLS 1.0/1.1 only at level 0
  FSSL = SSL_new(FContext);
  if (!options.alpn.empty()) {
    std::string wire;
    for (const std::string& protocol : options.alpn)
      wire += static_cast<char>(protocol.size()) + protocol;
    SSL_set_alpn_protos(FSSL, reinterpret_cast<const unsigned char*>(wire.data()), static_cast<unsigned>(wire.size()));
  }
  SSL_set_fd(FSSL, fd);
  ERR_clear_error();
  if (WithoutSIGPIPE([&] { return SSL_connect(FSSL); }) != 1) {
    char text[256];
    ERR_error_string_n(ERR_get_error(), text, sizeof(text));
    FError = text;
    return false;
  }
  return true;
}

bool TLSTestClient::Send(const std::string& data) {
  size_t written = 0;
  return data.empty() || WithoutSIGPIPE([&] {
           return SSL_write_ex(FSSL, data.data(), data.size(), &written) == 1 && written == data.size();
         });
}

int TLSTestClient::ReadOnce(char* buffer, int size, int timeoutMs) {
  const timeval timeout{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
  ::setsockopt(FSocket.Handle(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
  ERR_clear_error();
  const int count = WithoutSIGPIPE([&] { return SSL_read(FSSL, buffer, size); });
  if (count > 0)
    return count;
  const int error = SSL_get_error(FSSL, count);
  if (error == SSL_ERROR_ZERO_RETURN)
    FCloseNotify = true;
  if (error == SSL_ERROR_WANT_READ || (error == SSL_ERROR_SYSCALL && errno == EAGAIN))
    return -1;
  return 0;
}

std::string TLSTestClient::ReceiveUntil(const std::string& needle, int timeoutMs) {
  std::string received;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  char buffer[16384];
  while (needle.empty() || received.find(needle) == std::string::npos) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0)
      break;
    const int count = ReadOnce(buffer, sizeof(buffer), static_cast<int>(left.count()));
    if (count <= 0)
      break;
    received.append(buffer, static_cast<size_t>(count));
  }
  return received;
}

std::string TLSTestClient::ReceiveAll(int timeoutMs) { return ReceiveUntil("", timeoutMs); }

std::string TLSTestClient::ALPN() const {
  const unsigned char* data = nullptr;
  unsigned length = 0;
  SSL_get0_alpn_selected(FSSL, &data, &length);
  return data ? std::string(reinterpret_cast<const char*>(data), length) : "";
}

std::string TLSTestClient::Version() const { return SSL_get_version(FSSL); }

}  // namespace zal::test
