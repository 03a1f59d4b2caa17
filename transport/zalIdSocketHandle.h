#pragma once
// A socket with its local and peer addresses: a listening binding of the server,
// or the socket of one accepted connection. TIdSocketHandles is the server's
// collection of bindings.
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "support/zalIdException.h"
#include "support/zalTypes.h"

namespace zal {

enum TIdReuseSocket : uint8_t { rsOSDependent, rsTrue, rsFalse };

class EIdCouldNotBindSocket : public EIdException {
public:
  EIdCouldNotBindSocket() : EIdException("Could not bind socket.") {}
};
class EIdInvalidPortRange : public EIdException {
public:
  EIdInvalidPortRange(int minPort, int maxPort);
};
class EIdCanNotBindPortInRange : public EIdException {
public:
  EIdCanNotBindPortInRange(int minPort, int maxPort);
};
class EIdCannotSetIPVersionWhenConnected : public EIdException {
public:
  EIdCannotSetIPVersionWhenConnected() : EIdException("Cannot change IPVersion when connected") {}
};

class TIdSocketHandle {
public:
  static constexpr int InvalidHandle = -1;

  TIdSocketHandle() = default;
  ~TIdSocketHandle();
  TIdSocketHandle(const TIdSocketHandle&) = delete;
  TIdSocketHandle& operator=(const TIdSocketHandle&) = delete;

  // Published settings.
  const std::string& IP() const { return FIP; }
  void SetIP(const std::string& value) { FIP = value; }
  uint16_t Port() const { return FPort; }
  void SetPort(uint16_t value) { FPort = value; }
  TIdIPVersion IPVersion() const { return FIPVersion; }
  void SetIPVersion(TIdIPVersion value);
  TIdReuseSocket ReuseSocket() const { return FReuseSocket; }
  void SetReuseSocket(TIdReuseSocket value) { FReuseSocket = value; }
  // SO_REUSEPORT at Bind: several processes that all set it listen on the same
  // address and port, and the kernel spreads new connections among them.
  bool ReusePort() const { return FReusePort; }
  void SetReusePort(bool value) { FReusePort = value; }
  bool UseNagle() const { return FUseNagle; }
  // Writes TCP_NODELAY = not value on an allocated stream socket.
  void SetUseNagle(bool value);
  uint16_t ClientPortMin() const { return FClientPortMin; }
  void SetClientPortMin(uint16_t value) { FClientPortMin = value; }
  uint16_t ClientPortMax() const { return FClientPortMax; }
  void SetClientPortMax(uint16_t value) { FClientPortMax = value; }
  bool BroadcastEnabled() const { return FBroadcastEnabled; }
  void SetBroadcastEnabled(bool value) { FBroadcastEnabled = value; }

  // Run-time state.
  int Handle() const { return FHandleAllocated ? FHandle : InvalidHandle; }
  bool HandleAllocated() const { return FHandleAllocated; }
  const std::string& PeerIP() const { return FPeerIP; }
  uint16_t PeerPort() const { return FPeerPort; }
  int SocketType() const { return FSocketType; }
  bool Overlapped() const { return FOverlapped; }
  void SetOverlapped(bool value) { FOverlapped = value; }

  // Opens a new socket of the binding's IP version, closing any previous one.
  void AllocateSocket(int socketType = 0);
  // Binds to IP/Port (or a free port of the client port range); raises the bind errors.
  void Bind();
  void Listen(int backlog);
  // Accepts one pending connection of `listenHandle` into this handle; false when
  // there was none or the listening socket was closed. Running out of descriptors
  // or memory raises the socket error.
  bool Accept(int listenHandle);
  // Waits up to `timeoutMs` (negative: without limit) until the socket is readable
  // or closed; false on time-out. A closed socket counts as readable.
  bool Readable(int timeoutMs) const;
  // The same until the socket takes more octets to send, fails or is closed.
  bool Writable(int timeoutMs) const;
  // Shuts the socket down so that blocked calls on other threads return, and marks
  // it closed. The descriptor itself stays reserved until the handle is reused or
  // destroyed, so a thread still holding the old number can never reach a newer socket.
  void CloseSocket();
  // Ends the sending side (the peer reads the end of the stream); receiving goes on.
  void ShutdownSend();
  // Whether the socket is closed, waiting for a CloseSocket in progress: a
  // reader woken by that close tells it from the peer's end this way.
  bool ClosedAfterWake() const;
  // Re-reads the local (getsockname) or peer (getpeername) address.
  void UpdateBindingLocal();
  void UpdateBindingPeer();

  // setsockopt/getsockopt on the allocated socket; a failure raises the socket error.
  void SetSockOpt(int level, int name, const void* value, unsigned length);
  void SetSockOpt(int level, int name, int value) { SetSockOpt(level, name, &value, sizeof(value)); }
  int GetSockOptInt(int level, int name) const;

private:
  bool Ready(short events, int timeoutMs) const;
  bool TryBind(uint16_t port);
  void ReleaseDescriptor();
  void ResetAddresses();

  std::string FIP;
  uint16_t FPort = 0;
  TIdIPVersion FIPVersion = Id_IPv4;
  TIdReuseSocket FReuseSocket = rsOSDependent;
  bool FReusePort = false;
  bool FUseNagle = true;
  uint16_t FClientPortMin = 0;
  uint16_t FClientPortMax = 0;
  bool FBroadcastEnabled = false;

  int FHandle = InvalidHandle;  // descriptor, kept until reused even after CloseSocket
  std::atomic<bool> FHandleAllocated{false};  // read by workers while another thread closes
  std::string FPeerIP;
  uint16_t FPeerPort = 0;
  int FSocketType = 0;
  bool FOverlapped = false;
  // Serialises closing against allocating or accepting.
  mutable std::mutex FConnectionLock;
};

// The bindings of a server; a new binding takes DefaultPort as its port.
class TIdSocketHandles {
public:
  uint16_t DefaultPort() const { return FDefaultPort; }
  void SetDefaultPort(uint16_t value) { FDefaultPort = value; }

  TIdSocketHandle& Add();
  int Count() const { return static_cast<int>(FItems.size()); }
  TIdSocketHandle& Items(int index) { return *FItems.at(static_cast<size_t>(index)); }
  const TIdSocketHandle& Items(int index) const { return *FItems.at(static_cast<size_t>(index)); }
  int IndexOf(const TIdSocketHandle* item) const;
  // Removing bindings while their sockets are open (the server listening) raises.
  void Delete(int index);
  void Clear();

private:
  void CheckNotListening() const;

  uint16_t FDefaultPort = 0;
  std::vector<std::unique_ptr<TIdSocketHandle>> FItems;
};

}  // namespace zal
