#include "transport/zalIdContext.h"

#include "transport/zalIdTCPConnection.h"

namespace zal {

TIdContext::TIdContext(TIdTCPConnection* connection, TIdYarn* yarn, TIdContextThreadList* list)
    : TIdTask(yarn), FContextList(list), FConnection(connection) {}

TIdContext::~TIdContext() {
  if (FContextList)
    FContextList->Remove(this);
  FreeData();  // the per-connection object may still refer to the connection
  if (FOwnsConnection)
    delete FConnection;
  FConnection = nullptr;
}

void TIdContext::BeforeRun() {
  if (FContextList)
    FContextList->Add(this);
  if (OnBeforeRun)
    OnBeforeRun(this);
}

bool TIdContext::Run() { return OnRun ? OnRun(this) : true; }

void TIdContext::AfterRun() {
  struct RemoveFromList {
    TIdContext* context;
    ~RemoveFromList() {
      if (context->FContextList)
        context->FContextList->Remove(context);
    }
  } removeAfterwards{this};
  if (OnAfterRun)
    OnAfterRun(this);
}

void TIdContext::HandleException(const std::exception& e) {
  if (OnException)
    OnException(this, e);
}

}  // namespace zal
