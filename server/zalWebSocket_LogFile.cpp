#include "server/zalWebSocket_LogFile.h"

#include <chrono>
#include <ctime>

#include "transport/zalIdIOHandlerSocket.h"
#include "transport/zalIdIntercept.h"
#include "transport/zalIdTCPConnection.h"

namespace zal {

namespace {

std::string Timestamp() {
  const auto now = std::chrono::system_clock::now();
  const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
  const auto millis =
      std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
  std::tm local{};
  localtime_r(&seconds, &local);
  char text[40];
  const size_t length = std::strftime(text, sizeof(text), "%Y-%m-%d %H:%M:%S", &local);
  std::snprintf(text + length, sizeof(text) - length, ".%03d", static_cast<int>(millis));
  return text;
}

std::string PeerOf(TIdTCPConnection* connection) {
  TIdIOHandlerSocket* socket = connection ? connection->Socket() : nullptr;
  if (!socket || !socket->Binding())
    return "?";
  return socket->Binding()->PeerIP() + ":" + std::to_string(socket->Binding()->PeerPort());
}

}  // namespace

TzalWSLogFileServerIntercept::~TzalWSLogFileServerIntercept() {
  if (FFile)
    std::fclose(FFile);
}

void TzalWSLogFileServerIntercept::SetFileName(const std::string& value) {
  std::lock_guard lock(FLock);
  if (value == FFileName)
    return;
  FFileName = value;
  if (FFile)
    std::fclose(FFile);
  FFile = nullptr;
}

TIdConnectionIntercept* TzalWSLogFileServerIntercept::Accept(TIdTCPConnection* connection) {
  auto* intercept = new TIdConnectionIntercept();
  const std::string peer = PeerOf(connection);
  intercept->OnReceive = [this, peer](TIdConnectionIntercept&, TIdBytes& buffer) { LogBlock(peer, "Recv", buffer); };
  intercept->OnSend = [this, peer](TIdConnectionIntercept&, TIdBytes& buffer) { LogBlock(peer, "Sent", buffer); };
  return intercept;
}

void TzalWSLogFileServerIntercept::LogBlock(const std::string& peer, const char* direction, const TIdBytes& bytes) {
  std::lock_guard lock(FLock);
  if (!FFile && !FFileName.empty())
    FFile = std::fopen(FFileName.c_str(), "ab");
  if (!FFile)
    return;
  std::fprintf(FFile, "%s %s %s %zu bytes:\n", Timestamp().c_str(), peer.c_str(), direction, bytes.size());
  std::fwrite(bytes.data(), 1, bytes.size(), FFile);
  std::fputc('\n', FFile);
  std::fflush(FFile);
}

}  // namespace zal
