#include "server/zalWebSocket_MonitorClient.h"

#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <openssl/ssl.h>

#include <chrono>
#include <memory>
#include <string_view>

#include "support/zalHelpers.h"
#include "support/zalIdCoderMIME.h"
#include "websocket/zalWebSocket_Handshake.h"

namespace zal {

namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kMaxAnswerHead = 16 * 1024;  // an answer head longer than this is no handshake answer

// Certificates of our own server are not checked: the probe asks only whether it answers.
class TProbeTLSHelper : public IIdSSLOpenSSLCallbackHelper {
public:
  std::string GetPassword(bool) override { return {}; }
  void StatusInfo(const SSL*, int, int, const std::string&) override {}
  bool VerifyPeer(X509*, bool, int, int) override { return true; }
};

// One blocking connection, plain or TLS, whose every call ends by the deadline.
class TProbeConnection {
public:
  explicit TProbeConnection(Clock::time_point deadline) : FDeadline(deadline) {}
  ~TProbeConnection() {
    if (FSSL)
      SSL_free(FSSL);
    if (FSocket >= 0)
      ::close(FSocket);
  }
  TProbeConnection(const TProbeConnection&) = delete;
  TProbeConnection& operator=(const TProbeConnection&) = delete;

  bool Connect(const std::string& host, int port) {
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    if (getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found) != 0)
      return false;
    std::unique_ptr<addrinfo, decltype(&freeaddrinfo)> address(found, freeaddrinfo);
    FSocket = ::socket(found->ai_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (FSocket < 0)
      return false;
    if (::connect(FSocket, found->ai_addr, found->ai_addrlen) != 0 && errno != EINPROGRESS)
      return false;
    pollfd waiting{FSocket, POLLOUT, 0};
    int error = 0;
    socklen_t length = sizeof error;
    if (::poll(&waiting, 1, RemainingMs()) != 1 ||
        getsockopt(FSocket, SOL_SOCKET, SO_ERROR, &error, &length) != 0 || error != 0)
      return false;
    return ::fcntl(FSocket, F_SETFL, 0) == 0;  // blocking from here, bounded by the socket time-outs
  }

  // The TLS handshake with a client context made from `options`.
  bool StartTLS(const TIdSSLOptions& options) {
    TIdSSLOptions client = options;
    client.SetCertFile("");
    client.SetKeyFile("");
    client.SetRootCertFile("");
    client.SetDHParamsFile("");
    client.SetMode(sslmClient);
    client.SetVerifyMode(0);
    TProbeTLSHelper helper;
    TIdSSLContext context(&helper, client, false, false);
    context.InitContext(sslCtxClient);
    FSSL = SSL_new(context.Context());  // the session keeps its own reference to the context
    if (!FSSL || SSL_set_fd(FSSL, FSocket) != 1 || !ApplyTimeOut())
      return false;
    return SSL_connect(FSSL) == 1;
  }

  bool Send(std::string_view bytes) {
    while (!bytes.empty()) {
      if (!ApplyTimeOut())
        return false;
      const int sent = FSSL ? SSL_write(FSSL, bytes.data(), static_cast<int>(bytes.size()))
                            : static_cast<int>(::send(FSocket, bytes.data(), bytes.size(), MSG_NOSIGNAL));
      if (sent <= 0)
        return false;
      bytes.remove_prefix(static_cast<size_t>(sent));
    }
    return true;
  }

  // Appends what arrives to `into`; false when the peer closed, failed or the time ran out.
  bool Receive(std::string& into) {
    char block[4096];
    if (!ApplyTimeOut())
      return false;
    const int got =
        FSSL ? SSL_read(FSSL, block, sizeof block) : static_cast<int>(::recv(FSocket, block, sizeof block, 0));
    if (got <= 0)
      return false;
    into.append(block, static_cast<size_t>(got));
    return true;
  }

private:
  int RemainingMs() const {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(FDeadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
  }

  // Send and receive time-outs of whatever is left of the total.
  bool ApplyTimeOut() {
    const int left = RemainingMs();
    if (left <= 0)
      return false;
    timeval limit{left / 1000, (left % 1000) * 1000};
    return setsockopt(FSocket, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit) == 0 &&
           setsockopt(FSocket, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit) == 0;
  }

  Clock::time_point FDeadline;
  int FSocket = -1;
  SSL* FSSL = nullptr;
};

std::string OpeningHandshake(const TzalWSMonitorTarget& aTarget, const std::string& key) {
  const bool ipv6 = aTarget.Host.find(':') != std::string::npos;
  const std::string host = (ipv6 ? "[" + aTarget.Host + "]" : aTarget.Host) + ":" + std::to_string(aTarget.Port);
  return "GET " + aTarget.Path + " HTTP/1.1\r\nHost: " + host +
         "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Key: " + key +
         "\r\nSec-WebSocket-Version: 13\r\n\r\n";
}

// A "101" status line and a Sec-WebSocket-Accept header with the expected value.
bool AcceptsHandshake(std::string_view head, const std::string& expectedAccept) {
  if (head.substr(0, 13) != "HTTP/1.1 101 " && head.substr(0, 13) != "HTTP/1.1 101\r")
    return false;
  constexpr std::string_view name = "sec-websocket-accept:";
  size_t start = head.find("\r\n");
  while (start != std::string_view::npos && start + 2 < head.size()) {
    const size_t end = head.find("\r\n", start + 2);
    const std::string_view line = head.substr(start + 2, end - start - 2);
    if (line.size() > name.size() && TextIsSame(line.substr(0, name.size()), name))
      return Trim(line.substr(name.size())) == expectedAccept;
    start = end;
  }
  return false;
}

// A masked close frame with code 1000 (RFC 6455 5.3, 5.5.1).
std::string CloseFrame() {
  uint8_t mask[4];
  FillRandom(mask, sizeof mask);
  const uint8_t code[2] = {0x03, 0xE8};
  std::string frame = {'\x88', '\x82'};
  frame.append(reinterpret_cast<const char*>(mask), sizeof mask);
  for (size_t i = 0; i < sizeof code; ++i)
    frame.push_back(static_cast<char>(code[i] ^ mask[i % 4]));
  return frame;
}

}  // namespace

bool MonitorHandshake(const TzalWSMonitorTarget& aTarget) {
  TProbeConnection connection(Clock::now() + std::chrono::milliseconds(aTarget.TimeOutMs));
  try {
    if (!connection.Connect(aTarget.Host, aTarget.Port) || (aTarget.TLS && !connection.StartTLS(aTarget.SSLOptions)))
      return false;
  } catch (const std::exception&) {
    return false;  // no TLS context could be made
  }
  uint8_t nonce[16];
  FillRandom(nonce, sizeof nonce);
  const std::string key = TIdEncoderMIME::EncodeBytes(nonce);
  if (!connection.Send(OpeningHandshake(aTarget, key)))
    return false;
  std::string answer;
  size_t headEnd;
  while ((headEnd = answer.find("\r\n\r\n")) == std::string::npos) {
    if (answer.size() > kMaxAnswerHead || !connection.Receive(answer))
      return false;
  }
  if (!AcceptsHandshake(std::string_view(answer).substr(0, headEnd + 2), GetAcceptKey(key)))
    return false;
  connection.Send(CloseFrame());
  return true;
}

}  // namespace zal
