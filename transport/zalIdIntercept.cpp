#include "transport/zalIdIntercept.h"

#include <chrono>
#include <thread>

namespace zal {

namespace {

void SleepForBlock(size_t byteCount, int64_t bitsPerSec) {
  const int64_t delay = TIdInterceptThrottler::DelayMs(byteCount, bitsPerSec);
  if (delay > 0)
    std::this_thread::sleep_for(std::chrono::milliseconds(delay));
}

}  // namespace

EIdInterceptCircularLink::EIdInterceptCircularLink(const std::string& name)
    : EIdException(name + ": Circular links are not allowed") {}

void TIdConnectionIntercept::Connect(TIdTCPConnection* connection) {
  FConnection = connection;
  if (FIntercept)
    FIntercept->Connect(connection);
  if (OnConnect)
    OnConnect(*this);
}

void TIdConnectionIntercept::Disconnect() {
  if (OnDisconnect)
    OnDisconnect(*this);
  if (FIntercept)
    FIntercept->Disconnect();
  FConnection = nullptr;
}

void TIdConnectionIntercept::Receive(TIdBytes& buffer) {
  if (FIntercept)
    FIntercept->Receive(buffer);
  if (OnReceive)
    OnReceive(*this, buffer);
}

void TIdConnectionIntercept::Send(TIdBytes& buffer) {
  if (OnSend)
    OnSend(*this, buffer);
  if (FIntercept)
    FIntercept->Send(buffer);
}

void TIdConnectionIntercept::SetIntercept(TIdConnectionIntercept* value) {
  for (TIdConnectionIntercept* next = value; next; next = next->FIntercept)
    if (next == this)
      throw EIdInterceptCircularLink(FName.empty() ? "TIdConnectionIntercept" : FName);
  FIntercept = value;
}

int64_t TIdInterceptThrottler::DelayMs(size_t byteCount, int64_t bitsPerSec) {
  if (bitsPerSec <= 0)
    return 0;
  return static_cast<int64_t>(byteCount) * 8 * 1000 / bitsPerSec;
}

void TIdInterceptThrottler::Receive(TIdBytes& buffer) {
  TIdConnectionIntercept::Receive(buffer);
  SleepForBlock(buffer.size(), FRecvBitsPerSec);
}

void TIdInterceptThrottler::Send(TIdBytes& buffer) {
  TIdConnectionIntercept::Send(buffer);
  SleepForBlock(buffer.size(), FSendBitsPerSec);
}

}  // namespace zal
