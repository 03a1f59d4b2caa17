#include "support/zalIdCoderMIME.h"

#include "support/zalIdException.h"

#include <gtest/gtest.h>

#include <ostream>


namespace zal {
namespace {

struct Base64Case {
  std::string plain;
  std::string encoded;
};

std::ostream& operator<<(std::ostream& os, const Base64Case& c) { return os << '"' << c.encoded << '"'; }

class Base64Vectors : public ::testing::TestWithParam<Base64Case> {};

// RFC 4648 section 10, plus the padding cases of one and two final octets.
INSTANTIATE_TEST_SUITE_P(Rfc4648, Base64Vectors,
                         ::testing::Values(Base64Case{"", ""}, Base64Case{"f", "Zg=="}, Base64Case{"fo", "Zm8="},
                                           Base64Case{"foo", "Zm9v"}, Base64Case{"foob", "Zm9vYg=="},
                                           Base64Case{"fooba", "Zm9vYmE="}, Base64Case{"foobar", "Zm9vYmFy"},
                                           Base64Case{"abc", "YWJj"}, Base64Case{"ab", "YWI="},
                                           Base64Case{"a", "YQ=="}));

TEST_P(Base64Vectors, EncodesWithPaddingAndDecodesBack) {
  EXPECT_EQ(TIdEncoderMIME::EncodeString(GetParam().plain), GetParam().encoded);
  EXPECT_EQ(TIdDecoderMIME::DecodeString(GetParam().encoded), GetParam().plain);
}

TEST(Base64, OutputLengthIsFourPerStartedGroupOfThreeForEveryOctetValue) {
  TIdBytes all;
  for (int n = 0; n < 256; ++n) {
    const std::string encoded = TIdEncoderMIME::EncodeBytes(all);
    ASSERT_EQ(encoded.size(), (all.size() + 2) / 3 * 4);
    ASSERT_EQ(encoded.find('\n'), std::string::npos);
    ASSERT_EQ(TIdDecoderMIME::DecodeBytes(encoded), all);
    all.push_back(static_cast<uint8_t>(255 - n));
  }
}

TEST(Base64, DecodingIgnoresATrailingPartialGroup) {
  EXPECT_EQ(TIdDecoderMIME::DecodeString("YWJjYW"), "abc");
  EXPECT_EQ(TIdDecoderMIME::DecodeString("YWI"), "");
  EXPECT_EQ(TIdDecoderMIME::DecodeString("YWJjY"), "abc");
}

TEST(Base64, OnlyTheFillCharactersOfTheLastWholeGroupShortenTheOutput) {
  EXPECT_EQ(TIdDecoderMIME::DecodeBytes("YQ==YWJj").size(), 6u);  // padding mid-text is not trimmed
  EXPECT_EQ(TIdDecoderMIME::DecodeBytes("YWJj====").size(), 4u);  // "====" gives 3 octets minus 2
  EXPECT_EQ(TIdDecoderMIME::DecodeBytes("YWI=YQ").size(), 2u);    // the partial group is ignored first
}

TEST(Base64, CharactersOutsideTheAlphabetNeverRaise) {
  EXPECT_NO_THROW(TIdDecoderMIME::DecodeBytes("\xC3\xA9\x01!@#$%^&*()"));
  EXPECT_EQ(TIdDecoderMIME::DecodeBytes("!!!!").size(), 3u);
}

TEST(Base64, DecodeStringIsOctetForOctetUnlessAnEncodingIsGiven) {
  // "é" in UTF-8 is C3 A9: decoded octet for octet it is two Latin-1 characters.
  const std::string encoded = TIdEncoderMIME::EncodeBytes(TIdBytes{0xC3, 0xA9});
  EXPECT_EQ(TIdDecoderMIME::DecodeString(encoded), "\xC3\x83\xC2\xA9");
  EXPECT_EQ(TIdDecoderMIME::DecodeString(encoded, &IdTextEncoding(tekUTF8)), "\xC3\xA9");
}

TEST(Base64, StreamsEncodeAcrossChunkBoundariesAndDecodeIntoAStream) {
  std::string large(100000, '\0');
  for (size_t i = 0; i < large.size(); ++i)
    large[i] = static_cast<char>(i * 7);
  TMemoryStream in(TIdBytes(large.begin(), large.end()));
  in.SetPosition(1);  // encoding starts at the stream's position
  const std::string encoded = TIdEncoderMIME::EncodeStream(in);
  EXPECT_EQ(encoded, TIdEncoderMIME::EncodeBytes(TIdBytes(large.begin() + 1, large.end())));
  TMemoryStream out;
  TIdDecoderMIME::DecodeStream(encoded, out);
  EXPECT_EQ(out.DataString(), large.substr(1));
}

TEST(Base64OfHex, EncodesTheOctetsThatTheDigitsStandFor) {
  EXPECT_EQ(HexToBase64("616263"), "YWJj");
  EXPECT_EQ(HexToBase64("6162"), "YWI=");
  // RFC 6455 section 1.3: SHA-1 of the sample key and GUID, and its accept value.
  EXPECT_EQ(HexToBase64("b37a4f2cc0624f1690f64606cf385945b2bec4ea"), "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=");
}

TEST(Base64OfHex, HexConversionsRoundTripAndRejectBadDigits) {
  const TIdBytes bytes{0x00, 0x7F, 0x80, 0xAB, 0xFF};
  EXPECT_EQ(BytesToHex(bytes), "007F80ABFF");
  EXPECT_EQ(HexToBytes("007f80abFF"), bytes);
  EXPECT_THROW(HexToBytes("abc"), EConvertError);
  EXPECT_THROW(HexToBytes("0g"), EConvertError);
  EXPECT_EQ(BytesToUTF8String(TIdBytes{0xC3, 0xA9}), "\xC3\xA9");
}

}  // namespace
}  // namespace zal
