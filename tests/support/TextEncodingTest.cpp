#include "support/zalIdTextEncoding.h"

#include <gtest/gtest.h>

namespace zal {
namespace {

TEST(TextEncoding, AsciiWritesQuestionMarkForNonAsciiAndReadsReplacementCharacter) {
  const auto& ascii = IdTextEncoding(tekASCII);
  EXPECT_EQ(ascii.GetBytes("a\xC3\xA9z"), (TIdBytes{'a', '?', 'z'}));
  const TIdBytes raw{'a', 0xE9, 'z'};
  EXPECT_EQ(ascii.GetString(raw), "a\xEF\xBF\xBDz");
}

TEST(TextEncoding, Latin1MapsEachOctetToItsCodePointAndBack) {
  const auto& latin1 = IdTextEncoding(tek8Bit);
  TIdBytes all;
  for (int b = 0; b < 256; ++b)
    all.push_back(static_cast<uint8_t>(b));
  EXPECT_EQ(latin1.GetBytes(latin1.GetString(all)), all);
  EXPECT_EQ(latin1.GetBytes("\xE2\x82\xAC"), (TIdBytes{'?'}));  // the euro sign is beyond Latin-1
}

TEST(TextEncoding, Utf8ReplacesInvalidSequencesOnRead) {
  const auto& utf8 = IdTextEncoding(tekUTF8);
  const TIdBytes overlong{0xC0, 0xAF};
  EXPECT_EQ(utf8.GetString(overlong), "\xEF\xBF\xBD\xEF\xBF\xBD");
  const TIdBytes surrogate{0xED, 0xA0, 0x80};
  EXPECT_EQ(utf8.GetCharCount(surrogate), 3u);
  const TIdBytes valid{0xF0, 0x9F, 0x98, 0x80};
  EXPECT_EQ(utf8.GetString(valid), "\xF0\x9F\x98\x80");
  EXPECT_EQ(utf8.GetCharCount(valid), 1u);
}

}  // namespace
}  // namespace zal
