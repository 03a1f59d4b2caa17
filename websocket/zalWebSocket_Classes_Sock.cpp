#include "websocket/zalWebSocket_Classes_Sock.h"

#include "support/zalHelpers.h"
#include "transport/zalIdTCPConnection.h"

namespace zal {

const std::string& TzalTCPConnection_Base::Guid() {
  std::lock_guard lock(FGuidLock);
  if (FGuid.empty())
    FGuid = CreateGuidString();
  return FGuid;
}

void TzalWSConnection_Base_Sock::DisconnectTCP() {
  if (FTCPConnection)
    FTCPConnection->Disconnect(false);
}

}  // namespace zal
