#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <utility>
#include <vector>

#include "http/zalIdCookie.h"

namespace zal {
namespace {

using namespace std::chrono_literals;
using Pairs = std::vector<std::pair<std::string, std::string>>;

Pairs NamesAndValues(const TIdCookies& cookies) {
  Pairs result;
  for (int i = 0; i < cookies.Count(); ++i)
    result.emplace_back(cookies[i].CookieName(), cookies[i].Value());
  return result;
}

Pairs ParseHeaderValues(const std::vector<std::string>& values) {
  TIdCookies cookies;
  for (const std::string& value : values)
    cookies.AddClientCookies(value);
  return NamesAndValues(cookies);
}

TDateTime Utc(int year, unsigned month, unsigned day, int h, int m, int s) {
  const std::chrono::sys_days date = std::chrono::year{year} / std::chrono::month{month} / std::chrono::day{day};
  return TDateTime(date) + std::chrono::hours(h) + std::chrono::minutes(m) + std::chrono::seconds(s);
}

TEST(CookieHeader, ThreePiecesGiveThreeCookies) {
  EXPECT_EQ(ParseHeaderValues({"a=1; b=\"x y\"; bare"}), (Pairs{{"a", "1"}, {"b", "x y"}, {"", ""}}));
}

TEST(CookieHeader, EveryCookieLineAddsItsCookiesInOrder) {
  EXPECT_EQ(ParseHeaderValues({"a=1", "b=2; c=3"}), (Pairs{{"a", "1"}, {"b", "2"}, {"c", "3"}}));
}

TEST(CookieHeader, SplittingTheValueAtASemicolonIntoTwoLinesGivesTheSameCookies) {
  const std::string value = "a=1; b=\"x y\"; bare; c= 3 ";
  const Pairs whole = ParseHeaderValues({value});
  for (size_t pos = value.find(';'); pos != std::string::npos; pos = value.find(';', pos + 1))
    EXPECT_EQ(ParseHeaderValues({value.substr(0, pos), value.substr(pos + 1)}), whole) << pos;
}

struct CookieCase {
  const char* Header;
  Pairs Expected;
};

class CookieHeaderParse : public ::testing::TestWithParam<CookieCase> {};

TEST_P(CookieHeaderParse, GivesTheCookies) { EXPECT_EQ(ParseHeaderValues({GetParam().Header}), GetParam().Expected); }

INSTANTIATE_TEST_SUITE_P(
    Cases, CookieHeaderParse,
    ::testing::Values(CookieCase{"", {}}, CookieCase{"   ", {}}, CookieCase{";;", {}}, CookieCase{" ; ; ", {}},
                      CookieCase{"a=1", {{"a", "1"}}}, CookieCase{"  a = 1  ", {{"a", "1"}}},
                      CookieCase{"a=", {{"a", ""}}}, CookieCase{"a", {{"", ""}}},
                      CookieCase{"=1", {}},  // an empty name names nothing
                      CookieCase{"a=x=y", {{"a", "x=y"}}}, CookieCase{"a=1;b=2", {{"a", "1"}, {"b", "2"}}},
                      CookieCase{"a=\"unterminated", {{"a", "unterminated"}}},
                      CookieCase{"a=\"v\" ignored", {{"a", "v"}}}, CookieCase{"a=\" padded \"", {{"a", " padded "}}},
                      CookieCase{"a=\"\"", {{"a", ""}}}, CookieCase{"a=\"x;y\"", {{"a", "x"}, {"", ""}}},
                      CookieCase{"A=1; a=2", {{"A", "1"}, {"a", "2"}}}, CookieCase{"a=1 2", {{"a", "1 2"}}}));

TEST(Cookies, GetCookieIndexIgnoresCaseAndStartsAtFirstIndex) {
  TIdCookies cookies;
  cookies.AddClientCookies("x=0; SID=1; y=2; sid=3");
  EXPECT_EQ(cookies.GetCookieIndex("sid"), 1);
  EXPECT_EQ(cookies.GetCookieIndex("sid", 2), 3);
  EXPECT_EQ(cookies.GetCookieIndex("sid", 4), -1);
  EXPECT_EQ(cookies.GetCookieIndex("none"), -1);
  ASSERT_NE(cookies.Cookie("Y"), nullptr);
  EXPECT_EQ(cookies.Cookie("Y")->Value(), "2");
}

TEST(Cookies, SecondListFollowsAddDeleteAndClear) {
  TIdCookies cookies;
  cookies.AddClientCookies("a=1; b=2; c=3");
  cookies.Delete(1);
  TIdCookieList& list = cookies.LockCookieList(caRead);
  ASSERT_EQ(list.size(), 2u);
  EXPECT_EQ(list[0]->CookieName(), "a");
  EXPECT_EQ(list[1]->CookieName(), "c");
  cookies.UnlockCookieList(caRead);
  EXPECT_THROW(cookies.Delete(2), std::out_of_range);
  cookies.Clear();
  EXPECT_EQ(cookies.Count(), 0);
  EXPECT_TRUE(cookies.LockCookieList(caReadWrite).empty());
  cookies.UnlockCookieList(caReadWrite);
}

TEST(Cookie, ExpiryTextIsGmtWithDashes) {
  EXPECT_EQ(CookieExpiryText(Utc(2026, 12, 8, 13, 14, 37)), "Tue, 08-Dec-2026 13:14:37 GMT");
  EXPECT_EQ(CookieExpiryText(Utc(2000, 2, 29, 0, 0, 9)), "Tue, 29-Feb-2000 00:00:09 GMT");
  EXPECT_EQ(CookieExpiryText(TDateTime{} - std::chrono::hours(24 * 7)), "Thu, 25-Dec-1969 00:00:00 GMT");
}

TEST(Cookie, ServerCookieWithoutAttributesIsNameAndValue) {
  TIdCookie cookie;
  cookie.SetCookieName("n");
  EXPECT_EQ(cookie.ServerCookie(), "n=");
  cookie.SetValue("v");
  EXPECT_EQ(cookie.ServerCookie(), "n=v");
  EXPECT_EQ(cookie.CookieText(), "n=v");
  EXPECT_EQ(cookie.ClientCookie(), "n=v");
  EXPECT_EQ(cookie.MaxAge(), -1);
  EXPECT_FALSE(cookie.IsExpired());
}

TEST(Cookie, ServerCookieListsAttributesInOrder) {
  TIdCookie cookie;
  cookie.SetCookieName("n");
  cookie.SetValue("v");
  cookie.SetPath("/p");
  cookie.SetDomain("example.org");
  cookie.SetSecure(true);
  cookie.SetHttpOnly(true);
  const TDateTime expires = std::chrono::floor<std::chrono::seconds>(std::chrono::system_clock::now()) + 1h + 500ms;
  cookie.SetExpires(expires);
  const int64_t maxAge = cookie.MaxAge();
  EXPECT_TRUE(maxAge == 3600 || maxAge == 3599) << maxAge;
  const std::string text = cookie.ServerCookie();
  const std::string head = "n=v; Path=/p; Domain=example.org; Secure; HttpOnly; Max-Age=";
  ASSERT_EQ(text.substr(0, head.size()), head);
  EXPECT_NE(text.find("; Expires=" + CookieExpiryText(expires)), std::string::npos) << text;
  EXPECT_EQ(text.substr(text.size() - 4), " GMT");
  EXPECT_FALSE(cookie.IsExpired());
}

TEST(Cookie, PastExpiryHasNoMaxAge) {
  TIdCookie cookie;
  cookie.SetCookieName("n");
  cookie.SetExpires(Utc(2001, 1, 1, 0, 0, 0));
  EXPECT_LT(cookie.MaxAge(), 0);
  EXPECT_TRUE(cookie.IsExpired());
  EXPECT_EQ(cookie.ServerCookie(), "n=; Expires=Mon, 01-Jan-2001 00:00:00 GMT");
}

TEST(Cookie, CreationTimesAreSet) {
  const auto before = std::chrono::system_clock::now();
  TIdCookie cookie;
  EXPECT_GE(cookie.CreatedAt(), before);
  EXPECT_EQ(cookie.CreatedAt(), cookie.LastAccessed());
}

}  // namespace
}  // namespace zal
