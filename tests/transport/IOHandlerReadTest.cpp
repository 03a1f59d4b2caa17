// Counted, typed, stream and captured reads; discards and buffer access.
#include <gtest/gtest.h>

#include <future>

#include "support/zalStream.h"
#include "common/zalLoopbackConnection.h"

namespace zal {
namespace {

using test::LoopbackConnection;
using test::Pattern;

std::string Text(const TIdBytes& bytes) { return std::string(bytes.begin(), bytes.end()); }

std::string BigEndian32(uint32_t value) {
  return std::string{char(value >> 24), char(value >> 16), char(value >> 8), char(value)};
}

TEST(ReadBytes, WaitsForTheCountAcrossReceives) {
  LoopbackConnection link;
  link.IO().SetRecvBufferSize(3);
  ASSERT_TRUE(link.Peer().Send("abcdefghij"));
  TIdBytes out{'>'};
  link.IO().ReadBytes(out, 7);
  EXPECT_EQ(Text(out), ">abcdefg");
  link.IO().ReadBytes(out, 2, false);
  EXPECT_EQ(Text(out), "hibcdefg");
}

TEST(ReadBytes, NegativeCountTakesWhatIsThere) {
  LoopbackConnection link;
  ASSERT_TRUE(link.Peer().Send("xyz"));
  ASSERT_TRUE(link.BufferUntil(3));
  TIdBytes out;
  link.IO().ReadBytes(out, -1);
  EXPECT_EQ(Text(out), "xyz");
  link.IO().ReadBytes(out, 0);  // nothing
  EXPECT_EQ(Text(out), "xyz");
  ASSERT_TRUE(link.Peer().Send("1"));
  link.IO().ReadBytes(out, -1);  // an empty buffer is filled once
  EXPECT_EQ(Text(out), "xyz1");
  link.Peer().Close();
  EXPECT_THROW(link.IO().ReadBytes(out, -1), EIdConnClosedGracefully);
}

TEST(ReadBytes, TimeOutRaisesAndKeepsTheBufferedBytes) {
  LoopbackConnection link;
  link.IO().SetReadTimeout(50);
  ASSERT_TRUE(link.Peer().Send("abc"));
  TIdBytes out;
  try {
    link.IO().ReadBytes(out, 4);
    FAIL() << "no exception";
  } catch (const EIdReadTimeout& e) {
    EXPECT_STREQ(e.what(), "Read timed out.");
  }
  EXPECT_EQ(link.IO().InputBuffer().Size(), 3);
  EXPECT_TRUE(out.empty());
}

TEST(ReadString, DecodesAndTreatsNonPositiveCountsAsEmpty) {
  LoopbackConnection link;
  ASSERT_TRUE(link.Peer().Send("\xC3\xA9t\xC3\xA9!"));
  EXPECT_EQ(link.IO().ReadString(0), "");
  EXPECT_EQ(link.IO().ReadString(-5), "");
  EXPECT_EQ(link.IO().ReadString(5, &IdTextEncoding(tekUTF8)), "\xC3\xA9t\xC3\xA9");
  EXPECT_EQ(link.IO().ReadChar(), "!");
}

TEST(ReadChar, TakesTheWholeCharacterOfTheEncoding) {
  LoopbackConnection link;
  link.IO().SetRecvBufferSize(1);
  ASSERT_TRUE(link.Peer().Send("\xE2\x82\xAC" "a\xF0\x9F\x98\x80"));
  EXPECT_EQ(link.IO().ReadChar(&IdTextEncoding(tekUTF8)), "\xE2\x82\xAC");
  EXPECT_EQ(link.IO().ReadChar(&IdTextEncoding(tekUTF8)), "a");
  EXPECT_EQ(link.IO().ReadChar(&IdTextEncoding(tekUTF8)), "\xF0\x9F\x98\x80");
}

TEST(TypedValues, RoundTripInNetworkOrder) {
  LoopbackConnection link;
  TIdIOHandler& io = link.IO();
  io.WriteBufferOpen();
  io.Write(uint8_t(0xAB));
  io.Write(uint16_t(0x0102));
  io.Write(int16_t(-2));
  io.Write(uint32_t(0x01020304));
  io.Write(int32_t(-3));
  io.Write(uint64_t(0x0102030405060708ull));
  io.Write(int64_t(-4));
  io.Write(uint16_t(0x0102), false);
  io.WriteBufferClose();
  const std::string expected =
      std::string("\xAB\x01\x02\xFF\xFE\x01\x02\x03\x04\xFF\xFF\xFF\xFD", 13) +
      std::string("\x01\x02\x03\x04\x05\x06\x07\x08", 8) + std::string(7, '\xFF') + "\xFC" + "\x02\x01";
  const std::string wire = link.Peer().Receive(2000, expected.size());
  ASSERT_EQ(wire, expected);

  ASSERT_TRUE(link.Peer().Send(wire));
  EXPECT_EQ(io.ReadByte(), 0xAB);
  EXPECT_EQ(io.ReadUInt16(), 0x0102);
  EXPECT_EQ(io.ReadInt16(), -2);
  EXPECT_EQ(io.ReadLongWord(), 0x01020304u);
  EXPECT_EQ(io.ReadLongInt(), -3);
  EXPECT_EQ(io.ReadUInt64(), 0x0102030405060708ull);
  EXPECT_EQ(io.ReadInt64(), -4);
  EXPECT_EQ(io.ReadWord(false), 0x0102);
}

TEST(ReadStream, CountedStreamReadFromTheConnection) {
  LoopbackConnection link;
  ASSERT_TRUE(link.Peer().Send(BigEndian32(5) + "hello" + "tail"));
  TMemoryStream stream;
  link.IO().ReadStream(&stream);
  EXPECT_EQ(stream.DataString(), "hello");
  EXPECT_EQ(stream.Position(), 5);
  EXPECT_EQ(link.IO().ReadString(4), "tail");
}

TEST(ReadStream, LargeStreamCountsAre64Bit) {
  LoopbackConnection link;
  link.IO().SetLargeStream(true);
  ASSERT_TRUE(link.Peer().Send(std::string(7, '\0') + "\x03" + "abc"));
  TMemoryStream stream;
  link.IO().ReadStream(&stream);
  EXPECT_EQ(stream.DataString(), "abc");
}

TEST(ReadStream, ExplicitCountAppendsAtThePositionAndTrims) {
  LoopbackConnection link;
  ASSERT_TRUE(link.Peer().Send("12345"));
  TMemoryStream stream(TIdBytes{'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h'});
  stream.SetPosition(2);
  link.IO().ReadStream(&stream, 3);
  EXPECT_EQ(stream.DataString(), "ab123");  // truncated to the position after the read
  link.IO().ReadStream(nullptr, 2);         // without a stream the bytes are dropped
  EXPECT_TRUE(link.IO().InputBufferIsEmpty());
}

TEST(ReadStream, PeerClosingBeforeTheCountRaises) {
  LoopbackConnection link;
  ASSERT_TRUE(link.Peer().Send("abc"));
  link.Peer().Close();
  TMemoryStream stream;
  EXPECT_THROW(link.IO().ReadStream(&stream, 10), EIdConnClosedGracefully);
  EXPECT_EQ(stream.DataString(), "abc");
}

TEST(ReadStream, UntilDisconnectTakesEverything) {
  LoopbackConnection link;
  const TIdBytes data = Pattern(3 * 1024 * 1024 + 17);
  auto sender = std::async(std::launch::async, [&] {
    const bool sent = link.Peer().Send(std::string(data.begin(), data.end()));
    link.Peer().Close();
    return sent;
  });
  TMemoryStream stream;
  link.IO().ReadStream(&stream, -1, true);
  ASSERT_TRUE(sender.get());
  EXPECT_EQ(stream.Size(), static_cast<int64_t>(data.size()));
  EXPECT_TRUE(stream.Bytes() == data);
}

TEST(ReadStream, SeveralMebibytesWithAnnouncedCountStayIntact) {
  LoopbackConnection link;
  const TIdBytes data = Pattern(6 * 1024 * 1024 + 3);
  auto sender = std::async(std::launch::async, [&] {
    return link.Peer().Send(BigEndian32(static_cast<uint32_t>(data.size())) + std::string(data.begin(), data.end()));
  });
  TMemoryStream stream;
  link.IO().ReadStream(&stream);
  ASSERT_TRUE(sender.get());
  EXPECT_TRUE(stream.Bytes() == data);
}

TEST(ReadStream, AHugeAnnouncedCountDoesNotPresizeTheWholeStream) {
  LoopbackConnection link;
  ASSERT_TRUE(link.Peer().Send(BigEndian32(0x7FFFFFFF) + "abc"));
  link.Peer().Close();
  TMemoryStream stream;
  EXPECT_THROW(link.IO().ReadStream(&stream), EIdConnClosedGracefully);
  EXPECT_EQ(stream.DataString(), "abc");  // what arrived, without the pre-sized tail
}

TEST(ReadStream, StreamOverflowingItsSizeRangeIsRefused) {
  class FarStream : public TMemoryStream {
  public:
    int64_t Seek(int64_t, TSeekOrigin) override { return INT64_MAX - 5; }
  };
  LoopbackConnection link;
  FarStream stream;
  try {
    link.IO().ReadStream(&stream, 10);
    FAIL() << "no exception";
  } catch (const EIdIOHandlerStreamDataTooLarge& e) {
    EXPECT_STREQ(e.what(), "Data is too large for stream");
  }
}

TEST(ReadStrings, CountFromTheConnectionOrGiven) {
  LoopbackConnection link;
  ASSERT_TRUE(link.Peer().Send(BigEndian32(2) + "one\r\ntwo\nthree\n"));
  TIdStrings lines{"kept"};
  link.IO().ReadStrings(lines);
  link.IO().ReadStrings(lines, 1);
  EXPECT_EQ(lines, (TIdStrings{"kept", "one", "two", "three"}));
}

struct CaptureCase {
  const char* name;
  std::string wire;
  std::string delim;
  bool dotTransparency;
  TIdStrings lines;
};
void PrintTo(const CaptureCase& c, std::ostream* os) { *os << c.name; }

class CaptureLines : public testing::TestWithParam<CaptureCase> {};

TEST_P(CaptureLines, IntoAListAndAStream) {
  const CaptureCase& c = GetParam();
  LoopbackConnection link;
  ASSERT_TRUE(link.Peer().Send(c.wire + c.wire + "after\n"));
  TIdStrings lines;
  link.IO().Capture(lines, c.delim, c.dotTransparency);
  EXPECT_EQ(lines, c.lines);
  TMemoryStream stream;
  link.IO().Capture(stream, c.delim, c.dotTransparency);
  std::string joined;
  for (const auto& line : c.lines)
    joined += line + "\r\n";
  EXPECT_EQ(stream.DataString(), joined);
  EXPECT_EQ(link.IO().ReadLn(), "after");
}

INSTANTIATE_TEST_SUITE_P(
    Table, CaptureLines,
    testing::Values(CaptureCase{"Headers", "Host: a\r\nAccept: */*\r\n\r\n", "", true, {"Host: a", "Accept: */*"}},
                    CaptureCase{"DotTransparency", "..one\r\n.two\r\n...\r\n.\r\n", ".", true, {".one", ".two", ".."}},
                    CaptureCase{"NoDotTransparency", "..one\r\nEND\r\n", "END", false, {"..one"}},
                    CaptureCase{"ImmediateDelimiter", ".\n", ".", true, {}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Capture, MaximumLineCountAllowsExactlyThatMany) {
  LoopbackConnection link;
  link.IO().SetMaxCapturedLines(2);
  ASSERT_TRUE(link.Peer().Send("a: 1\r\nb: 2\r\n\r\na: 1\r\nb: 2\r\nc: 3\r\n\r\n"));
  TIdStrings lines;
  link.IO().Capture(lines, "");
  EXPECT_EQ(lines.size(), 2u);
  try {
    link.IO().Capture(lines, "");
    FAIL() << "no exception";
  } catch (const EIdMaxCaptureLineExceeded& e) {
    EXPECT_STREQ(e.what(), "Maximum number of line allowed exceeded");
  }
}

TEST(Capture, TimeOutIsNotMistakenForTheEmptyDelimiter) {
  LoopbackConnection link;
  link.IO().SetReadTimeout(50);
  ASSERT_TRUE(link.Peer().Send("Host: a\r\n"));
  TIdStrings lines;
  EXPECT_THROW(link.IO().Capture(lines, ""), EIdReadTimeout);
}

TEST(Discard, DropsAcrossReceivesAndRaisesWhenThePeerEndsFirst) {
  LoopbackConnection link;
  link.IO().SetRecvBufferSize(4);
  ASSERT_TRUE(link.Peer().Send("0123456789abcdef"));
  link.IO().Discard(10);
  EXPECT_EQ(link.IO().ReadString(2), "ab");
  link.Peer().Close();
  EXPECT_THROW(link.IO().Discard(10), EIdConnClosedGracefully);
}

TEST(Discard, DiscardAllReadsUntilThePeerCloses) {
  LoopbackConnection link;
  auto sender = std::async(std::launch::async, [&] {
    const bool sent = link.Peer().Send(std::string(200000, 'x'));
    link.Peer().Close();
    return sent;
  });
  link.IO().DiscardAll();
  EXPECT_TRUE(sender.get());
  EXPECT_TRUE(link.IO().InputBufferIsEmpty());
  EXPECT_FALSE(link.Connection().Connected());
}

TEST(InputBuffer, AsStringAndToStreamTakeOnlyBufferedBytes) {
  LoopbackConnection link;
  ASSERT_TRUE(link.Peer().Send("abcdef"));
  ASSERT_TRUE(link.BufferUntil(6));
  TMemoryStream stream;
  link.IO().InputBufferToStream(stream, 2);
  EXPECT_EQ(stream.DataString(), "ab");
  EXPECT_EQ(link.IO().InputBufferAsString(), "cdef");
  EXPECT_TRUE(link.IO().InputBufferIsEmpty());
  EXPECT_EQ(link.IO().InputBufferAsString(), "");
}

TEST(Readable, ReportsPendingDataWithoutConsumingIt) {
  LoopbackConnection link;
  EXPECT_FALSE(link.IO().Readable(10));
  ASSERT_TRUE(link.Peer().Send("x"));
  EXPECT_TRUE(link.IO().Readable(2000));
  EXPECT_TRUE(link.IO().InputBufferIsEmpty());
  link.Connection().Disconnect(false);
  EXPECT_THROW(link.IO().Readable(0), EIdConnClosedGracefully);
}

}  // namespace
}  // namespace zal
