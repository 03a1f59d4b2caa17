// Frame codec: header rules, payload checks of each frame type with their codes and
// messages, the header-list rules, serialisation byte for byte, and WriteFrames.
#include <gtest/gtest.h>

#include <sstream>

#include "HTTP2TestSupport.h"
#include "http2/zalHTTP2_Frame.h"

namespace zal {
namespace {

using test::FromHex;
using test::ToHex;

// Collects what a frame object writes.
struct Sink {
  std::vector<std::string> writes;  // hex of each OnWriteBytes call
  void Attach(TzalHTTP2_Frame_Base& aFrame) {
    aFrame.OnWriteBytes = [this](TzalHTTP2_Frame_Base*, const TIdBytes& aBytes) { writes.push_back(ToHex(aBytes)); };
  }
};

struct ExpectedError {
  Th2ErrorCodes code;
  std::string message;
};

using test::ExpectHTTP2Error;

// ------------------------------------------------------------------ frame header

TEST(FrameHeader, ReservedBitIsIgnored) {
  const TzalHTTP2_FrameHeader header = ReadFrameHeader(FromHex("00400a 01 25 80000001"));
  EXPECT_EQ(header.Length, 0x400a);
  EXPECT_EQ(header.Type, h2ftHEADERS);
  EXPECT_EQ(header.Flags, 0x25);
  EXPECT_EQ(header.StreamIdentifier, 1);
  EXPECT_THROW(ReadFrameHeader(FromHex("0000000400000000")), EIdException);
}

struct StreamRuleCase {
  Th2FrameType type;
  int32_t stream;
  const char* message;  // nullptr: accepted
  bool connectProtocol = false;  // SETTINGS_ENABLE_CONNECT_PROTOCOL announced
};

class StreamIdentifierRule : public ::testing::TestWithParam<StreamRuleCase> {};

TEST_P(StreamIdentifierRule, Applies) {
  TzalHTTP2_FrameHeader header;
  header.Type = GetParam().type;
  header.Length = header.Type == h2ftPING ? 8 : 0;
  header.StreamIdentifier = GetParam().stream;
  if (GetParam().message == nullptr)
    EXPECT_TRUE(CheckFrameHeader(header, 16384, false));
  else
    ExpectHTTP2Error([&] { CheckFrameHeader(header, 16384, false); }, h2erPROTOCOL_ERROR, GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(
    FrameHeader, StreamIdentifierRule,
    ::testing::Values(StreamRuleCase{h2ftDATA, 0, "DATA FRAME: Stream Identifier can not be zero."},
                      StreamRuleCase{h2ftDATA, 1, nullptr},
                      StreamRuleCase{h2ftHEADERS, 0, "HEADER FRAME: Stream Identifier can not be zero."},
                      StreamRuleCase{h2ftPRIORITY, 0, "PRIORITY FRAME: Stream Identifier can not be zero."},
                      StreamRuleCase{h2ftRST_STREAM, 0, "RST_STREAM FRAME: Stream Identifier can not be zero."},
                      StreamRuleCase{h2ftSETTINGS, 1, "SETTINGS FRAME: Stream Identifier can not be greater than zero."},
                      StreamRuleCase{h2ftSETTINGS, 0, nullptr},
                      StreamRuleCase{h2ftPUSH_PROMISE, 0, "PUSH PROMISE FRAME: Stream Identifier can not be zero."},
                      StreamRuleCase{h2ftPING, 3, "PING FRAME: Stream Identifier can not be greater than zero."},
                      StreamRuleCase{h2ftGOAWAY, 5, "GO AWAY: Stream Identifier can not be greater than zero."},
                      StreamRuleCase{h2ftWINDOW_UPDATE, 0, nullptr},
                      StreamRuleCase{h2ftWINDOW_UPDATE, 7, nullptr},
                      StreamRuleCase{h2ftCONTINUATION, 0, "CONTINUATION FRAME: Stream Identifier can not be zero."}));

TEST(FrameHeader, LengthAndUnknownTypeRules) {
  TzalHTTP2_FrameHeader header;
  header.Type = h2ftDATA;
  header.StreamIdentifier = 1;
  header.Length = 16384;
  EXPECT_TRUE(CheckFrameHeader(header, 16384, false));
  header.Length = 16385;
  ExpectHTTP2Error([&] { CheckFrameHeader(header, 16384, false); }, h2erFRAME_SIZE_ERROR,
                   "Frame size greater than MaxFrameSize: 16384");
  header.Type = h2ftPING;
  header.StreamIdentifier = 0;
  header.Length = 9;
  ExpectHTTP2Error([&] { CheckFrameHeader(header, 16384, false); }, h2erFRAME_SIZE_ERROR,
                   "PING FRAME: Frame size must be 8 octets.");
  header.Type = 10;
  header.Length = 100000;  // skipped before its length matters
  EXPECT_FALSE(CheckFrameHeader(header, 16384, false));
  ExpectHTTP2Error([&] { CheckFrameHeader(header, 16384, true); }, h2erPROTOCOL_ERROR,
                   "UNKNOWN frame must be preceded by Frame with no EndHeaders.");
}

TEST(StreamIdentifierCounter, ParityFollowsRole) {
  TzalHTTP2_StreamIdentifierCounter read(h2frServerRead), write(h2frServerWrite), client(h2frClientRead);
  EXPECT_EQ(read.GetNewIdentifier(), 2);
  EXPECT_EQ(read.GetNewIdentifier(), 4);
  EXPECT_EQ(read.GetNewIdentifier(), 6);
  EXPECT_EQ(read.LastStreamIdentifier(), 6);
  EXPECT_EQ(write.GetNewIdentifier(), 1);
  EXPECT_EQ(write.GetNewIdentifier(), 3);
  EXPECT_EQ(write.GetNewIdentifier(), 5);
  EXPECT_EQ(client.GetNewIdentifier(), 2);
}

// ------------------------------------------------------------------ SETTINGS

struct SettingsCase {
  const char* name;
  uint8_t flags;
  std::string payload;
  std::optional<ExpectedError> error;
  std::function<void(const TzalHTTP2_Frame_Settings&)> check;
};

class SettingsPayload : public ::testing::TestWithParam<SettingsCase> {};

TEST_P(SettingsPayload, IsReadOrRejected) {
  TzalHTTP2_Frame_Settings frame(h2frServerRead);
  frame.SetMaxFrameSize(20000);  // ReadPayload starts from the defaults
  frame.ReadFlags(GetParam().flags);
  const auto payload = FromHex(GetParam().payload);
  if (GetParam().error) {
    ExpectHTTP2Error([&] { frame.ReadPayload(payload); }, GetParam().error->code, GetParam().error->message);
    return;
  }
  frame.ReadPayload(payload);
  GetParam().check(frame);
}

const SettingsCase kSettingsCases[] = {
    {"UnknownIdentifiersIgnored", 0, "0007 00000005 0009 00000001",
     std::nullopt, [](const auto& f) { EXPECT_EQ(f.MaxFrameSize(), 16384); EXPECT_EQ(f.MaxConcurrentStreams(), 2147483647); }},
    {"MaxFrameSizeSmallest", 0, "0005 00004000", std::nullopt, [](const auto& f) { EXPECT_EQ(f.MaxFrameSize(), 16384); }},
    {"MaxFrameSizeLargest", 0, "0005 00ffffff", std::nullopt, [](const auto& f) { EXPECT_EQ(f.MaxFrameSize(), 16777215); }},
    {"MaxFrameSizeTooSmall", 0, "0005 00003fff", ExpectedError{h2erPROTOCOL_ERROR, "Invalid Max Frame Size"}, nullptr},
    {"MaxFrameSizeTooLarge", 0, "0005 01000000", ExpectedError{h2erPROTOCOL_ERROR, "Invalid Max Frame Size"}, nullptr},
    {"InitialWindowLargest", 0, "0004 7fffffff", std::nullopt,
     [](const auto& f) { EXPECT_EQ(f.InitialWindowSize(), 2147483647); }},
    {"InitialWindowTooLarge", 0, "0004 80000000", ExpectedError{h2erFLOW_CONTROL_ERROR, "Invalid Initial Window Size"}, nullptr},
    {"EnablePushTwo", 0, "0002 00000002", ExpectedError{h2erPROTOCOL_ERROR, "Invalid value Enable Push"}, nullptr},
    {"EnablePushLowOctetOnly", 0, "0002 00000100", std::nullopt, [](const auto& f) { EXPECT_FALSE(f.EnablePush()); }},
    {"EnablePushOne", 0, "0002 00000001", std::nullopt, [](const auto& f) { EXPECT_TRUE(f.EnablePush()); }},
    {"AckWithPayload", h2FlagAck, "0001 00001000",
     ExpectedError{h2erFRAME_SIZE_ERROR, "When Settings FRAME has ACK enabled, payload must be empty."}, nullptr},
    {"AckEmpty", h2FlagAck, "", std::nullopt, [](const auto& f) { EXPECT_TRUE(f.ACK()); }},
    {"SevenOctets", 0, "0001 00001000 00",
     ExpectedError{h2erFRAME_SIZE_ERROR, "SETTINGS FRAME: Payload must be multiple of 6 octets."}, nullptr},
    {"RepeatedIdentifierOverwrites", 0, "0003 00000064 0003 000000c8", std::nullopt,
     [](const auto& f) { EXPECT_EQ(f.MaxConcurrentStreams(), 200); }},
    {"AllKnown", 0, "0001 00000000 0003 00000001 0006 00002000 0008 00000001", std::nullopt,
     [](const auto& f) {
       EXPECT_EQ(f.HeaderTableSize(), 0);
       EXPECT_EQ(f.MaxConcurrentStreams(), 1);
       EXPECT_EQ(f.MaxHeaderListSize(), 8192);
       EXPECT_TRUE(f.EnableConnectProtocol());
       EXPECT_TRUE(f.EnablePush());
     }},
    {"UnsignedSizesAboveInt32MeanNoLimit", 0, "0001 ffffffff 0006 80000000", std::nullopt,
     [](const auto& f) {
       EXPECT_EQ(f.HeaderTableSize(), 2147483647);
       EXPECT_EQ(f.MaxHeaderListSize(), 2147483647);
     }},
};

INSTANTIATE_TEST_SUITE_P(Settings, SettingsPayload, ::testing::ValuesIn(kSettingsCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(SettingsWrite, DefaultsGiveEmptyPayloadAndAckIsNineOctets) {
  TzalHTTP2_Frame_Settings frame(h2frServerWrite);
  Sink sink;
  sink.Attach(frame);
  frame.WriteBytes();
  frame.SetACK(true);
  frame.WriteBytes();
  EXPECT_EQ(sink.writes, (std::vector<std::string>{"000000040000000000", "000000040100000000"}));
}

TEST(SettingsWrite, NonDefaultsInIdentifierOrder) {
  TzalHTTP2_Frame_Settings frame(h2frServerWrite);
  Sink sink;
  sink.Attach(frame);
  frame.SetEnableConnectProtocol(true);
  frame.SetMaxHeaderListSize(65536);
  frame.SetMaxFrameSize(32768);
  frame.SetInitialWindowSize(1048576);
  frame.SetMaxConcurrentStreams(100);
  frame.SetEnablePush(false);
  frame.SetHeaderTableSize(8192);
  frame.WriteBytes();
  ASSERT_EQ(sink.writes.size(), 1u);
  EXPECT_EQ(sink.writes[0],
            "00002a040000000000"
            "000100002000" "000200000000" "000300000064" "000400100000" "000500008000" "000600010000" "000800000001");
}

// ------------------------------------------------------------------ DATA

TEST(DataFrame, PaddingAtAndOverTheLimit) {
  TzalHTTP2_Frame_Data frame(h2frServerRead);
  frame.ReadFlags(h2FlagPadded | h2FlagEndStream);
  EXPECT_TRUE(frame.Padded());
  EXPECT_TRUE(frame.EndStream());
  std::vector<uint8_t> payload(10, 0);
  payload[0] = 10;
  ExpectHTTP2Error([&] { frame.ReadPayload(payload); }, h2erPROTOCOL_ERROR, "Padding Length is invalid.");
  payload[0] = 9;
  frame.ReadPayload(payload);
  EXPECT_TRUE(frame.Data().empty());
  EXPECT_EQ(frame.PadLength(), 9);
  payload[0] = 2;
  payload[1] = 'h';
  frame.ReadPayload(payload);
  EXPECT_EQ(frame.DataString(), std::string("h\0\0\0\0\0\0", 7));
  ExpectHTTP2Error([&] { frame.ReadPayload({}); }, h2erPROTOCOL_ERROR, "Padding Length is invalid.");
}

TEST(DataFrame, UnpaddedPayloadIsTheData) {
  TzalHTTP2_Frame_Data frame(h2frServerRead);
  frame.ReadFlags(h2FlagPadded);
  frame.ReadFlags(0);  // flags are cleared before they are read
  EXPECT_FALSE(frame.Padded());
  frame.ReadPayload(FromHex("0a0b0c"));
  EXPECT_EQ(ToHex(frame.Data()), "0a0b0c");
  frame.ReadPayload({});
  EXPECT_TRUE(frame.Data().empty());
}

TEST(DataFrame, WriteFramesResumesUnderTheLimit) {
  TzalHTTP2_Frame_Data frame(h2frServerWrite);
  frame.SetStreamIdentifier(3);
  TIdBytes data(40000);
  for (size_t i = 0; i < data.size(); ++i)
    data[i] = static_cast<uint8_t>(i * 7);
  frame.SetData(data);
  frame.SetEndStream(true);
  std::vector<TIdBytes> writes;
  frame.OnWriteBytes = [&](TzalHTTP2_Frame_Base*, const TIdBytes& aBytes) { writes.push_back(aBytes); };

  EXPECT_EQ(frame.WriteDataFrames(20000), 20000);
  ASSERT_EQ(writes.size(), 1u);
  TIdBytes received;
  std::vector<TzalHTTP2_FrameHeader> headers;
  const auto split = [&](const TIdBytes& aOutput) {
    for (size_t at = 0; at < aOutput.size();) {
      const auto header = ReadFrameHeader(std::span(aOutput).subspan(at));
      headers.push_back(header);
      received.insert(received.end(), aOutput.begin() + static_cast<long>(at) + 9,
                      aOutput.begin() + static_cast<long>(at) + 9 + header.Length);
      at += 9 + static_cast<size_t>(header.Length);
    }
  };
  split(writes[0]);
  ASSERT_EQ(headers.size(), 2u);
  EXPECT_EQ(headers[0].Length, 16384);
  EXPECT_EQ(headers[1].Length, 3616);
  EXPECT_EQ(headers[0].Flags, 0);
  EXPECT_EQ(headers[1].Flags, 0);  // not the last frame of the payload
  EXPECT_EQ(headers[1].StreamIdentifier, 3);

  EXPECT_EQ(frame.WriteDataFrames(1000000), 0);
  ASSERT_EQ(writes.size(), 2u);
  split(writes[1]);
  ASSERT_EQ(headers.size(), 4u);
  EXPECT_EQ(headers[2].Length, 16384);
  EXPECT_EQ(headers[3].Length, 40000 - 20000 - 16384);
  EXPECT_EQ(headers[2].Flags, 0);
  EXPECT_EQ(headers[3].Flags, h2FlagEndStream);
  EXPECT_EQ(received, data);
}

TEST(DataFrame, EmptyWithEndStreamIsNineOctets) {
  TzalHTTP2_Frame_Data frame(h2frServerWrite);
  Sink sink;
  sink.Attach(frame);
  frame.SetStreamIdentifier(5);
  frame.SetEndStream(true);
  EXPECT_EQ(frame.WriteDataFrames(0), 0);
  EXPECT_EQ(sink.writes, std::vector<std::string>{"000000000100000005"});
}

TEST(DataFrame, PaddedPayloadByteExactAndUnpaddedWhenItWouldBeCut) {
  TzalHTTP2_Frame_Data frame(h2frServerWrite);
  Sink sink;
  sink.Attach(frame);
  frame.SetStreamIdentifier(1);
  frame.SetData(FromHex("6869"));
  frame.SetPadded(true);
  frame.SetPadLength(3);
  frame.SetEndStream(true);
  EXPECT_EQ(frame.WriteDataFrames(0), 0);
  EXPECT_EQ(sink.writes.back(), "000006000900000001" "03" "6869" "000000");

  TzalHTTP2_Frame_Data large(h2frServerWrite);
  Sink largeSink;
  largeSink.Attach(large);
  large.SetStreamIdentifier(1);
  large.SetData(TIdBytes(20000, 'x'));
  large.SetPadded(true);
  large.SetPadLength(3);
  EXPECT_EQ(large.WriteDataFrames(0), 20000 - 16384);
  EXPECT_EQ(largeSink.writes.back().substr(0, 18), "004000000000000001");  // no PADDED flag
}

TEST(DataFrame, WriteBytesRaisesOnWriteDataFrameAndAssignCopies) {
  TzalHTTP2_Frame_Data frame(h2frServerWrite);
  frame.SetStreamIdentifier(9);
  frame.SetData(FromHex("01020304"));
  frame.SetEndStream(true);
  TzalHTTP2_Frame_Data queued(h2frServerWrite);
  frame.OnWriteDataFrame = [&](TzalHTTP2_Frame_Base* aSender) { queued.Assign(*aSender); };
  frame.WriteBytes();
  EXPECT_EQ(queued.StreamIdentifier(), 9);
  EXPECT_TRUE(queued.EndStream());
  EXPECT_EQ(ToHex(queued.Data()), "01020304");
  Sink sink;
  sink.Attach(queued);
  EXPECT_EQ(queued.WriteDataFrames(0), 0);
  EXPECT_EQ(sink.writes.back(), "00000400010000000901020304");
}

TEST(DataFrame, SetStreamReadsFromTheStart) {
  TzalHTTP2_Frame_Data frame(h2frServerWrite);
  std::istringstream stream("body");
  stream.get();
  frame.SetStream(&stream);
  EXPECT_EQ(frame.DataString(), "body");
  EXPECT_TRUE(frame.EndStream());
  frame.SetStream(nullptr);
  EXPECT_TRUE(frame.Data().empty());
}

// ------------------------------------------------------------------ HEADERS

class HeadersFrame : public ::testing::Test {
protected:
  TzalHTTP2_HPACK encoder, decoder;
  TzalHTTP2_StreamIdentifierCounter counter{h2frServerWrite};

  std::vector<uint8_t> Block(const std::vector<TzalHTTP2_TableEntry>& aFields) {
    std::vector<uint8_t> block;
    int used = 0, count = 0;
    encoder.Encode(block, 0, aFields, used, count);
    return block;
  }
  const std::vector<TzalHTTP2_TableEntry> kRequest = {
      {":method", "GET"}, {":scheme", "https"}, {":path", "/index.html"}, {":authority", "example.org"}};
};

TEST_F(HeadersFrame, DecodesPaddedPriorityBlock) {
  TzalHTTP2_Frame_Headers frame(&decoder, nullptr, h2frServerRead);
  frame.SetStreamIdentifier(5);
  frame.ReadFlags(h2FlagEndHeaders | h2FlagPadded | h2FlagPriority | h2FlagEndStream);
  std::vector<uint8_t> payload = FromHex("02 80000003 10");
  const auto block = Block(kRequest);
  payload.insert(payload.end(), block.begin(), block.end());
  payload.insert(payload.end(), {0, 0});
  frame.ReadPayload(payload);
  EXPECT_EQ(frame.PadLength(), 2);
  EXPECT_EQ(frame.StreamDependency(), static_cast<int32_t>(0x80000003));
  EXPECT_EQ(frame.Weight(), 16);
  EXPECT_EQ(frame.Headers(), (TzalHTTP2HeaderLines{":method=GET", ":scheme=https", ":path=/index.html",
                                                    ":authority=example.org"}));
}

TEST_F(HeadersFrame, SelfDependencyIsRejectedButExclusiveBitIsNotCompared) {
  TzalHTTP2_Frame_Headers frame(&decoder, nullptr, h2frServerRead);
  frame.SetStreamIdentifier(5);
  frame.ReadFlags(h2FlagEndHeaders | h2FlagPriority);
  std::vector<uint8_t> payload = FromHex("00000005 10");
  const auto block = Block(kRequest);
  payload.insert(payload.end(), block.begin(), block.end());
  ExpectHTTP2Error([&] { frame.ReadPayload(payload); }, h2erPROTOCOL_ERROR, "Stream cannot depends on itself.");
  payload[0] = 0x80;  // exclusive bit: the dependency reads negative
  TzalHTTP2_HPACK fresh;
  TzalHTTP2_Frame_Headers other(&fresh, nullptr, h2frServerRead);
  other.SetStreamIdentifier(5);
  other.ReadFlags(h2FlagEndHeaders | h2FlagPriority);
  TzalHTTP2_HPACK blockEncoder;
  std::vector<uint8_t> block2;
  int used = 0, count = 0;
  blockEncoder.Encode(block2, 0, kRequest, used, count);
  payload.resize(5);
  payload.insert(payload.end(), block2.begin(), block2.end());
  other.ReadPayload(payload);
  EXPECT_LT(other.StreamDependency(), 0);
  EXPECT_EQ(other.Headers().size(), 4u);
}

TEST_F(HeadersFrame, PaddingAndPriorityMustFit) {
  TzalHTTP2_Frame_Headers frame(&decoder, nullptr, h2frServerRead);
  frame.SetStreamIdentifier(1);
  frame.ReadFlags(h2FlagPadded);
  ExpectHTTP2Error([&] { frame.ReadPayload({}); }, h2erPROTOCOL_ERROR, "Padding Length is invalid.");
  ExpectHTTP2Error([&] { frame.ReadPayload(FromHex("04000000")); }, h2erPROTOCOL_ERROR, "Padding Length is invalid.");
  frame.ReadFlags(h2FlagPriority);
  ExpectHTTP2Error([&] { frame.ReadPayload(FromHex("00000000")); }, h2erFRAME_SIZE_ERROR,
                   "HEADER FRAME: Payload too short for the priority fields.");
  frame.ReadFlags(h2FlagPriority | h2FlagPadded);
  ExpectHTTP2Error([&] { frame.ReadPayload(FromHex("02 0000000010 00")); }, h2erPROTOCOL_ERROR,
                   "Padding Length is invalid.");
}

TEST_F(HeadersFrame, ResponseHelpers) {
  TzalHTTP2_Frame_Headers frame(&decoder, nullptr, h2frClientRead);
  frame.SetStreamIdentifier(1);
  frame.ReadFlags(h2FlagEndHeaders);
  frame.ReadPayload(Block({{":status", "302"}, {"location", "/next"}, {"content-type", "text/html; Charset=\"utf-8\""}}));
  EXPECT_EQ(frame.Status(), 302);
  EXPECT_EQ(frame.Location(), "/next");
  EXPECT_EQ(frame.Charset(), "utf-8");
}

TEST_F(HeadersFrame, WritesOneFrameWithNewStreamIdentifier) {
  TzalHTTP2_Frame_Headers frame(&encoder, &counter, h2frServerWrite);
  Sink sink;
  sink.Attach(frame);
  frame.Headers() = {":status: 200", "Content-Type: text/plain"};
  frame.SetEndHeaders(true);
  frame.SetEndStream(true);
  frame.SetPadded(true);  // no pad-length field is written, so the flag is not either
  frame.WriteBytes();
  ASSERT_EQ(sink.writes.size(), 1u);
  EXPECT_EQ(sink.writes[0].substr(0, 18), "00000a010500000001");
  EXPECT_EQ(sink.writes[0].substr(18), "88" "5f87" "497ca58ae819aa");  // :status 200; content-type text/plain
  EXPECT_EQ(frame.StreamIdentifier(), 1);
  EXPECT_EQ(frame.LastNewStreamIdentifier(), 1);
}

TEST_F(HeadersFrame, LargeBlockContinuesInContinuationFrames) {
  TzalHTTP2_Frame_Headers frame(&encoder, &counter, h2frServerWrite);
  TzalHTTP2_HPACK peer;
  std::vector<TIdBytes> writes;
  frame.OnWriteBytes = [&](TzalHTTP2_Frame_Base*, const TIdBytes& aBytes) { writes.push_back(aBytes); };
  frame.SetStreamIdentifier(7);
  for (int i = 0; i < 40; ++i)
    frame.Headers().push_back("x-big-" + std::to_string(i) + ": " + std::string(1000, static_cast<char>('!' + i)));
  frame.SetEndHeaders(true);
  frame.SetEndStream(true);
  frame.WriteBytes();
  ASSERT_EQ(writes.size(), 1u);
  const TIdBytes& out = writes[0];
  std::vector<TzalHTTP2_FrameHeader> headers;
  TIdBytes block;
  for (size_t at = 0; at < out.size();) {
    headers.push_back(ReadFrameHeader(std::span(out).subspan(at)));
    block.insert(block.end(), out.begin() + static_cast<long>(at) + 9,
                 out.begin() + static_cast<long>(at) + 9 + headers.back().Length);
    at += 9 + static_cast<size_t>(headers.back().Length);
  }
  ASSERT_EQ(headers.size(), 3u);
  EXPECT_EQ(headers[0].Type, h2ftHEADERS);
  EXPECT_EQ(headers[0].Flags, h2FlagEndStream);
  EXPECT_EQ(headers[0].Length, 16384);
  EXPECT_EQ(headers[1].Type, h2ftCONTINUATION);
  EXPECT_EQ(headers[1].Flags, 0);
  EXPECT_EQ(headers[2].Type, h2ftCONTINUATION);
  EXPECT_EQ(headers[2].Flags, h2FlagEndHeaders);
  for (const auto& header : headers)
    EXPECT_EQ(header.StreamIdentifier, 7);
  std::vector<std::string> lines;
  peer.Decode(block, 0, static_cast<int>(block.size()), lines);
  ASSERT_EQ(lines.size(), 40u);
  EXPECT_EQ(lines[39], "x-big-39=" + std::string(1000, static_cast<char>('!' + 39)));
}

// ------------------------------------------------------------------ header-list rules

struct HeaderListCase {
  const char* name;
  Th2FrameRole role;
  TzalHTTP2HeaderLines lines;
  const char* message;  // nullptr: accepted
  bool connectProtocol = false;  // SETTINGS_ENABLE_CONNECT_PROTOCOL announced
};

class HeaderListRule : public ::testing::TestWithParam<HeaderListCase> {};

TEST_P(HeaderListRule, Applies) {
  const HeaderListCase& c = GetParam();
  if (c.message == nullptr)
    EXPECT_NO_THROW(CheckHeaderList(c.lines, c.role, c.connectProtocol));
  else
    ExpectHTTP2Error([&] { CheckHeaderList(c.lines, c.role, c.connectProtocol); }, h2erPROTOCOL_ERROR, c.message);
}

#define REQUEST ":method=GET", ":scheme=https", ":path=/", ":authority=a"

INSTANTIATE_TEST_SUITE_P(
    HeadersFrame, HeaderListRule,
    ::testing::Values(
        HeaderListCase{"ValidRequest", h2frServerRead, {REQUEST, "", "user-agent=x", "te=trailers"}, nullptr},
        HeaderListCase{"PseudoAfterRegular", h2frServerRead, {":method=GET", "user-agent=x", ":path=/"},
                       "PSEUDO-HEADERS cannot appear in a Header Block AFTER a REGULAR field."},
        HeaderListCase{"UpperCaseName", h2frServerRead, {REQUEST, "Host=a"}, "HEADER name cannot contain UPPERCASE letters."},
        HeaderListCase{"ConnectionHeader", h2frServerRead, {REQUEST, "connection=close"},
                       "CONNECTION HEADER fields are not allowed."},
        HeaderListCase{"TransferEncoding", h2frServerRead, {REQUEST, "transfer-encoding=chunked"},
                       "CONNECTION HEADER fields are not allowed."},
        HeaderListCase{"TeGzip", h2frServerRead, {REQUEST, "te=gzip"},
                       "TE HEADER must not contain any value other than \"trailers\"."},
        HeaderListCase{"DuplicatePath", h2frServerRead, {REQUEST, ":path=/b"}, "PSEUDO-HEADER field cannot be duplicated."},
        HeaderListCase{"UnknownPseudo", h2frServerRead, {REQUEST, ":protocol=websocket"}, "PSEUDO-HEADER field is Unknown."},
        HeaderListCase{"StatusInRequest", h2frServerRead, {REQUEST, ":status=200"}, "PSEUDO-HEADER field is Unknown."},
        HeaderListCase{"HostInsteadOfAuthority", h2frServerRead, {":method=GET", ":scheme=https", ":path=/", "host=a"},
                       nullptr},
        HeaderListCase{"MissingScheme", h2frServerRead, {":method=GET", ":path=/", ":authority=a"},
                       "PSEUDO-HEADER :scheme not found."},
        HeaderListCase{"MissingMethodFirst", h2frServerRead, {":path=/"}, "PSEUDO-HEADER :method not found."},
        HeaderListCase{"ExtensionMethod", h2frServerRead, {":method=PROPFIND", ":scheme=https", ":path=/", ":authority=a"},
                       nullptr},
        HeaderListCase{"MethodNotAToken", h2frServerRead, {":method=GE(T", ":scheme=https", ":path=/", ":authority=a"},
                       "PSEUDO-HEADER :method value \"GE(T\" is invalid."},
        HeaderListCase{"Connect", h2frServerRead, {":method=CONNECT", ":authority=a:443"}, nullptr},
        HeaderListCase{"ConnectWithPath", h2frServerRead, {":method=CONNECT", ":authority=a:443", ":path=/"},
                       "CONNECT carries neither :scheme nor :path."},
        HeaderListCase{"ConnectWithoutAuthority", h2frServerRead, {":method=CONNECT"},
                       "PSEUDO-HEADER :authority not found."},
        HeaderListCase{"ExtendedConnect", h2frServerRead, {":method=CONNECT", ":protocol=websocket", ":scheme=https",
                       ":path=/chat", ":authority=a"}, nullptr, true},
        HeaderListCase{"ExtendedConnectWithoutPath", h2frServerRead, {":method=CONNECT", ":protocol=websocket",
                       ":scheme=https", ":authority=a"}, "PSEUDO-HEADER :path not found.", true},
        HeaderListCase{"ProtocolOnGet", h2frServerRead, {REQUEST, ":protocol=websocket"},
                       "PSEUDO-HEADER :protocol belongs to CONNECT only.", true},
        HeaderListCase{"EmptyPath", h2frServerRead, {":method=GET", ":scheme=https", ":path= ", ":authority=a"},
                       "PSEUDO-HEADER :path value \"\" is invalid."},
        HeaderListCase{"ValidResponse", h2frClientRead, {":status=204", "server=x"}, nullptr},
        HeaderListCase{"StatusNotNumber", h2frClientRead, {":status=ok"}, "PSEUDO-HEADER :status value \"ok\" is invalid."},
        HeaderListCase{"MissingStatus", h2frClientRead, {"server=x"}, "PSEUDO-HEADER :status not found."},
        HeaderListCase{"MethodInResponse", h2frClientRead, {":status=200", ":method=GET"},
                       "PSEUDO-HEADER field is Unknown."}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(HeadersFrame, ReceivedBlockIsChecked) {
  TzalHTTP2_Frame_Headers frame(&decoder, nullptr, h2frServerRead);
  frame.SetStreamIdentifier(1);
  frame.ReadFlags(h2FlagEndHeaders);
  ExpectHTTP2Error([&] { frame.ReadPayload(Block({{":method", "GET"}, {":path", "/"}})); }, h2erPROTOCOL_ERROR,
                   "PSEUDO-HEADER :scheme not found.");
}

// ------------------------------------------------------------------ PUSH_PROMISE

TEST(PushPromiseFrame, WritesPromisedIdentifierFromHandler) {
  TzalHTTP2_HPACK encoder;
  TzalHTTP2_Frame_PushPromise frame(&encoder, nullptr, h2frServerWrite);
  Sink sink;
  sink.Attach(frame);
  frame.SetStreamIdentifier(1);
  frame.SetEndHeaders(true);
  frame.Headers() = {":method: GET", ":path: /"};
  frame.WriteBytes();  // no handler: stream 0 is promised
  EXPECT_EQ(sink.writes.back(), "000006050400000001" "00000000" "8284");
  frame.OnRequestPromisedStreamId = [](int32_t& aId) { aId = 2; };
  frame.WriteBytes();
  EXPECT_EQ(sink.writes.back(), "000006050400000001" "00000002" "8284");
  EXPECT_EQ(frame.PromisedStreamid(), 2);
}

TEST(PushPromiseFrame, ReadsPaddedPromiseAndRejectsShortPayload) {
  TzalHTTP2_HPACK decoder;
  TzalHTTP2_Frame_PushPromise frame(&decoder, nullptr, h2frClientRead);
  frame.ReadFlags(h2FlagEndHeaders | h2FlagPadded);
  frame.ReadPayload(FromHex("01 80000004 8387 00"));
  EXPECT_EQ(frame.PromisedStreamid(), 4);
  EXPECT_EQ(frame.PadLength(), 1);
  EXPECT_EQ(frame.Method(), h2mePost);
  EXPECT_EQ(frame.Headers(), (TzalHTTP2HeaderLines{":method=POST", ":scheme=https"}));
  EXPECT_EQ(frame.URL(), "");
  ExpectHTTP2Error([&] { frame.ReadPayload(FromHex("05 000000 00")); }, h2erPROTOCOL_ERROR, "Padding Length is invalid.");
  ExpectHTTP2Error([&] { frame.ReadPayload(FromHex("01 000000 00")); }, h2erFRAME_SIZE_ERROR,
                   "PUSH PROMISE FRAME: Payload too short for the Promised Stream ID.");
  frame.ReadFlags(h2FlagEndHeaders);
  ExpectHTTP2Error([&] { frame.ReadPayload(FromHex("000002")); }, h2erFRAME_SIZE_ERROR,
                   "PUSH PROMISE FRAME: Payload too short for the Promised Stream ID.");
}

// ------------------------------------------------------------------ small frames

struct SizeCheckCase {
  const char* name;
  std::function<std::unique_ptr<TzalHTTP2_Frame_Base>()> make;
  std::string payload;
  Th2ErrorCodes code;
  const char* message;
};

class PayloadSizeCheck : public ::testing::TestWithParam<SizeCheckCase> {};

TEST_P(PayloadSizeCheck, Rejects) {
  auto frame = GetParam().make();
  const auto payload = FromHex(GetParam().payload);
  ExpectHTTP2Error([&] { frame->ReadPayload(payload); }, GetParam().code, GetParam().message);
}

template <typename T>
std::function<std::unique_ptr<TzalHTTP2_Frame_Base>()> Make() {
  return [] { return std::make_unique<T>(h2frServerRead); };
}

INSTANTIATE_TEST_SUITE_P(
    Frames, PayloadSizeCheck,
    ::testing::Values(
        SizeCheckCase{"PriorityFour", Make<TzalHTTP2_Frame_Priority>(), "00000001", h2erFRAME_SIZE_ERROR, "Frame Size Error."},
        SizeCheckCase{"PrioritySix", Make<TzalHTTP2_Frame_Priority>(), "000000010f00", h2erFRAME_SIZE_ERROR, "Frame Size Error."},
        SizeCheckCase{"RstStreamFive", Make<TzalHTTP2_Frame_RSTStream>(), "0000000800", h2erFRAME_SIZE_ERROR, "Frame Size Error."},
        SizeCheckCase{"PingSeven", Make<TzalHTTP2_Frame_Ping>(), "01020304050607", h2erFRAME_SIZE_ERROR,
                      "PING FRAME: Frame size must be 8 octets."},
        SizeCheckCase{"GoAwaySeven", Make<TzalHTTP2_Frame_GoAway>(), "00000001000000", h2erFRAME_SIZE_ERROR,
                      "GO AWAY: Payload must be at least 8 octets."},
        SizeCheckCase{"WindowUpdateEmpty", Make<TzalHTTP2_Frame_WindowUpdate>(), "", h2erFRAME_SIZE_ERROR,
                      "WINDOW UPDATE FRAME: Payload must be multiple of 4 octets."},
        SizeCheckCase{"WindowUpdateFive", Make<TzalHTTP2_Frame_WindowUpdate>(), "0000000100", h2erFRAME_SIZE_ERROR,
                      "WINDOW UPDATE FRAME: Payload must be multiple of 4 octets."},
        SizeCheckCase{"WindowUpdateZero", Make<TzalHTTP2_Frame_WindowUpdate>(), "00000000", h2erPROTOCOL_ERROR,
                      "WINDOW UPDATE FRAME: WindowSizeIncrement value must be between 1 and 2^30"},
        SizeCheckCase{"WindowUpdateReservedBitOnly", Make<TzalHTTP2_Frame_WindowUpdate>(), "80000000", h2erPROTOCOL_ERROR,
                      "WINDOW UPDATE FRAME: WindowSizeIncrement value must be between 1 and 2^30"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(WindowUpdateFrame, IncrementsAtTheBounds) {
  TzalHTTP2_Frame_WindowUpdate frame(h2frServerRead);
  frame.ReadPayload(FromHex("00000001"));
  EXPECT_EQ(frame.WindowSizeIncrement(), 1);
  frame.ReadPayload(FromHex("7fffffff"));
  EXPECT_EQ(frame.WindowSizeIncrement(), 2147483647);
  frame.ReadPayload(FromHex("80000005"));  // the reserved bit is ignored
  EXPECT_EQ(frame.WindowSizeIncrement(), 5);
  frame.ReadPayload(FromHex("00000010 00000000"));  // eight octets: the first four count
  EXPECT_EQ(frame.WindowSizeIncrement(), 16);
}

TEST(SmallFrames, ReadFields) {
  TzalHTTP2_Frame_Priority priority(h2frServerRead);
  priority.ReadPayload(FromHex("80000003ff"));
  EXPECT_EQ(priority.StreamDependency(), static_cast<int32_t>(0x80000003));
  EXPECT_EQ(priority.Weight(), 255);
  TzalHTTP2_Frame_RSTStream rst(h2frServerRead);
  rst.ReadPayload(FromHex("00000008"));
  EXPECT_EQ(rst.ErrorCode(), h2erCANCEL);
  TzalHTTP2_Frame_Ping ping(h2frServerRead);
  ping.ReadFlags(h2FlagAck);
  ping.ReadPayload(FromHex("0102030405060708"));
  EXPECT_TRUE(ping.ACK());
  EXPECT_EQ(ping.PayLoad()[7], 8);
  TzalHTTP2_Frame_GoAway goAway(h2frServerRead);
  goAway.ReadPayload(FromHex("80000007 0000000b 63616c6d"));
  EXPECT_EQ(goAway.LastStreamid(), 7);
  EXPECT_EQ(goAway.ErrorCode(), h2erENHANCE_YOUR_CALM);
  EXPECT_EQ(goAway.AdditionalDebugData(), "calm");
  goAway.ReadPayload(FromHex("00000001 00000000"));
  EXPECT_EQ(goAway.AdditionalDebugData(), "");
  TzalHTTP2_Frame_Continuation continuation(h2frServerRead);
  continuation.ReadFlags(h2FlagEndHeaders);
  continuation.ReadPayload(FromHex("8284"));
  EXPECT_TRUE(continuation.EndHeaders());
  EXPECT_EQ(ToHex(continuation.PayLoad()), "8284");
}

TEST(SmallFrames, SerialiseByteExact) {
  Sink sink;
  TzalHTTP2_Frame_RSTStream rst(h2frServerWrite);
  sink.Attach(rst);
  rst.SetStreamIdentifier(3);
  rst.SetErrorCode(h2erREFUSED_STREAM);
  rst.WriteBytes();
  TzalHTTP2_Frame_Ping ping(h2frServerWrite);
  sink.Attach(ping);
  ping.SetPayLoad({1, 2, 3, 4, 5, 6, 7, 8});
  ping.SetACK(true);
  ping.WriteBytes();
  TzalHTTP2_Frame_GoAway goAway(h2frServerWrite);
  sink.Attach(goAway);
  goAway.SetLastStreamid(9);
  goAway.SetErrorCode(h2erPROTOCOL_ERROR);
  goAway.SetAdditionalDebugData("bad");
  goAway.WriteBytes();
  TzalHTTP2_Frame_WindowUpdate update(h2frServerWrite);
  sink.Attach(update);
  update.SetStreamIdentifier(0);
  update.SetWindowSizeIncrement(65536);
  update.WriteBytes();
  TzalHTTP2_Frame_Priority priority(h2frServerWrite);
  sink.Attach(priority);
  priority.WriteBytes();  // never sent
  TzalHTTP2_Frame_Continuation continuation(h2frServerWrite);
  sink.Attach(continuation);
  continuation.WriteBytes();  // never sent on its own
  EXPECT_EQ(sink.writes, (std::vector<std::string>{
                             "000004030000000003" "00000007",
                             "000008060100000000" "0102030405060708",
                             "00000b070000000000" "00000009" "00000001" "626164",
                             "000004080000000000" "00010000"}));
}

TEST(SmallFrames, ClearAndAssign) {
  TzalHTTP2_Frame_Settings settings(h2frServerRead), copy(h2frServerWrite);
  settings.SetStreamIdentifier(0);
  settings.ReadFlags(h2FlagAck);
  settings.ReadPayload({});
  settings.SetInitialWindowSize(1);
  copy.Assign(settings);
  EXPECT_EQ(copy.FrameRole(), h2frServerRead);
  EXPECT_TRUE(copy.ACK());
  EXPECT_EQ(copy.InitialWindowSize(), 1);
  copy.Clear();
  EXPECT_EQ(copy.InitialWindowSize(), 65535);
  EXPECT_TRUE(copy.ACK());
  copy.ClearFlags();
  EXPECT_FALSE(copy.ACK());
  TzalHTTP2_Frame_Ping ping(h2frServerRead);
  ping.Assign(settings);  // another class: only the base fields
  EXPECT_EQ(ping.FrameRole(), h2frServerRead);
  EXPECT_FALSE(ping.ACK());
}

// ------------------------------------------------------------------ EncodeHeaderList

TEST(EncodeHeaderList, ParsesLinesAndLowerCasesNames) {
  TzalHTTP2_HPACK encoder, decoder;
  encoder.SetHuffmanStrategy(h2huNever);
  TzalHTTP2_Frame_Headers frame(&encoder, nullptr, h2frServerWrite);
  const TIdBytes block = frame.EncodeHeaderList({":status: 200", "Content-Type:  text/html; charset=utf-8 ", "x-a:b:c",
                                                 "Cache-Control: no-cache"});
  std::vector<std::string> lines;
  decoder.Decode(block, 0, static_cast<int>(block.size()), lines);
  EXPECT_EQ(lines, (std::vector<std::string>{":status=200", "content-type=text/html; charset=utf-8", "x-a=b:c",
                                             "cache-control=no-cache"}));
}

TEST(EncodeHeaderList, TableSizePolicyGrowsThenHalves) {
  TzalHTTP2_HPACK encoder, decoder;
  decoder.SetDynamicTableSizeLimit(8192);
  encoder.SetDynamicTableSizeLimit(8192);
  TzalHTTP2_Frame_Headers frame(&encoder, nullptr, h2frServerWrite);
  const auto send = [&](const TzalHTTP2HeaderLines& aLines) {
    const TIdBytes block = frame.EncodeHeaderList(aLines);
    std::vector<std::string> lines;
    decoder.Decode(block, 0, static_cast<int>(block.size()), lines);
    EXPECT_EQ(lines.size(), aLines.size());
    EXPECT_EQ(decoder.DynamicTableUsedSize(), encoder.DynamicTableUsedSize());
    EXPECT_EQ(decoder.DynamicTableSize(), encoder.DynamicTableSize());
    return block;
  };
  // 3700 octets used of 4096: above 90 %, so the next block grows the table to 8192.
  send({"x-fill: " + std::string(3700 - 32 - 6, 'a')});
  const TIdBytes grown = send({":status: 200"});
  EXPECT_EQ(ToHex(grown), "3fe13f88");
  EXPECT_EQ(encoder.DynamicTableSize(), 8192);
  // 7400 of 8192 at the limit: the next block halves the table.
  send({"x-more: " + std::string(3700 - 32 - 6, 'b')});
  const TIdBytes halved = send({":status: 200"});
  EXPECT_EQ(ToHex(halved).substr(0, 6), "3fe11f");
  EXPECT_EQ(encoder.DynamicTableSize(), 4096);
}

}  // namespace
}  // namespace zal
