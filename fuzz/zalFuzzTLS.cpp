// Feeds fuzzer bytes to the server TLS session in fuzzer-chosen chunks: with
// the first byte even, as a client's first flight; with it odd, as records
// after a handshake completed with an in-memory OpenSSL client. Failures must
// be the layer's exceptions, never a crash, a leak or a hang.
#include <openssl/ssl.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

#include "common/zalTestTLS.h"
#include "transport/zalIdSSLIOHandler.h"

namespace {

using namespace zal;

struct Server {
  test::TestCertificate certificate{"kfx.pem"};
  TIdServerIOHandlerSSLOpenSSL handler;
  Server() {
    handler.SSLOptions().SetCertFile(certificate.File());
    handler.SSLOptions().SetKeyFile(certificate.File());
    handler.SSLOptions().SetMethod(sslvSSLv23);
    handler.OnGetPassword = [](std::string& password) { password = "kfx.pem"; };
    handler.Init();
  }
};

// Completes a handshake between `session` and an OpenSSL client over memory BIOs.
bool Handshake(TIdSSLSocket& session, SSL_CTX* clientContext) {
  SSL* client = SSL_new(clientContext);
  BIO* in = BIO_new(BIO_s_mem());
  BIO* out = BIO_new(BIO_s_mem());
  SSL_set_bio(client, in, out);
  SSL_set_connect_state(client);
  TIdBytes bytes;
  for (int round = 0; round < 4 && !session.HandshakeDone(); ++round) {
    SSL_do_handshake(client);
    bytes.resize(BIO_ctrl_pending(out));
    BIO_read(out, bytes.data(), static_cast<int>(bytes.size()));
    session.FeedInput(bytes);
    session.Handshake();
    bytes.clear();
    session.TakeOutput(bytes);
    BIO_write(in, bytes.data(), static_cast<int>(bytes.size()));
  }
  SSL_free(client);
  return session.HandshakeDone();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Server server;
  static SSL_CTX* clientContext = SSL_CTX_new(TLS_client_method());
  if (size < 2)
    return 0;
  const bool afterHandshake = data[0] & 1;
  const size_t chunk = 1 + data[1] % 64;
  std::span<const uint8_t> input(data + 2, size - 2);
  TIdSSLSocket session(&server.handler);
  session.Accept(*server.handler.SSLContext());
  try {
    if (afterHandshake && !Handshake(session, clientContext))
      return 0;
    uint8_t plaintext[4096];
    TIdBytes output;
    while (!input.empty() && !session.Finished()) {
      const size_t now = std::min(chunk, input.size());
      session.FeedInput(input.first(now));
      input = input.subspan(now);
      if (session.Handshake() == tlsDone)
        while (session.Read(plaintext, sizeof(plaintext)) > 0) {
        }
      output.clear();
      session.TakeOutput(output);
    }
    session.Shutdown();
  } catch (const EIdException&) {
  }
  return 0;
}
