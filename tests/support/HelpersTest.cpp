#include "support/zalHelpers.h"

#include "support/zalIdException.h"

#include <gtest/gtest.h>

#include <ostream>

#include <limits>
#include <set>

namespace zal {
namespace {

TEST(ConnectionIdentifier, Is32UppercaseHexDigitsWithoutDashesAndUnique) {
  std::set<std::string> seen;
  for (int i = 0; i < 1000; ++i) {
    const std::string id = CreateGuidString();
    ASSERT_EQ(id.size(), 32u) << id;
    ASSERT_EQ(id.find_first_not_of("0123456789ABCDEF"), std::string::npos) << id;
    EXPECT_EQ(id[12], '4') << id;  // version 4 of the GUID's time_hi field
    seen.insert(id);
  }
  EXPECT_EQ(seen.size(), 1000u);
}

TEST(TickCount, DifferenceAcrossTheWrapIsSmallAndPositive) {
  const uint64_t max = std::numeric_limits<uint64_t>::max();
  EXPECT_EQ(GetTickDiff64(max - 5, 10), 16u);
  EXPECT_EQ(GetTickDiff64(max, 0), 1u);
  EXPECT_EQ(GetTickDiff64(100, 250), 150u);
  EXPECT_EQ(GetTickDiff64(7, 7), 0u);
}

TEST(TickCount, NeverRunsBackwards) {
  const uint64_t first = GetTickCount64();
  EXPECT_GE(GetTickCount64(), first);
  EXPECT_GT(first, 0u);
}

TEST(Bytes, AppendAndKeepTheLastOctets) {
  TIdBytes buffer{1, 2};
  AppendBytes(buffer, TIdBytes{3, 4, 5});
  EXPECT_EQ(buffer, (TIdBytes{1, 2, 3, 4, 5}));
  KeepLastBytes(buffer, 2);
  EXPECT_EQ(buffer, (TIdBytes{4, 5}));
  KeepLastBytes(buffer, 10);
  EXPECT_EQ(buffer, (TIdBytes{4, 5}));
  KeepLastBytes(buffer, 0);
  EXPECT_TRUE(buffer.empty());
}

TEST(Bytes, KeepingTheLastOctetsOfAStreamCutsAndRewindsIt) {
  TMemoryStream stream(TIdBytes{1, 2, 3, 4, 5});
  stream.SetPosition(3);
  KeepLastBytes(stream, 2);
  EXPECT_EQ(stream.Bytes(), (TIdBytes{4, 5}));
  EXPECT_EQ(stream.Position(), 0);
  stream.SetPosition(1);
  KeepLastBytes(stream, 9);
  EXPECT_EQ(stream.Bytes(), (TIdBytes{4, 5}));
  EXPECT_EQ(stream.Position(), 0);
  KeepLastBytes(stream, 0);
  EXPECT_EQ(stream.Size(), 0);
}

TEST(Text, ComparisonsIgnoreAsciiCaseOnly) {
  EXPECT_TRUE(TextIsSame("Content-Type", "content-TYPE"));
  EXPECT_FALSE(TextIsSame("abc", "abcd"));
  EXPECT_FALSE(TextIsSame("\xC3\xA9", "\xC3\x89"));  // é and É differ outside ASCII
  EXPECT_TRUE(TextStartsWith("GET / HTTP/1.1", "get "));
  EXPECT_FALSE(TextStartsWith("GE", "GET"));
  EXPECT_TRUE(TextEndsWith("image.JPG", ".jpg"));
  EXPECT_FALSE(TextEndsWith("g", ".jpg"));
  EXPECT_EQ(TextPos("upgrade", "Connection: Upgrade"), 12u);
  EXPECT_EQ(TextPos("x", "abc"), std::string::npos);
  EXPECT_EQ(UpperCase("aBc-1"), "ABC-1");
  EXPECT_EQ(LowerCase("aBc-1"), "abc-1");
  EXPECT_EQ(Trim("\t a b \r\n"), "a b");
}

struct MaskCase {
  const char* text;
  const char* mask;
  bool matches;
};

std::ostream& operator<<(std::ostream& os, const MaskCase& c) { return os << c.text << " ~ " << c.mask; }

class Masks : public ::testing::TestWithParam<MaskCase> {};

TEST_P(Masks, MatchStarAndQuestionMarkIgnoringCase) {
  EXPECT_EQ(MatchesMask(GetParam().text, GetParam().mask), GetParam().matches)
      << GetParam().text << " vs " << GetParam().mask;
}

INSTANTIATE_TEST_SUITE_P(
    Table, Masks,
    ::testing::Values(MaskCase{"GET / HTTP/1.1", "GET *", true}, MaskCase{"get /x", "GET *", true},
                      MaskCase{"GET", "GET *", false}, MaskCase{"POST /zal/xhr/a", "POST /zal/xhr/*", true},
                      MaskCase{"POST /zal/xhrx", "POST /zal/xhr/*", false},
                      MaskCase{"GET / HTTP/1.0", "*HTTP/1.*", true}, MaskCase{"GET / HTTP/2", "*HTTP/1.*", false},
                      MaskCase{"abc", "a?c", true}, MaskCase{"ac", "a?c", false}, MaskCase{"", "*", true},
                      MaskCase{"", "", true}, MaskCase{"x", "", false}, MaskCase{"aXbXc", "*b*c", true},
                      MaskCase{"aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaab", "*a*a*a*a*a*a*a*a*c", false}));

TEST(Fetch, SplitsAtTheFirstDelimiterAndKeepsTheRest) {
  std::string text = "key: value: more";
  EXPECT_EQ(Fetch(text, ": "), "key");
  EXPECT_EQ(text, "value: more");
  EXPECT_EQ(Fetch(text, "X"), "value: more");
  EXPECT_EQ(text, "");
  std::string mixed = "aSEPbsepc";
  EXPECT_EQ(Fetch(mixed, "sep", false), "a");
  EXPECT_EQ(mixed, "bsepc");
}

TEST(StrArray, FindsTheIndexOfAString) {
  const std::vector<std::string> values{"GET", "POST", "PUT"};
  EXPECT_EQ(PosInStrArray("POST", values), 1);
  EXPECT_EQ(PosInStrArray("post", values), -1);
  EXPECT_EQ(PosInStrArray("post", values, false), 1);
  EXPECT_EQ(PosInStrArray("put", {"get", "put"}), 1);
  EXPECT_EQ(PosInStrArray("x", {"get", "put"}), -1);
}

TEST(StrToIntDef, ParsesTrimmedDecimalsAndFallsBackOtherwise) {
  EXPECT_EQ(StrToIntDef(" 42 ", 0), 42);
  EXPECT_EQ(StrToIntDef("-7", 0), -7);
  EXPECT_EQ(StrToIntDef("+7", 0), 7);
  EXPECT_EQ(StrToIntDef("", 5), 5);
  EXPECT_EQ(StrToIntDef("12x", 5), 5);
  EXPECT_EQ(StrToIntDef("99999999999", 5), 5);
  EXPECT_EQ(StrToInt64Def("99999999999", 5), 99999999999);
}

TEST(CharPos, PositionsBelowOneRaise) {
  EXPECT_NO_THROW(CheckCharPos(1));
  try {
    CheckCharPos(0);
    ADD_FAILURE();
  } catch (const EIdException& e) {
    EXPECT_STREQ(e.what(), "Invalid ACharPos");
  }
}

TEST(DelimitedList, QuotesItemsWithSpacesCommasOrQuotesAndReadsThemBack) {
  TzalDelimitedStringList list;
  list.Add("plain");
  list.Add("with space");
  list.Add("a,b");
  list.Add("say \"hi\"");
  list.Add("");
  const std::string text = list.DelimitedText();
  EXPECT_EQ(text, "plain,\"with space\",\"a,b\",\"say \"\"hi\"\"\",");
  TzalDelimitedStringList back;
  back.SetDelimitedText(text);
  EXPECT_EQ(back.Strings(), list.Strings());
}

TEST(DelimitedList, SplitsOnlyAtTheDelimiter) {
  TzalDelimitedStringList list;
  list.SetDelimitedText("a b, c ,d");
  EXPECT_EQ(list.Strings(), (std::vector<std::string>{"a b", " c ", "d"}));
}

}  // namespace
}  // namespace zal
