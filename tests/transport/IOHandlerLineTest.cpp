// Line reads: terminators, lines split over receives, maximum lengths, time-outs.
#include <gtest/gtest.h>

#include <chrono>

#include "transport/zalIdIOHandler.h"
#include "common/zalLoopbackConnection.h"

namespace zal {
namespace {

using test::LoopbackConnection;

struct TerminatorCase {
  const char* name;
  std::string wire;
  std::string terminator;
  std::vector<std::string> lines;
};

void PrintTo(const TerminatorCase& c, std::ostream* os) { *os << c.name; }

class ReadLnTerminators : public testing::TestWithParam<TerminatorCase> {};

std::vector<std::string> ReadLines(TIdIOHandler& io, const TerminatorCase& c) {
  std::vector<std::string> lines;
  for (size_t i = 0; i < c.lines.size(); ++i)
    lines.push_back(io.ReadLn(c.terminator));
  return lines;
}

TEST_P(ReadLnTerminators, WholeInput) {
  LoopbackConnection link;
  ASSERT_TRUE(link.Peer().Send(GetParam().wire));
  EXPECT_EQ(ReadLines(link.IO(), GetParam()), GetParam().lines);
  EXPECT_TRUE(link.IO().InputBufferIsEmpty());
}

TEST_P(ReadLnTerminators, OneByteEachReceive) {
  LoopbackConnection link;
  link.IO().SetRecvBufferSize(1);
  ASSERT_TRUE(link.Peer().Send(GetParam().wire));
  EXPECT_EQ(ReadLines(link.IO(), GetParam()), GetParam().lines);
}

TEST_P(ReadLnTerminators, SplitAtEveryOffset) {
  const TerminatorCase& c = GetParam();
  for (size_t split = 0; split <= c.wire.size(); ++split) {
    LoopbackConnection link;
    ASSERT_TRUE(link.Peer().Send(c.wire.substr(0, split)));
    ASSERT_TRUE(link.BufferUntil(static_cast<int>(split)));
    ASSERT_TRUE(link.Peer().Send(c.wire.substr(split)));
    EXPECT_EQ(ReadLines(link.IO(), c), c.lines) << "split at " << split;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Lines, ReadLnTerminators,
    testing::Values(TerminatorCase{"CRLF", "GET / HTTP/1.1\r\nHost: a\r\n\r\n", "", {"GET / HTTP/1.1", "Host: a", ""}},
                    TerminatorCase{"BareLF", "one\ntwo\n\n", "\n", {"one", "two", ""}},
                    TerminatorCase{"ExplicitCRLF", "a\rb\r\ncd\r\n", "\r\n", {"a\rb", "cd"}},
                    TerminatorCase{"OtherTerminatorKeepsCR", "ab\r|cd|", "|", {"ab\r", "cd"}},
                    TerminatorCase{"LongTerminator", "x\r\n\r\ny\r\n\r\n", "\r\n\r\n", {"x", "y"}},
                    TerminatorCase{"LoneCRInLine", "a\rb\n", "", {"a\rb"}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ReadLn, LineOfExactlyTheMaximumIsAccepted) {
  LoopbackConnection link;
  const std::string line(IdMaxLineLengthDefault, 'x');
  ASSERT_TRUE(link.Peer().Send(line + "\n"));
  EXPECT_EQ(link.IO().ReadLn(), line);
}

TEST(ReadLn, OverlongLineRaisesWithMaException) {
  LoopbackConnection link;
  ASSERT_TRUE(link.Peer().Send(std::string(IdMaxLineLengthDefault + 1, 'x')));
  try {
    link.IO().ReadLn();
    FAIL() << "no exception";
  } catch (const EIdReadLnMaxLineLengthExceeded& e) {
    EXPECT_STREQ(e.what(), "Max line length exceeded.");
  }
}

TEST(ReadLn, OverlongLineIsSplitWithMaSplit) {
  LoopbackConnection link;
  link.IO().SetMaxLineAction(maSplit);
  ASSERT_TRUE(link.Peer().Send(std::string(IdMaxLineLengthDefault, 'a') + "bc\n"));
  EXPECT_EQ(link.IO().ReadLn(), std::string(IdMaxLineLengthDefault, 'a'));
  EXPECT_TRUE(link.IO().ReadLnSplit());
  EXPECT_EQ(link.IO().ReadLn(), "bc");
  EXPECT_FALSE(link.IO().ReadLnSplit());
}

TEST(ReadLn, ExplicitMaximumOverridesTheHandlerDefault) {
  LoopbackConnection link;
  ASSERT_TRUE(link.Peer().Send("12345\n123456\n"));
  EXPECT_EQ(link.IO().ReadLn("\n", -1, 5), "12345");
  EXPECT_THROW(link.IO().ReadLn("\n", -1, 5), EIdReadLnMaxLineLengthExceeded);
}

TEST(ReadLn, TimeOutReturnsEmptyAndKeepsThePartialLine) {
  LoopbackConnection link;
  ASSERT_TRUE(link.Peer().Send("partial"));
  ASSERT_TRUE(link.BufferUntil(7));
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(link.IO().ReadLn("\n", 100, -1), "");
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(95));
  EXPECT_TRUE(link.IO().ReadLnTimedOut());
  EXPECT_EQ(link.IO().InputBuffer().Size(), 7);
  ASSERT_TRUE(link.Peer().Send(" rest\n"));
  EXPECT_EQ(link.IO().ReadLn(), "partial rest");
  EXPECT_FALSE(link.IO().ReadLnTimedOut());
}

TEST(ReadLn, HandlerReadTimeoutAppliesToTheDefaultArgument) {
  LoopbackConnection link;
  link.IO().SetReadTimeout(50);
  EXPECT_EQ(link.IO().ReadLn(), "");
  EXPECT_TRUE(link.IO().ReadLnTimedOut());
}

TEST(ReadLn, ZeroTimeoutPollsOnce) {
  LoopbackConnection link;
  EXPECT_EQ(link.IO().ReadLn("\n", 0, -1), "");
  EXPECT_TRUE(link.IO().ReadLnTimedOut());
  ASSERT_TRUE(link.Peer().Send("ready\n"));
  ASSERT_TRUE(link.BufferUntil(6));
  EXPECT_EQ(link.IO().ReadLn("\n", 0, -1), "ready");
}

TEST(ReadLn, PeerClosingMidLineRaisesGracefulCloseAndKeepsTheBytes) {
  LoopbackConnection link;
  ASSERT_TRUE(link.Peer().Send("done\nhalf"));
  link.Peer().Close();
  EXPECT_EQ(link.IO().ReadLn(), "done");
  try {
    link.IO().ReadLn();
    FAIL() << "no exception";
  } catch (const EIdConnClosedGracefully& e) {
    EXPECT_STREQ(e.what(), "Connection Closed Gracefully.");
  }
  EXPECT_EQ(link.IO().InputBufferAsString(), "half");
}

TEST(ReadLn, LinesSentBeforeTheCloseAreAllServed) {
  LoopbackConnection link;
  ASSERT_TRUE(link.Peer().Send("one\r\ntwo\r\n"));
  link.Peer().Close();
  EXPECT_EQ(link.IO().ReadLn(), "one");
  EXPECT_EQ(link.IO().ReadLn(), "two");
  EXPECT_THROW(link.IO().ReadLn(), EIdConnClosedGracefully);
  EXPECT_FALSE(link.Connection().Connected());
}

TEST(ReadLn, DecodesWithTheGivenEncoding) {
  LoopbackConnection link;
  ASSERT_TRUE(link.Peer().Send("gr\xC3\xBC\xC3\x9F\n\xC3\xBC\n"));
  EXPECT_EQ(link.IO().ReadLn(&IdTextEncoding(tekUTF8)), "gr\xC3\xBC\xC3\x9F");
  EXPECT_EQ(link.IO().ReadLn(), "\xEF\xBF\xBD\xEF\xBF\xBD");  // ASCII by default
}

}  // namespace
}  // namespace zal
