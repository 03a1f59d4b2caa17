#include "websocket/zalWebSocket_Classes_Sock.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cassert>
#include <cerrno>
#include <chrono>
#include <limits>
#include <utility>

#include "server/zalWebSocket_Resources.h"
#include "support/zalHelpers.h"
#include "support/zalRequestClassification.h"
#include "support/zalStream.h"
#include "transport/zalIdIOHandler.h"
#include "transport/zalIdIOHandlerSocket.h"
#include "transport/zalIdSSLIOHandler.h"
#include "transport/zalIdTCPConnection.h"
#include "websocket/zalWebSocket_FallBack.h"
#include "websocket/zalWebSocket_Frame.h"

namespace zal {

namespace {

constexpr size_t kRetainedScratch = 64 * 1024;

int64_t NowMs() { return static_cast<int64_t>(GetTickCount64()); }

// The connection whose step runs on this thread: what it queues goes out at
// the end of the step, without waking anybody.
thread_local const void* tStepping = nullptr;

std::span<const uint8_t> BytesOf(const std::string& text) {
  return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
}

bool SpeaksRFC6455Frames(TwsTransport transport) {
  return transport == trpRFC6455 || transport == trpFlash || transport == trpRFC8441;
}

TzalWSException WriteError(const std::exception& e) {
  return TzalWSException(std::string("Error writing message ") + e.what() + ".");
}

}  // namespace

// ---- TzalTCPConnection_Base --------------------------------------------------

const std::string& TzalTCPConnection_Base::Guid() {
  std::lock_guard lock(FGuidLock);
  if (FGuid.empty())
    FGuid = CreateGuidString();
  return FGuid;
}

void TzalTCPConnection_Base::SetDisconnected(bool value) {
  if (!value) {
    FDisconnected.store(false);
    return;
  }
  if (!FDisconnected.exchange(true))
    Disconnecting();
}

// ---- TzalWSConnection: the application's operations ---------------------------

TzalWSConnection::~TzalWSConnection() = default;

bool TzalWSConnection::RefuseOversize(uint64_t aBytes) {
  if (aBytes <= FLimits.MaxSendQueueSize)
    return false;
  if (FOnError)
    FOnError(this, "Message exceeds MaxSendQueueSize");
  Close(kClosePolicyViolation);
  return true;
}

void TzalWSConnection::Enqueue(TwsQueueMsgLevels aLevel, std::unique_ptr<TzalQueueObject> aItem) {
  // The bytes are reserved first, so queues of different levels filled from
  // several threads never pass the bound together.
  const uint64_t bytes = aItem->Bytes();
  uint64_t queued = FQueuedBytes.load();
  do {
    if (queued + bytes > FLimits.MaxSendQueueSize) {
      // A reader too slow for what is sent: the queues may not grow without limit.
      if (FOnError)
        FOnError(this, "Send queue exceeds MaxSendQueueSize");
      Close(kClosePolicyViolation);
      return;
    }
  } while (!FQueuedBytes.compare_exchange_weak(queued, queued + bytes));
  SendQueue& queue = FQueues[aLevel == qmLevel1 ? 1 : aLevel == qmLevel2 ? 2 : 0];
  {
    std::lock_guard lock(queue.Lock);
    queue.Items.push_back(std::move(aItem));
  }
  Wake();
}

bool TzalWSConnection::HasItems(SendQueue& aQueue) {
  std::lock_guard lock(aQueue.Lock);
  return !aQueue.Items.empty();
}

// Takes the oldest item of a queue (nullptr when empty); its bytes leave the count with it.
std::unique_ptr<TzalQueueObject> TzalWSConnection::TakeNext(SendQueue& aQueue) {
  std::lock_guard lock(aQueue.Lock);
  if (aQueue.Items.empty())
    return nullptr;
  std::unique_ptr<TzalQueueObject> item = std::move(aQueue.Items.front());
  aQueue.Items.pop_front();
  FQueuedBytes -= item->Bytes();
  return item;
}

void TzalWSConnection::WriteData(const std::string& aText, int aSize, TwsStreaming aStreaming) {
  if (Disconnected() || RefuseOversize(aText.size()))
    return;
  if (FQueueOptions.Text.Level == qmNone)
    return DoWriteData(aText, aSize, aStreaming);
  auto item = std::make_unique<TzalQueueObject>();
  item->FText = aText;
  item->FSize = aSize;
  item->FStreaming = aStreaming;
  Enqueue(FQueueOptions.Text.Level, std::move(item));
}

void TzalWSConnection::WriteDataAsText(const std::string& aText) {
  WriteData(FTransport == trpSSE ? SSEDataFields(aText) : aText);
}

void TzalWSConnection::WriteData(TStream& aStream, int aSize, TwsStreaming aStreaming) {
  if (Disconnected() || RefuseOversize(static_cast<uint64_t>(aStream.Size())))
    return;
  if (FQueueOptions.Binary.Level == qmNone)
    return DoWriteData(aStream, aSize, aStreaming);
  auto item = std::make_unique<TzalQueueObject>();
  item->FOpCode = opBinary;
  item->FStream = std::make_unique<TMemoryStream>();
  item->FStream->LoadFromStream(aStream);
  item->FSize = aSize;
  item->FStreaming = aStreaming;
  Enqueue(FQueueOptions.Binary.Level, std::move(item));
}

// The answer is kept only while somebody waits for it: a connection does not
// hold on to the last of its messages, however large.
std::string TzalWSConnection::WriteAndWaitData(const std::string& aText, int aTimeOut) {
  if (aTimeOut <= 0) {
    WriteData(aText, 0, stmNone);
    return "";
  }
  {
    std::lock_guard lock(FStateLock);
    FMsgReceived.clear();
    ++FAnswerWaiters;
  }
  struct LastWaiterReleases {
    TzalWSConnection& connection;
    ~LastWaiterReleases() {
      std::lock_guard lock(connection.FStateLock);
      if (--connection.FAnswerWaiters == 0)
        std::string().swap(connection.FMsgReceived);
    }
  } waiting{*this};
  WriteData(aText, 0, stmNone);
  std::unique_lock lock(FStateLock);
  FSignal.wait_for(lock, std::chrono::milliseconds(aTimeOut),
                   [this] { return !FMsgReceived.empty() || Disconnected(); });
  return FMsgReceived;
}

void TzalWSConnection::Ping(const std::string& aText) { Ping(aText, 0); }

bool TzalWSConnection::Ping(const std::string& aText, int aTimeOut) {
  if (Disconnected())
    return false;
  const uint64_t id = NextPingId();
  NotePingSent();
  if (FQueueOptions.Ping.Level == qmNone)
    DoPing(aText, id);
  else
    EnqueuePing(FQueueOptions.Ping.Level, aText, id);
  if (aTimeOut <= 0)
    return false;
  std::unique_lock lock(FStateLock);
  return FSignal.wait_for(lock, std::chrono::milliseconds(aTimeOut),
                          [this, id] { return FPingsAnswered >= id || Disconnected(); }) &&
         FPingsAnswered >= id;
}

void TzalWSConnection::PostPing(const std::string& aText) {
  if (Disconnected())
    return;
  NotePingSent();
  EnqueuePing(FQueueOptions.Ping.Level == qmNone ? qmLevel0 : FQueueOptions.Ping.Level, aText, NextPingId());
}

void TzalWSConnection::EnqueuePing(TwsQueueMsgLevels aLevel, const std::string& aText, uint64_t aPingId) {
  auto item = std::make_unique<TzalQueueObject>();
  item->FOpCode = opPing;
  item->FText = aText;
  item->FPingId = aPingId;
  Enqueue(aLevel, std::move(item));
}

void TzalWSConnection::PingsAnswered(uint64_t aPingId, const std::string& aText) {
  FLastPong.store(NowMs());
  {
    std::lock_guard lock(FStateLock);
    FPingsAnswered = std::max(FPingsAnswered, aPingId);
    FPong = aText;
  }
  FSignal.notify_all();
}

void TzalWSConnection::Close(int aCloseCode) {
  if (SpeaksRFC6455Frames(FTransport) || FTransport == trpHixie76 || FTransport == trpHTTP2)
    SendClose(aCloseCode);
  else
    DoDisconnect("", aCloseCode);
}

void TzalWSConnection::Disconnect(int aCloseCode) { DoDisconnect("", aCloseCode); }

// Items move to the writer only while it keeps up: a reader that stops
// reading leaves them in the queues, whose bound then ends the connection
// with 1008 and a close frame.
void TzalWSConnection::ProcessQueues() {
  for (SendQueue& queue : FQueues) {
    while (HasItems(queue)) {
      if (!Enabled() || Disconnected() || !WriterHasRoom())
        return;  // what is left goes with the connection, or waits for the writer
      const std::unique_ptr<TzalQueueObject> item = TakeNext(queue);
      if (!item)
        break;
      Send(*item);
    }
  }
}

void TzalWSConnection::Send(TzalQueueObject& aItem) {
  if (aItem.FOpCode == opPing)
    DoPing(aItem.FText, aItem.FPingId);
  else if (aItem.FOpCode == opBinary)
    DoWriteData(*aItem.FStream, aItem.FSize, aItem.FStreaming);
  else
    DoWriteData(aItem.FText, aItem.FSize, aItem.FStreaming);
}

// Queued messages are dropped and every waiter wakes up.
void TzalWSConnection::Disconnecting() {
  for (SendQueue& queue : FQueues)
    while (TakeNext(queue)) {
    }
  { std::lock_guard lock(FStateLock); }
  FSignal.notify_all();
}

std::string TzalWSConnection::CloseReason() const {
  std::lock_guard lock(FStateLock);
  return FCloseReason;
}

std::string TzalWSConnection::MsgReceived() const {
  std::lock_guard lock(FStateLock);
  return FMsgReceived;
}

void TzalWSConnection::SetMsgReceived(const std::string& aText) {
  {
    std::lock_guard lock(FStateLock);
    if (FAnswerWaiters == 0)
      return;
    FMsgReceived = aText;
  }
  FSignal.notify_all();
}

std::string TzalWSConnection::Pong() const {
  std::lock_guard lock(FStateLock);
  return FPong;
}

void TzalWSConnection::DoSubscribe(const std::string& aChannels) {
  std::vector<std::string> added;
  {
    std::lock_guard lock(FSubscriptionsLock);
    for (std::string_view name : Split(aChannels, ',')) {
      if (std::none_of(FSubscriptions.begin(), FSubscriptions.end(),
                       [&](const std::string& subscribed) { return TextIsSame(subscribed, name); })) {
        FSubscriptions.emplace_back(name);
        added.emplace_back(name);
      }
    }
  }
  for (const std::string& name : added)
    if (FOnSubscription)
      FOnSubscription(this, name);
}

void TzalWSConnection::DoUnSubscribe(const std::string& aChannels) {
  std::vector<std::string> removed;
  {
    std::lock_guard lock(FSubscriptionsLock);
    for (std::string_view name : Split(aChannels, ',')) {
      const auto found = std::find_if(FSubscriptions.begin(), FSubscriptions.end(),
                                      [&](const std::string& subscribed) { return TextIsSame(subscribed, name); });
      if (found != FSubscriptions.end()) {
        removed.push_back(std::move(*found));
        FSubscriptions.erase(found);
      }
    }
  }
  for (const std::string& name : removed)
    if (FOnUnSubscription)
      FOnUnSubscription(this, name);
}

bool TzalWSConnection::Subscribed(const std::string& aChannel) const {
  if (aChannel.empty())
    return true;
  std::lock_guard lock(FSubscriptionsLock);
  for (std::string_view name : Split(aChannel, ','))
    if (std::any_of(FSubscriptions.begin(), FSubscriptions.end(),
                    [&](const std::string& subscribed) { return TextIsSame(subscribed, name); }))
      return true;
  return false;
}

std::vector<std::string> TzalWSConnection::Subscriptions() const {
  std::lock_guard lock(FSubscriptionsLock);
  return FSubscriptions;
}

// ---- TzalWSConnection_Base_Sock: frames on a socket ---------------------------

TzalWSConnection_Base_Sock::TzalWSConnection_Base_Sock() { BindReaderEvents(); }

TzalWSConnection_Base_Sock::~TzalWSConnection_Base_Sock() {
  if (const int handle = FWakeHandle.load(); handle >= 0)
    ::close(handle);
}

TzalWSConnection_Base_Sock::TStepScope::TStepScope(const TzalWSConnection_Base_Sock& aConnection)
    : FPrevious(std::exchange(tStepping, &aConnection)) {}

TzalWSConnection_Base_Sock::TStepScope::~TStepScope() { tStepping = FPrevious; }

void TzalWSConnection_Base_Sock::Wake() {
  if (FStepDriven.load()) {
    std::lock_guard lock(FDriverLock);
    if (FStepDriver)
      FStepDriver->Wake();
    return;
  }
  // Before the connection's first wait there is no eventfd yet: that wait
  // finds the wake pending.
  if (!FWakePending.exchange(true))
    if (const int handle = FWakeHandle.load(); handle >= 0)
      [[maybe_unused]] const int ignored = ::eventfd_write(handle, 1);
}

void TzalWSConnection_Base_Sock::SetStepDriver(TIdStepDriver* aDriver) {
  std::lock_guard lock(FDriverLock);
  FStepDriver = aDriver;
  if (aDriver)
    FStepDriven.store(true);
}

int TzalWSConnection_Base_Sock::WakeHandle() {
  int handle = FWakeHandle.load();
  if (handle >= 0)
    return handle;
  handle = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (handle < 0)
    RaiseLastIdSocketError();
  FWakeHandle.store(handle);
  if (FWakePending.load())
    [[maybe_unused]] const int ignored = ::eventfd_write(handle, 1);  // a wake that came before the eventfd
  return handle;
}

void TzalWSConnection_Base_Sock::AwaitNextStep(int aTimeOutMs, bool aWritable, bool aReadable) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point deadline =
      aTimeOutMs < 0 ? Clock::time_point::max() : Clock::now() + std::chrono::milliseconds(aTimeOutMs);
  FStepDeadline = FStepAwaits ? std::min(FStepDeadline, deadline) : deadline;
  FStepWritable = FStepWritable || aWritable;
  FStepReadable = (FStepAwaits && FStepReadable) || aReadable;
  FStepAwaits = true;
}

void TzalWSConnection_Base_Sock::WaitForNextStep() {
  using Clock = std::chrono::steady_clock;
  if (!std::exchange(FStepAwaits, false))
    return;
  if (FOutputHeld && FSendTimeOut > 0)
    FStepDeadline = std::min(FStepDeadline, FSendProgress + std::chrono::milliseconds(FSendTimeOut));
  int timeOutMs = -1;
  if (FStepDeadline != Clock::time_point::max()) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(FStepDeadline - Clock::now()).count();
    timeOutMs = static_cast<int>(std::clamp<int64_t>(left, 0, std::numeric_limits<int>::max()));
  }
  const bool writable = std::exchange(FStepWritable, false) || FOutputHeld;
  const bool readable = std::exchange(FStepReadable, true);
  if (FStepDriver) {
    FAwaitedInput = readable;
    FStepDriver->AwaitStep(FStepDeadline, writable, readable);
    return;
  }
  WaitForWork(timeOutMs, writable, readable);
}

void TzalWSConnection_Base_Sock::TakeArrivedInput() {
  if (!FStepDriver || !std::exchange(FAwaitedInput, false) || !FTCPConnection)
    return;
  TIdIOHandler& io = *FTCPConnection->IOHandler();
  // A driven socket's Readable never waits: it tells whether octets may be there.
  if (io.HasPendingInput() || io.Readable(0))
    io.CheckForDataOnSource(0);
}

void TzalWSConnection_Base_Sock::WaitForWork(int aTimeOutMs, bool aWritable, bool aReadable) {
  TIdIOHandler& io = *FTCPConnection->IOHandler();
  TIdIOHandlerSocket* socket = FTCPConnection->Socket();
  const int handle = socket && socket->Binding() ? socket->Binding()->Handle() : TIdSocketHandle::InvalidHandle;
  if (handle == TIdSocketHandle::InvalidHandle) {
    io.CheckForDataOnSource(0);  // notices the end
    return;
  }
  // What the transport holds (TLS records) is taken first; when that brings
  // nothing, it is only the start of a record, and the socket is waited for.
  if (aReadable && io.HasPendingInput()) {
    const int before = io.InputBuffer().Size();
    if (io.CheckForDataOnSource(0) || io.InputBuffer().Size() > before)
      return;
  }
  const short events = static_cast<short>((aReadable ? POLLIN : 0) | (aWritable ? POLLOUT : 0));
  const int wakeHandle = WakeHandle();
  pollfd polled[2] = {{handle, events, 0}, {wakeHandle, POLLIN, 0}};
  // A busy connection keeps its input block from one message to the next; one
  // that stays quiet for IdleBlockReleaseMs gives it back and waits on without it.
  const bool holdsBlock = io.InputBufferIsEmpty() && io.InputBuffer().Capacity() > 0;
  const int firstWait = holdsBlock && (aTimeOutMs < 0 || aTimeOutMs > IdleBlockReleaseMs) ? IdleBlockReleaseMs : aTimeOutMs;
  int ready;
  while ((ready = ::poll(polled, 2, firstWait)) < 0 && errno == EINTR) {
  }
  if (ready == 0 && firstWait != aTimeOutMs) {
    io.InputBuffer().Clear();  // a waiting connection keeps no input block
    const int rest = aTimeOutMs < 0 ? -1 : aTimeOutMs - IdleBlockReleaseMs;
    while (::poll(polled, 2, rest) < 0 && errno == EINTR) {
    }
  }
  if (polled[1].revents != 0) {
    eventfd_t count;
    [[maybe_unused]] const int ignored = ::eventfd_read(wakeHandle, &count);
    FWakePending.store(false);  // after the read: a Wake from now on writes again
  }
  if (aReadable && (polled[0].revents & ~POLLOUT) != 0)
    io.CheckForDataOnSource(0);
}

void TzalWSConnection_Base_Sock::SetTCPConnection(TIdTCPConnection* connection) {
  if (!connection)
    SetStepDriver(nullptr);  // the loop forgets the connection once it has left
  std::lock_guard writer(FCS);
  std::lock_guard lock(FTCPConnectionLock);
  FTCPConnection = connection;
}

void TzalWSConnection_Base_Sock::DisconnectTCP() {
  std::lock_guard lock(FTCPConnectionLock);
  if (FTCPConnection)
    FTCPConnection->Disconnect(false);
}

void TzalWSConnection_Base_Sock::Post(std::function<void()> aTask) {
  {
    std::lock_guard lock(FPostedLock);
    FPosted.push_back(std::move(aTask));
  }
  Wake();
}

void TzalWSConnection_Base_Sock::RunPosted() {
  for (;;) {
    std::function<void()> task;
    {
      std::lock_guard lock(FPostedLock);
      if (FPosted.empty())
        return;
      task = std::move(FPosted.front());
      FPosted.pop_front();
    }
    task();
  }
}

void TzalWSConnection_Base_Sock::SetExtension(TzalWSFrameExtension* aExtension) {
  FExtension = aExtension;
  FReader.SetExtension(aExtension);
}

void TzalWSConnection_Base_Sock::Disconnecting() {
  TzalWSConnection::Disconnecting();
  {
    std::lock_guard lock(FPostedLock);
    FPosted.clear();
  }
  Wake();
  { std::lock_guard lock(FChannelLock); }
  FChannelFree.notify_all();
}

void TzalWSConnection_Base_Sock::QueueBytes(TIdBytes&& aBytes) {
  if (!FOutput.Append(std::move(aBytes), FLimits.MaxSendQueueSize))
    RefuseSlowReader();
  else if (tStepping != this)
    Wake();
}

void TzalWSConnection_Base_Sock::RefuseSlowReader() {
  if (FDoDisconnect.exchange(true))
    return;
  FCloseCode.store(kClosePolicyViolation);
  SetDisconnected(true);
  FOutput.Clear();
  Wake();  // the connection's own step closes it
  if (FOnError)
    FOnError(this, "Send queue exceeds MaxSendQueueSize");
}

bool TzalWSConnection_Base_Sock::WriterHasRoom() {
  SendOutput();
  return !FOutputHeld;
}

void TzalWSConnection_Base_Sock::SendOutput() {
  if (FOutput.Empty())
    return;
  if (!FTCPConnection || !FTCPConnection->IOHandler()) {
    FOutput.Clear();
    return;
  }
  TIdIOHandler& io = *FTCPConnection->IOHandler();
  const uint64_t movedBefore = io.SentWithoutWaiting();
  const uint64_t sentBefore = io.QueuedOctetsSent();
  const bool waited = FOutputHeld;
  try {
    FOutputHeld = !io.SendQueued(FOutput);
  } catch (...) {
    FOutput.Clear();  // a piece may be cut short on the wire: nothing after it could be read
    FOutputHeld = false;
    throw;
  }
  FSendBytes += io.QueuedOctetsSent() - sentBefore;
  const auto now = std::chrono::steady_clock::now();
  if (io.SentWithoutWaiting() != movedBefore || !waited)
    FSendProgress = now;  // the stall clock runs while output waits and no octet moves
  if (FOutputHeld && FSendTimeOut > 0 && now >= FSendProgress + std::chrono::milliseconds(FSendTimeOut)) {
    FOutput.Clear();
    FOutputHeld = false;
    RaiseIdSocketError(Id_WSAETIMEDOUT);
  }
}

void TzalWSConnection_Base_Sock::FlushOutput() {
  try {
    SendOutput();
  } catch (const std::exception& e) {
    if (!FDoDisconnect.load())  // else this side ended the connection itself, the error says nothing new
      throw WriteError(e);
  }
}

void TzalWSConnection_Base_Sock::WriteFrame(uint8_t aFirstByte, std::span<const uint8_t> aPayload) {
  std::lock_guard lock(FCS);
  TIdBytes frame = FOutput.SparePiece();
  frame.reserve(aPayload.size() + 14);
  uint8_t key[4];
  if (FMasked)
    FillRandom(key, sizeof key);
  AppendFrameHeader(frame, aFirstByte, aPayload.size(), FMasked ? key : nullptr);
  const size_t start = frame.size();
  frame.insert(frame.end(), aPayload.begin(), aPayload.end());
  if (FMasked)
    MaskPayload(std::span<uint8_t>(frame).subspan(start), key);
  QueueBytes(std::move(frame));
}

void TzalWSConnection_Base_Sock::WriteSSE(const std::string& aText) {
  const std::string event = SSEEventText(aText);
  std::lock_guard lock(FCS);
  QueueBytes(BytesOf(event));
}

// Compression and writing share the write lock, so frames leave in the order
// of the compressor's history.
void TzalWSConnection_Base_Sock::WriteDataFrame(TOpcode aOpCode, bool aFin, std::span<const uint8_t> aPayload) {
  std::lock_guard lock(FCS);
  if (FCloseSent.load())
    return;  // no data after our close frame (RFC 6455 5.5.1)
  const uint8_t fin = aFin ? wsFin : 0;
  if (!FExtension)
    return WriteFrame(fin | WireOpcode(aOpCode), aPayload);
  uint8_t firstByte = fin | WireOpcode(aOpCode);
  FDeflateScratch.clear();
  FExtension->WriteStream(firstByte, aPayload, FDeflateScratch);
  WriteFrame(firstByte, FDeflateScratch);
  if (FDeflateScratch.capacity() > kRetainedScratch)
    TIdBytes().swap(FDeflateScratch);
}

// A fragmented message holds the data channel from its first frame to its
// last; the thread that holds it may write again at once.
void TzalWSConnection_Base_Sock::AcquireDataChannel() {
  std::unique_lock lock(FChannelLock);
  const std::thread::id me = std::this_thread::get_id();
  FChannelFree.wait(lock, [&] { return FChannelOwner == std::thread::id() || FChannelOwner == me || Disconnected(); });
  FChannelOwner = me;
}

void TzalWSConnection_Base_Sock::ReleaseDataChannel() {
  {
    std::lock_guard lock(FChannelLock);
    FChannelOwner = std::thread::id();
  }
  FChannelFree.notify_all();
}

void TzalWSConnection_Base_Sock::WriteMessage(std::span<const uint8_t> aData, TOpcode aOpCode, int aSize,
                                              TwsStreaming aStreaming) {
  const bool fits = aSize <= 0 || static_cast<size_t>(aSize) >= aData.size();
  if (!fits && (aStreaming == stmNone || aStreaming == stmContinueAndLast))
    return WriteFragments(aData, aOpCode, aStreaming == stmContinueAndLast, static_cast<size_t>(aSize));
  const bool opens = aStreaming == stmNone || aStreaming == stmFirst;
  const bool ends = aStreaming == stmNone || aStreaming == stmLast || aStreaming == stmContinueAndLast;
  AcquireDataChannel();
  try {
    WriteDataFrame(opens ? aOpCode : opContinuation, ends, aData);
  } catch (...) {
    ReleaseDataChannel();  // a failed message gives the channel back
    throw;
  }
  if (ends)
    ReleaseDataChannel();
}

void TzalWSConnection_Base_Sock::WriteFragments(std::span<const uint8_t> aData, TOpcode aOpCode,
                                                bool aContinuationOnly, size_t aSize) {
  AcquireDataChannel();
  try {
    for (size_t pos = 0; pos < aData.size(); pos += aSize) {
      const size_t n = std::min(aSize, aData.size() - pos);
      const bool first = pos == 0 && !aContinuationOnly;
      WriteDataFrame(first ? aOpCode : opContinuation, pos + n == aData.size(), aData.subspan(pos, n));
    }
  } catch (...) {
    ReleaseDataChannel();
    throw;
  }
  ReleaseDataChannel();
}

void TzalWSConnection_Base_Sock::DoWriteData(const std::string& aText, int aSize, TwsStreaming aStreaming) {
  if (!Enabled())
    return;
  if (FTransport == trpHixie76 || FSpecification == spHixie76) {
    TIdBytes frame;
    AppendHixie76Frame(frame, opText, aText);
    std::lock_guard lock(FCS);
    QueueBytes(std::move(frame));
  } else if (FTransport == trpTCP) {
    std::lock_guard lock(FCS);
    QueueBytes(BytesOf(aText));
  } else if (FTransport == trpSSE) {
    WriteSSE(aText);  // an event is a whole message: size and streaming do not apply
  } else if (SpeaksRFC6455Frames(FTransport)) {
    WriteMessage(BytesOf(aText), opText, aSize, aStreaming);
  }
}

void TzalWSConnection_Base_Sock::DoWriteData(TStream& aStream, int aSize, TwsStreaming aStreaming) {
  if (!Enabled())
    return;
  if (FTransport == trpSSE) {
    // An event stream carries text only (WHATWG HTML 9.2.5): the message is
    // dropped, and the application learns why.
    if (FOnError)
      FOnError(this, "Binary messages cannot be sent over server-sent events");
    return;
  }
  // A memory stream is sent from its own bytes; other streams are read once.
  TIdBytes copy;
  std::span<const uint8_t> data;
  if (auto* memory = dynamic_cast<TMemoryStream*>(&aStream)) {
    data = memory->Bytes();
  } else {
    copy.resize(static_cast<size_t>(aStream.Size()));
    aStream.SetPosition(0);
    aStream.ReadBuffer(copy.data(), static_cast<int64_t>(copy.size()));
    data = copy;
  }
  if (FTransport == trpTCP) {
    std::lock_guard lock(FCS);
    QueueBytes(data);
  } else if (SpeaksRFC6455Frames(FTransport)) {
    WriteMessage(data, opBinary, aSize, aStreaming);
  }
}

void TzalWSConnection::NotePingSent() {
  if (FTransport == trpUndefined || FTransport == trpHTTP || FTransport == trpHixie76)
    return;
  const int64_t now = NowMs();
  int64_t unset = 0;
  FFirstPing.compare_exchange_strong(unset, now);
  FLastPing.store(now);
}

void TzalWSConnection_Base_Sock::DoPing(const std::string& aText, uint64_t aPingId) {
  if (!Enabled())
    return;
  if (FTransport == trpTCP) {
    std::lock_guard lock(FCS);
    QueueBytes(BytesOf(aText));
    return;
  }
  if (FTransport == trpSSE)
    return WriteSSE("event: Ping\ndata: " + aText);  // a named event: no "message" for the page
  if (!SpeaksRFC6455Frames(FTransport))
    return;
  if (aText.size() > wsMaxControlPayload)
    throw TzalWSException("Ping text exceeds 125 octets");
  {
    std::lock_guard lock(FPingLock);
    FPendingPings.push_back({aPingId, aText});
  }
  WriteFrame(wsFin | WireOpcode(opPing), BytesOf(aText));
}

// Our close frame: the code when it may go on the wire (7.4), else an empty
// body. It is sent once; the peer's answer is awaited by the read step.
void TzalWSConnection_Base_Sock::SendClose(int aCloseCode) {
  if (FCloseSent.exchange(true))
    return;
  FCloseDeadline.store(NowMs() + FLimits.CloseTimeOut);
  SetDisconnected(true);
  if (FTransport == trpHixie76 || FSpecification == spHixie76) {
    TIdBytes frame;
    AppendHixie76Frame(frame, opClose, "");
    std::lock_guard lock(FCS);
    QueueBytes(std::move(frame));
  } else if (SpeaksRFC6455Frames(FTransport)) {
    const uint8_t code[2] = {static_cast<uint8_t>(aCloseCode >> 8), static_cast<uint8_t>(aCloseCode)};
    WriteFrame(wsFin | WireOpcode(opClose),
               IsValidCloseCode(aCloseCode) ? std::span<const uint8_t>(code) : std::span<const uint8_t>());
  }
}

// Ends the connection: the close frame first when CleanDisconnect, then the
// socket, torn down by the connection's own thread in its next read step.
void TzalWSConnection_Base_Sock::DoDisconnect(const std::string& aMessage, int aCloseCode) {
  if (FDoDisconnect.exchange(true))
    return;
  SetDisconnected(true);
  if (FCleanDisconnect)
    SendClose(aCloseCode);
  if (!aMessage.empty() && FRaiseDisconnectExceptions)
    throw TzalWSException(aMessage, aCloseCode);
}

bool TzalWSConnection_Base_Sock::ShutdownGracefully(int aDrainMs, bool aCloseNotify) {
  if (!FTCPConnection || !FTCPConnection->IOHandler())
    return false;
  if (!FClosing) {
    FClosing = true;
    FDrainMs = std::max(aDrainMs, 0);
    FCloseNotify = aCloseNotify;
  }
  return DrainStep();
}

bool TzalWSConnection_Base_Sock::DrainStep() {
  TIdIOHandler& io = *FTCPConnection->IOHandler();
  io.InputBuffer().Clear();
  if (FDrainDeadline == 0) {  // what is queued (our close frame, an answer) goes before our FIN
    try {
      SendOutput();
      if (FOutputHeld) {
        AwaitNextStep();
        return true;
      }
      ShutdownSending();
    } catch (const EIdException&) {
      return EndDrain();  // the peer is gone: there is nobody left to tell
    }
    FDrainDeadline = NowMs() + FDrainMs;
  }
  const int64_t left = FDrainDeadline - NowMs();
  if (left <= 0 || io.ClosedGracefully())
    return EndDrain();
  AwaitNextStep(static_cast<int>(left));
  return true;
}

void TzalWSConnection_Base_Sock::ShutdownSending() {
  if (auto* tls = dynamic_cast<TIdSSLIOHandlerSocketOpenSSL*>(FTCPConnection->IOHandler()); tls && FCloseNotify)
    tls->SendCloseNotify();  // the end of the TLS stream goes before the socket's
  if (TIdIOHandlerSocket* socket = FTCPConnection->Socket(); socket && socket->Binding())
    ::shutdown(socket->Binding()->Handle(), SHUT_WR);
}

bool TzalWSConnection_Base_Sock::EndDrain() {
  FTCPConnection->IOHandler()->InputBuffer().Clear();
  FClosing = false;
  FDrainDeadline = 0;
  DisconnectTCP();
  return false;
}

void TzalWSConnection_Base_Sock::EndConnection() {
  if (tStepping != this) {
    FDoDisconnect.store(true);  // the connection's own step closes it
    SetDisconnected(true);
    Wake();
    return;
  }
  if (FOutputHeld)
    ShutdownGracefully(0);
  else if (!Draining())
    DisconnectTCP();
}

void TzalWSConnection_Base_Sock::BindReaderEvents() {
  FReader.Events.OnMessage = [this](const std::string& text) {
    if (!FCloseSent.load() && FOnMessage)
      FOnMessage(this, text);
  };
  FReader.Events.OnBinary = [this](const TMemoryStream& data) {
    if (!FCloseSent.load() && FOnBinary)
      FOnBinary(this, data);
  };
  FReader.Events.OnFragmented = [this](const TMemoryStream& data, TOpcode opCode, bool continuation) {
    if (!FCloseSent.load() && FOnFragmented)
      FOnFragmented(this, data, opCode, continuation);
  };
  FReader.Events.OnPing = [this](std::span<const uint8_t> payload) {
    if (!FCloseSent.load())
      WriteFrame(wsFin | WireOpcode(opPong), payload);  // 5.5.2: the same application data
  };
  FReader.Events.OnPong = [this](std::span<const uint8_t> payload) { AnswerPong(payload); };
  FReader.Events.OnClose = [this](int code, const std::string& reason) { AnswerClose(code, reason); };
  FHixie76Reader.OnMessage = [this](const std::string& text) {
    if (!FCloseSent.load() && FOnMessage)
      FOnMessage(this, text);
  };
  FHixie76Reader.OnClose = [this] { AnswerClose(kCloseNormal, ""); };
  FTCPGatherer.OnBinary = [this](const TMemoryStream& data) {
    if (FOnBinary)
      FOnBinary(this, data);
  };
}

// A pong answers the oldest pending ping with its text and every older one; a
// pong that answers none (unsolicited, 5.5.3) is ignored.
void TzalWSConnection_Base_Sock::AnswerPong(std::span<const uint8_t> aPayload) {
  const std::string text(aPayload.begin(), aPayload.end());
  uint64_t answered = 0;
  {
    std::lock_guard lock(FPingLock);
    const auto match = std::find_if(FPendingPings.begin(), FPendingPings.end(),
                                    [&text](const PendingPing& ping) { return ping.Text == text; });
    if (match == FPendingPings.end())
      return;
    answered = match->Id;
    FPendingPings.erase(FPendingPings.begin(), match + 1);
  }
  PingsAnswered(answered, text);
}

// A received close is always answered with a close carrying its code (or an
// empty one), and reading stops (5.5.1).
void TzalWSConnection_Base_Sock::AnswerClose(int aCode, const std::string& aReason) {
  FCloseReceived.store(true);
  FCloseCode.store(aCode);
  {
    std::lock_guard lock(FStateLock);
    FCloseReason = aReason;
  }
  SendClose(aCode);
}

size_t TzalWSConnection_Base_Sock::ReadFrames() {
  TIdBuffer& buffer = FTCPConnection->IOHandler()->InputBuffer();
  size_t consumed;
  if (FTransport == trpTCP) {
    FTCPGatherer.Mode = FTCPEndOfFrameScanBuffer;
    FTCPGatherer.EndOfFrame = FTCPEndOfFrame;
    FTCPGatherer.MaxMessageSize = FLimits.MaxMessageSize;
    consumed = FTCPGatherer.Read(buffer.Bytes());
  } else if (FTransport == trpHixie76 || FSpecification == spHixie76) {
    FHixie76Reader.MaxMessageSize = FLimits.MaxMessageSize;
    FHixie76Reader.ValidateUTF8 = FValidateUTF8;
    consumed = FHixie76Reader.Read(buffer.Bytes());
  } else {
    TzalWSReaderOptions& options = FReader.Options();
    options.MaskRequired = !FMasked;
    options.ValidateUTF8 = FValidateUTF8;
    options.FragmentedMessages = FFragmentedMessages;
    options.MaxFrameSize = FLimits.MaxFrameSize;
    options.MaxMessageSize = FLimits.MaxMessageSize;
    consumed = FReader.Read(buffer.Bytes());
  }
  buffer.Remove(static_cast<int>(consumed));
  FRecBytes += consumed;
  return consumed;
}

// A protocol error: with CleanDisconnect the peer gets a close frame with
// the code and the closing handshake ends TCP without RST.
bool TzalWSConnection_Base_Sock::FailConnection(int aCloseCode) {
  FCloseCode.store(aCloseCode);
  FDoDisconnect.store(true);
  SetDisconnected(true);
  if (!FCleanDisconnect) {
    DisconnectTCP();
    return false;
  }
  SendClose(aCloseCode);
  return ShutdownGracefully(FLimits.CloseTimeOut);
}

bool TzalWSConnection_Base_Sock::ReadStep() {
  if (!FTCPConnection || !FTCPConnection->IOHandler())
    return false;
  TIdIOHandler& io = *FTCPConnection->IOHandler();
  if (Draining())
    return DrainStep();
  if (FDoDisconnect.load() && !FCloseSent.load()) {
    DisconnectTCP();  // asked to end without a close frame
    return false;
  }
  const TStepScope stepping(*this);
  ProcessQueues();
  FlushOutput();
  // Octets may also come in between steps (the connection loop's check):
  // only a buffer already examined as it is now waits for more.
  const bool examined = io.InputBufferIsEmpty() || (FPartialFrame && io.InputBuffer().Size() == FPartialSize);
  if (examined && FPartialFrame && io.ClosedGracefully()) {
    io.InputBuffer().Clear();  // the rest of the frame can never come: an abnormal closure (RFC 6455 7.1.5)
    DisconnectTCP();
    return false;
  }
  if (examined)
    AwaitNextStep(FCloseSent.load() ? static_cast<int>(std::max<int64_t>(FCloseDeadline.load() - NowMs(), 1)) : -1);
  else if (!FCloseReceived.load()) {
    try {
      FPartialFrame = ReadFrames() == 0;
      FPartialSize = io.InputBuffer().Size();
    } catch (const TzalWSException& e) {
      const bool draining = FailConnection(e.CloseCode());
      if (FRaiseDisconnectExceptions)
        throw;
      return draining;
    }
    if (FPartialFrame && io.ClosedGracefully()) {
      io.InputBuffer().Clear();  // the rest of the frame can never come: an abnormal closure (RFC 6455 7.1.5)
      DisconnectTCP();
      return false;
    }
  }
  if (FCloseReceived.load() && FCloseSent.load())
    return ShutdownGracefully(FLimits.CloseTimeOut);
  FlushOutput();  // the answers of this step (pongs, replies) before the next wait
  if (FCloseSent.load() && NowMs() >= FCloseDeadline.load()) {
    DisconnectTCP();  // the peer never answered our close
    return false;
  }
  return true;
}

// --- TzalWSConnectionServer: the opening handshake ----------------------------

std::string TzalWSConnectionServer::SelectProtocol() { return SelectSubprotocol(FProtocol, FHandshake->Protocols()); }

void TzalWSConnectionServer::SelectProtocolFromURL() {
  const std::string& url = URL();
  for (std::string_view name : SplitTrimmed(FProtocol, ',')) {
    if (!name.empty() && TextPos(name, url) != std::string::npos) {
      FProtocol = std::string(name);
      return;
    }
  }
  FProtocol.clear();
}

void TzalWSConnectionServer::CheckOrigin() { CheckOriginAllowed(FServerOriginsAllowed, FHandshake->Origin()); }

void TzalWSConnectionServer::NegotiateExtensions() { FExtensions.DecodeExtensions(FHandshake->Extensions()); }

// The eight octets that follow a Hixie-76 header block; the upgrade was
// dispatched once they came or its handshake time-out passed.
std::array<uint8_t, 8> TzalWSConnectionServer::TakeKey3() {
  TIdIOHandler& io = *TCPConnection()->IOHandler();
  if (io.InputBuffer().Size() < 8)
    throw TzalWSHandshakeException("Error Decoding Header: WebSocket-Key3", 400);
  TIdBytes octets;
  io.InputBuffer().ExtractToBytes(octets, 8, false);
  std::array<uint8_t, 8> key3{};
  std::copy(octets.begin(), octets.end(), key3.begin());
  return key3;
}

// Everything the answer depends on, in the order of RFC 6455 4.2.2; a failure
// here is answered with its status before it leaves.
void TzalWSConnectionServer::PrepareHandshake() {
  try {
    FHandshake = std::make_unique<TzalWSHandShakeServer>(FHeadersRequest);
    if (FHandshake->NeedsKey3())
      FHandshake->SetKey3(TakeKey3());
    FSpecification = FHandshake->Specification();
    FProtocol = SelectProtocol();
    FHeadersResponse.clear();
    CheckOrigin();
    if (FSpecification == spHixie76) {
      if (FTransport == trpUndefined)
        AssignTransport(trpHixie76);
      FHeadersResponse = Hixie76ResponseLines(*FHandshake, FProtocol, FServerSSL);
      return;
    }
    NegotiateExtensions();
    if (FTransport == trpUndefined)
      AssignTransport(trpRFC6455);
    FHeadersResponse = RFC6455ResponseLines(*FHandshake, FProtocol);
    FExtensions.WriteHeader(FHeadersResponse);
  } catch (const TzalWSHandshakeException& e) {
    RefuseUpgrade(e.StatusCode());
    throw;
  }
}

void TzalWSConnectionServer::DoHandshake() {
  assert(!Enabled() && "the handshake runs once per connection");
  PrepareHandshake();
  if (OnHandshake)
    OnHandshake(this, FHeadersResponse);
  std::string answer;
  for (const std::string& line : FHeadersResponse)
    answer.append(line).append("\r\n");
  answer += "\r\n";
  if (FSpecification == spHixie76) {
    const auto body = GetHixie76Response(FHandshake->Key1(), FHandshake->Key2(), FHandshake->Key3());
    answer.append(body.begin(), body.end());
  }
  // The answer leaves only once the connection is enabled and announced: a
  // client that has read it finds every message written from then on taken,
  // after it, and a send that fails ends a connection the application knows.
  QueueAnswer(TIdBytes(answer.begin(), answer.end()), false);
  if (FExtensions.CompressionActive())
    SetExtension(&FFrameExtension);
  SetEnabled(true);
  if (OnUpdate)
    OnUpdate(this, 1);
  FlushOutput();
  if (FAuthenticationCloseCode != 1000)
    Close(FAuthenticationCloseCode);
}

// --- TzalWSConnectionServer: answers written straight onto the socket ---------

void TzalWSConnectionServer::RefuseUpgrade(int aStatusCode) { WriteAnswer(HandshakeFailureResponse(aStatusCode)); }

void TzalWSConnectionServer::WriteAnswer(const std::string& bytes) {
  QueueAnswer(TIdBytes(bytes.begin(), bytes.end()));
}

void TzalWSConnectionServer::QueueAnswer(TIdBytes&& aBytes, bool aSendNow) {
  {
    std::lock_guard writer(FCS);
    QueueBytes(std::move(aBytes));
  }
  if (aSendNow)
    FlushOutput();
}

const std::string& TzalWSConnectionServer::URL() {
  if (FURL.empty()) {
    std::string line = GetRequestLineGET(FHeadersRequest);
    if (line.empty())
      line = GetRequestLinePOST(FHeadersRequest);
    FURL = GetRequestTarget(line);
  }
  return FURL;
}

void TzalWSConnectionServer::AttachHTTP2(std::unique_ptr<TzalHTTP2_ServerConnection> aHTTP2) {
  FHTTP2 = std::move(aHTTP2);
  FHTTP2->OnPingAnswered = [this](uint64_t aPingId) { PingsAnswered(aPingId, ""); };
}

void TzalWSConnectionServer::DoPing(const std::string& aText, uint64_t aPingId) {
  if (FTransport != trpHTTP2 || !FHTTP2)
    return TzalWSConnection_Sock::DoPing(aText, aPingId);
  if (!Enabled())
    return;
  FHTTP2->Ping(aPingId);
  Wake();
}

namespace {

// The GOAWAY error code for a WebSocket close code (RFC 6455 7.4.1, RFC 9113 7).
Th2ErrorCodes GoAwayCodeOf(int aCloseCode) {
  switch (aCloseCode) {
    case 1002:
    case 1003:
    case 1007:
      return h2erPROTOCOL_ERROR;
    case 1008:
    case 1009:
      return h2erENHANCE_YOUR_CALM;
    case 1011:
      return h2erINTERNAL_ERROR;
    default:
      return h2erNO_ERROR;
  }
}

}  // namespace

void TzalWSConnectionServer::SendClose(int aCloseCode) {
  if (FTransport != trpHTTP2 || !FHTTP2)
    return TzalWSConnection_Sock::SendClose(aCloseCode);
  FHTTP2->Close(GoAwayCodeOf(aCloseCode));  // the connection's thread sends it, then disconnects
  Wake();
}

void TzalWSConnectionServer::SendResponseCode(int code, const std::string& text) {
  if (FTransport == trpHTTP2 && FHTTP2)
    return FHTTP2->WriteStatus(code);
  WriteAnswer("HTTP/1.1 " + std::to_string(code) + " " + text + "\r\n\r\n");
}

void TzalWSConnectionServer::SendRedirect(const std::string& target) {
  if (FTransport == trpHTTP2 && FHTTP2)
    return FHTTP2->WriteRedirect(target);
  WriteAnswer("HTTP/1.1 302 Moved Temporarily\r\nConnection: close\r\nLocation: " + target +
              "\r\nServer: zalWebSockets 4.4.6\r\n\r\n");
}

void TzalWSConnectionServer::SendResponse(TStream& content, const std::string& contentType,
                                          int32_t aStreamIdentifier) {
  if (FTransport == trpHTTP2 && FHTTP2)
    return FHTTP2->WriteStream(content, contentType, aStreamIdentifier);
  const std::string head =
      "HTTP/1.1 200 OK\r\nCache-Control: no-cache\r\nContent-Type: " + contentType + "\r\nServer: zalWebSockets 4.4.6\r\n\r\n";
  TIdBytes answer(head.begin(), head.end());
  const size_t start = answer.size();
  content.SetPosition(0);
  const int64_t length = content.Size();
  answer.resize(start + static_cast<size_t>(std::max<int64_t>(length, 0)) + 2);
  const int64_t read = content.Read(answer.data() + start, length);
  answer.resize(start + static_cast<size_t>(std::max<int64_t>(read, 0)));
  answer.push_back('\r');
  answer.push_back('\n');
  QueueAnswer(std::move(answer));
}

void TzalWSConnectionServer::SendResponseHTTP(const std::string& aContent, const std::string& aContentType) {
  TMemoryStream stream;
  const TIdBytes bytes = ToBytes(aContent, &IdTextEncoding(tek8Bit));
  stream.WriteBuffer(bytes.data(), static_cast<int64_t>(bytes.size()));
  stream.SetPosition(0);
  SendResponse(stream, aContentType);
}

// --- TzalWSConnectionServer: authentication before the handshake --------------

const std::string& TzalWSConnectionServer::SessionID() {
  if (FAuthentication.FSessionID.empty())
    FAuthentication.FSessionID = CreateGuidString();
  return FAuthentication.FSessionID;
}

void TzalWSConnectionServer::DoAuthentication() {
  if (OnAuthentication)
    OnAuthentication(this, FAuthentication.FUser, FAuthentication.FPassword, FAuthentication.FAuthenticated);
}

bool TzalWSConnectionServer::CheckCredentials(TwsAuthentication aType, std::string_view aUser,
                                              std::string_view aPassword) {
  FAuthentication.FAuthType = aType;
  FAuthentication.FUser = aUser;
  FAuthentication.FPassword = aPassword;
  DoAuthentication();
  return FAuthentication.FAuthenticated;
}

// RFC 7617 2: the user-id ends at the first colon; the password may hold more.
bool TzalWSConnectionServer::AuthenticateBasic(const std::string& aCredentials) {
  const size_t colon = aCredentials.find(':');
  if (colon == std::string::npos)
    return false;
  const std::string_view credentials(aCredentials);
  return CheckCredentials(authBasic, credentials.substr(0, colon), credentials.substr(colon + 1));
}

bool TzalWSConnectionServer::AuthenticateURL(const std::string& aTarget) {
  const std::vector<std::string_view> items = Split(aTarget, '/');  // "", zal, auth, url, user, password
  return items.size() > 5 && CheckCredentials(authURL, items[4], items[5]);
}

void TzalWSConnectionServer::AnswerSessionRequest(const std::string& aTarget) {
  const std::vector<std::string_view> items = Split(aTarget, '/');  // "", zal, req, auth, session, user, password
  if (items.size() > 5)
    CheckCredentials(authSession, items[5], items.size() > 6 ? items[6] : std::string_view());
  if (!FAuthentication.FAuthenticated)
    return SendResponseCode(404, "Not Found");
  std::string extensions;
  for (const std::string& name : FExtensions.BuildExtensionList())
    extensions += (extensions.empty() ? "" : "\r\n") + name;
  const std::string lines[] = {SessionID(), extensions, FProtocol};
  std::string content;
  for (const std::string& line : lines)
    content.append(Trim(line)).append("\r\n");
  SendResponseHTTP(content, "text/plain");
}

// --- TzalWSConnectionServer: built-in resources --------------------------------

namespace {

void ReplaceIgnoringCase(std::string& text, std::string_view placeholder, std::string_view value) {
  for (size_t at = TextPos(placeholder, text); at != std::string::npos; at = TextPos(placeholder, text, at + value.size()))
    text.replace(at, placeholder.size(), value);
}

}  // namespace

// TLS on this very connection: the server's TLS handler speaks plain TCP on
// the ports that SSLOptions.Port leaves out.
bool TzalWSConnectionServer::SpeaksTLS() const {
  const auto* tls = TCPConnection() ? dynamic_cast<const TIdSSLIOHandlerSocketOpenSSL*>(TCPConnection()->IOHandler())
                                    : nullptr;
  return FServerSSL && (!tls || !tls->PassThrough());
}

bool TzalWSConnectionServer::SendFileResponse(const std::string& aFileName, const std::string& aContentType,
                                              int32_t aStreamIdentifier, bool aNotFound) {
  std::string text = TzalWSHTTPResponse::GetResponseMessage(aFileName);
  if (text.empty() && !aNotFound)
    return false;
  if (text.empty()) {
    SendResponseCode(404, "Not Found");
  } else {
    const TIdSocketHandle* binding = TCPConnection()->Socket() ? TCPConnection()->Socket()->Binding() : nullptr;
    const std::string host = binding ? binding->IP() : "";
    ReplaceIgnoringCase(text, "{%host%}", FIPVersion == Id_IPv6 ? "[" + host + "]" : host);
    ReplaceIgnoringCase(text, "{%port%}", binding ? std::to_string(binding->Port()) : "");
    ReplaceIgnoringCase(text, "{%ssl%}", SpeaksTLS() ? "s" : "");
    TMemoryStream content;  // the resource's octets as they are (UTF-8)
    content.WriteBuffer(text.data(), static_cast<int64_t>(text.size()));
    content.SetPosition(0);
    SendResponse(content, aContentType, aStreamIdentifier);
  }
  if (FTransport == trpHTTP) {
    TCPConnection()->OnDisconnected = nullptr;
    TCPConnection()->Disconnect(false);
  }
  return true;
}

}  // namespace zal
