#include "server/zalWebSocket_Components.h"

#include "support/zalIdException.h"
#include "support/zalMainThread.h"

namespace zal {

TzalWSComponent_Base::TzalWSComponent_Base() : FAlive(std::make_shared<TAliveGuard>()) {
  FAlive->Component = this;
}

TzalWSComponent_Base::~TzalWSComponent_Base() {
  std::lock_guard lock(FAlive->Lock);
  FAlive->Component = nullptr;
  DropUndelivered();
}

void TzalWSComponent_Base::DropUndelivered() {
  for (TzalNotifyKind kind : {nkConnect, nkDisconnect, nkMessage, nkBinary, nkFragmented, nkError, nkException}) {
    TzalNotifyList& list = NotifyList(kind);
    std::lock_guard lock(list.Lock);
    for (TzalNotifyItem& item : list.Items) {
      if (kind == nkDisconnect)
        ReleaseConnection(item.Connection);
      TzalWSConnectionRef::Drop(item.Connection);
    }
    list.Items.clear();
  }
}

TzalNotifyList& TzalWSComponent_Base::NotifyList(TzalNotifyKind kind) {
  switch (kind) {
    case nkConnect: return FNotifyConnect;
    case nkDisconnect: return FNotifyDisconnect;
    case nkMessage: return FNotifyMessage;
    case nkBinary: return FNotifyBinary;
    case nkFragmented: return FNotifyFragmented;
    case nkError: return FNotifyError;
    default: return FNotifyException;
  }
}

void TzalWSComponent_Base::NotifyConnect(TzalWSConnection* connection) {
  if (!connection->FNotifyConnection)
    return;
  Deliver(nkConnect, TzalNotifyItem{.Connection = connection});
}

void TzalWSComponent_Base::NotifyDisconnect(TzalWSConnection* connection, int code) {
  if (!connection->FNotifyDisconnection || connection->FIsInternal || IsDestroying()) {
    ReleaseConnection(connection);
    return;
  }
  Deliver(nkDisconnect, TzalNotifyItem{.Connection = connection, .Code = code});
}

void TzalWSComponent_Base::NotifyMessage(TzalWSConnection* connection, const std::string& text) {
  Deliver(nkMessage, TzalNotifyItem{.Connection = connection, .Text = text});
}

void TzalWSComponent_Base::NotifyBinary(TzalWSConnection* connection, const TMemoryStream& data) {
  Deliver(nkBinary, TzalNotifyItem{.Connection = connection, .Data = std::make_unique<TMemoryStream>(data.Bytes())});
}

void TzalWSComponent_Base::NotifyFragmented(TzalWSConnection* connection, const TMemoryStream& data, TOpcode opCode,
                                            bool continuation) {
  Deliver(nkFragmented, TzalNotifyItem{.Connection = connection,
                                       .Data = std::make_unique<TMemoryStream>(data.Bytes()),
                                       .OpCode = opCode,
                                       .Continuation = continuation});
}

void TzalWSComponent_Base::NotifyError(TzalWSConnection* connection, const std::string& error) {
  Deliver(nkError, TzalNotifyItem{.Connection = connection, .Text = error});
}

void TzalWSComponent_Base::NotifyException(TzalWSConnection* connection, const std::exception& e,
                                           std::exception_ptr original) {
  if (!original)
    original = std::make_exception_ptr(EIdException(e.what()));
  Deliver(nkException, TzalNotifyItem{.Connection = connection, .Text = e.what(), .Exception = original});
}

void TzalWSComponent_Base::Deliver(TzalNotifyKind kind, TzalNotifyItem item) {
  if (IsDestroying() || (item.Connection && item.Connection->FIsInternal)) {
    if (kind == nkDisconnect)
      ReleaseConnection(item.Connection);  // its delivery would have released it
    return;
  }
  if (StoreWhileQueueing(kind, item))
    return;
  switch (NotifyEvents()) {
    case neNoSync:
      Raise(kind, item);
      return;
    case neAsynchronous:
    case neSynchronous: {
      TzalNotifyList& list = NotifyList(kind);
      if (item.Connection)
        item.Connection->AddReference();  // the connection outlives its queued event
      {
        std::lock_guard lock(list.Lock);
        list.Items.push_back(std::move(item));
      }
      auto drain = [alive = FAlive, kind] {
        std::lock_guard lock(alive->Lock);
        if (alive->Component)
          alive->Component->Drain(kind);
      };
      if (NotifyEvents() == neAsynchronous)
        QueueToMainThread(std::move(drain));
      else
        SynchronizeWithMainThread(std::move(drain));
      return;
    }
  }
}

// Runs on the main thread: raises every pending event of the kind in arrival
// order. The flag keeps a second drain of the same kind from interleaving.
void TzalWSComponent_Base::Drain(TzalNotifyKind kind) {
  TzalNotifyList& list = NotifyList(kind);
  std::lock_guard lock(list.Lock);
  if (list.FAsync)
    return;
  list.FAsync = true;
  while (!list.Items.empty()) {
    TzalNotifyItem item = std::move(list.Items.front());
    list.Items.pop_front();
    Raise(kind, item);
    TzalWSConnectionRef::Drop(item.Connection);
  }
  list.FAsync = false;
}

template <typename Handler>
void TzalWSComponent_Base::RaiseSafely(Handler&& handler) {
  try {
    handler();
  } catch (...) {
    // A failing user handler must not stop the server.
  }
}

void TzalWSComponent_Base::Raise(TzalNotifyKind kind, TzalNotifyItem& item) {
  TzalWSConnection* connection = item.Connection;
  switch (kind) {
    case nkConnect:
      if (OnConnect)
        RaiseSafely([&] { OnConnect(connection); });
      break;
    case nkDisconnect:
      if (OnDisconnect)
        RaiseSafely([&] { OnDisconnect(connection, item.Code); });
      ReleaseConnection(connection);
      break;
    case nkMessage:
      if (OnMessage)
        RaiseSafely([&] { OnMessage(connection, item.Text); });
      break;
    case nkBinary:
      if (OnBinary)
        RaiseSafely([&] { OnBinary(connection, *item.Data); });
      break;
    case nkFragmented:
      if (OnFragmented)
        RaiseSafely([&] { OnFragmented(connection, *item.Data, item.OpCode, item.Continuation); });
      break;
    case nkError:
      if (OnError)
        RaiseSafely([&] { OnError(connection, item.Text); });
      break;
    case nkException:
      if (OnException)
        RaiseSafely([&] {
          try {
            std::rethrow_exception(item.Exception);
          } catch (const std::exception& e) {
            OnException(connection, e);
          }
        });
      break;
  }
}

bool TzalWSComponent_Base::StoreWhileQueueing(TzalNotifyKind kind, TzalNotifyItem& item) {
  if (!FQueueMessages.load() || (kind != nkMessage && kind != nkBinary && kind != nkFragmented))
    return false;
  std::lock_guard lock(FQueueLock);
  auto& queue = kind == nkMessage ? FQueueMessage : kind == nkBinary ? FQueueBinary : FQueueFragmented;
  queue.push_back(std::move(item));
  return true;
}

void TzalWSComponent_Base::SetQueueMessages(bool value) {
  std::lock_guard lock(FQueueLock);
  if (value) {
    FQueueMessages.store(true);
    return;
  }
  if (FQueueProcessing)
    return;  // clearing is ignored while the stored events are being raised
  FQueueProcessing = true;
  FQueueMessages.store(false);
  for (auto& item : FQueueMessage)
    Raise(nkMessage, item);
  for (auto& item : FQueueBinary)
    Raise(nkBinary, item);
  FQueueMessage.clear();
  FQueueBinary.clear();
  FQueueFragmented.clear();
  FQueueProcessing = false;
}

void TzalWSComponent_Base::ReleaseConnection(TzalWSConnection* connection) { TzalWSConnectionRef::Drop(connection); }

}  // namespace zal
