// Frame headers as written, masking at any offset, the UTF-8 validator and
// the Hixie-76 framing.
#include <gtest/gtest.h>

#include "websocket/WebSocketTestSupport.h"
#include "websocket/zalWebSocket_Frame.h"
#include "websocket/zalWebSocket_Hixie76.h"
#include "websocket/zalWebSocket_UTF8.h"

namespace zal::test {
namespace {

TEST(FrameHeader, ShortestLengthForm) {
  const std::vector<std::pair<uint64_t, TIdBytes>> table = {
      {0, {0x82, 0x00}},
      {125, {0x82, 0x7D}},
      {126, {0x82, 0x7E, 0x00, 0x7E}},
      {200, {0x82, 0x7E, 0x00, 0xC8}},
      {65535, {0x82, 0x7E, 0xFF, 0xFF}},
      {65536, {0x82, 0x7F, 0, 0, 0, 0, 0, 1, 0, 0}},
      {70000, {0x82, 0x7F, 0, 0, 0, 0, 0, 0x01, 0x11, 0x70}},
      {0x100000000ull, {0x82, 0x7F, 0, 0, 0, 1, 0, 0, 0, 0}},
  };
  for (const auto& [length, expected] : table) {
    TIdBytes out;
    AppendFrameHeader(out, 0x82, length);
    EXPECT_EQ(out, expected) << length;
    TzalWSFrameHeader header;
    ASSERT_TRUE(ParseFrameHeader(out, header));
    EXPECT_EQ(header.PayloadLength, length);
    EXPECT_EQ(header.HeaderLength, out.size());
    // Every shorter prefix is an incomplete header.
    for (size_t n = 0; n < out.size(); ++n)
      EXPECT_FALSE(ParseFrameHeader(std::span<const uint8_t>(out).first(n), header)) << length << " " << n;
  }
}

TEST(FrameHeader, MaskedHeaderCarriesTheKey) {
  const uint8_t key[4] = {1, 2, 3, 4};
  TIdBytes out;
  AppendFrameHeader(out, 0x81, 5, key);
  EXPECT_EQ(out, (TIdBytes{0x81, 0x85, 1, 2, 3, 4}));
}

TEST(FrameMask, PiecesAtAnyOffsetEqualOnePass) {
  const uint8_t key[4] = {0x11, 0x22, 0x33, 0x44};
  TIdBytes whole(37);
  for (size_t i = 0; i < whole.size(); ++i)
    whole[i] = static_cast<uint8_t>(i * 7);
  const TIdBytes original = whole;
  MaskPayload(whole, key);
  for (size_t i = 0; i < whole.size(); ++i)
    ASSERT_EQ(whole[i], original[i] ^ key[i % 4]) << i;
  for (size_t cut = 0; cut <= original.size(); ++cut) {
    TIdBytes pieces = original;
    MaskPayload(std::span<uint8_t>(pieces).first(cut), key, 0);
    MaskPayload(std::span<uint8_t>(pieces).subspan(cut), key, cut);
    ASSERT_EQ(pieces, whole) << cut;
  }
}

TEST(CloseCodeRules, OnlyRegisteredAndPrivateCodesAreValid) {
  for (int code : {1000, 1003, 1007, 1014, 3000, 4999})
    EXPECT_TRUE(IsValidCloseCode(code)) << code;
  for (int code : {-1, 0, 999, 1004, 1005, 1006, 1015, 2999, 5000})
    EXPECT_FALSE(IsValidCloseCode(code)) << code;
}

struct UTF8Case {
  const char* Text;
  bool Valid;
};

class UTF8Validator : public ::testing::TestWithParam<UTF8Case> {};

// The verdict is the same whole, split at every offset and octet by octet.
TEST_P(UTF8Validator, SameVerdictAtEverySplit) {
  const std::string text = GetParam().Text;
  const std::span<const uint8_t> bytes(reinterpret_cast<const uint8_t*>(text.data()), text.size());
  EXPECT_EQ(IsValidUTF8(bytes), GetParam().Valid);
  for (size_t cut = 0; cut <= bytes.size(); ++cut) {
    TzalUTF8Validator v;
    const bool fed = v.Feed(bytes.first(cut)) && v.Feed(bytes.subspan(cut));
    EXPECT_EQ(fed && v.Complete(), GetParam().Valid) << cut;
  }
  TzalUTF8Validator v;
  bool fed = true;
  for (uint8_t b : bytes)
    fed = fed && v.Feed(std::span<const uint8_t>(&b, 1));
  EXPECT_EQ(fed && v.Complete(), GetParam().Valid);
}

INSTANTIATE_TEST_SUITE_P(
    RFC3629, UTF8Validator,
    ::testing::Values(UTF8Case{"", true}, UTF8Case{"Hello-\xC2\xB5@\xC3\x9F\xC3\xB6\xC3\xA4\xC3\xBC", true},
                      UTF8Case{"\xCE\xBA\xE1\xBD\xB9\xCF\x83\xCE\xBC\xCE\xB5", true},
                      UTF8Case{"\xF0\x90\x80\x80", true}, UTF8Case{"\xF4\x8F\xBF\xBF", true},
                      UTF8Case{"\xEF\xBF\xBF", true}, UTF8Case{"\xED\x9F\xBF", true},
                      UTF8Case{"\xEE\x80\x80", true}, UTF8Case{"\xF4", false}, UTF8Case{"a\xF4", false},
                      UTF8Case{"\xF4\x90\x80\x80", false}, UTF8Case{"\xED\xA0\x80", false},
                      UTF8Case{"\xED\xBF\xBF", false}, UTF8Case{"\xC0\xAF", false}, UTF8Case{"\xC1\xBF", false},
                      UTF8Case{"\xE0\x9F\xBF", false}, UTF8Case{"\xF0\x8F\xBF\xBF", false},
                      UTF8Case{"\xF5\x80\x80\x80", false}, UTF8Case{"\xFF", false}, UTF8Case{"\x80", false},
                      UTF8Case{"\xCE\xBA\xE1\xBD", false}, UTF8Case{"\xE2\x28\xA1", false}));

std::vector<std::string> FeedHixie(const TIdBytes& bytes, size_t cut, uint64_t maxSize = 1000) {
  TzalWSHixie76Reader reader;
  reader.MaxMessageSize = maxSize;
  std::vector<std::string> log;
  reader.OnMessage = [&log](const std::string& text) { log.push_back("text:" + text); };
  reader.OnClose = [&log] { log.push_back("close"); };
  TIdBytes buffer;
  try {
    for (const auto& [from, to] : {std::pair<size_t, size_t>{0, cut}, {cut, bytes.size()}}) {
      buffer.insert(buffer.end(), bytes.begin() + static_cast<std::ptrdiff_t>(from),
                    bytes.begin() + static_cast<std::ptrdiff_t>(to));
      while (size_t consumed = reader.Read(buffer))
        buffer.erase(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(consumed));
    }
  } catch (const TzalWSException& e) {
    log.push_back("error:" + std::to_string(e.CloseCode()));
  }
  return log;
}

TEST(Hixie76, FramesAtEverySplit) {
  const TIdBytes bytes = {0x00, 'H', 'i', 0xFF, 'x', 0xFF, 0x01, 0x00, 0xFF, 0x00, 'a', 0xFF, 0xFF, 0x00, 0x00};
  for (size_t cut = 0; cut <= bytes.size(); ++cut)
    EXPECT_EQ(FeedHixie(bytes, cut), (std::vector<std::string>{"text:Hi", "text:", "text:a", "close"})) << cut;
}

TEST(Hixie76, TextLimitBelowAndAbove) {
  TIdBytes text(1000, 'a');
  text.insert(text.begin(), 0x00);
  EXPECT_EQ(FeedHixie(text, 500, 1000), std::vector<std::string>{});  // still waiting for 0xFF
  text.push_back('a');
  EXPECT_EQ(FeedHixie(text, 500, 1000), std::vector<std::string>{"error:1009"});
}

TEST(Hixie76, WriterFramesTextAndClose) {
  TIdBytes out;
  AppendHixie76Frame(out, opText, "Hi");
  AppendHixie76Frame(out, opClose, "");
  AppendHixie76Frame(out, opBinary, "x");
  EXPECT_EQ(out, (TIdBytes{0x00, 'H', 'i', 0xFF, 0xFF, 0x00}));
}

}  // namespace
}  // namespace zal::test
