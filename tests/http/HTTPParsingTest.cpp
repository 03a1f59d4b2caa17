#include "http/zalIdHTTPDate.h"
#include "http/zalIdHTTPRequestParser.h"
#include "http/zalIdHTTPResponseInfo.h"
#include "http/zalIdHeaderList.h"

#include <gtest/gtest.h>

namespace zal {
namespace {

TEST(HeaderList, NamesIgnoreCaseAndValuesUnfold) {
  TIdHeaderList headers;
  headers.Add("Content-Type: text/plain;");
  headers.Add("\tcharset=utf-8");
  headers.Add("X-Empty:");
  headers.Add("no colon here");
  EXPECT_EQ(headers.IndexOfName("content-type"), 0);
  EXPECT_EQ(headers.GetValue("CONTENT-TYPE"), "text/plain; charset=utf-8");
  EXPECT_EQ(headers.GetParam("Content-Type", "Charset"), "utf-8");
  EXPECT_EQ(headers.GetValue("X-Empty"), "");
  EXPECT_EQ(headers.IndexOfName("X-Empty"), 2);
  EXPECT_EQ(headers.Names(3), "");
  EXPECT_EQ(headers.IndexOfName("charset=utf-8"), -1);  // a continuation line has no name
}

TEST(HeaderList, SetValueReplacesTheWholeEntryAndEmptyDeletes) {
  TIdHeaderList headers;
  headers.Add("A: 1");
  headers.Add("B: two");
  headers.Add("  continued");
  headers.Add("C: 3");
  headers.SetValue("b", "new");
  EXPECT_EQ(headers.Lines(), (std::vector<std::string>{"A: 1", "b: new", "C: 3"}));
  headers.SetValue("A", "");
  EXPECT_EQ(headers.Lines(), (std::vector<std::string>{"b: new", "C: 3"}));
  headers.SetValue("D", "4");
  EXPECT_EQ(headers.Strings(2), "D: 4");
  std::vector<std::string> values;
  headers.AddValue("c", "again");
  headers.Extract("C", values);
  EXPECT_EQ(values, (std::vector<std::string>{"3", "again"}));
}

TEST(HeaderList, FoldingWrapsLongValuesAtBlanksOrCommas) {
  TIdHeaderList headers;
  headers.SetFoldLinesLength(20);
  headers.AddValue("Accept", "text/html, text/plain, image/jpeg");
  ASSERT_GT(headers.Count(), 1);
  for (int i = 1; i < headers.Count(); ++i)
    EXPECT_TRUE(headers.Strings(i).starts_with(" "));
  EXPECT_EQ(headers.GetValue("Accept"), "text/html, text/plain, image/jpeg");
}

TEST(HeaderList, ParametersAreSetAndQuotedWhenNeeded) {
  TIdHeaderList headers;
  headers.SetValue("Content-Type", "text/html");
  headers.SetParam("Content-Type", "charset", "utf-8");
  EXPECT_EQ(headers.GetValue("Content-Type"), "text/html; charset=utf-8");
  headers.SetParam("Content-Type", "name", "a b;c");
  EXPECT_EQ(headers.GetValue("Content-Type"), "text/html; charset=utf-8; name=\"a b;c\"");
  EXPECT_EQ(headers.GetParam("Content-Type", "name"), "a b;c");
  headers.SetParam("Content-Type", "charset", "");
  EXPECT_EQ(headers.GetValue("Content-Type"), "text/html; name=\"a b;c\"");
}

TEST(RequestLine, VersionMethodAndOverride) {
  TIdHTTPRequestInfo request;
  request.RawHeaders().Add("X-HTTP-Method: patch");
  EXPECT_EQ(ApplyRequestLine("post /x?y HTTP/1.1", request), "/x?y");
  EXPECT_EQ(request.Command(), "PATCH");
  EXPECT_EQ(request.VersionMajor(), 1);
  EXPECT_EQ(request.VersionMinor(), 1);
  TIdHTTPRequestInfo odd;
  ApplyRequestLine("GET / FOO", odd);
  EXPECT_EQ(odd.VersionMajor(), -1);
  EXPECT_EQ(odd.VersionMinor(), -1);
  EXPECT_THROW(ApplyRequestLine("GET", odd), EIdHTTPErrorParsingCommand);
}

TEST(RequestLine, AbsoluteTargetsNameTheHostWhenTheRequestHasNone) {
  TIdHTTPRequestInfo request;
  ApplyRequestTarget("http://example.org:8080/a/%C3%A9t%C3%A9?q=1", request);
  EXPECT_EQ(request.Host(), "example.org");
  EXPECT_EQ(request.Document(), "/a/\xC3\xA9t\xC3\xA9");
  EXPECT_EQ(request.QueryParams(), "q=1");
}

TEST(ChunkSizes, HexadecimalWithExtensionsAndNothingElse) {
  EXPECT_EQ(ChunkSizeOf("1a"), 26);
  EXPECT_EQ(ChunkSizeOf("1A;name=value"), 26);
  EXPECT_EQ(ChunkSizeOf("0 \t;name"), 0);  // blanks before an extension (RFC 9112 7.1.1 BWS)
  EXPECT_FALSE(ChunkSizeOf(" 0"));
  EXPECT_FALSE(ChunkSizeOf("0 "));
  EXPECT_FALSE(ChunkSizeOf("-0"));
  EXPECT_FALSE(ChunkSizeOf("+5"));
  EXPECT_EQ(ChunkSizeOf("7fffffffffffffff"), INT64_MAX);
  EXPECT_FALSE(ChunkSizeOf("8000000000000000"));  // past a signed 64-bit size
  EXPECT_FALSE(ChunkSizeOf("-1"));
  EXPECT_FALSE(ChunkSizeOf("0x10"));
  EXPECT_FALSE(ChunkSizeOf(""));
  EXPECT_FALSE(ChunkSizeOf("g"));
}

TEST(ContentLength, OneTrustworthyValueOrNone) {
  TIdHeaderList headers;
  EXPECT_FALSE(DeclaredContentLength(headers));
  headers.Add("Content-Length: 9223372036854775807");
  EXPECT_EQ(DeclaredContentLength(headers), INT64_MAX);
  headers.Clear();
  headers.Add("Content-Length: 9223372036854775808");
  EXPECT_EQ(DeclaredContentLength(headers), -1);
  headers.Clear();
  headers.Add("Content-Length: 5");
  headers.Add("content-length: 5");
  EXPECT_EQ(DeclaredContentLength(headers), 5);
  headers.Add("Content-Length: 6");
  EXPECT_EQ(DeclaredContentLength(headers), -1);
}

TEST(HTTPDates, AllThreeFormsReadAndTheFixedFormWritten) {
  const auto expected = HTTPDateToDateTime("Sun, 06 Nov 1994 08:49:37 GMT");
  ASSERT_TRUE(expected);
  EXPECT_EQ(HTTPDateToDateTime("Sunday, 06-Nov-94 08:49:37 GMT"), expected);
  EXPECT_EQ(HTTPDateToDateTime("Sun Nov  6 08:49:37 1994"), expected);
  EXPECT_EQ(DateTimeToHTTPDate(*expected), "Sun, 06 Nov 1994 08:49:37 GMT");
  EXPECT_FALSE(HTTPDateToDateTime("yesterday"));
  EXPECT_FALSE(HTTPDateToDateTime("Sun, 06 Foo 1994 08:49:37 GMT"));
  EXPECT_FALSE(HTTPDateToDateTime("Sun, 06 Nov 1994 25:49:37 GMT"));
}

TEST(RequestHeaders, ContentTypeRangesAndExpires) {
  TIdHTTPRequestInfo request;
  request.RawHeaders().Add("Content-Type: application/xhtml+xml");
  request.RawHeaders().Add("Range: bytes=0-99, -500, 7-");
  request.RawHeaders().Add("Content-Range: bytes 0-99/1000");
  request.RawHeaders().Add("Expires: -5");
  request.ProcessHeaders();
  EXPECT_EQ(request.ContentType(), "application/xhtml+xml");
  EXPECT_EQ(request.CharSet(), "");
  ASSERT_EQ(request.Ranges().Count(), 3);
  EXPECT_EQ(request.Ranges().Items()[0].EndPos, 99);
  EXPECT_EQ(request.Ranges().Items()[1].SuffixLength, 500);
  EXPECT_EQ(request.Ranges().Items()[2].EndPos, -1);
  EXPECT_EQ(request.ContentRangeInstanceLength(), 1000);
  EXPECT_FALSE(IsDateSet(request.Expires()));

  TIdHTTPRequestInfo xml;
  xml.SetContentType("text/xml");
  EXPECT_EQ(xml.CharSet(), "us-ascii");
  xml.SetContentType("text/csv");
  EXPECT_EQ(xml.CharSet(), "ISO-8859-1");
  xml.SetContentType("image/svg+xml");
  EXPECT_EQ(xml.CharSet(), "");
}

TEST(ResponseStatus, TextsAndTheUnknownOnes) {
  EXPECT_EQ(HTTPStatusText(414), "URI Too Long");
  EXPECT_EQ(HTTPStatusText(405), "Method not allowed");
  EXPECT_EQ(HTTPStatusText(416), "Unknown Response Code");
  EXPECT_EQ(HTTPStatusText(418), "Unknown Response Code");
  EXPECT_EQ(GeneratedPage(200, "OK").size(), 39u);
}

TEST(ResponseText, UnknownCharsetsTakeTheLowByteOfEveryUTF16Unit) {
  EXPECT_EQ(EncodeContentText("\xE2\x82\xAC", ""), (TIdBytes{0xAC}));  // U+20AC
  EXPECT_EQ(EncodeContentText("\xE2\x82\xAC", "utf-8"), (TIdBytes{0xE2, 0x82, 0xAC}));
  EXPECT_EQ(EncodeContentText("\xC3\xA9", "ISO-8859-1"), (TIdBytes{0xE9}));
  EXPECT_EQ(EncodeContentText("\xF0\x9F\x98\x80", "x-unknown").size(), 2u);  // a surrogate pair
}

}  // namespace
}  // namespace zal
