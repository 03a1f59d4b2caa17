#include "support/zalIdHash.h"

#include "support/zalIdCoderMIME.h"

#include <gtest/gtest.h>

#include <ostream>

#include <memory>

namespace zal {
namespace {

struct HashCase {
  const char* algorithm;
  std::string input;
  std::string hex;
};

std::ostream& operator<<(std::ostream& os, const HashCase& c) { return os << c.algorithm << " " << c.hex; }

std::unique_ptr<TIdHash> MakeHash(const std::string& algorithm) {
  if (algorithm == "SHA1")
    return std::make_unique<TIdHashSHA1>();
  if (algorithm == "MD5")
    return std::make_unique<TIdHashMessageDigest5>();
  return std::make_unique<TIdHashMessageDigest4>();
}

class HashVectors : public ::testing::TestWithParam<HashCase> {};

TEST_P(HashVectors, GiveTheStandardDigestsInUppercaseHex) {
  const auto hash = MakeHash(GetParam().algorithm);
  EXPECT_EQ(hash->HashStringAsHex(GetParam().input), GetParam().hex);
  const TIdBytes input(GetParam().input.begin(), GetParam().input.end());
  EXPECT_EQ(BytesToHex(hash->HashBytes(input)), GetParam().hex);
  TMemoryStream stream(input);
  EXPECT_EQ(hash->HashStreamAsHex(stream), GetParam().hex);
}

// FIPS 180 examples, RFC 1321 and RFC 1320 test suites.
INSTANTIATE_TEST_SUITE_P(
    Standards, HashVectors,
    ::testing::Values(
        HashCase{"SHA1", "abc", "A9993E364706816ABA3E25717850C26C9CD0D89D"},
        HashCase{"SHA1", "", "DA39A3EE5E6B4B0D3255BFEF95601890AFD80709"},
        HashCase{"SHA1", "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
                 "84983E441C3BD26EBAAE4AA1F95129E5E54670F1"},
        HashCase{"MD5", "abc", "900150983CD24FB0D6963F7D28E17F72"},
        HashCase{"MD5", "", "D41D8CD98F00B204E9800998ECF8427E"},
        HashCase{"MD5", "message digest", "F96B697D7CB7938D525A2F31AAF161D0"},
        HashCase{"MD4", "", "31D6CFE0D16AE931B73C59D7E0C089C0"},
        HashCase{"MD4", "abc", "A448017AAF21D8525FC10AE87AA6729D"},
        HashCase{"MD4", "12345678901234567890123456789012345678901234567890123456789012345678901234567890",
                 "E33B4DDC9C38F2199C3E7B164FCC0536"}));

TEST(Hash, HashStringEncodesWithTheGivenEncodingFirst) {
  TIdHashSHA1 sha1;
  // ASCII (the default) turns "é" into "?"; UTF-8 keeps its two octets.
  EXPECT_EQ(sha1.HashStringAsHex("\xC3\xA9"), sha1.HashStringAsHex("?"));
  EXPECT_EQ(sha1.HashStringAsHex("\xC3\xA9", &IdTextEncoding(tekUTF8)),
            sha1.HashBytesAsHex(TIdBytes{0xC3, 0xA9}));
}

TEST(Hash, StreamHashingCoversTheGivenRangeOnly) {
  TIdHashMessageDigest5 md5;
  TMemoryStream stream(TIdBytes{'x', 'x', 'a', 'b', 'c', 'y', 'y'});
  EXPECT_EQ(md5.HashStreamAsHex(stream, 2, 3), "900150983CD24FB0D6963F7D28E17F72");
  stream.SetPosition(2);
  EXPECT_EQ(md5.HashStreamAsHex(stream, -1, 3), "900150983CD24FB0D6963F7D28E17F72");
  EXPECT_EQ(stream.Position(), 5);
  TMemoryStream shortStream(TIdBytes{'a', 'b', 'c'});
  EXPECT_EQ(md5.HashStreamAsHex(shortStream, 0, 100), "900150983CD24FB0D6963F7D28E17F72");
}

TEST(Hash, LargeStreamsMatchTheDigestOfTheirBytes) {
  const std::string large(300000, 'q');
  TMemoryStream stream(TIdBytes(large.begin(), large.end()));
  TIdHashSHA1 sha1;
  EXPECT_EQ(sha1.HashStreamAsHex(stream), sha1.HashBytesAsHex(TIdBytes(large.begin(), large.end())));
  EXPECT_EQ(sha1.DigestSize(), 20u);
  EXPECT_EQ(TIdHashMessageDigest5().DigestSize(), 16u);
}

}  // namespace
}  // namespace zal
