#pragma once
// TIdIOHandlerSocket: an I/O handler over one socket (its binding). It decides
// disconnection from the socket's state and closes the socket on Close.
#include <functional>
#include <memory>
#include <string>

#include "transport/zalIdIOHandler.h"
#include "transport/zalIdSocketHandle.h"

namespace zal {

class TIdIOHandlerSocket : public TIdIOHandler {
public:
  TIdIOHandlerSocket() = default;
  ~TIdIOHandlerSocket() override;

  // Creates the binding when there is none, then opens the handler.
  void Open() override;
  // Server side: the accepted socket's IP version becomes the handler's.
  void AfterAccept() override;
  // Closes the socket (waking blocked readers on other threads), then the handler.
  void Close() override;
  bool Connected() override;
  void CheckForDisconnect(bool raiseExceptionIfDisconnected = true, bool ignoreBuffer = false) override;

  TIdSocketHandle* Binding() const { return FBinding.get(); }
  bool BindingAllocated() const { return FBinding && FBinding->HandleAllocated(); }

  TIdIPVersion IPVersion() const { return FIPVersion; }
  void SetIPVersion(TIdIPVersion value) { FIPVersion = value; }
  bool UseNagle() const { return FUseNagle; }
  void SetUseNagle(bool value);
  TIdReuseSocket ReuseSocket() const { return FReuseSocket; }
  void SetReuseSocket(TIdReuseSocket value) { FReuseSocket = value; }
  // Client-side settings, kept for completeness; the server does not use them.
  const std::string& BoundIP() const { return FBoundIP; }
  void SetBoundIP(const std::string& value) { FBoundIP = value; }
  int BoundPort() const { return FBoundPort; }
  void SetBoundPort(int value) { FBoundPort = value; }
  int BoundPortMin() const { return FBoundPortMin; }
  void SetBoundPortMin(int value) { FBoundPortMin = value; }
  int BoundPortMax() const { return FBoundPortMax; }
  void SetBoundPortMax(int value) { FBoundPortMax = value; }
  int DefaultPort() const { return FDefaultPort; }
  void SetDefaultPort(int value) { FDefaultPort = value; }

  std::function<void(TIdIOHandlerSocket& sender)> OnBeforeBind;
  std::function<void(TIdIOHandlerSocket& sender)> OnAfterBind;
  std::function<void(TIdIOHandlerSocket& sender)> OnSocketAllocated;

protected:
  bool SourceAvailable() const override { return BindingAllocated(); }

private:
  std::unique_ptr<TIdSocketHandle> FBinding;
  std::string FBoundIP;
  int FBoundPort = 0;
  int FBoundPortMax = 0;
  int FBoundPortMin = 0;
  int FDefaultPort = 0;
  bool FUseNagle = true;
  TIdReuseSocket FReuseSocket = rsOSDependent;
  TIdIPVersion FIPVersion = Id_IPv4;
};

}  // namespace zal
