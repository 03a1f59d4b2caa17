// Octet helpers: big-endian fields and the text <-> octet conversions whose lengths
// HPACK and GOAWAY rely on.
#include <gtest/gtest.h>

#include "HTTP2TestSupport.h"
#include "http2/zalHTTP2_Helpers.h"

namespace zal {
namespace {

TEST(HTTP2Helpers, BytesToIntIsBigEndianAndSignedAtFourOctets) {
  const auto bytes = test::FromHex("ff 00 01 02 80 00 00 01");
  EXPECT_EQ(BytesToInt(bytes, 1, 0), 255);
  EXPECT_EQ(BytesToInt(bytes, 2, 1), 1);
  EXPECT_EQ(BytesToInt(bytes, 3, 1), 0x0102);
  EXPECT_EQ(BytesToInt(bytes, 4, 4), static_cast<int32_t>(0x80000001));
  EXPECT_LT(BytesToInt(bytes, 4, 4), 0);
}

TEST(HTTP2Helpers, IntToBytesRightAlignsAndZeroesNegative) {
  TIdBytes bytes(6, 0xee);
  IntToBytes(0x0102, 1, 4, bytes);
  EXPECT_EQ(test::ToHex(bytes), "ee00000102ee");
  IntToBytes(-5, 1, 4, bytes);
  EXPECT_EQ(test::ToHex(bytes), "ee00000000ee");
  IntToBytes(0x1ffffff, 0, 3, bytes);  // only the low octets fit
  EXPECT_EQ(test::ToHex(bytes), "ffffff0000ee");
}

struct TextCase {
  const char* text;
  const char* octets;
  size_t octetLength;
};

class HTTP2TextToOctets : public ::testing::TestWithParam<TextCase> {};

TEST_P(HTTP2TextToOctets, OneOctetPerCharacter) {
  EXPECT_EQ(test::ToHex(StringToBytes(GetParam().text)), GetParam().octets);
  EXPECT_EQ(OctetLength(GetParam().text), GetParam().octetLength);
  std::string appended = "x";
  AppendStringOctets(GetParam().text, appended);
  EXPECT_EQ(test::ToHex(TIdBytes(appended.begin() + 1, appended.end())), GetParam().octets);
}

INSTANTIATE_TEST_SUITE_P(HTTP2Helpers, HTTP2TextToOctets,
                         ::testing::Values(TextCase{"abc", "616263", 3}, TextCase{"caf\xc3\xa9", "636166e9", 4},
                                           TextCase{"\xe2\x82\xac", "3f", 1}, TextCase{"\xff", "3f", 1},
                                           TextCase{"", "", 0}));

TEST(HTTP2Helpers, OctetsToTextKeepsUTF8AndReplacesInvalid) {
  EXPECT_EQ(OctetsToText(test::FromHex("636166c3a9")), "caf\xc3\xa9");
  EXPECT_EQ(OctetsToText(test::FromHex("61ff62")), "a\xef\xbf\xbd" "b");
  EXPECT_EQ(OctetsToText(test::FromHex("efbfbd")), "\xef\xbf\xbd");
}

}  // namespace
}  // namespace zal
