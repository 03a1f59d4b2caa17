#include "common/zalTestSocket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace zal::test {

namespace {

// Waits for `events` on `fd`; true when they came before the time-out.
bool WaitReady(int fd, short events, int timeoutMs) {
  pollfd p{fd, events, 0};
  int rc;
  do {
    rc = ::poll(&p, 1, timeoutMs);
  } while (rc < 0 && errno == EINTR);
  return rc > 0;
}

int64_t MillisecondsLeft(std::chrono::steady_clock::time_point deadline) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
}

}  // namespace

TestClient::~TestClient() { Close(); }

int64_t TestClient::CountUntilQuiet(int idleMs) {
  int64_t received = 0;
  char chunk[65536];
  while (WaitReady(FSocket, POLLIN, idleMs)) {
    const ssize_t count = ::recv(FSocket, chunk, sizeof(chunk), 0);
    if (count <= 0)
      break;
    received += count;
  }
  return received;
}

TestClient::TestClient(TestClient&& other) noexcept : FSocket(other.FSocket) { other.FSocket = -1; }

bool TestClient::Connect(const std::string& host, uint16_t port, int timeoutMs) {
  Close();
  sockaddr_storage address{};
  socklen_t length;
  int family;
  if (host.find(':') != std::string::npos) {
    auto* a6 = reinterpret_cast<sockaddr_in6*>(&address);
    a6->sin6_family = AF_INET6;
    a6->sin6_port = htons(port);
    if (inet_pton(AF_INET6, host.c_str(), &a6->sin6_addr) != 1)
      return false;
    length = sizeof(sockaddr_in6);
    family = AF_INET6;
  } else {
    auto* a4 = reinterpret_cast<sockaddr_in*>(&address);
    a4->sin_family = AF_INET;
    a4->sin_port = htons(port);
    if (inet_pton(AF_INET, host.c_str(), &a4->sin_addr) != 1)
      return false;
    length = sizeof(sockaddr_in);
    family = AF_INET;
  }
  FSocket = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (FSocket < 0)
    return false;
  if (FReceiveBuffer > 0)
    ::setsockopt(FSocket, SOL_SOCKET, SO_RCVBUF, &FReceiveBuffer, sizeof(FReceiveBuffer));
  if (::connect(FSocket, reinterpret_cast<sockaddr*>(&address), length) != 0) {
    if (errno != EINPROGRESS || !WaitReady(FSocket, POLLOUT, timeoutMs)) {
      Close();
      return false;
    }
    int error = 0;
    socklen_t size = sizeof(error);
    ::getsockopt(FSocket, SOL_SOCKET, SO_ERROR, &error, &size);
    if (error != 0) {
      Close();
      return false;
    }
  }
  ::fcntl(FSocket, F_SETFL, ::fcntl(FSocket, F_GETFL) & ~O_NONBLOCK);
  const int noDelay = 1;  // small test writes go out at once
  ::setsockopt(FSocket, IPPROTO_TCP, TCP_NODELAY, &noDelay, sizeof(noDelay));
  return true;
}

bool TestClient::Send(const std::string& data) {
  size_t sent = 0;
  while (sent < data.size()) {
    const ssize_t n = ::send(FSocket, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0)
      return false;
    sent += static_cast<size_t>(n);
  }
  return true;
}

namespace {

// Reads until `enough(received)` holds, the peer closes, or the time-out passes.
template <typename Enough>
std::string ReceiveWhileNot(int socket, int timeoutMs, Enough enough) {
  std::string out;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  char chunk[16384];
  while (!enough(out)) {
    const int64_t left = MillisecondsLeft(deadline);
    if (left <= 0 || !WaitReady(socket, POLLIN, static_cast<int>(left)))
      break;
    const ssize_t n = ::recv(socket, chunk, sizeof(chunk), 0);
    if (n <= 0)
      break;
    out.append(chunk, static_cast<size_t>(n));
  }
  return out;
}

}  // namespace

std::string TestClient::Receive(int timeoutMs, size_t maxBytes) {
  return ReceiveWhileNot(FSocket, timeoutMs, [maxBytes](const std::string& out) { return out.size() >= maxBytes; });
}

std::string TestClient::ReceiveUntil(const std::string& needle, int timeoutMs) {
  return ReceiveWhileNot(FSocket, timeoutMs,
                         [&needle](const std::string& out) { return out.find(needle) != std::string::npos; });
}

bool TestClient::WaitClosed(int timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  char chunk[4096];
  for (;;) {
    const int64_t left = MillisecondsLeft(deadline);
    if (left <= 0 || !WaitReady(FSocket, POLLIN, static_cast<int>(left)))
      return false;
    const ssize_t n = ::recv(FSocket, chunk, sizeof(chunk), 0);
    if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN))
      return true;
  }
}

void TestClient::Close() {
  if (FSocket >= 0)
    ::close(FSocket);
  FSocket = -1;
}

uint16_t FreeLoopbackPort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address));
  socklen_t length = sizeof(address);
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  ::close(fd);
  return ntohs(address.sin_port);
}

double ProcessCpuSeconds() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

}  // namespace zal::test
