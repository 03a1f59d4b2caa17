#include "support/zalIdURI.h"

#include <gtest/gtest.h>

#include <ostream>

namespace zal {
namespace {

struct UriCase {
  std::string uri;
  std::string protocol, host, port, path, document, params, bookmark, user, password;
  TIdIPVersion ipVersion;
};

std::ostream& operator<<(std::ostream& os, const UriCase& c) { return os << c.uri; }

class UriSplitting : public ::testing::TestWithParam<UriCase> {};

TEST_P(UriSplitting, SplitsIntoItsParts) {
  const UriCase& c = GetParam();
  const TIdURI uri(c.uri);
  EXPECT_EQ(uri.URI(), c.uri);
  EXPECT_EQ(uri.Protocol(), c.protocol);
  EXPECT_EQ(uri.Host(), c.host);
  EXPECT_EQ(uri.Port(), c.port);
  EXPECT_EQ(uri.Path(), c.path);
  EXPECT_EQ(uri.Document(), c.document);
  EXPECT_EQ(uri.Params(), c.params);
  EXPECT_EQ(uri.Bookmark(), c.bookmark);
  EXPECT_EQ(uri.Username(), c.user);
  EXPECT_EQ(uri.Password(), c.password);
  EXPECT_EQ(uri.IPVersion(), c.ipVersion);
}

INSTANTIATE_TEST_SUITE_P(
    Targets, UriSplitting,
    ::testing::Values(
        // protocol, host, port, path, document, params, bookmark, user, password
        UriCase{"/dir/page.html?x=1#top", "", "", "", "/dir/", "page.html", "x=1", "top", "", "", Id_IPv4},
        UriCase{"/", "", "", "", "/", "", "", "", "", "", Id_IPv4},
        UriCase{"page", "", "", "", "", "page", "", "", "", "", Id_IPv4},
        UriCase{"/a/b#frag?not-query", "", "", "", "/a/", "b", "", "frag?not-query", "", "", Id_IPv4},
        UriCase{"/a?q=1?2#x#y", "", "", "", "/", "a", "q=1?2", "x#y", "", "", Id_IPv4},
        UriCase{"/dir\\sub\\file.txt?a\\b", "", "", "", "/dir/sub/", "file.txt", "a\\b", "", "", "", Id_IPv4},
        UriCase{"http://u:p@[::1]:8080/a/b", "http", "::1", "8080", "/a/", "b", "", "", "u", "p", Id_IPv6},
        UriCase{"https://example.com", "https", "example.com", "", "/", "", "", "", "", "", Id_IPv4},
        UriCase{"https://example.com:443/x/y/z.html?k=v#b", "https", "example.com", "443", "/x/y/", "z.html", "k=v",
                "b", "", "", Id_IPv4},
        UriCase{"ws://a@b@host/doc", "ws", "host", "", "/", "doc", "", "", "a@b", "", Id_IPv4},
        UriCase{"ftp://:secret@host/", "ftp", "host", "", "/", "", "", "", "", "", Id_IPv4},
        UriCase{"http://[fe80::1%25eth0]/", "http", "fe80::1%25eth0", "", "/", "", "", "", "", "", Id_IPv6},
        UriCase{"http://host]x[:81/", "http", "host]x[", "81", "/", "", "", "", "", "", Id_IPv4},
        UriCase{"http://h\\p\\q", "http", "h", "", "/p/", "q", "", "", "", "", Id_IPv4}));

TEST(Uri, PartsGoTogetherAgain) {
  EXPECT_EQ(TIdURI("http://u:p@[::1]:8080/a/b?x=1#f").GetFullURI(), "http://u:p@[::1]:8080/a/b?x=1#f");
  EXPECT_EQ(TIdURI("/dir/page.html?x=1#top").GetPathAndParams(), "/dir/page.html?x=1");
}

TEST(Uri, SettingANewUriClearsThePreviousParts) {
  TIdURI uri("http://u:p@[::1]:8080/a/b?x#y");
  uri.SetURI("/c");
  EXPECT_EQ(uri.Host(), "");
  EXPECT_EQ(uri.Username(), "");
  EXPECT_EQ(uri.Params(), "");
  EXPECT_EQ(uri.Bookmark(), "");
  EXPECT_EQ(uri.IPVersion(), Id_IPv4);
  EXPECT_EQ(uri.Document(), "c");
}

struct DecodeCase {
  std::string in;
  std::string out;
};

std::ostream& operator<<(std::ostream& os, const DecodeCase& c) { return os << c.in; }

class UrlDecoding : public ::testing::TestWithParam<DecodeCase> {};

TEST_P(UrlDecoding, DecodesEscapesAndNeverRaises) { EXPECT_EQ(TIdURI::URLDecode(GetParam().in), GetParam().out); }

INSTANTIATE_TEST_SUITE_P(
    Escapes, UrlDecoding,
    ::testing::Values(DecodeCase{"a%20b%u00E9", "a b\xC3\xA9"}, DecodeCase{"%U20AC", "\xE2\x82\xAC"},
                      DecodeCase{"a+b", "a+b"}, DecodeCase{"x%zzy", "xy"}, DecodeCase{"x%uzzzzy", "xy"},
                      DecodeCase{"%C3%A9", "\xC3\xA9"}, DecodeCase{"%c3%a9", "\xC3\xA9"},
                      DecodeCase{"end%", "end"}, DecodeCase{"end%4", "end"}, DecodeCase{"end%u12", "end"},
                      DecodeCase{"%uD83D%uDE00", "\xF0\x9F\x98\x80"}, DecodeCase{"%uD83Dx", "\xEF\xBF\xBDx"},
                      DecodeCase{"%uDE00", "\xEF\xBF\xBD"}, DecodeCase{"%FF", "\xEF\xBF\xBD"},
                      DecodeCase{"", ""}));

TEST(UrlDecoding, UsesTheGivenEncodingForOctetsAndUnitEscapes) {
  const auto& latin1 = IdTextEncoding(tek8Bit);
  EXPECT_EQ(TIdURI::URLDecode("%E9%u00E9", &latin1), "\xC3\xA9\xC3\xA9");
  // A raw non-ASCII character contributes only the low 8 bits of its code.
  EXPECT_EQ(TIdURI::URLDecode("\xC3\xA9", &latin1), "\xC3\xA9");
}

TEST(UrlEncoding, EscapesWhatThePartDoesNotAllow) {
  EXPECT_EQ(TIdURI::PathEncode("/a b/\xC3\xA9?"), "/a%20b/%C3%A9%3F");
  EXPECT_EQ(TIdURI::ParamsEncode("x=a b&y=#"), "x=a%20b&y=%23");
  EXPECT_EQ(TIdURI::URLEncode("http://h/a b/c d?x=1 2"), "http://h/a%20b/c%20d?x=1%202");
  EXPECT_EQ(TIdURI::URLDecode(TIdURI::PathEncode("/\xE2\x82\xAC x")), "/\xE2\x82\xAC x");
}

}  // namespace
}  // namespace zal
