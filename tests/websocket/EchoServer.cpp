#include "websocket/EchoServer.h"

#include "common/zalTestSocket.h"

namespace zal::test {

EchoServer::EchoServer(bool libraryDefaults) {
  ListenOnLoopback(Server);
  if (!libraryDefaults) {
    Server.Options().CleanDisconnect = true;
    Server.Options().ValidateUTF8 = true;
    Server.Extensions().PerMessage_Deflate.Enabled = true;
    Server.Extensions().DeflateFrame.Enabled = true;
  }
  Server.OnMessage = [](TzalWSConnection* connection, const std::string& text) { connection->WriteData(text); };
  // The message stream is only read while it is sent back.
  Server.OnBinary = [](TzalWSConnection* connection, const TMemoryStream& data) {
    connection->WriteData(const_cast<TMemoryStream&>(data));
  };
}

uint16_t EchoServer::Port() {
  if (!Server.Active())
    Server.SetActive(true);
  return Server.Bindings().Items(0).Port();
}

}  // namespace zal::test
