#pragma once
// Connection intercepts: byte transformers that see every block a connection
// receives (after the raw receive) and sends (before the raw send). Intercepts
// chain: a receive passes through the chained intercept first, a send last.
#include <cstdint>
#include <functional>
#include <string>

#include "support/zalIdException.h"
#include "support/zalIdTextEncoding.h"

namespace zal {

class TIdTCPConnection;
class TIdConnectionIntercept;

// "%s: Circular links are not allowed" (the intercept's name).
class EIdInterceptCircularLink : public EIdException {
public:
  explicit EIdInterceptCircularLink(const std::string& name);
};

using TIdInterceptNotifyEvent = std::function<void(TIdConnectionIntercept& sender)>;
using TIdInterceptStreamEvent = std::function<void(TIdConnectionIntercept& sender, TIdBytes& buffer)>;

class TIdConnectionIntercept {
public:
  TIdConnectionIntercept() = default;
  virtual ~TIdConnectionIntercept() = default;
  TIdConnectionIntercept(const TIdConnectionIntercept&) = delete;
  TIdConnectionIntercept& operator=(const TIdConnectionIntercept&) = delete;

  virtual void Connect(TIdTCPConnection* connection);
  virtual void Disconnect();
  // Transforms a received block in place: the chained intercept, then OnReceive.
  virtual void Receive(TIdBytes& buffer);
  // Transforms a block to send in place: OnSend, then the chained intercept.
  virtual void Send(TIdBytes& buffer);

  TIdTCPConnection* Connection() const { return FConnection; }
  bool IsClient() const { return FIsClient; }
  void SetIsClient(bool value) { FIsClient = value; }
  const std::string& Name() const { return FName; }
  void SetName(const std::string& value) { FName = value; }
  // The next intercept of the chain (not owned); a link that closes a loop raises.
  TIdConnectionIntercept* Intercept() const { return FIntercept; }
  void SetIntercept(TIdConnectionIntercept* value);

  TIdInterceptNotifyEvent OnConnect;
  TIdInterceptNotifyEvent OnDisconnect;
  TIdInterceptStreamEvent OnReceive;
  TIdInterceptStreamEvent OnSend;

protected:
  TIdTCPConnection* FConnection = nullptr;
  TIdConnectionIntercept* FIntercept = nullptr;
  bool FIsClient = false;
  std::string FName;
};

// Limits the data rate: after passing a block on it sleeps as long as the block
// takes at the configured bits per second (0 = no limit), receiving and sending alike.
class TIdInterceptThrottler : public TIdConnectionIntercept {
public:
  void Receive(TIdBytes& buffer) override;
  void Send(TIdBytes& buffer) override;

  int64_t BitsPerSec() const { return FRecvBitsPerSec; }
  void SetBitsPerSec(int64_t value) { FRecvBitsPerSec = FSendBitsPerSec = value; }
  int64_t RecvBitsPerSec() const { return FRecvBitsPerSec; }
  void SetRecvBitsPerSec(int64_t value) { FRecvBitsPerSec = value; }
  int64_t SendBitsPerSec() const { return FSendBitsPerSec; }
  void SetSendBitsPerSec(int64_t value) { FSendBitsPerSec = value; }

  // Milliseconds a block of `byteCount` bytes takes at `bitsPerSec`.
  static int64_t DelayMs(size_t byteCount, int64_t bitsPerSec);

private:
  int64_t FRecvBitsPerSec = 0;
  int64_t FSendBitsPerSec = 0;
};

}  // namespace zal
