#pragma once
// The context of one accepted connection: the task a worker runs for it. It owns
// the connection (and, through its Data, the protocol layer's per-connection object).
#include <exception>
#include <functional>

#include "transport/zalIdTask.h"
#include "transport/zalIdThreadSafe.h"

namespace zal {

class TIdTCPConnection;
class TIdContext;
class TIdCustomTCPServer;

using TIdContextThreadList = TIdThreadSafeObjectList<TIdContext>;

class TIdContext : public TIdTask {
public:
  TIdContext(TIdTCPConnection* connection, TIdYarn* yarn, TIdContextThreadList* list);
  ~TIdContext() override;

  TIdTCPConnection* Connection() const { return FConnection; }
  bool OwnsConnection() const { return FOwnsConnection; }
  void SetOwnsConnection(bool value) { FOwnsConnection = value; }
  TIdContextThreadList* ContextList() const { return FContextList; }

  // Hooks wired by the server: run returns False to end the connection.
  std::function<bool(TIdContext*)> OnRun;
  std::function<void(TIdContext*)> OnBeforeRun;
  std::function<void(TIdContext*)> OnAfterRun;
  std::function<void(TIdContext*, const std::exception&)> OnException;

protected:
  void BeforeRun() override;
  bool Run() override;
  void AfterRun() override;
  void HandleException(const std::exception& e) override;

private:
  TIdContextThreadList* FContextList;
  TIdTCPConnection* FConnection;
  bool FOwnsConnection = true;
};

class TIdServerContext : public TIdContext {
public:
  using TIdContext::TIdContext;
  TIdCustomTCPServer* Server() const { return FServer; }
  void SetServer(TIdCustomTCPServer* server) { FServer = server; }

private:
  TIdCustomTCPServer* FServer = nullptr;
};

}  // namespace zal
