#pragma once
// TzalWSLoadBalancerLink: the link that lets several server instances act as
// one. Every instance publishes what its Broadcast and WriteData(guid) send to
// a Redis publish/subscribe channel and receives what the others publish.
//
// The link has two connections of its own to the Redis server: one publishes
// (its replies confirm that the bus is alive), one subscribes. One link thread
// drives both: it waits in poll() on the two sockets and an eventfd, bounded by
// the earliest deadline, and pushes what arrives through TzalRedisSession.
// Received messages go to a second thread that delivers them to the local
// connections, so a slow client never stops the link from reading the bus.
//
// Publish() only appends to a queue bounded by MaxQueuedBytes: no caller ever
// waits for the bus. Messages queued while the bus is away are sent when it
// is back, as far as the bound holds them; what the bus had not passed on when
// it went away is lost (publish/subscribe delivers at most once).
#include <sys/types.h>

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "server/zalWebSocket_LoadBalancerMessage.h"

struct redisReply;

namespace zal {

class TzalRedisSession;

struct TzalWSLoadBalancerLinkSettings {
  std::string Host = "127.0.0.1";
  int Port = 6379;
  std::string Guid;                    // this instance; its own messages come back and are skipped
  std::string Channel = "zalWebSockets";
  int TimeOut = 5000;                  // ms: connect and handshake, and every reply of the bus
  size_t MaxQueuedBytes = 8388608;     // octets waiting to be published, and waiting to be delivered
  int RetryDelayMax = 5000;            // ms: the back-off doubles from 250 ms up to this
};

class TzalWSLoadBalancerLink {
public:
  explicit TzalWSLoadBalancerLink(TzalWSLoadBalancerLinkSettings aSettings);
  ~TzalWSLoadBalancerLink();
  TzalWSLoadBalancerLink(const TzalWSLoadBalancerLink&) = delete;
  TzalWSLoadBalancerLink& operator=(const TzalWSLoadBalancerLink&) = delete;

  // Raised on the link thread: the bus is reachable (both connections ready),
  // it went away, or something failed (the text says what).
  std::function<void()> OnConnect;
  std::function<void()> OnDisconnect;
  std::function<void(const std::string& aError)> OnError;
  // Raised on the delivery thread for each message of another instance, in
  // the order the bus delivered them.
  std::function<void(const TzalLoadBalancerMessage& aMessage)> OnMessage;

  // Starts the threads; the first connection attempt follows at once.
  void Start();
  // Ends both connections and threads; raises OnDisconnect when the link was up.
  void Stop();
  // Queues `aMessage` for the other instances (its Origin is set here). False,
  // with OnError raised on the calling thread, when the queue would pass
  // MaxQueuedBytes; false without an error when the link is not running.
  bool Publish(TzalLoadBalancerMessage aMessage);

  bool Connected() const;
  // Octets queued for publishing and not yet handed to the socket.
  size_t QueuedBytes() const;
  const TzalWSLoadBalancerLinkSettings& Settings() const { return FSettings; }

private:
  struct TBusConnection;

  void Run();
  void RunDelivery();
  // How long the link thread may wait in poll: until the earliest deadline (-1: none).
  int NextTimeOut(int64_t now) const;
  void Open(int64_t now);
  void Up();
  void Fail(const std::string& aError, int64_t now);
  void CloseConnections();
  void Service(TBusConnection& aConnection, short aEvents);
  void Flush(TBusConnection& aConnection);
  void Receive(TBusConnection& aConnection);
  void OnPublisherReply(const ::redisReply& aReply);
  void OnSubscriberReply(const ::redisReply& aReply);
  void PumpQueuedCommands(int64_t now);
  void CheckDeadlines(int64_t now);
  void Deliver(TzalLoadBalancerMessage aMessage);
  void RaiseError(const std::string& aError);
  void WakeLinkThread();
  std::string Address() const;

  TzalWSLoadBalancerLinkSettings FSettings;
  int FWakeFd = -1;  // eventfd: posted publishes and Stop
  std::thread FThread;
  std::thread FDeliveryThread;

  // Shared with publishing threads.
  mutable std::mutex FLock;
  std::deque<std::string> FCommands;  // encoded PUBLISH commands not yet taken by the link thread
  size_t FQueuedBytes = 0;            // their octets plus the publisher's unsent output
  bool FStopping = true;  // until Start, and from Stop on
  bool FConnected = false;

  // Shared with the delivery thread.
  std::mutex FDeliveryLock;
  std::condition_variable FDeliveryWake;
  std::deque<TzalLoadBalancerMessage> FDeliveries;
  size_t FDeliveryBytes = 0;
  bool FDeliveryStopping = false;

  // The link thread's own state.
  std::unique_ptr<TBusConnection> FPublisher;
  std::unique_ptr<TBusConnection> FSubscriber;
  bool FPublisherReady = false;
  bool FSubscriberReady = false;
  int64_t FOpenDeadline = 0;  // when the connections must be ready; 0 while up or idle
  int64_t FRetryAt = 0;       // when the next attempt starts while idle
  int FFailures = 0;          // attempts failed since the link was last up
  std::deque<int64_t> FPendingReplies;  // when each unanswered publisher command was sent
};

}  // namespace zal
