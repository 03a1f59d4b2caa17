#pragma once
// The HTTP/1.1 server engine over the TCP server: server identity, keep-alive,
// sessions and the request events an application handles.
#include <cstdint>
#include <functional>
#include <string>

#include "transport/zalIdCustomTCPServer.h"

namespace zal {

class TIdHTTPRequestInfo;
class TIdHTTPResponseInfo;

using TIdHTTPCommandEvent =
    std::function<void(TIdContext* AContext, TIdHTTPRequestInfo* ARequestInfo, TIdHTTPResponseInfo* AResponseInfo)>;

class TIdCustomHTTPServer : public TIdCustomTCPServer {
public:
  TIdCustomHTTPServer();

  const std::string& ServerSoftware() const { return FServerSoftware; }
  void SetServerSoftware(const std::string& value) { FServerSoftware = value; }
  bool KeepAlive() const { return FKeepAlive; }
  void SetKeepAlive(bool value) { FKeepAlive = value; }
  bool SessionState() const { return FSessionState; }
  void SetSessionState(bool value) { FSessionState = value; }
  int SessionTimeOut() const { return FSessionTimeOut; }
  void SetSessionTimeOut(int value) { FSessionTimeOut = value; }
  bool AutoStartSession() const { return FAutoStartSession; }
  void SetAutoStartSession(bool value) { FAutoStartSession = value; }

  TIdHTTPCommandEvent OnCommandGet;
  TIdHTTPCommandEvent OnCommandOther;

protected:
  bool DoExecute(TIdContext* context) override;

private:
  std::string FServerSoftware;
  bool FKeepAlive = false;
  bool FSessionState = false;
  int FSessionTimeOut = 0;
  bool FAutoStartSession = false;
};

class TIdHTTPServer : public TIdCustomHTTPServer {};

}  // namespace zal
