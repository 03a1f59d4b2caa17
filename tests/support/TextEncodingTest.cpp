#include "support/zalIdTextEncoding.h"

#include "support/zalIdException.h"

#include <gtest/gtest.h>

#include <ostream>
#include <thread>
#include <vector>

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

namespace zal {
namespace {

// Text with a one-, two-, three- and four-octet UTF-8 character.
const std::string kMixedText = "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80";

TEST(TextEncoding, Utf16WritesCodeUnitsInEachByteOrderWithSurrogatePairs) {
  const TIdBytes little{'a', 0, 0xE9, 0, 0xAC, 0x20, 0x3D, 0xD8, 0x00, 0xDE};
  const TIdBytes big{0, 'a', 0, 0xE9, 0x20, 0xAC, 0xD8, 0x3D, 0xDE, 0x00};
  EXPECT_EQ(IdTextEncoding(tekUTF16LE).GetBytes(kMixedText), little);
  EXPECT_EQ(IdTextEncoding(tekUTF16BE).GetBytes(kMixedText), big);
  EXPECT_EQ(IdTextEncoding(tekUTF16LE).GetString(little), kMixedText);
  EXPECT_EQ(IdTextEncoding(tekUTF16BE).GetString(big), kMixedText);
  EXPECT_EQ(IdTextEncoding(tekUTF16LE).GetPreamble(), (TIdBytes{0xFF, 0xFE}));
  EXPECT_EQ(IdTextEncoding(tekUTF16BE).GetPreamble(), (TIdBytes{0xFE, 0xFF}));
}

TEST(TextEncoding, Utf16ReplacesLoneSurrogatesAndAnOddTrailingOctet) {
  const auto& utf16 = IdTextEncoding(tekUTF16LE);
  EXPECT_EQ(utf16.GetString(TIdBytes{0x3D, 0xD8, 'x', 0}), "\xEF\xBF\xBDx");  // high surrogate, then 'x'
  EXPECT_EQ(utf16.GetString(TIdBytes{0x00, 0xDE}), "\xEF\xBF\xBD");          // low surrogate alone
  EXPECT_EQ(utf16.GetString(TIdBytes{'a', 0, 'b'}), "a\xEF\xBF\xBD");
}

struct Utf7Case {
  const char* text;
  const char* encoded;
};

std::ostream& operator<<(std::ostream& os, const Utf7Case& c) { return os << c.encoded; }

class Utf7Encoding : public ::testing::TestWithParam<Utf7Case> {};

TEST_P(Utf7Encoding, EncodesAndDecodesTheRfc2152Forms) {
  const auto& utf7 = IdTextEncoding(tekUTF7);
  const std::string encoded = GetParam().encoded;
  EXPECT_EQ(utf7.GetString(utf7.GetBytes(GetParam().text)), GetParam().text);
  EXPECT_EQ(utf7.GetString(TIdBytes(encoded.begin(), encoded.end())), GetParam().text);
  const TIdBytes written = utf7.GetBytes(GetParam().text);
  EXPECT_EQ(std::string(written.begin(), written.end()), encoded);
}

INSTANTIATE_TEST_SUITE_P(Rfc2152Examples, Utf7Encoding,
                         ::testing::Values(Utf7Case{"Hi Mom -\xE2\x98\xBA-!", "Hi Mom -+Jjo--+ACE-"},
                                           Utf7Case{"A\xE2\x89\xA2\xCE\x91.", "A+ImIDkQ-."},
                                           Utf7Case{"1 + 1", "1 +- 1"},
                                           Utf7Case{"\xF0\x9F\x98\x80", "+2D3eAA-"},
                                           Utf7Case{"plain", "plain"}));

TEST(TextEncoding, Utf7DecodesAShiftEndedByANonBase64Character) {
  const auto& utf7 = IdTextEncoding(tekUTF7);
  const std::string encoded = "+AOk.x+";
  EXPECT_EQ(utf7.GetString(TIdBytes(encoded.begin(), encoded.end())), "\xC3\xA9.x");
}

TEST(TextEncoding, CodePagesSelectTheSharedEncodings) {
  EXPECT_EQ(&IdTextEncodingForCodePage(1200), &IdTextEncoding(tekUTF16LE));
  EXPECT_EQ(&IdTextEncodingForCodePage(1201), &IdTextEncoding(tekUTF16BE));
  EXPECT_EQ(&IdTextEncodingForCodePage(20127), &IdTextEncoding(tekASCII));
  EXPECT_EQ(&IdTextEncodingForCodePage(65000), &IdTextEncoding(tekUTF7));
  EXPECT_EQ(&IdTextEncodingForCodePage(65001), &IdTextEncoding(tekUTF8));
}

TEST(TextEncoding, OtherCodePagesConvertThroughTheirTables) {
  const auto& cp1252 = IdTextEncodingForCodePage(1252);
  EXPECT_EQ(&IdTextEncodingForCodePage(1252), &cp1252);
  EXPECT_EQ(cp1252.GetBytes("\xE2\x82\xAC\xC3\xA9"), (TIdBytes{0x80, 0xE9}));
  EXPECT_EQ(cp1252.GetString(TIdBytes{0x80, 'x'}), "\xE2\x82\xAC" "x");
  EXPECT_EQ(cp1252.GetBytes("\xE2\x98\xBA!"), (TIdBytes{'?', '!'}));  // not in the table
  const auto& cp437 = IdTextEncodingForCodePage(437);
  EXPECT_EQ(cp437.GetString(TIdBytes{0x82}), "\xC3\xA9");
}

TEST(TextEncoding, UnknownCodePagesRaiseInvalidCodepage) {
  for (int codePage : {0, -5, 99999}) {
    try {
      IdTextEncodingForCodePage(codePage);
      ADD_FAILURE() << codePage;
    } catch (const EIdException& e) {
      EXPECT_EQ(std::string(e.what()), "Invalid codepage (" + std::to_string(codePage) + ")");
    }
  }
}

TEST(TextEncoding, ToBytesTakesCharactersFromAOneBasedIndex) {
  const auto& utf8 = IdTextEncoding(tekUTF8);
  EXPECT_EQ(ToBytes(kMixedText, 2, 2, &utf8), utf8.GetBytes("\xC3\xA9\xE2\x82\xAC"));
  EXPECT_EQ(ToBytes(kMixedText, -1, 4, &utf8), utf8.GetBytes("\xF0\x9F\x98\x80"));
  EXPECT_TRUE(ToBytes(kMixedText, -1, 9, &utf8).empty());
  EXPECT_THROW(ToBytes(kMixedText, 1, 0, &utf8), EIdException);
}

TEST(TextEncoding, BytesToStringClipsItsRangeToTheBuffer) {
  const TIdBytes bytes{'a', 'b', 'c', 'd'};
  EXPECT_EQ(BytesToString(bytes, 1, 2), "bc");
  EXPECT_EQ(BytesToString(bytes, 2, -1), "cd");
  EXPECT_EQ(BytesToString(bytes, 3, 10), "d");
  EXPECT_EQ(BytesToString(bytes, 9, 1), "");
}

}  // namespace
}  // namespace zal

namespace zal {
namespace {

// Every 37th code point (surrogates excluded), with "+" and "-" mixed in for UTF-7.
std::string SampleOfAllCodePoints() {
  std::string text;
  for (char32_t cp = 1; cp <= 0x10FFFF; cp += 37) {
    if (cp >= 0xD800 && cp <= 0xDFFF)
      continue;
    AppendUTF8(cp, text);
    if (cp % 5 == 0)
      text += "+-";
  }
  return text;
}

class UnicodeRoundTrip : public ::testing::TestWithParam<TIdTextEncodingKind> {};

TEST_P(UnicodeRoundTrip, EveryCodePointSurvivesEncodingAndDecoding) {
  const auto& encoding = IdTextEncoding(GetParam());
  const std::string text = SampleOfAllCodePoints();
  EXPECT_EQ(encoding.GetString(encoding.GetBytes(text)), text);
}

INSTANTIATE_TEST_SUITE_P(Encodings, UnicodeRoundTrip, ::testing::Values(tekUTF8, tekUTF16LE, tekUTF16BE, tekUTF7));

TEST(TextEncoding, ConcurrentCodePageRequestsShareOneConverter) {
  std::vector<const IIdTextEncoding*> seen(4);
  std::vector<std::thread> threads;
  for (size_t t = 0; t < seen.size(); ++t)
    threads.emplace_back([&, t] { seen[t] = &IdTextEncodingForCodePage(1251); });
  for (auto& thread : threads)
    thread.join();
  for (const IIdTextEncoding* encoding : seen)
    EXPECT_EQ(encoding, seen[0]);
  EXPECT_EQ(seen[0]->GetString(TIdBytes{0xC0}), "\xD0\x90");  // Cyrillic A in code page 1251
  EXPECT_THROW(TIdMBCSEncoding(424242), EIdException);
}

}  // namespace
}  // namespace zal
