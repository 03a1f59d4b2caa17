#include "websocket/zalWebSocket_Extensions.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <random>

#include "common/zalTestExceptions.h"
#include "websocket/zalWebSocket_Exception.h"

namespace zal {
namespace {

constexpr uint8_t kFIN = 0x80;
constexpr uint8_t kRSV1 = 0x40;

struct Frame {
  uint8_t First;
  TIdBytes Payload;
};

TIdBytes Bytes(std::string_view text) { return TIdBytes(text.begin(), text.end()); }
std::string Text(const TIdBytes& bytes) { return std::string(bytes.begin(), bytes.end()); }

TzalWSExtensions_Options BothEnabled() {
  TzalWSExtensions_Options options;
  options.PerMessage_Deflate.Enabled = true;
  options.DeflateFrame.Enabled = true;
  return options;
}

// An extension set after the handshake of `offer`, on the given side.
TzalWSExtensions Negotiated(std::string_view offer, TwsApplicationMode mode = appServer,
                            const TzalWSExtensions_Options& options = BothEnabled()) {
  TzalWSExtensions extensions;
  extensions.Assign(options);
  extensions.AssignMode(mode);
  extensions.DecodeExtensions(offer);
  return extensions;
}

// The frames of one message cut at `cuts` (offsets into the message), as the
// writer sends them: the opcode on the first, FIN on the last.
std::vector<Frame> Send(TzalWSExtensions& sender, std::string_view message, std::vector<size_t> cuts = {}) {
  cuts.push_back(message.size());
  std::vector<Frame> frames;
  size_t start = 0;
  for (size_t i = 0; i < cuts.size(); ++i) {
    uint8_t first = (i == 0 ? opText : opContinuation) | (i + 1 == cuts.size() ? kFIN : 0);
    const auto* data = reinterpret_cast<const uint8_t*>(message.data()) + start;
    TIdBytes payload;
    sender.WriteStream(first, {data, cuts[i] - start}, payload);
    frames.push_back({first, std::move(payload)});
    start = cuts[i];
  }
  return frames;
}

std::string Receive(TzalWSExtensions& receiver, const std::vector<Frame>& frames) {
  TIdBytes message;
  for (const Frame& frame : frames)
    receiver.ReadStream(frame.First, frame.Payload, message);
  return Text(message);
}

// An independent reader of a permessage-deflate stream: plain zlib over the
// payloads of each message with the tail appended (RFC 7692 7.2.2), checking
// that no message ends the deflate stream with a final block.
class ReferenceInflater {
public:
  explicit ReferenceInflater(int windowBits = 15) { inflateInit2(&FStream, -windowBits); }
  ~ReferenceInflater() { inflateEnd(&FStream); }
  std::string Message(const std::vector<Frame>& frames) {
    TIdBytes data;
    for (const Frame& frame : frames)
      data.insert(data.end(), frame.Payload.begin(), frame.Payload.end());
    data.insert(data.end(), {0x00, 0x00, 0xFF, 0xFF});
    std::string out(1 << 20, '\0');
    FStream.next_in = data.data();
    FStream.avail_in = static_cast<uInt>(data.size());
    FStream.next_out = reinterpret_cast<Bytef*>(out.data());
    FStream.avail_out = static_cast<uInt>(out.size());
    const int rc = inflate(&FStream, Z_SYNC_FLUSH);
    EXPECT_EQ(rc, Z_OK) << (FStream.msg ? FStream.msg : "");
    EXPECT_EQ(FStream.avail_in, 0u);
    out.resize(out.size() - FStream.avail_out);
    return out;
  }

private:
  z_stream FStream{};
};

// --- RFC 7692 section 7.2.3 -------------------------------------------------

const TIdBytes kHelloCompressed = {0xf2, 0x48, 0xcd, 0xc9, 0xc9, 0x07, 0x00};

TEST(PerMessageDeflateRFC7692, HelloCompressesToTheExampleWithRSV1) {
  TzalWSExtensions server = Negotiated("permessage-deflate");
  const std::vector<Frame> frames = Send(server, "Hello");
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0].First, kFIN | kRSV1 | opText);
  EXPECT_EQ(frames[0].Payload, kHelloCompressed);
}

TEST(PerMessageDeflateRFC7692, SecondHelloUsesTheSharedWindowUnlessTakeoverIsOff) {
  TzalWSExtensions takeover = Negotiated("permessage-deflate");
  Send(takeover, "Hello");
  EXPECT_EQ(Send(takeover, "Hello")[0].Payload, (TIdBytes{0xf2, 0x00, 0x11, 0x00, 0x00}));

  TzalWSExtensions noTakeover = Negotiated("permessage-deflate; server_no_context_takeover");
  Send(noTakeover, "Hello");
  EXPECT_EQ(Send(noTakeover, "Hello")[0].Payload, kHelloCompressed);
}

struct ExampleCase {
  const char* name;
  std::vector<Frame> frames;
};

class RFC7692Examples : public ::testing::TestWithParam<ExampleCase> {};

TEST_P(RFC7692Examples, InflateToHello) {
  TzalWSExtensions server = Negotiated("permessage-deflate");
  EXPECT_EQ(Receive(server, GetParam().frames), "Hello");
}

INSTANTIATE_TEST_SUITE_P(
    Section7_2_3, RFC7692Examples,
    ::testing::Values(
        ExampleCase{"Compressed", {{0xc1, kHelloCompressed}}},
        ExampleCase{"Fragmented", {{0x41, {0xf2, 0x48, 0xcd}}, {0x80, {0xc9, 0xc9, 0x07, 0x00}}}},
        ExampleCase{"NoCompressionBlock", {{0xc1, {0x00, 0x05, 0x00, 0xfa, 0xff, 0x48, 0x65, 0x6c, 0x6c, 0x6f, 0x00}}}},
        ExampleCase{"FinalBlock", {{0xc1, {0xf3, 0x48, 0xcd, 0xc9, 0xc9, 0x07, 0x00, 0x00}}}},
        ExampleCase{"TwoBlocks",
                    {{0xc1, {0xf2, 0x48, 0x05, 0x00, 0x00, 0x00, 0xff, 0xff, 0xca, 0xc9, 0xc9, 0x07, 0x00}}}}),
    [](const auto& info) { return info.param.name; });

TEST(PerMessageDeflateRFC7692, SharedWindowSurvivesAFinalBlock) {
  TzalWSExtensions server = Negotiated("permessage-deflate");
  EXPECT_EQ(Receive(server, {{0xc1, {0xf3, 0x48, 0xcd, 0xc9, 0xc9, 0x07, 0x00, 0x00}}}), "Hello");
  EXPECT_EQ(Receive(server, {{0xc1, {0xf2, 0x00, 0x11, 0x00, 0x00}}}), "Hello");
}

TEST(PerMessageDeflateRFC7692, TwoBlockExampleSplitAtEveryOffset) {
  const TIdBytes whole = {0xf2, 0x48, 0x05, 0x00, 0x00, 0x00, 0xff, 0xff, 0xca, 0xc9, 0xc9, 0x07, 0x00};
  for (size_t cut = 0; cut <= whole.size(); ++cut) {
    TzalWSExtensions server = Negotiated("permessage-deflate");
    const std::vector<Frame> frames = {{0x41, TIdBytes(whole.begin(), whole.begin() + cut)},
                                       {0x80, TIdBytes(whole.begin() + cut, whole.end())}};
    EXPECT_EQ(Receive(server, frames), "Hello") << "cut at " << cut;
  }
  TzalWSExtensions server = Negotiated("permessage-deflate");
  std::vector<Frame> bytewise;
  for (size_t i = 0; i < whole.size(); ++i)
    bytewise.push_back({static_cast<uint8_t>((i == 0 ? 0x41 : 0x00) | (i + 1 == whole.size() ? kFIN : 0)),
                        {whole[i]}});
  EXPECT_EQ(Receive(server, bytewise), "Hello");
}

// --- negotiation --------------------------------------------------------------

struct OfferCase {
  const char* name;
  std::string offer;
  std::string answer;  // the response line's value; empty: no line
};

class Offers : public ::testing::TestWithParam<OfferCase> {};

TEST_P(Offers, AnswerTheFirstAcceptableOfferWithOneLine) {
  const TzalWSExtensions server = Negotiated(GetParam().offer);
  std::vector<std::string> lines;
  server.WriteHeader(lines);
  if (GetParam().answer.empty()) {
    EXPECT_TRUE(lines.empty()) << lines[0];
    EXPECT_FALSE(server.CompressionActive());
    return;
  }
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0], "Sec-WebSocket-Extensions: " + GetParam().answer);
  EXPECT_TRUE(server.ExtensionNegotiated());
}

INSTANTIATE_TEST_SUITE_P(
    Negotiation, Offers,
    ::testing::Values(
        OfferCase{"ClientBitsWithoutValue", "permessage-deflate; client_max_window_bits",
                  "permessage-deflate;client_max_window_bits=15"},
        OfferCase{"ClientBitsAndServerNoTakeover", "permessage-deflate; client_max_window_bits=10; server_no_context_takeover",
                  "permessage-deflate;client_max_window_bits=10;server_no_context_takeover"},
        OfferCase{"AllParameters",
                  "permessage-deflate; server_max_window_bits=9; client_no_context_takeover; client_max_window_bits=8",
                  "permessage-deflate;server_max_window_bits=9;client_no_context_takeover;client_max_window_bits=8"},
        OfferCase{"QuotedValue", "permessage-deflate; client_max_window_bits=\"12\"",
                  "permessage-deflate;client_max_window_bits=12"},
        OfferCase{"TokenInAnyCaseAndTightSpacing", "PerMessage-Deflate;server_no_context_takeover",
                  "permessage-deflate;server_no_context_takeover"},
        OfferCase{"ServerWindowEightIsDeclined", "permessage-deflate; server_max_window_bits=8", ""},
        OfferCase{"FallbackAfterADeclinedOffer", "permessage-deflate; server_max_window_bits=8, permessage-deflate",
                  "permessage-deflate"},
        // RFC 7692 7.1: an offer with an unknown, repeated or malformed parameter is declined.
        OfferCase{"ClientBitsTooLarge", "permessage-deflate; client_max_window_bits=20", ""},
        OfferCase{"ServerBitsTooSmall", "permessage-deflate; server_max_window_bits=7", ""},
        OfferCase{"BitsNotANumber", "permessage-deflate; client_max_window_bits=1x", ""},
        OfferCase{"BitsWithLeadingZero", "permessage-deflate; client_max_window_bits=09", ""},
        OfferCase{"ServerBitsWithoutValue", "permessage-deflate; server_max_window_bits", ""},
        OfferCase{"ValueOnAFlag", "permessage-deflate; server_no_context_takeover=1", ""},
        OfferCase{"UnknownParameter", "permessage-deflate; foo", ""},
        OfferCase{"RepeatedFlag", "permessage-deflate; server_no_context_takeover; server_no_context_takeover", ""},
        OfferCase{"RepeatedBits", "permessage-deflate; client_max_window_bits=10; client_max_window_bits=12", ""},
        OfferCase{"FallbackAfterAnInvalidOffer",
                  "permessage-deflate; client_max_window_bits=20, permessage-deflate; client_max_window_bits",
                  "permessage-deflate;client_max_window_bits=15"},
        OfferCase{"RepeatedParameterNeverEchoed",
                  "permessage-deflate; client_no_context_takeover; client_no_context_takeover, permessage-deflate",
                  "permessage-deflate"},
        OfferCase{"DeflateFrame", "x-webkit-deflate-frame", "x-webkit-deflate-frame"},
        OfferCase{"DeflateFrameFirstWinsAlone", "x-webkit-deflate-frame, permessage-deflate", "x-webkit-deflate-frame"},
        OfferCase{"PerMessageFirstWinsAlone", "permessage-deflate,x-webkit-deflate-frame", "permessage-deflate"},
        OfferCase{"SimilarTokenIsNotTheExtension", "x-permessage-deflate-foo", ""},
        OfferCase{"NoOffer", "", ""}),
    [](const auto& info) { return info.param.name; });

TEST(Negotiation, DisabledExtensionsAreNeverActive) {
  const TzalWSExtensions server = Negotiated("permessage-deflate, x-webkit-deflate-frame", appServer, {});
  EXPECT_FALSE(server.CompressionActive());
  EXPECT_TRUE(server.BuildExtensionList().empty());
}

TEST(Negotiation, ConfiguredClientNoContextTakeoverIsAnnounced) {
  TzalWSExtensions_Options options = BothEnabled();
  options.PerMessage_Deflate.ClientNoContextTakeOver = true;
  std::vector<std::string> lines;
  Negotiated("permessage-deflate", appServer, options).WriteHeader(lines);
  EXPECT_EQ(lines, std::vector<std::string>{"Sec-WebSocket-Extensions: permessage-deflate;client_no_context_takeover"});
}

TEST(Negotiation, ConfiguredWindowBitsOutsideEightToFifteenFailWithTheirText) {
  TzalWSExtension_PerMessage_Deflate extension;
  EXPECT_EQ(test::ExceptionMessage([&] { extension.SetServerMaxWindowBits(16); }), "Invalid Value for WindowBits 16");
  EXPECT_EQ(test::ExceptionMessage([&] { extension.SetClientMaxWindowBits(7); }), "Invalid Value for WindowBits 7");
  EXPECT_EQ(test::ExceptionMessage([&] { extension.SetClientMaxWindowBits(8); }), "");
  EXPECT_EQ(test::ExceptionMessage([&] { extension.SetClientMaxWindowBits(15); }), "");
}

// --- compression --------------------------------------------------------------

std::string Repetitive(size_t size, uint32_t seed) {
  std::mt19937 random(seed);
  std::string words[] = {"alpha ", "beta ", "gamma ", "delta ", "{\"x\":1}", "\x01\xff"};
  std::string text;
  while (text.size() < size)
    text += words[random() % std::size(words)];
  text.resize(size);
  return text;
}

struct StreamCase {
  const char* name;
  std::string offer;
};

class PerMessageStreams : public ::testing::TestWithParam<StreamCase> {};

// Messages of many sizes, fragmented or not, from server to a client and back,
// with an independent zlib reader of the server's side.
TEST_P(PerMessageStreams, RoundTripFragmentedMessagesBothWays) {
  TzalWSExtensions server = Negotiated(GetParam().offer, appServer);
  TzalWSExtensions client = Negotiated(GetParam().offer, appClient);
  ReferenceInflater reference;
  std::mt19937 random(7);
  const size_t sizes[] = {0, 1, 5, 0, 100, 4096, 0, 70000, 3, 0};
  for (size_t i = 0; i < std::size(sizes); ++i) {
    const std::string message = Repetitive(sizes[i], static_cast<uint32_t>(i));
    std::vector<size_t> cuts;
    if (i % 2 == 1 && !message.empty())
      cuts = {random() % message.size(), message.size()};  // the last fragment is empty
    std::sort(cuts.begin(), cuts.end());
    const std::vector<Frame> down = Send(server, message, cuts);
    for (size_t f = 0; f < down.size(); ++f)
      EXPECT_EQ((down[f].First & kRSV1) != 0, f == 0) << "frame " << f;
    if (message.empty()) {
      EXPECT_EQ(down[0].Payload, TIdBytes{0x00}) << "message " << i;
    }
    EXPECT_EQ(reference.Message(down), message) << "message " << i;
    EXPECT_EQ(Receive(client, down), message) << "message " << i;
    EXPECT_EQ(Receive(server, Send(client, message, cuts)), message) << "message " << i;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Parameters, PerMessageStreams,
    ::testing::Values(StreamCase{"Takeover", "permessage-deflate"},
                      StreamCase{"NoTakeover", "permessage-deflate; server_no_context_takeover; client_no_context_takeover"},
                      StreamCase{"SmallWindows", "permessage-deflate; server_max_window_bits=9; client_max_window_bits=9"},
                      StreamCase{"MixedTakeover", "permessage-deflate; client_no_context_takeover; server_max_window_bits=12"}),
    [](const auto& info) { return info.param.name; });

TEST(PerMessageDeflate, ServerWindowBitsBoundTheDistancesItUses) {
  TzalWSExtensions server = Negotiated("permessage-deflate; server_max_window_bits=9");
  ReferenceInflater nineBitReader(9);  // refuses distances beyond 512 octets
  const std::string block = Repetitive(600, 1);
  EXPECT_EQ(nineBitReader.Message(Send(server, block + block)), block + block);
  EXPECT_EQ(nineBitReader.Message(Send(server, block)), block);
}

TEST(PerMessageDeflate, StreamsAreMadeOnFirstUseAndKeptAcrossMessages) {
  TzalWSExtensions server = Negotiated("permessage-deflate");
  EXPECT_EQ(server.StateBytes(), 0u);
  Receive(server, Send(server, "first"));
  const size_t afterOne = server.StateBytes();
  EXPECT_GT(afterOne, 0u);
  for (int i = 0; i < 50; ++i)
    Receive(server, Send(server, Repetitive(1000, static_cast<uint32_t>(i))));
  EXPECT_EQ(server.StateBytes(), afterOne);
}

TEST(DeflateFrame, EveryFrameIsCompressedOnItsOwnWithRSV1) {
  TzalWSExtensions server = Negotiated("x-webkit-deflate-frame");
  TzalWSExtensions client = Negotiated("x-webkit-deflate-frame", appClient);
  for (const std::string& message : {std::string("Hello"), std::string(), Repetitive(5000, 2), std::string("Hello")}) {
    const std::vector<Frame> frames = Send(server, message, {message.size() / 2});
    for (const Frame& frame : frames)
      EXPECT_NE(frame.First & kRSV1, 0);
    // The reader appends the tail to every frame, whether or not it ends the message.
    EXPECT_EQ(Receive(client, frames), message);
  }
  // The first frame of "Hello" repeats RFC 7692's deflate form.
  TzalWSExtensions fresh = Negotiated("x-webkit-deflate-frame");
  EXPECT_EQ(Send(fresh, "Hello")[0].Payload.size(), kHelloCompressed.size());
}

TEST(DeflateFrame, UncompressedFramesPassThrough) {
  TzalWSExtensions server = Negotiated("x-webkit-deflate-frame");
  EXPECT_EQ(Receive(server, {{0x01, Bytes("He")}, {0xc0, {0xca, 0xc9, 0xc9, 0x07, 0x00}}}), "Hello");
}

// --- failures and limits --------------------------------------------------------

int CloseCodeOf(TzalWSExtensions& receiver, const std::vector<Frame>& frames) {
  try {
    Receive(receiver, frames);
  } catch (const TzalWSException& e) {
    return e.CloseCode();
  }
  return 0;
}

TEST(ReadStream, RefusesRSV1WhereItIsNotAllowedAndCorruptData) {
  TzalWSExtensions none = Negotiated("");
  EXPECT_EQ(CloseCodeOf(none, {{0xc1, kHelloCompressed}}), kCloseProtocolError);
  TzalWSExtensions server = Negotiated("permessage-deflate");
  EXPECT_EQ(CloseCodeOf(server, {{0x41, {0xf2, 0x48}}, {0xc0, {0xcd}}}), kCloseProtocolError);
  TzalWSExtensions corrupt = Negotiated("permessage-deflate");
  EXPECT_EQ(CloseCodeOf(corrupt, {{0xc1, {0xff, 0xff, 0xff, 0xff}}}), kCloseInvalidPayload);
}

TIdBytes DeflateZeros(size_t size) {
  z_stream stream{};
  deflateInit2(&stream, 9, Z_DEFLATED, -15, 9, Z_DEFAULT_STRATEGY);
  const TIdBytes zeros(1 << 20, 0);
  TIdBytes out(size / 500 + 4096);
  stream.next_out = out.data();
  stream.avail_out = static_cast<uInt>(out.size());
  for (size_t done = 0; done < size; done += zeros.size()) {
    stream.next_in = const_cast<Bytef*>(zeros.data());
    stream.avail_in = static_cast<uInt>(std::min(zeros.size(), size - done));
    deflate(&stream, done + zeros.size() >= size ? Z_SYNC_FLUSH : Z_NO_FLUSH);
  }
  out.resize(out.size() - stream.avail_out - 4);  // without the sync tail
  deflateEnd(&stream);
  return out;
}

TEST(ReadStream, AnInflateBombStopsAtTheLimitWithBoundedMemory) {
  const TIdBytes bomb = DeflateZeros(size_t{100} << 20);
  ASSERT_LT(bomb.size(), 200000u);
  TzalWSExtensions server = Negotiated("permessage-deflate");
  TIdBytes message;
  try {
    server.ReadStream(0xc2, bomb, message);
    FAIL() << "100 MiB inflated";
  } catch (const TzalWSException& e) {
    EXPECT_EQ(e.CloseCode(), kCloseMessageTooBig);
  }
  EXPECT_LE(message.capacity(), size_t{2} * server.MaxMessageSize() + 1);
}

TEST(ReadStream, MaxMessageSizeJustBelowAndAbove) {
  const std::string message = Repetitive(50000, 3);
  for (const bool compressed : {true, false}) {
    for (const int64_t limit : {int64_t{49999}, int64_t{50000}}) {
      TzalWSExtensions sender = Negotiated(compressed ? "permessage-deflate" : "", appClient);
      TzalWSExtensions server = Negotiated(compressed ? "permessage-deflate" : "");
      server.SetMaxMessageSize(limit);
      const std::vector<Frame> frames = Send(sender, message, {10000, 30000});
      EXPECT_EQ(CloseCodeOf(server, frames), limit < 50000 ? kCloseMessageTooBig : 0)
          << (compressed ? "compressed" : "plain") << " limit " << limit;
      // The count starts again with the next message.
      if (limit == 50000) {
        EXPECT_EQ(Receive(server, Send(sender, message)), message);
      }
    }
  }
}

}  // namespace
}  // namespace zal
