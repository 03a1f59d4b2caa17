// Writing: lines, buffering with and without a threshold, streams, files and intercepts.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <future>

#include "support/zalStream.h"
#include "transport/zalIdIntercept.h"
#include "common/zalLoopbackConnection.h"

namespace zal {
namespace {

using test::LoopbackConnection;
using test::Pattern;

TEST(WriteLines, CRLFEndingsAndDotStuffing) {
  LoopbackConnection link;
  TIdIOHandler& io = link.IO();
  io.WriteLn("plain");
  io.WriteLn();
  io.Write("");  // nothing
  io.WriteRFCStrings({".hidden", "shown"});
  io.Write(TIdStrings{"a", "b"}, true);
  io.Write(std::string("\xC3\xBC"), &IdTextEncoding(tekUTF8));
  io.Write(std::string("\xC3\xBC"));  // ASCII by default
  const std::string expected = std::string("plain\r\n\r\n..hidden\r\nshown\r\n.\r\n") + std::string("\0\0\0\x02", 4) +
                               "a\r\nb\r\n\xC3\xBC?";
  EXPECT_EQ(link.Peer().Receive(2000, expected.size()), expected);
}

TEST(WriteBuffer, NothingIsSentBeforeTheFlush) {
  LoopbackConnection link;
  TIdIOHandler& io = link.IO();
  io.WriteBufferOpen();
  EXPECT_TRUE(io.WriteBufferingActive());
  io.WriteLn("HTTP/1.1 200 OK");
  io.WriteLn("Content-Length: 0");
  EXPECT_EQ(link.Peer().Receive(50), "");
  io.WriteBufferFlush(4);
  EXPECT_EQ(link.Peer().Receive(2000, 4), "HTTP");
  io.WriteBufferFlush();
  EXPECT_EQ(link.Peer().Receive(2000, 34), "/1.1 200 OK\r\nContent-Length: 0\r\n");
  io.WriteLn("next");
  io.WriteBufferClose();
  EXPECT_FALSE(io.WriteBufferingActive());
  EXPECT_EQ(link.Peer().Receive(2000, 6), "next\r\n");
}

TEST(WriteBuffer, ClearAndCancelDropTheBufferedBytes) {
  LoopbackConnection link;
  TIdIOHandler& io = link.IO();
  io.WriteBufferOpen();
  io.Write("dropped");
  io.WriteBufferClear();
  EXPECT_TRUE(io.WriteBufferingActive());
  io.Write("kept");
  io.WriteBufferFlush();
  io.Write("cancelled");
  io.WriteBufferCancel();
  EXPECT_FALSE(io.WriteBufferingActive());
  io.Write("!");
  EXPECT_EQ(link.Peer().Receive(200), "kept!");
}

TEST(WriteBuffer, ThresholdSendsWholeBlocksAndKeepsTheRest) {
  LoopbackConnection link;
  TIdIOHandler& io = link.IO();
  io.WriteBufferOpen(4);
  io.Write("abc");
  EXPECT_EQ(link.Peer().Receive(50), "");
  io.Write("defghij");  // 10 buffered: two blocks of 4 go out, 2 stay
  EXPECT_EQ(link.Peer().Receive(2000, 8), "abcdefgh");
  EXPECT_EQ(link.Peer().Receive(50), "");
  io.WriteBufferClose();
  EXPECT_EQ(link.Peer().Receive(2000, 2), "ij");
}

TEST(WriteBuffer, CloseDropsUnsentBytes) {
  LoopbackConnection link;
  link.IO().WriteBufferOpen();
  link.IO().Write("never sent");
  link.Connection().Disconnect(false);
  EXPECT_FALSE(link.IO().WriteBufferingActive());
  EXPECT_TRUE(link.Peer().WaitClosed());
}

TEST(WriteStream, SeveralMebibytesInSendBufferSizedChunks) {
  LoopbackConnection link;
  const TIdBytes data = Pattern(5 * 1024 * 1024 + 11);
  TMemoryStream stream(data);
  stream.SetPosition(123);  // a size of 0 sends the whole stream regardless
  int64_t largestWrite = 0;
  int64_t written = 0;
  link.IO().OnWork = [&](TIdIOHandler&, TWorkMode mode, int64_t count) {
    if (mode == wmWrite) {
      largestWrite = std::max(largestWrite, count);
      written += count;
    }
  };
  auto receiver =
      std::async(std::launch::async, [&] { return link.Peer().Receive(10000, data.size() + 4); });
  link.IO().Write(stream, 0, true);
  const std::string wire = receiver.get();
  ASSERT_EQ(wire.size(), data.size() + 4);
  const uint32_t announced = (uint32_t(uint8_t(wire[0])) << 24) | (uint32_t(uint8_t(wire[1])) << 16) |
                             (uint32_t(uint8_t(wire[2])) << 8) | uint8_t(wire[3]);
  EXPECT_EQ(announced, data.size());
  EXPECT_TRUE(TIdBytes(wire.begin() + 4, wire.end()) == data);
  EXPECT_LE(largestWrite, link.IO().SendBufferSize());
  EXPECT_EQ(written, static_cast<int64_t>(data.size()) + 4);
}

TEST(WriteStream, NegativeSizeSendsFromThePosition) {
  LoopbackConnection link;
  TMemoryStream stream(TIdBytes{'0', '1', '2', '3', '4'});
  stream.SetPosition(3);
  link.IO().SetLargeStream(true);
  link.IO().Write(stream, -1, true);
  EXPECT_EQ(link.Peer().Receive(2000, 10), std::string("\0\0\0\0\0\0\0\x02", 8) + "34");
}

// Claims a size it cannot deliver.
class HollowStream : public TStream {
public:
  explicit HollowStream(int64_t size) : FSize(size) {}
  int64_t Read(void*, int64_t) override { return 0; }
  int64_t Write(const void*, int64_t) override { return 0; }
  int64_t Seek(int64_t, TSeekOrigin) override { return 0; }
  int64_t Size() override { return FSize; }
  void SetSize(int64_t) override {}

private:
  int64_t FSize;
};

TEST(WriteStream, SizeErrors) {
  LoopbackConnection link;
  HollowStream huge(int64_t(1) << 31);
  try {
    link.IO().Write(huge, 0, true);
    FAIL() << "no exception";
  } catch (const EIdIOHandlerRequiresLargeStream& e) {
    EXPECT_STREQ(e.what(), "Set LargeStream to True to send streams greater than 2GB");
  }
  HollowStream dry(10);
  try {
    link.IO().Write(dry, 0, false);
    FAIL() << "no exception";
  } catch (const EIdNoDataToRead& e) {
    EXPECT_STREQ(e.what(), "No data to read.");
  }
  EXPECT_EQ(link.Peer().Receive(50), "");
}

TEST(WriteFile, SendsTheContentOrNamesTheMissingFile) {
  LoopbackConnection link;
  const std::string path = std::string(::testing::TempDir()) + "zal_writefile_" + std::to_string(::getpid());
  {
    TFileStream file(path, fmCreate);
    file.WriteBuffer("file body", 9);
  }
  EXPECT_EQ(link.IO().WriteFile(path), 9);
  EXPECT_EQ(link.Peer().Receive(2000, 9), "file body");
  std::remove(path.c_str());
  try {
    link.IO().WriteFile(path);
    FAIL() << "no exception";
  } catch (const EIdFileNotFound& e) {
    EXPECT_EQ(std::string(e.what()), "File \"" + path + "\" not found");
  }
}

// Adds `delta` to every byte in and subtracts it out, recording the order of calls.
class ShiftIntercept : public TIdConnectionIntercept {
public:
  ShiftIntercept(int delta, std::string tag, std::vector<std::string>& log) : FDelta(delta), FTag(std::move(tag)) {
    OnReceive = [this, &log](TIdConnectionIntercept&, TIdBytes& buffer) {
      log.push_back("recv " + FTag);
      for (auto& b : buffer)
        b = static_cast<uint8_t>(b - FDelta);
    };
    OnSend = [this, &log](TIdConnectionIntercept&, TIdBytes& buffer) {
      log.push_back("send " + FTag);
      for (auto& b : buffer)
        b = static_cast<uint8_t>(b + FDelta);
    };
  }

private:
  int FDelta;
  std::string FTag;
};

TEST(Intercept, ChainTransformsBothDirectionsInOrder) {
  std::vector<std::string> log;
  ShiftIntercept outer(1, "outer", log), inner(2, "inner", log);
  LoopbackConnection link;
  outer.SetIntercept(&inner);
  link.Connection().SetIntercept(&outer);
  outer.Connect(&link.Connection());
  EXPECT_EQ(inner.Connection(), &link.Connection());

  link.IO().WriteLn("abc");
  EXPECT_EQ(link.Peer().Receive(2000, 5), "def\x10\r");
  ASSERT_TRUE(link.Peer().Send("def\x10\r"));
  EXPECT_EQ(link.IO().ReadLn(), "abc");
  EXPECT_EQ(log, (std::vector<std::string>{"send outer", "send inner", "recv inner", "recv outer"}));

  int disconnects = 0;
  inner.OnDisconnect = [&](TIdConnectionIntercept&) { ++disconnects; };
  link.Connection().Disconnect(false);
  link.Connection().Disconnect(false);
  EXPECT_EQ(disconnects, 1);
  EXPECT_EQ(outer.Connection(), nullptr);
}

TEST(Intercept, CircularLinksAreRefused) {
  TIdConnectionIntercept a, b, c;
  a.SetName("First");
  a.SetIntercept(&b);
  b.SetIntercept(&c);
  try {
    c.SetIntercept(&a);
    FAIL() << "no exception";
  } catch (const EIdInterceptCircularLink& e) {
    EXPECT_STREQ(e.what(), "TIdConnectionIntercept: Circular links are not allowed");
  }
  EXPECT_THROW(a.SetIntercept(&a), EIdInterceptCircularLink);
  try {
    a.SetIntercept(&a);
  } catch (const EIdInterceptCircularLink& e) {
    EXPECT_STREQ(e.what(), "First: Circular links are not allowed");
  }
  EXPECT_EQ(c.Intercept(), nullptr);
  a.SetIntercept(&c);  // a chain without a loop is fine
  EXPECT_EQ(a.Intercept(), &c);
}

TEST(Intercept, ABlockKeptBackByTheInterceptIsNoClose) {
  TIdConnectionIntercept holdFirst;  // outlives the connection that uses it
  LoopbackConnection link;
  bool first = true;
  holdFirst.OnReceive = [&](TIdConnectionIntercept&, TIdBytes& buffer) {
    if (first)
      buffer.clear();  // e.g. an incomplete record of a framing layer
    first = false;
  };
  link.IO().SetIntercept(&holdFirst);
  ASSERT_TRUE(link.Peer().Send("swallowed"));
  ASSERT_TRUE(test::WaitFor([&] {
    link.IO().CheckForDataOnSource(20);
    return !first;
  }));
  ASSERT_TRUE(link.Peer().Send("line\n"));
  EXPECT_EQ(link.IO().ReadLn(), "line");
  EXPECT_TRUE(link.Connection().Connected());
}

TEST(Intercept, ThrottlerDelayFollowsTheBitRate) {
  EXPECT_EQ(TIdInterceptThrottler::DelayMs(1000, 8000), 1000);
  EXPECT_EQ(TIdInterceptThrottler::DelayMs(1000, 0), 0);
  EXPECT_EQ(TIdInterceptThrottler::DelayMs(125, 1000000), 1);
  TIdInterceptThrottler throttler;
  throttler.SetBitsPerSec(64000);
  EXPECT_EQ(throttler.RecvBitsPerSec(), 64000);
  EXPECT_EQ(throttler.SendBitsPerSec(), 64000);
}

}  // namespace
}  // namespace zal
