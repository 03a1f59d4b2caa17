// Real clients against the echo server: node ws (ordering under compression
// from several application threads, a paused reader, a server close),
// python3-websockets (the message size limit both ways) and headless Chromium
// (large messages and clean closes from both sides).
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "common/zalTestProcess.h"
#include "common/zalTestRecorder.h"
#include "websocket/EchoServer.h"

namespace zal::test {
namespace {

class RealClients : public ::testing::Test {
protected:
  void SetUp() override {
    echo.Server.OnMessage = [this](TzalWSConnection* connection, const std::string& text) {
      if (text == "start")
        return SendFromThreads(connection);
      if (text == "flood")
        return Flood(connection);
      if (text == "close4000")
        return connection->Close(4000);
      connection->WriteData(text);
    };
    echo.Server.OnError = [this](TzalWSConnection*, const std::string& error) { errors.Add(error); };
  }
  // The server's threads start the application threads: they are all known
  // once the server has stopped.
  void TearDown() override {
    echo.Server.SetActive(false);
    for (auto& thread : threads)
      thread.join();
  }

  // Four application threads, each sending 1,000 numbered messages. Each holds
  // a reference: the connection may end while they still write.
  void SendFromThreads(TzalWSConnection* connection) {
    for (int t = 0; t < 4; ++t)
      threads.emplace_back([connection = TzalWSConnectionRef(connection), t] {
        for (int i = 0; i < 1000; ++i)
          connection->WriteData(std::to_string(t) + ":" + std::to_string(i));
      });
  }

  // 100 messages of 1 MiB through the send queue while the client does not read.
  void Flood(TzalWSConnection* connection) {
    threads.emplace_back([this, connection = TzalWSConnectionRef(connection)] {
      TMemoryStream mebibyte(TIdBytes(1 << 20, 'x'));
      for (int i = 0; i < 100 && !connection->Disconnected(); ++i) {
        connection->WriteData(mebibyte);
        maxQueued = std::max<uint64_t>(maxQueued, connection->QueuedBytes());
      }
    });
  }

  std::string Run(const std::string& mode) {
    const CommandResult result =
        RunCommand("node " + PeerScript("ws_real_client.js") + " " + mode + " ws://127.0.0.1:" +
                       std::to_string(echo.Port()) + "/echo",
                   90);
    EXPECT_EQ(result.ExitCode, 0) << result.Output;
    return result.Output;
  }

  TestRecorder<std::string> errors;  // outlives the server
  std::atomic<uint64_t> maxQueued{0};
  EchoServer echo;
  std::vector<std::thread> threads;
};

TEST_F(RealClients, NodeWsReceivesCompressedMessagesOfFourThreadsInOrder) {
  EXPECT_EQ(Run("ordered"),
            "{\"mode\":\"ordered\",\"error\":null,\"code\":1000,\"received\":4000,\"outOfOrder\":0,"
            "\"extensions\":\"permessage-deflate\"}\n");
}

TEST_F(RealClients, NodeWsPausedReaderEndsAtTheSendBoundWith1008) {
  echo.Server.QueueOptions().Binary.Level = qmLevel0;
  echo.Server.Options().MaxSendQueueSize = 8 * 1024 * 1024;
  const std::string output = Run("paused");
  EXPECT_NE(output.find("\"code\":1008"), std::string::npos) << output;
  EXPECT_LE(maxQueued.load(), 8u * 1024 * 1024);
  EXPECT_EQ(errors.Items(), std::vector<std::string>{"Send queue exceeds MaxSendQueueSize"});
}

TEST_F(RealClients, NodeWsSeesTheServersCloseCode) {
  EXPECT_EQ(Run("close"), "{\"mode\":\"close\",\"error\":null,\"code\":4000,\"received\":0,\"outOfOrder\":0,"
                          "\"extensions\":\"\"}\n");
}

// The server's MaxMessageSize against python3-websockets, and the client's
// max_size against the server (which then receives the client's 1009).
TEST_F(RealClients, PythonWebsocketsMessageSizeLimits) {
  echo.Server.Options().MaxMessageSize = 1000;
  const CommandResult result = RunCommand(
      "/usr/bin/python3 " + PeerScript("ws_size_client.py") + " ws://127.0.0.1:" + std::to_string(echo.Port()) + "/echo",
      60);
  EXPECT_EQ(result.ExitCode, 0) << result.Output;
  EXPECT_EQ(result.Output, "echoed 1000\nserver closed 1009\nclient closed 1009\n");
}

TEST_F(RealClients, ChromiumEchoesMebibyteMessagesAndClosesCleanly) {
  const CommandResult result = RunCommand(
      "node " + PeerScript("ws_chromium.mjs") + " ws://127.0.0.1:" + std::to_string(echo.Port()) + "/echo", 120);
  EXPECT_EQ(result.ExitCode, 0) << result.Output;
  EXPECT_EQ(result.Output,
            "{\"extensions\":\"permessage-deflate;client_max_window_bits=15\",\"textEchoed\":true,\"binaryEchoed\":true,"
            "\"serverClose\":{\"code\":4000,\"wasClean\":true},\"clientClose\":{\"code\":1000,\"wasClean\":true}}\n");
}

}  // namespace
}  // namespace zal::test
