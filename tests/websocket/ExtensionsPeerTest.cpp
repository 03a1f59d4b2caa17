// Compressed messages through the component, echoed back by the application,
// against independent clients: node ws (permessage-deflate under every takeover
// and window-bits combination), python3-websockets, our own
// x-webkit-deflate-frame client, and Perl Protocol::WebSocket over Hixie-76
// (uncompressed: Hixie-76 has no extensions).
// Messages above 4 KiB are echoed in frames of 1000 octets, so the server
// compresses a fragmented message.
#include <gtest/gtest.h>

#include "common/zalTestProcess.h"
#include "websocket/EchoServer.h"

namespace zal {
namespace {

using test::PeerScript;
using test::RunCommand;

// The messages every client sends: short, empty followed by another (the
// empty one must not end the deflate stream), repeated (shared window), and
// one large enough to be echoed in fragments.
const std::string kMessages =
    "'[{\"text\": \"Hello\"}, {\"text\": \"\"}, {\"text\": \"Hello\"}, {\"text\": \"Hello\"}, "
    "{\"repeat\": \"zal websocket \", \"size\": 70000}, {\"text\": \"Hello again\"}]'";
const std::string kAllEchoed =
    "{\"echo\":true,\"size\":5}\n{\"echo\":true,\"size\":0}\n{\"echo\":true,\"size\":5}\n{\"echo\":true,\"size\":5}\n"
    "{\"echo\":true,\"size\":70000}\n{\"echo\":true,\"size\":11}\n";

// The echo server, sending messages above 4 KiB back in frames of 1000 octets
// and speaking the subprotocol "superchat".
class EchoPeerTest : public ::testing::Test {
protected:
  void SetUp() override {
    echo.Server.OnTCPConnect = [](TzalWSConnection* connection, bool&) {
      static_cast<TzalWSConnectionServer*>(connection)->FProtocol = "superchat";
    };
    echo.Server.OnMessage = [](TzalWSConnection* connection, const std::string& text) {
      connection->WriteData(text, text.size() > 4096 ? 1000 : 0);
    };
    port = std::to_string(echo.Port());
  }

  test::EchoServer echo;
  std::string port;
};

struct NodeEchoCase {
  const char* name;
  std::string options;  // ws's perMessageDeflate options
};

class NodeWsEcho : public EchoPeerTest, public ::testing::WithParamInterface<NodeEchoCase> {};

TEST_P(NodeWsEcho, CompressedMessagesComeBackWhole) {
  const auto result = RunCommand("node " + PeerScript("ws_client.js") + " ws://127.0.0.1:" + port + "/chat '" +
                                     "{\"perMessageDeflate\": " + GetParam().options + "}' " + kMessages,
                                 60);
  ASSERT_EQ(result.ExitCode, 0) << result.Output;
  const size_t firstLine = result.Output.find('\n') + 1;
  EXPECT_NE(result.Output.find("\"extensions\":\"permessage-deflate\""), std::string::npos) << result.Output;
  EXPECT_EQ(result.Output.substr(firstLine), kAllEchoed) << result.Output;
}

INSTANTIATE_TEST_SUITE_P(
    Parameters, NodeWsEcho,
    ::testing::Values(
        NodeEchoCase{"Takeover", "{\"threshold\": 0}"},
        NodeEchoCase{"NoTakeover",
                     "{\"threshold\": 0, \"serverNoContextTakeover\": true, \"clientNoContextTakeover\": true}"},
        NodeEchoCase{"ServerNoTakeoverOnly", "{\"threshold\": 0, \"serverNoContextTakeover\": true}"},
        NodeEchoCase{"ClientNoTakeoverOnly", "{\"threshold\": 0, \"clientNoContextTakeover\": true}"},
        NodeEchoCase{"SmallWindows", "{\"threshold\": 0, \"serverMaxWindowBits\": 9, \"clientMaxWindowBits\": 9}"},
        NodeEchoCase{"MixedWindows",
                     "{\"threshold\": 0, \"serverMaxWindowBits\": 12, \"clientMaxWindowBits\": 10, "
                     "\"serverNoContextTakeover\": true}"}),
    [](const auto& info) { return info.param.name; });

TEST_F(EchoPeerTest, PythonWebsocketsEchoWithSubprotocolAndCompression) {
  const auto result = RunCommand("/usr/bin/python3 " + PeerScript("websockets_client.py") + " ws://127.0.0.1:" +
                                     port + "/chat '[\"chat\", \"superchat\"]' " + kMessages,
                                 60);
  ASSERT_EQ(result.ExitCode, 0) << result.Output;
  EXPECT_NE(result.Output.find("\"protocol\": \"superchat\""), std::string::npos) << result.Output;
  EXPECT_NE(result.Output.find("permessage-deflate"), std::string::npos) << result.Output;
  EXPECT_EQ(result.Output.substr(result.Output.find('\n') + 1),
            "{\"echo\": true, \"size\": 5}\n{\"echo\": true, \"size\": 0}\n{\"echo\": true, \"size\": 5}\n"
            "{\"echo\": true, \"size\": 5}\n{\"echo\": true, \"size\": 70000}\n{\"echo\": true, \"size\": 11}\n")
      << result.Output;
}

TEST_F(EchoPeerTest, OwnDeflateFrameClientEcho) {
  const auto result =
      RunCommand("/usr/bin/python3 " + PeerScript("deflate_frame_client.py") + " " + port + " 3000 " + kMessages, 60);
  ASSERT_EQ(result.ExitCode, 0) << result.Output;
  EXPECT_EQ(result.Output,
            "{\"open\": true, \"extensions\": [\"x-webkit-deflate-frame\"]}\n"
            "{\"echo\": true, \"size\": 5}\n{\"echo\": true, \"size\": 0}\n{\"echo\": true, \"size\": 5}\n"
            "{\"echo\": true, \"size\": 5}\n{\"echo\": true, \"size\": 70000}\n{\"echo\": true, \"size\": 11}\n");
}

TEST_F(EchoPeerTest, PerlHixie76EchoAfterLateKeyOctets) {
  const auto result = RunCommand("perl " + PeerScript("hixie76_client.pl") + " ws://127.0.0.1:" + port + "/chat " +
                                     port + " 0.05 'hello hixie'",
                                 30);
  EXPECT_EQ(result.Output, "done\necho hello hixie\n");
}

}  // namespace
}  // namespace zal
