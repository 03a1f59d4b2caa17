#include "server/zalWebSocket_LoadBalancer.h"

#include <hiredis/hiredis.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string_view>

#include "server/zalRedis_Session.h"
#include "support/zalHelpers.h"

namespace zal {

namespace {

constexpr int FirstRetryDelay = 250;   // ms; doubled after each failed attempt
constexpr size_t ReadChunk = 65536;     // octets read from a socket per recv
constexpr size_t CompactAfter = 1 << 20;  // sent output octets kept before the buffer is compacted
constexpr size_t OutputChunk = 65536;     // queued commands moved to the publisher's output at a time

int64_t Now() { return static_cast<int64_t>(GetTickCount64()); }

std::string_view ReplyText(const redisReply& aReply) {
  return aReply.str ? std::string_view(aReply.str, aReply.len) : std::string_view();
}

bool IsArrayOf(const redisReply& aReply, size_t aElements, std::string_view aKind) {
  return aReply.type == REDIS_REPLY_ARRAY && aReply.elements == aElements &&
         aReply.element[0]->type == REDIS_REPLY_STRING && ReplyText(*aReply.element[0]) == aKind;
}

// A non-blocking TCP socket connecting to host:port; -1 with `aError` set when it cannot start.
int StartConnect(const std::string& aHost, int aPort, std::string& aError) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  const int resolved = getaddrinfo(aHost.c_str(), std::to_string(aPort).c_str(), &hints, &found);
  if (resolved != 0) {
    aError = gai_strerror(resolved);
    return -1;
  }
  std::unique_ptr<addrinfo, void (*)(addrinfo*)> owned(found, freeaddrinfo);
  const int fd = ::socket(found->ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    aError = std::strerror(errno);
    return -1;
  }
  const int on = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  if (::connect(fd, found->ai_addr, found->ai_addrlen) != 0 && errno != EINPROGRESS) {
    aError = std::strerror(errno);
    ::close(fd);
    return -1;
  }
  return fd;
}

}  // namespace

// One of the link's two connections: its socket and its protocol state.
struct TzalWSLoadBalancerLink::TBusConnection {
  TBusConnection(int aSocket, size_t aMaxPending) : Socket(aSocket), Session(aMaxPending) {}
  ~TBusConnection() { ::close(Socket); }

  int Socket;
  bool Connecting = true;  // the non-blocking connect has not completed yet
  size_t Sent = 0;         // octets of Session.Output() already sent
  size_t Greeting = 0;     // octets at the front of what is unsent that no Publish counted
  TzalRedisSession Session;
  bool HasOutput() { return Sent < Session.Output().size(); }
};

TzalWSLoadBalancerLink::TzalWSLoadBalancerLink(TzalWSLoadBalancerLinkSettings aSettings)
    : FSettings(std::move(aSettings)) {
  if (FSettings.Host.empty())
    FSettings.Host = "127.0.0.1";
  if (FSettings.Port <= 0)
    FSettings.Port = 6379;
}

TzalWSLoadBalancerLink::~TzalWSLoadBalancerLink() { Stop(); }

std::string TzalWSLoadBalancerLink::Address() const {
  return FSettings.Host + ":" + std::to_string(FSettings.Port);
}

void TzalWSLoadBalancerLink::Start() {
  if (FThread.joinable())
    return;
  FWakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (FWakeFd < 0)
    throw std::runtime_error(std::string("Load balancer cannot create its wake-up descriptor: ") +
                             std::strerror(errno));
  {
    std::lock_guard lock(FLock);
    FStopping = false;
  }
  FDeliveryStopping = false;
  FDeliveryThread = std::thread([this] { RunDelivery(); });
  FThread = std::thread([this] { Run(); });
}

void TzalWSLoadBalancerLink::Stop() {
  if (!FThread.joinable())
    return;
  {
    std::lock_guard lock(FLock);
    FStopping = true;
    WakeLinkThread();
  }
  FThread.join();
  {
    std::lock_guard lock(FDeliveryLock);
    FDeliveryStopping = true;
  }
  FDeliveryWake.notify_all();
  FDeliveryThread.join();
  ::close(FWakeFd);
  FWakeFd = -1;
}

void TzalWSLoadBalancerLink::WakeLinkThread() {
  const uint64_t one = 1;
  [[maybe_unused]] const ssize_t written = ::write(FWakeFd, &one, sizeof one);
}

bool TzalWSLoadBalancerLink::Connected() const {
  std::lock_guard lock(FLock);
  return FConnected;
}

size_t TzalWSLoadBalancerLink::QueuedBytes() const {
  std::lock_guard lock(FLock);
  return FQueuedBytes;
}

bool TzalWSLoadBalancerLink::Publish(TzalLoadBalancerMessage aMessage) {
  aMessage.Origin = FSettings.Guid;
  std::string command;
  AppendRedisCommand(command, {"PUBLISH", FSettings.Channel, EncodeLoadBalancerMessage(aMessage)});
  {
    // The wake-up descriptor is written under the lock: Stop closes it only
    // after it has marked the link stopping under the same lock.
    std::lock_guard lock(FLock);
    if (FStopping)
      return false;
    if (FQueuedBytes + command.size() <= FSettings.MaxQueuedBytes) {
      FQueuedBytes += command.size();
      FCommands.push_back(std::move(command));
      WakeLinkThread();
      return true;
    }
  }
  RaiseError("Load balancer queue full (MaxQueuedBytes " + std::to_string(FSettings.MaxQueuedBytes) +
             "): message not forwarded.");
  return false;
}

void TzalWSLoadBalancerLink::RaiseError(const std::string& aError) {
  if (OnError)
    OnError(aError);
}

// The link thread: one poll over the wake-up descriptor and the two sockets.
void TzalWSLoadBalancerLink::Run() {
  Open(Now());
  for (;;) {
    int64_t now = Now();
    pollfd fds[3] = {{FWakeFd, POLLIN, 0}, {-1, 0, 0}, {-1, 0, 0}};
    TBusConnection* connections[2] = {FPublisher.get(), FSubscriber.get()};
    for (int i = 0; i < 2; ++i) {
      if (!connections[i])
        continue;
      fds[i + 1].fd = connections[i]->Socket;
      fds[i + 1].events = static_cast<short>(POLLIN | (connections[i]->Connecting || connections[i]->HasOutput()
                                                           ? POLLOUT : 0));
    }
    ::poll(fds, 3, NextTimeOut(now));
    now = Now();
    if (fds[0].revents) {
      uint64_t count;
      [[maybe_unused]] const ssize_t got = ::read(FWakeFd, &count, sizeof count);
      std::lock_guard lock(FLock);
      if (FStopping)
        break;
    }
    try {
      for (int i = 0; i < 2; ++i)
        if (connections[i] && fds[i + 1].revents)
          Service(*connections[i], fds[i + 1].revents);
      PumpQueuedCommands(now);
      CheckDeadlines(now);
    } catch (const std::exception& e) {
      Fail(e.what(), now);
    }
  }
  const bool wasConnected = FPublisher && FPublisherReady && FSubscriberReady;
  CloseConnections();
  if (wasConnected && OnDisconnect)
    OnDisconnect();
}

int TzalWSLoadBalancerLink::NextTimeOut(int64_t now) const {
  int64_t deadline = -1;
  if (!FPublisher)
    deadline = FRetryAt;
  else if (FOpenDeadline)
    deadline = FOpenDeadline;
  else if (!FPendingReplies.empty())
    deadline = FPendingReplies.front() + FSettings.TimeOut;
  if (deadline < 0)
    return -1;
  return static_cast<int>(std::clamp<int64_t>(deadline - now, 0, 60000));
}

void TzalWSLoadBalancerLink::Open(int64_t now) {
  std::string error;
  const size_t bound = FSettings.MaxQueuedBytes;
  int publisher = StartConnect(FSettings.Host, FSettings.Port, error);
  int subscriber = publisher < 0 ? -1 : StartConnect(FSettings.Host, FSettings.Port, error);
  if (subscriber < 0) {
    if (publisher >= 0)
      ::close(publisher);
    Fail("Load balancer cannot connect to " + Address() + ": " + error, now);
    return;
  }
  FPublisher = std::make_unique<TBusConnection>(publisher, bound);
  FSubscriber = std::make_unique<TBusConnection>(subscriber, bound);
  // Both say who they are; the replies show that the bus answers.
  FPublisher->Session.Command({"CLIENT", "SETNAME", "zal-" + FSettings.Guid});
  FPublisher->Greeting = FPublisher->Session.Output().size();
  FPendingReplies.push_back(now);
  FSubscriber->Session.Command({"SUBSCRIBE", FSettings.Channel});
  FOpenDeadline = now + FSettings.TimeOut;
}

void TzalWSLoadBalancerLink::Up() {
  FOpenDeadline = 0;
  FFailures = 0;
  {
    std::lock_guard lock(FLock);
    FConnected = true;
  }
  if (OnConnect)
    OnConnect();
}

// Drops both connections and schedules the next attempt with a doubling delay.
void TzalWSLoadBalancerLink::Fail(const std::string& aError, int64_t now) {
  const bool wasConnected = FPublisher && FPublisherReady && FSubscriberReady;
  CloseConnections();
  const int64_t delay = std::min<int64_t>(static_cast<int64_t>(FirstRetryDelay) << std::min(FFailures, 16),
                                          FSettings.RetryDelayMax);
  FRetryAt = now + delay;
  ++FFailures;
  RaiseError(aError);
  if (wasConnected && OnDisconnect)
    OnDisconnect();
}

void TzalWSLoadBalancerLink::CloseConnections() {
  if (FPublisher) {
    // Octets that did not reach the socket are lost with the connection.
    std::lock_guard lock(FLock);
    FQueuedBytes -= FPublisher->Session.Output().size() - FPublisher->Sent - FPublisher->Greeting;
    FConnected = false;
  }
  FPublisher.reset();
  FSubscriber.reset();
  FPublisherReady = false;
  FSubscriberReady = false;
  FOpenDeadline = 0;
  FPendingReplies.clear();
}

void TzalWSLoadBalancerLink::Service(TBusConnection& aConnection, short aEvents) {
  if (aConnection.Connecting) {
    int error = 0;
    socklen_t length = sizeof error;
    getsockopt(aConnection.Socket, SOL_SOCKET, SO_ERROR, &error, &length);
    if (error != 0)
      throw std::runtime_error("Load balancer cannot connect to " + Address() + ": " + std::strerror(error));
    if (!(aEvents & (POLLOUT | POLLIN)))
      return;
    aConnection.Connecting = false;
  }
  if (aEvents & (POLLIN | POLLHUP | POLLERR))
    Receive(aConnection);
  if (aConnection.HasOutput())
    Flush(aConnection);
}

void TzalWSLoadBalancerLink::Flush(TBusConnection& aConnection) {
  if (aConnection.Connecting)
    return;
  std::string& output = aConnection.Session.Output();
  while (aConnection.Sent < output.size()) {
    const ssize_t sent = ::send(aConnection.Socket, output.data() + aConnection.Sent, output.size() - aConnection.Sent,
                                MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)
        break;
      throw std::runtime_error("Load balancer lost the bus at " + Address() + ": " + std::strerror(errno));
    }
    aConnection.Sent += static_cast<size_t>(sent);
    const size_t greeting = std::min(aConnection.Greeting, static_cast<size_t>(sent));
    aConnection.Greeting -= greeting;
    if (&aConnection == FPublisher.get()) {
      std::lock_guard lock(FLock);
      FQueuedBytes -= static_cast<size_t>(sent) - greeting;
    }
  }
  if (aConnection.Sent == output.size() || aConnection.Sent >= CompactAfter) {
    output.erase(0, aConnection.Sent);
    aConnection.Sent = 0;
  }
}

void TzalWSLoadBalancerLink::Receive(TBusConnection& aConnection) {
  char buffer[ReadChunk];
  const bool publisher = &aConnection == FPublisher.get();
  for (int reads = 0; reads < 16; ++reads) {
    const ssize_t got = ::recv(aConnection.Socket, buffer, sizeof buffer, MSG_DONTWAIT);
    if (got == 0)
      throw std::runtime_error("Load balancer bus at " + Address() + " closed the connection.");
    if (got < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)
        return;
      throw std::runtime_error("Load balancer lost the bus at " + Address() + ": " + std::strerror(errno));
    }
    aConnection.Session.Feed(std::string_view(buffer, static_cast<size_t>(got)), [&](const redisReply& reply) {
      publisher ? OnPublisherReply(reply) : OnSubscriberReply(reply);
    });
    if (static_cast<size_t>(got) < sizeof buffer)
      return;
  }
}

void TzalWSLoadBalancerLink::OnPublisherReply(const redisReply& aReply) {
  if (FPendingReplies.empty())
    throw EzalRedisProtocol("Load balancer bus sent a reply nobody asked for.");
  FPendingReplies.pop_front();
  if (aReply.type == REDIS_REPLY_ERROR) {
    const std::string text = "Load balancer bus error: " + std::string(ReplyText(aReply));
    if (!FPublisherReady)
      throw std::runtime_error(text);
    RaiseError(text);
    return;
  }
  if (!FPublisherReady) {
    FPublisherReady = true;
    if (FSubscriberReady)
      Up();
  }
}

void TzalWSLoadBalancerLink::OnSubscriberReply(const redisReply& aReply) {
  if (aReply.type == REDIS_REPLY_ERROR)
    throw std::runtime_error("Load balancer bus error: " + std::string(ReplyText(aReply)));
  if (!FSubscriberReady && IsArrayOf(aReply, 3, "subscribe")) {
    FSubscriberReady = true;
    if (FPublisherReady)
      Up();
    return;
  }
  if (!IsArrayOf(aReply, 3, "message") || aReply.element[2]->type != REDIS_REPLY_STRING)
    return;
  TzalLoadBalancerMessage message;
  if (!DecodeLoadBalancerMessage(ReplyText(*aReply.element[2]), message)) {
    RaiseError("Load balancer message unreadable: dropped.");
    return;
  }
  if (message.Origin != FSettings.Guid)
    Deliver(std::move(message));
}

// Hands the commands queued by Publish to the publisher once the link is up,
// a chunk at a time while the socket takes them: what stays queued survives a
// lost connection and goes out after the next one.
void TzalWSLoadBalancerLink::PumpQueuedCommands(int64_t now) {
  if (!FPublisher || !FPublisherReady || !FSubscriberReady)
    return;
  for (;;) {
    {
      std::lock_guard lock(FLock);
      std::string& output = FPublisher->Session.Output();
      while (!FCommands.empty() && output.size() - FPublisher->Sent < OutputChunk) {
        output += FCommands.front();
        FCommands.pop_front();
        FPendingReplies.push_back(now);
      }
    }
    if (!FPublisher->HasOutput())
      return;
    Flush(*FPublisher);
    if (FPublisher->HasOutput())
      return;  // the socket is full: POLLOUT brings the link back
  }
}

void TzalWSLoadBalancerLink::CheckDeadlines(int64_t now) {
  if (!FPublisher) {
    if (now >= FRetryAt)
      Open(now);
    return;
  }
  const bool opening = FOpenDeadline != 0;
  if ((opening && now >= FOpenDeadline) ||
      (!FPendingReplies.empty() && now >= FPendingReplies.front() + FSettings.TimeOut))
    throw std::runtime_error("Load balancer bus at " + Address() + " did not answer within " +
                             std::to_string(FSettings.TimeOut) + " ms.");
}

// Queues a message of another instance for the delivery thread, within the same bound.
void TzalWSLoadBalancerLink::Deliver(TzalLoadBalancerMessage aMessage) {
  const size_t size = aMessage.Body.size();
  bool queued = false;
  {
    std::lock_guard lock(FDeliveryLock);
    if (FDeliveryBytes + size <= FSettings.MaxQueuedBytes) {
      FDeliveryBytes += size;
      FDeliveries.push_back(std::move(aMessage));
      queued = true;
    }
  }
  if (!queued) {
    RaiseError("Load balancer delivery queue full (MaxQueuedBytes " + std::to_string(FSettings.MaxQueuedBytes) +
               "): message dropped.");
    return;
  }
  FDeliveryWake.notify_one();
}

void TzalWSLoadBalancerLink::RunDelivery() {
  std::unique_lock lock(FDeliveryLock);
  for (;;) {
    FDeliveryWake.wait(lock, [this] { return FDeliveryStopping || !FDeliveries.empty(); });
    if (FDeliveryStopping)
      return;
    TzalLoadBalancerMessage message = std::move(FDeliveries.front());
    FDeliveries.pop_front();
    FDeliveryBytes -= message.Body.size();
    lock.unlock();
    try {
      if (OnMessage)
        OnMessage(message);
    } catch (const std::exception& e) {
      RaiseError(e.what());
    }
    lock.lock();
  }
}

}  // namespace zal
