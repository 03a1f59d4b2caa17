#pragma once
// The lower layers of the server component: its locks, its user events and the
// three ways of delivering them (NotifyEvents).
#include <array>
#include <atomic>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "support/zalComponent_Base.h"
#include "support/zalCountedRef.h"
#include "support/zalCriticalSection.h"
#include "support/zalStream.h"
#include "support/zalTypes.h"
#include "websocket/zalWebSocket_Classes_Sock.h"

namespace zal {

// An event hands its connection for the time it runs; a thread that keeps
// using it after that (an application's writer, say) holds one of these.
using TzalWSConnectionRef = TzalCountedRef<TzalWSConnection>;
using TzalWSConnectionServerRef = TzalCountedRef<TzalWSConnectionServer>;

using TzalWSConnectEvent = std::function<void(TzalWSConnection* Connection)>;
using TzalWSDisconnectEvent = std::function<void(TzalWSConnection* Connection, int Code)>;
using TzalWSMessageEvent = std::function<void(TzalWSConnection* Connection, const std::string& Text)>;
using TzalWSBinaryEvent = std::function<void(TzalWSConnection* Connection, const TMemoryStream& Data)>;
using TzalWSFragmentedEvent = std::function<void(TzalWSConnection* Connection, const TMemoryStream& Data,
                                                 TOpcode OpCode, bool Continuation)>;
using TzalWSErrorEvent = std::function<void(TzalWSConnection* Connection, const std::string& Error)>;
using TzalWSExceptionEvent = std::function<void(TzalWSConnection* Connection, const std::exception& E)>;

class TzalTCPComponent_Base : public TzalComponent_Base {
public:
  TwsNotifyEvent NotifyEvents() const { return FNotifyEvents.load(); }
  virtual void SetNotifyEvents(TwsNotifyEvent value) { FNotifyEvents.store(value); }

  void EnterCS() { FCS.Acquire(); }
  void LeaveCS() { FCS.Release(); }
  bool AssignedCS() const { return true; }
  TzalCriticalSection& CSArray(int index) { return FCSArray.at(static_cast<size_t>(index)); }

protected:
  TzalCriticalSection FCS;                    // serialises background activation and deactivation
  std::array<TzalCriticalSection, 6> FCSArray;  // guards lists such as the session-id list (index 1)
  std::atomic<TwsNotifyEvent> FNotifyEvents{neAsynchronous};
};

// One pending notification: whatever its event kind needs.
struct TzalNotifyItem {
  TzalWSConnection* Connection = nullptr;
  std::string Text{};
  int Code = 0;
  std::unique_ptr<TMemoryStream> Data{};
  TOpcode OpCode = opNone;
  bool Continuation = false;
  std::exception_ptr Exception{};
};

// The pending notifications of one event kind and whether a drain is running.
struct TzalNotifyList {
  TzalCriticalSection Lock;
  std::deque<TzalNotifyItem> Items;
  bool FAsync = false;  // a drain of this kind is running
};

enum TzalNotifyKind : uint8_t { nkConnect, nkDisconnect, nkMessage, nkBinary, nkFragmented, nkError, nkException };

class TzalWSComponent_Base : public TzalTCPComponent_Base {
public:
  TzalWSComponent_Base();
  ~TzalWSComponent_Base() override;

  TzalWSConnectEvent OnConnect;
  TzalWSDisconnectEvent OnDisconnect;
  TzalWSMessageEvent OnMessage;
  TzalWSBinaryEvent OnBinary;
  TzalWSFragmentedEvent OnFragmented;
  TzalWSErrorEvent OnError;
  TzalWSExceptionEvent OnException;

  // While set, message, binary and fragment events are stored instead of raised;
  // clearing it raises the stored messages, then the stored binaries, in arrival order.
  bool QueueMessages() const { return FQueueMessages.load(); }
  void SetQueueMessages(bool value);

  // Delivery of the events, in the mode NotifyEvents says.
  void NotifyConnect(TzalWSConnection* connection);
  // Raises OnDisconnect (when the connection asks for it) and then releases the connection.
  void NotifyDisconnect(TzalWSConnection* connection, int code);
  void NotifyMessage(TzalWSConnection* connection, const std::string& text);
  void NotifyBinary(TzalWSConnection* connection, const TMemoryStream& data);
  void NotifyFragmented(TzalWSConnection* connection, const TMemoryStream& data, TOpcode opCode, bool continuation);
  void NotifyError(TzalWSConnection* connection, const std::string& error);
  // `original` is the exception object itself (delivered with its own type); without
  // it the event carries an EIdException with the same message.
  void NotifyException(TzalWSConnection* connection, const std::exception& e,
                       std::exception_ptr original = nullptr);

protected:
  // Gives up the owner's reference: the object is freed now, or by the last
  // queued event that still names it once that event has been delivered.
  virtual void ReleaseConnection(TzalWSConnection* connection);

  TzalNotifyList FNotifyConnect, FNotifyDisconnect, FNotifyMessage, FNotifyBinary, FNotifyFragmented,
      FNotifyError, FNotifyException;
  std::atomic<bool> FQueueMessages{false};
  TzalCriticalSection FQueueLock;
  std::deque<TzalNotifyItem> FQueueMessage, FQueueBinary, FQueueFragmented;
  bool FQueueProcessing = false;

private:
  // Keeps queued drains from reaching a destroyed component.
  struct TAliveGuard {
    std::mutex Lock;
    TzalWSComponent_Base* Component;
  };

  TzalNotifyList& NotifyList(TzalNotifyKind kind);
  void Deliver(TzalNotifyKind kind, TzalNotifyItem item);
  void Drain(TzalNotifyKind kind);
  void Raise(TzalNotifyKind kind, TzalNotifyItem& item);
  // Runs a user event; a failing handler is contained here.
  template <typename Handler>
  void RaiseSafely(Handler&& handler);
  bool StoreWhileQueueing(TzalNotifyKind kind, TzalNotifyItem& item);
  // Notifications that will never be delivered: a pending disconnect releases
  // its connection, every item gives its reference back.
  void DropUndelivered();

  std::shared_ptr<TAliveGuard> FAlive;
};

// Sub-protocol objects, heartbeat and watchdog settings, extensions.
class TzalWSComponent : public TzalWSComponent_Base {};

// Server side: the connection cache and the free list.
class TzalWSComponent_Server : public TzalWSComponent {};

class TzalWSComponent_Server_Sock : public TzalWSComponent_Server {};

}  // namespace zal
