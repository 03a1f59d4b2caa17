// The RFC 6455 reader: every case is read whole, split at every offset and
// octet by octet, and must give the same events each time.
#include <gtest/gtest.h>

#include "websocket/WebSocketTestSupport.h"
#include "websocket/zalWebSocket_Frame.h"

namespace zal::test {
namespace {

using Log = std::vector<std::string>;

constexpr uint8_t kText = 0x81, kBinary = 0x82, kPing = 0x89, kPong = 0x8A, kClose = 0x88;
constexpr uint8_t kTextFirst = 0x01, kBinaryFirst = 0x02, kContinue = 0x00, kLast = 0x80;

TzalWSReaderOptions Options(TwsFragmentedMessages fragmented = frgOnlyBuffer, bool validate = true) {
  TzalWSReaderOptions options;
  options.FragmentedMessages = fragmented;
  options.ValidateUTF8 = validate;
  return options;
}

struct ReaderCase {
  const char* Name;
  TIdBytes Bytes;
  TzalWSReaderOptions Opts;
  Log Expected;
};

std::vector<ReaderCase> Cases() {
  const TIdBytes helloFragments = Concat({ClientFrame(kTextFirst, "Hel"), ClientFrame(kLast, "lo")});
  const std::string error1002 = "error:1002:";
  return {
      {"MaskedText", ClientFrame(kText, "Hello"), Options(), {"text:Hello"}},
      {"EmptyText", ClientFrame(kText, ""), Options(), {"text:"}},
      {"EmptyBinary", ClientFrame(kBinary, ""), Options(), {"binary:"}},
      {"FragmentsBuffered", helloFragments, Options(), {"text:Hello"}},
      {"FragmentsOnlyFragmented", helloFragments, Options(frgOnlyFragmented), {"frag:1:1:Hel", "frag:1:0:lo"}},
      {"FragmentsAll", helloFragments, Options(frgAll), {"frag:1:1:Hel", "frag:1:0:Hello", "text:Hello"}},
      {"BinaryFragmentsOnlyFragmented",
       Concat({ClientFrame(kBinaryFirst, "ab"), ClientFrame(kContinue, "cd"), ClientFrame(kLast, "e")}),
       Options(frgOnlyFragmented), {"frag:2:1:ab", "frag:2:1:cd", "frag:2:0:e"}},
      {"PingBetweenFragments",
       Concat({ClientFrame(kTextFirst, "Hel"), ClientFrame(kPing, "P"), ClientFrame(kLast, "lo")}), Options(),
       {"ping:P", "text:Hello"}},
      {"PongReported", ClientFrame(kPong, "x"), Options(), {"pong:x"}},
      {"Unmasked", ClientFrame(kText, "Hello", false), Options(), {error1002 + "Message is not masked"}},
      {"NewTextInsideFragmentedMessage",
       Concat({ClientFrame(kTextFirst, "Hel"), ClientFrame(kPing, ""), ClientFrame(kText, "x")}), Options(),
       {"ping:", error1002 + "OpCode error, received opText after Continuation not finished"}},
      {"NewBinaryInsideFragmentedMessage", Concat({ClientFrame(kTextFirst, "a"), ClientFrame(kBinary, "x")}),
       Options(), {error1002 + "OpCode error, received opBinary after Continuation not finished"}},
      {"ContinuationWithoutStart", ClientFrame(kLast, "x"), Options(),
       {error1002 + "Unfragmented message after continuation frame with FIN"}},
      {"PingOf126", ClientFrame(kPing, 126), Options(),
       {error1002 + "Control frames are only allowed to have payload up to and including 125 octets"}},
      {"PingOf125", ClientFrame(kPing, 125), Options(), {"ping:<125>"}},
      {"FragmentedPing", ClientFrame(0x09, "x"), Options(), {error1002 + "Control Message must not be fragmented"}},
      {"RSV1WithoutExtension", ClientFrame(kText | 0x40, "x"), Options(),
       {error1002 + "Invalid value of RSV while no Extension Negotiated"}},
      {"RSV3WithoutExtension", ClientFrame(kBinary | 0x10, "x"), Options(),
       {error1002 + "Invalid value of RSV while no Extension Negotiated"}},
      {"ValidFrameBeforeRSV", Concat({ClientFrame(kText, "ok"), ClientFrame(kText | 0x70, "x")}), Options(),
       {"text:ok", error1002 + "Invalid value of RSV while no Extension Negotiated"}},
      {"ReservedDataOpcode", ClientFrame(0x83, "x"), Options(), {error1002 + "Invalid Control OptCode"}},
      {"ReservedControlOpcode", ClientFrame(0x8B, ""), Options(), {error1002 + "Invalid Control OptCode"}},
      {"LengthWithTopBit", TIdBytes{0x82, 0xFF, 0x80, 0, 0, 0, 0, 0, 0, 0}, Options(),
       {error1002 + "Invalid frame length"}},
      {"Length125", ClientFrame(kBinary, 125), Options(), {"binary:<125>"}},
      {"Length126", ClientFrame(kBinary, 126), Options(), {"binary:<126>"}},
      {"Length127", ClientFrame(kBinary, 127), Options(), {"binary:<127>"}},
      {"CloseEmpty", ClientFrame(kClose, ""), Options(), {"close:1005:"}},
      {"Close1000", ClientFrame(kClose, ClosePayload(1000)), Options(), {"close:1000:"}},
      {"CloseWithReason", ClientFrame(kClose, ClosePayload(1001, "bye")), Options(), {"close:1001:bye"}},
      {"CloseOneOctet", ClientFrame(kClose, "x"), Options(), {error1002 + "Invalid Payload length for close code"}},
      {"CloseInvalidReason", ClientFrame(kClose, ClosePayload(1000, "\xED\xA0\x80")), Options(),
       {"error:1007:Invalid UTF8 message"}},
      // A code is judged with a reason too.
      {"Close1005WithReason", ClientFrame(kClose, ClosePayload(1005, "r")), Options(),
       {error1002 + "Invalid close code"}},
      {"FramesAfterCloseAreLeft", Concat({ClientFrame(kClose, ""), ClientFrame(kText, "late")}), Options(),
       {"close:1005:"}},
      {"SurrogateRefused", ClientFrame(kText, "\xED\xA0\x80"), Options(), {"error:1007:Invalid UTF8 message"}},
      {"SurrogatePassesWithoutValidation", ClientFrame(kText, "\xED\xA0\x80"), Options(frgOnlyBuffer, false),
       {"text:\xED\xA0\x80"}},
      {"LoneF4AtEndRefused", ClientFrame(kText, "ab\xF4"), Options(), {"error:1007:Invalid UTF8 message"}},
      {"CodePointSplitAcrossFragments",
       Concat({ClientFrame(kTextFirst, "\xF0\x9F"), ClientFrame(kLast, "\x98\x80")}), Options(),
       {"text:\xF0\x9F\x98\x80"}},
      // Fails at the fragment that makes the text impossible, before the message ends.
      {"InvalidFragmentFailsFast",
       Concat({ClientFrame(kTextFirst, "ok"), ClientFrame(kContinue, "\xC0"), ClientFrame(kLast, "x")}),
       Options(frgOnlyFragmented), {"frag:1:1:ok", "error:1007:Invalid UTF8 message"}},
      {"TruncatedCodePointAtEnd", Concat({ClientFrame(kTextFirst, "a"), ClientFrame(kLast, "\xE2\x82")}),
       Options(), {"error:1007:Invalid UTF8 message"}},
  };
}

void PrintTo(const ReaderCase& c, std::ostream* os) { *os << c.Name; }

class FrameReaderCases : public ::testing::TestWithParam<ReaderCase> {};

TEST_P(FrameReaderCases, SameEventsWholeSplitAndOctetByOctet) {
  const ReaderCase& c = GetParam();
  EXPECT_EQ(FeedReader(c.Opts, c.Bytes), c.Expected);
  for (size_t cut = 1; cut < c.Bytes.size(); ++cut)
    ASSERT_EQ(FeedReader(c.Opts, c.Bytes, {cut}), c.Expected) << "split at " << cut;
  std::vector<size_t> everyOctet;
  for (size_t cut = 1; cut < c.Bytes.size(); ++cut)
    everyOctet.push_back(cut);
  EXPECT_EQ(FeedReader(c.Opts, c.Bytes, everyOctet), c.Expected);
}

INSTANTIATE_TEST_SUITE_P(Reader, FrameReaderCases, ::testing::ValuesIn(Cases()),
                         [](const auto& info) { return std::string(info.param.Name); });

TEST(FrameReader, LargeLengthsOctetByOctet) {
  for (size_t size : {65535u, 65536u, 70000u}) {
    const TIdBytes frame = ClientFrame(kBinary, size);
    std::vector<size_t> everyOctet;
    for (size_t cut = 1; cut < frame.size(); ++cut)
      everyOctet.push_back(cut);
    EXPECT_EQ(FeedReader(Options(), frame, everyOctet), Log{"binary:<" + std::to_string(size) + ">"});
  }
}

// Limits: one octet below is accepted, one above closes with 1009 as soon as
// the header is known, before the payload is buffered.
TEST(FrameReader, MaxFrameSizeBelowAndAbove) {
  TzalWSReaderOptions options = Options();
  options.MaxFrameSize = 1000;
  EXPECT_EQ(FeedReader(options, ClientFrame(kBinary, 1000)), Log{"binary:<1000>"});
  const TIdBytes over = ClientFrame(kBinary, 1001);
  EXPECT_EQ(FeedReader(options, TIdBytes(over.begin(), over.begin() + 8)), Log{"error:1009:Frame exceeds MaxFrameSize."});
}

TEST(FrameReader, MaxMessageSizeCountsEveryFragment) {
  TzalWSReaderOptions options = Options();
  options.MaxMessageSize = 1000;
  EXPECT_EQ(FeedReader(options, Concat({ClientFrame(kBinaryFirst, 600), ClientFrame(kLast, 400)})),
            Log{"binary:<1000>"});
  EXPECT_EQ(FeedReader(options, Concat({ClientFrame(kBinaryFirst, 600), ClientFrame(kLast, 401)})),
            Log{"error:1009:Message exceeds MaxMessageSize."});
}

TEST(FrameReader, OneMessagePerCall) {
  TzalWSFrameReader reader(Options());
  ReaderLog log(reader);
  const TIdBytes first = ClientFrame(kText, "one");
  const TIdBytes both = Concat({first, ClientFrame(kText, "two")});
  EXPECT_EQ(reader.Read(both), first.size());
  EXPECT_EQ(log.Lines, Log{"text:one"});
}

TEST(FrameReader, ControlFramesStopAtTheReadStepSize) {
  TzalWSReaderOptions options = Options();
  options.ReadStepSize = 10;
  TzalWSFrameReader reader(options);
  ReaderLog log(reader);
  const TIdBytes ping = ClientFrame(kPing, "1234");  // 10 octets
  EXPECT_EQ(reader.Read(Concat({ping, ping, ping})), ping.size());
}

// The accepted codes are exactly the ones a peer may send (7.4).
TEST(FrameReader, CloseCodes) {
  for (int code : {0, 999, 1004, 1005, 1006, 1015, 1016, 1100, 2000, 2999, 5000, 65535})
    EXPECT_EQ(FeedReader(Options(), ClientFrame(kClose, ClosePayload(code))), Log{"error:1002:Invalid close code"})
        << code;
  for (int code : {1000, 1001, 1002, 1003, 1007, 1008, 1009, 1010, 1011, 1012, 1013, 1014, 3000, 3999, 4000, 4999})
    EXPECT_EQ(FeedReader(Options(), ClientFrame(kClose, ClosePayload(code, "r"))),
              Log{"close:" + std::to_string(code) + ":r"})
        << code;
}

}  // namespace
}  // namespace zal::test

namespace zal::test {
namespace {

// Stands for a negotiated compression extension: it marks the data it passes
// on with the frame's first byte, and refuses RSV1 on a continuation frame.
class MarkingExtension : public TzalWSFrameExtension {
public:
  void ReadStream(uint8_t aByte, std::span<const uint8_t> aPayload, TIdBytes& aOutput) override {
    if ((aByte & wsRSV1) && (aByte & wsOpcodeMask) == 0)
      throw TzalWSException("RSV1 on a continuation frame", kCloseProtocolError);
    aOutput.push_back(aByte);
    aOutput.insert(aOutput.end(), aPayload.begin(), aPayload.end());
  }
  void WriteStream(uint8_t&, std::span<const uint8_t>, TIdBytes&) override {}
};

std::vector<std::string> FeedWithExtension(const TIdBytes& bytes) {
  MarkingExtension extension;
  TzalWSFrameReader reader;
  reader.SetExtension(&extension);
  ReaderLog log(reader);
  try {
    reader.Read(bytes);
  } catch (const TzalWSException& e) {
    log.Lines.push_back("error:" + std::to_string(e.CloseCode()) + ":" + e.what());
  }
  return log.Lines;
}

// With an extension, RSV1 on data frames goes to it; RSV2, RSV3 and RSV1 on a
// control frame are still protocol errors (RFC 6455 5.2, RFC 7692 6).
TEST(FrameReaderWithExtension, RSVBitsThatNoExtensionDefinesAreRefused) {
  EXPECT_EQ(FeedWithExtension(ClientFrame(0xC1, "ab")), std::vector<std::string>{"text:\xC1" "ab"});
  EXPECT_EQ(FeedWithExtension(ClientFrame(0xA1, "ab")),
            std::vector<std::string>{"error:1002:Invalid value of RSV for the negotiated extension"});
  EXPECT_EQ(FeedWithExtension(ClientFrame(0xC9, "")),
            std::vector<std::string>{"error:1002:Invalid value of RSV on a control frame"});
  EXPECT_EQ(FeedWithExtension(Concat({ClientFrame(0x41, "a"), ClientFrame(0xC0, "b")})),
            std::vector<std::string>{"error:1002:RSV1 on a continuation frame"});
}

}  // namespace
}  // namespace zal::test
