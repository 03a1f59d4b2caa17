#pragma once
// TLS helpers for tests: a generated self-signed certificate with its key
// encrypted under a pass phrase, and a blocking TLS client with time bounds.
#include <openssl/ssl.h>

#include <string>
#include <vector>

#include "common/zalTestSocket.h"

namespace zal::test {

// A temporary folder with "cert.pem": a self-signed certificate for 127.0.0.1
// and localhost followed by its EC key, encrypted under `passPhrase` (plain
// when empty). The folder is removed with the object.
class TestCertificate {
public:
  explicit TestCertificate(const std::string& passPhrase = "kfx.pem");
  ~TestCertificate();
  TestCertificate(const TestCertificate&) = delete;
  TestCertificate& operator=(const TestCertificate&) = delete;

  const std::string& Folder() const { return FFolder; }
  std::string File() const { return FFolder + "/cert.pem"; }
  // Writes `text` to a file of the folder; returns its path.
  std::string WriteFile(const std::string& name, const std::string& text) const;
  const std::string& CertificatePEM() const { return FCertificatePEM; }
  const std::string& KeyPEM() const { return FKeyPEM; }

private:
  std::string FFolder;
  std::string FCertificatePEM;
  std::string FKeyPEM;
};

struct TLSClientOptions {
  std::vector<std::string> alpn;  // offered protocols, in order
  int minVersion = 0;             // 0: OpenSSL's defaults
  int maxVersion = 0;               // below TLS 1.2 also lowers the security level to 0
  int receiveBuffer = 0;            // SO_RCVBUF before connecting (0: the system's default)
};

// A blocking TLS client (no certificate check) whose every call is time-bounded.
class TLSTestClient {
public:
  TLSTestClient();
  ~TLSTestClient();
  TLSTestClient(const TLSTestClient&) = delete;
  TLSTestClient& operator=(const TLSTestClient&) = delete;

  // Connects and completes the handshake; false with Error() set on failure.
  bool Connect(uint16_t port, const TLSClientOptions& options = {}, int timeoutMs = 3000);
  bool Send(const std::string& data);
  // Reads until `needle` appears, the peer closes or the time-out passes.
  std::string ReceiveUntil(const std::string& needle, int timeoutMs = 3000);
  // Reads until the peer closes (close_notify or TCP) or the time-out passes.
  std::string ReceiveAll(int timeoutMs = 3000);
  // True when the peer sent close_notify before the end.
  bool PeerSentCloseNotify() const { return FCloseNotify; }
  std::string ALPN() const;
  std::string Version() const;
  const std::string& Error() const { return FError; }
  TestClient& Socket() { return FSocket; }

private:
  // One SSL_read: the count, 0 at the end, -1 on time-out.
  int ReadOnce(char* buffer, int size, int timeoutMs);

  TestClient FSocket;
  SSL_CTX* FContext = nullptr;
  SSL* FSSL = nullptr;
  bool FCloseNotify = false;
  std::string FError;
};

}  // namespace zal::test
