#include "transport/zalIdSocketHandle.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "transport/zalIdStack.h"

namespace zal {

namespace {

std::string PortRangeText(const char* text, int minPort, int maxPort) {
  char message[96];
  std::snprintf(message, sizeof(message), text, minPort, maxPort);
  return message;
}

int FamilyOf(TIdIPVersion version) { return version == Id_IPv6 ? AF_INET6 : AF_INET; }

// Fills `address` for (ip, port) of the given family; an empty ip is the any-address.
bool MakeAddress(const std::string& ip, uint16_t port, TIdIPVersion version, sockaddr_storage& address,
                 socklen_t& length) {
  std::memset(&address, 0, sizeof(address));
  if (version == Id_IPv6) {
    auto* a6 = reinterpret_cast<sockaddr_in6*>(&address);
    a6->sin6_family = AF_INET6;
    a6->sin6_port = htons(port);
    length = sizeof(sockaddr_in6);
    return ip.empty() ? (a6->sin6_addr = in6addr_any, true) : inet_pton(AF_INET6, ip.c_str(), &a6->sin6_addr) == 1;
  }
  auto* a4 = reinterpret_cast<sockaddr_in*>(&address);
  a4->sin_family = AF_INET;
  a4->sin_port = htons(port);
  length = sizeof(sockaddr_in);
  if (ip.empty()) {
    a4->sin_addr.s_addr = htonl(INADDR_ANY);
    return true;
  }
  return inet_pton(AF_INET, ip.c_str(), &a4->sin_addr) == 1;
}

// The textual address and port of a socket address.
void ReadAddress(const sockaddr_storage& address, std::string& ip, uint16_t& port, TIdIPVersion* version) {
  char text[INET6_ADDRSTRLEN] = {};
  if (address.ss_family == AF_INET6) {
    const auto* a6 = reinterpret_cast<const sockaddr_in6*>(&address);
    inet_ntop(AF_INET6, &a6->sin6_addr, text, sizeof(text));
    port = ntohs(a6->sin6_port);
    if (version)
      *version = Id_IPv6;
  } else {
    const auto* a4 = reinterpret_cast<const sockaddr_in*>(&address);
    inet_ntop(AF_INET, &a4->sin_addr, text, sizeof(text));
    port = ntohs(a4->sin_port);
    if (version)
      *version = Id_IPv4;
  }
  ip = text;
}

}  // namespace

EIdInvalidPortRange::EIdInvalidPortRange(int minPort, int maxPort)
    : EIdException(PortRangeText("Invalid Port Range (%d - %d)", minPort, maxPort)) {}

EIdCanNotBindPortInRange::EIdCanNotBindPortInRange(int minPort, int maxPort)
    : EIdException(PortRangeText("Can not bind in port range (%d - %d)", minPort, maxPort)) {}

TIdSocketHandle::~TIdSocketHandle() { ReleaseDescriptor(); }

void TIdSocketHandle::SetIPVersion(TIdIPVersion value) {
  if (value == FIPVersion)
    return;
  if (FHandleAllocated)
    throw EIdCannotSetIPVersionWhenConnected();
  FIPVersion = value;
}

void TIdSocketHandle::SetUseNagle(bool value) {
  FUseNagle = value;
  if (FHandleAllocated && FSocketType == SOCK_STREAM)
    SetSockOpt(IPPROTO_TCP, TCP_NODELAY, value ? 0 : 1);
}

void TIdSocketHandle::ReleaseDescriptor() {
  if (FHandle != InvalidHandle)
    ::close(FHandle);
  FHandle = InvalidHandle;
  FHandleAllocated = false;
}

void TIdSocketHandle::ResetAddresses() {
  FPeerIP.clear();
  FPeerPort = 0;
}

void TIdSocketHandle::AllocateSocket(int socketType) {
  std::lock_guard lock(FConnectionLock);
  ReleaseDescriptor();
  ResetAddresses();
  const int fd = ::socket(FamilyOf(FIPVersion), (socketType ? socketType : SOCK_STREAM) | SOCK_CLOEXEC, 0);
  if (fd < 0)
    RaiseLastIdSocketError();
  FHandle = fd;
  FHandleAllocated = true;
  FSocketType = GetSockOptInt(SOL_SOCKET, SO_TYPE);
  if (FSocketType == SOCK_STREAM)
    FUseNagle = GetSockOptInt(IPPROTO_TCP, TCP_NODELAY) == 0;
}

bool TIdSocketHandle::TryBind(uint16_t port) {
  sockaddr_storage address;
  socklen_t length;
  if (!MakeAddress(FIP, port, FIPVersion, address, length))
    return false;
  return ::bind(FHandle, reinterpret_cast<sockaddr*>(&address), length) == 0;
}

void TIdSocketHandle::Bind() {
  // A server restarted while connections it served are in TIME_WAIT must be
  // able to bind its port again: address reuse is on unless switched off.
  SetSockOpt(SOL_SOCKET, SO_REUSEADDR, FReuseSocket == rsFalse ? 0 : 1);
  if (FReusePort)
    SetSockOpt(SOL_SOCKET, SO_REUSEPORT, 1);
  if (FIPVersion == Id_IPv6)
    SetSockOpt(IPPROTO_IPV6, IPV6_V6ONLY, 1);  // the IPv4 binding serves IPv4 clients
  if (FPort == 0 && FClientPortMin != 0 && FClientPortMax != 0) {
    if (FClientPortMax < FClientPortMin)
      throw EIdInvalidPortRange(FClientPortMin, FClientPortMax);
    bool bound = false;
    for (int port = FClientPortMax; port >= FClientPortMin && !bound; --port)
      bound = TryBind(static_cast<uint16_t>(port));
    if (!bound)
      throw EIdCanNotBindPortInRange(FClientPortMin, FClientPortMax);
  } else if (!TryBind(FPort)) {
    throw EIdCouldNotBindSocket();
  }
  UpdateBindingLocal();
}

void TIdSocketHandle::Listen(int backlog) {
  if (::listen(FHandle, backlog) != 0)
    RaiseLastIdSocketError();
}

bool TIdSocketHandle::Accept(int listenHandle) {
  sockaddr_storage peer{};
  socklen_t length = sizeof(peer);
  const int fd = ::accept4(listenHandle, reinterpret_cast<sockaddr*>(&peer), &length, SOCK_CLOEXEC);
  if (fd < 0) {
    // Out of descriptors or memory: the pending client stays queued and the
    // listening socket stays readable, so the caller must back off, not retry.
    if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM)
      RaiseLastIdSocketError();
    return false;  // nothing pending any more, the client gave up, or the listener was closed
  }
  {
    std::lock_guard lock(FConnectionLock);
    ReleaseDescriptor();
    FHandle = fd;
    FHandleAllocated = true;
    FSocketType = SOCK_STREAM;
  }
  UpdateBindingLocal();
  ReadAddress(peer, FPeerIP, FPeerPort, nullptr);
  return true;
}

bool TIdSocketHandle::Readable(int timeoutMs) const { return Ready(POLLIN, timeoutMs); }

bool TIdSocketHandle::Writable(int timeoutMs) const { return Ready(POLLOUT, timeoutMs); }

bool TIdSocketHandle::Ready(short events, int timeoutMs) const {
  if (!FHandleAllocated || FHandle == InvalidHandle)
    return true;
  pollfd p{FHandle, events, 0};
  for (;;) {
    const int rc = ::poll(&p, 1, timeoutMs < 0 ? -1 : timeoutMs);
    if (rc >= 0)
      return rc > 0;
    if (errno != EINTR)
      RaiseLastIdSocketError();
  }
}

void TIdSocketHandle::CloseSocket() {
  std::lock_guard lock(FConnectionLock);
  if (!FHandleAllocated)
    return;
  ::shutdown(FHandle, SHUT_RDWR);
  FHandleAllocated = false;
}

void TIdSocketHandle::ShutdownSend() {
  std::lock_guard lock(FConnectionLock);
  if (FHandleAllocated)
    ::shutdown(FHandle, SHUT_WR);
}

bool TIdSocketHandle::ClosedAfterWake() const {
  std::lock_guard lock(FConnectionLock);
  return !FHandleAllocated;
}

void TIdSocketHandle::UpdateBindingLocal() {
  sockaddr_storage address{};
  socklen_t length = sizeof(address);
  if (::getsockname(FHandle, reinterpret_cast<sockaddr*>(&address), &length) != 0)
    RaiseLastIdSocketError();
  ReadAddress(address, FIP, FPort, &FIPVersion);
}

void TIdSocketHandle::UpdateBindingPeer() {
  sockaddr_storage address{};
  socklen_t length = sizeof(address);
  if (::getpeername(FHandle, reinterpret_cast<sockaddr*>(&address), &length) != 0)
    RaiseLastIdSocketError();
  ReadAddress(address, FPeerIP, FPeerPort, nullptr);
}

void TIdSocketHandle::SetSockOpt(int level, int name, const void* value, unsigned length) {
  if (::setsockopt(FHandle, level, name, value, length) != 0)
    RaiseLastIdSocketError();
}

int TIdSocketHandle::GetSockOptInt(int level, int name) const {
  int value = 0;
  socklen_t length = sizeof(value);
  if (::getsockopt(FHandle, level, name, &value, &length) != 0)
    RaiseLastIdSocketError();
  return value;
}

TIdSocketHandle& TIdSocketHandles::Add() {
  FItems.push_back(std::make_unique<TIdSocketHandle>());
  FItems.back()->SetPort(FDefaultPort);
  return *FItems.back();
}

int TIdSocketHandles::IndexOf(const TIdSocketHandle* item) const {
  for (size_t i = 0; i < FItems.size(); ++i)
    if (FItems[i].get() == item)
      return static_cast<int>(i);
  return -1;
}

void TIdSocketHandles::CheckNotListening() const {
  for (const auto& item : FItems)
    if (item->HandleAllocated())
      throw EIdException("Cannot change the bindings while they are in use.");
}

void TIdSocketHandles::Delete(int index) {
  CheckNotListening();
  FItems.erase(FItems.begin() + index);
}

void TIdSocketHandles::Clear() {
  CheckNotListening();
  FItems.clear();
}

}  // namespace zal
