// Message framing of the request loop (RFC 9112 sections 2.2, 3.2, 5.1, 6):
// what makes a request's end unambiguous, and what is refused because a peer
// in front of the server could see its end elsewhere.
#include <gtest/gtest.h>

#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "http/zalHTTPServerFixture.h"
#include "transport/zalIdIOHandler.h"

namespace zal {
namespace {

using test::Body;
using test::ContentLengthOf;
using test::HasLine;
using test::HTTPServerTest;
using test::TestClient;

// A request that would run if the server read the framing differently from a proxy.
const std::string kSmuggled = "GET /smuggled HTTP/1.1\r\nHost: x\r\n\r\n";

struct FramingCase {
  const char* name;
  std::string request;  // kSmuggled follows it on the same connection
  const char* status = "HTTP/1.1 400 Bad Request";  // the status line of the only answer
};

class SmugglingTest : public HTTPServerTest, public ::testing::WithParamInterface<FramingCase> {};

TEST_P(SmugglingTest, IsRefusedAndTheConnectionClosed) {
  server.SetKeepAlive(true);
  TestClient client = Connected();
  ASSERT_TRUE(client.Send(GetParam().request + kSmuggled));
  const std::string response = client.Receive(2000);
  EXPECT_TRUE(response.starts_with(std::string(GetParam().status) + "\r\n")) << response;
  EXPECT_TRUE(HasLine(response, "Connection: close")) << response;
  EXPECT_EQ(SeenCount(), 0u);
}

const std::string kPost = "POST / HTTP/1.1\r\nHost: x\r\n";
// A chunked request up to its first chunk-size line.
const std::string kChunkedHead = kPost + "Transfer-Encoding: chunked\r\n\r\n";
// Ends the last header line and the header block, then an empty chunked body.
const std::string kChunkedBody = "\r\n\r\n0\r\n\r\n";

INSTANTIATE_TEST_SUITE_P(
    Framing, SmugglingTest,
    ::testing::Values(
        FramingCase{"LengthThenChunked", kPost + "Content-Length: 5\r\nTransfer-Encoding: chunked" + kChunkedBody},
        FramingCase{"ChunkedThenLength", kPost + "Transfer-Encoding: chunked\r\nContent-Length: 5" + kChunkedBody},
        FramingCase{"IdentityAndLength", kPost + "Transfer-Encoding: identity\r\nContent-Length: 5" + kChunkedBody},
        FramingCase{"ChunkedTwiceInTwoLines",
                    kPost + "Transfer-Encoding: chunked\r\nTransfer-Encoding: chunked" + kChunkedBody},
        FramingCase{"ChunkedTwiceInOneList", kPost + "Transfer-Encoding: chunked, chunked" + kChunkedBody},
        FramingCase{"ChunkedNotLast", kPost + "Transfer-Encoding: chunked, gzip" + kChunkedBody},
        FramingCase{"ChunkedThenIdentityLine",
                    kPost + "Transfer-Encoding: chunked\r\nTransfer-Encoding: identity" + kChunkedBody},
        FramingCase{"ChunkedAsSubstring", kPost + "Transfer-Encoding: xchunked" + kChunkedBody},
        FramingCase{"EmptyCodingList", kPost + "Transfer-Encoding: ," + kChunkedBody},
        FramingCase{"UnknownCodingBeforeChunked", kPost + "Transfer-Encoding: gzip, chunked" + kChunkedBody,
                    "HTTP/1.1 501 Not Implemented"},
        FramingCase{"SpaceBeforeTheColon", kPost + "Transfer-Encoding :chunked" + kChunkedBody},
        FramingCase{"TabBeforeTheColon", kPost + "Transfer-Encoding\t: chunked" + kChunkedBody},
        FramingCase{"ControlCharacterInTheName", kPost + "Transfer-Encoding\x0B: chunked" + kChunkedBody},
        FramingCase{"FirstFieldIndented", "POST / HTTP/1.1\r\n Transfer-Encoding: chunked\r\nHost: x" + kChunkedBody},
        FramingCase{"LineWithoutAColon", kPost + "Transfer-Encoding chunked" + kChunkedBody},
        FramingCase{"BareCRInAValue", kPost + "X-A: 1\rTransfer-Encoding: chunked" + kChunkedBody},
        // RFC 9112 7.1: a chunk size is hexadecimal digits only, and chunked
        // framing ends its lines with CR LF alone.
        FramingCase{"ChunkSizeInBlanks", kChunkedHead + " 0 \r\n\r\n"},
        FramingCase{"NegativeZeroChunkSize", kChunkedHead + "-0\r\n\r\n"},
        FramingCase{"HexPrefixedChunkSize", kChunkedHead + "0x0\r\n\r\n"},
        FramingCase{"BareLFAfterTheChunkSize", kChunkedHead + "5\nhello\r\n0\r\n\r\n"},
        FramingCase{"BareLFAfterTheChunkData", kChunkedHead + "5\r\nhello\n0\r\n\r\n"},
        FramingCase{"BareLFAfterTheLastChunk", kChunkedHead + "0\n\r\n"},
        FramingCase{"BareLFEndingTheTrailer", kChunkedHead + "0\r\nX: 1\r\n\n"},
        FramingCase{"NulInAValue", kPost + std::string("X-A: 1\0Transfer-Encoding: chunked", 32) + kChunkedBody},
        FramingCase{"InvalidLength", kPost + "Content-Length: 5, 5\r\n\r\nhello"},
        FramingCase{"DifferingLengths", kPost + "Content-Length: 5\r\nContent-Length: 6\r\n\r\nhello"},
        FramingCase{"BadChunkSize", kChunkedHead + "zz\r\n"},
        FramingCase{"ChunkLongerThanItsSize", kChunkedHead + "2\r\nabc\r\n0\r\n\r\n"}),
    [](const ::testing::TestParamInfo<FramingCase>& info) { return info.param.name; });

struct AcceptedCodingCase {
  const char* name;
  std::string request;
  bool keepsConnection;
};

class AcceptedCodingTest : public HTTPServerTest, public ::testing::WithParamInterface<AcceptedCodingCase> {};

TEST_P(AcceptedCodingTest, ReadsTheChunkedBody) {
  server.SetKeepAlive(true);
  TestClient client = Connected();
  ASSERT_TRUE(client.Send(GetParam().request + "5\r\nhello\r\n0\r\n\r\n"));
  const std::string response = client.ReceiveUntil("</HTML>");
  EXPECT_TRUE(response.starts_with("HTTP/1.1 200 OK\r\n")) << response;
  EXPECT_EQ(Seen(0).body, "hello");
  EXPECT_TRUE(HasLine(response, GetParam().keepsConnection ? "Connection: keep-alive" : "Connection: close"));
  EXPECT_EQ(client.WaitClosed(300), !GetParam().keepsConnection);
}

INSTANTIATE_TEST_SUITE_P(
    Framing, AcceptedCodingTest,
    ::testing::Values(
        AcceptedCodingCase{"AnyCase", kPost + "Transfer-Encoding: ChUnKeD\r\n\r\n", true},
        AcceptedCodingCase{"WhiteSpaceAroundTheValue", kPost + "Transfer-Encoding:\t chunked \t\r\n\r\n", true},
        AcceptedCodingCase{"EmptyListElements", kPost + "Transfer-Encoding: ,chunked,\r\n\r\n", true},
        // RFC 9112 6.1: the framing of an HTTP/1.0 message with a transfer coding is faulty.
        AcceptedCodingCase{"Http10ClosesAfterItsAnswer",
                           "POST / HTTP/1.0\r\nConnection: keep-alive\r\nTransfer-Encoding: chunked\r\n\r\n", false}),
    [](const ::testing::TestParamInfo<AcceptedCodingCase>& info) { return info.param.name; });

TEST_F(HTTPServerTest, AnHttp11RequestNeedsExactlyOneHostField) {
  struct Case {
    const char* request;
    const char* status;
  };
  const Case cases[] = {
      {"GET http://example.com/c HTTP/1.1\r\n\r\n", "HTTP/1.1 400 Bad Request"},
      {"GET /c HTTP/1.1\r\nHost:\r\n\r\n", "HTTP/1.1 400 Bad Request"},
      {"GET /c HTTP/1.1\r\nHost: a\r\nHost: b\r\n\r\n", "HTTP/1.1 400 Bad Request"},
      {"GET http://example.com/c HTTP/1.1\r\nHost: example.com\r\n\r\n", "HTTP/1.1 200 OK"},
      {"GET http://example.com/c HTTP/1.0\r\n\r\n", "HTTP/1.1 200 OK"},
  };
  for (const auto& c : cases)
    EXPECT_TRUE(Exchange(c.request).starts_with(std::string(c.status) + "\r\n")) << c.request;
  EXPECT_EQ(SeenCount(), 2u);
}

// RFC 9112 6.3: a request without Content-Length or Transfer-Encoding has no body.
TEST_F(HTTPServerTest, APipelinedPostWithoutALengthHasNoBodyAndTheNextRequestIsServed) {
  server.SetKeepAlive(true);
  TestClient client = Connected();
  ASSERT_TRUE(client.Send("POST /a HTTP/1.1\r\nHost: x\r\n\r\nGET /b HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n"));
  const std::string responses = client.Receive(2000);
  EXPECT_TRUE(responses.starts_with("HTTP/1.1 200 OK\r\n")) << responses;
  ASSERT_EQ(SeenCount(), 2u) << responses;
  EXPECT_EQ(Seen(0).document, "/a");
  EXPECT_EQ(Seen(0).body, "");
  EXPECT_EQ(Seen(1).document, "/b");
}

struct HandlerFramingCase {
  friend void PrintTo(const HandlerFramingCase& c, std::ostream* os) { *os << c.name; }
  const char* name;
  bool stream;     // the body as a stream, else as content text
  std::string body;
  long long announced;  // the Content-Length the handler sets
  std::string sent;     // the body octets that go out
};

class HandlerFramingTest : public HTTPServerTest, public ::testing::WithParamInterface<HandlerFramingCase> {};

// A handler whose body does not match the Content-Length it set: exactly the
// announced octets go out (or all there are), the connection then closes, so
// nothing of this answer can pass for the start of the next one on a kept-alive
// connection, and the mismatch is reported.
TEST_P(HandlerFramingTest, SendsNoMoreThanAnnouncedThenClosesAndReports) {
  server.SetKeepAlive(true);
  std::mutex lock;
  std::vector<std::string> reported;
  server.OnException = [&](TIdContext*, const std::exception& e) {
    std::lock_guard guard(lock);
    reported.push_back(e.what());
  };
  handler = [](TIdContext*, TIdHTTPRequestInfo* rq, TIdHTTPResponseInfo* rs) {
    if (rq->Document() != "/buggy") {
      rs->SetContentText("next");
      return;
    }
    const std::string& body = GetParam().body;
    if (GetParam().stream)
      rs->SetContentStream(std::make_unique<TMemoryStream>(TIdBytes(body.begin(), body.end())));
    else
      rs->SetContentText(body);
    rs->SetContentLength(GetParam().announced);
  };
  TestClient client = Connected();
  ASSERT_TRUE(client.Send("GET /buggy HTTP/1.1\r\nHost: x\r\n\r\nGET /next HTTP/1.1\r\nHost: x\r\n\r\n"));
  const std::string response = client.Receive(3000);
  EXPECT_EQ(ContentLengthOf(response), GetParam().announced) << response;
  EXPECT_EQ(Body(response), GetParam().sent) << response;
  EXPECT_TRUE(client.WaitClosed(2000));
  EXPECT_EQ(SeenCount(), 1u);
  EXPECT_TRUE(test::WaitFor([&] {
    std::lock_guard guard(lock);
    return reported.size() == 1 && reported[0].find("Content-Length") != std::string::npos;
  }));
}

INSTANTIATE_TEST_SUITE_P(Mismatches, HandlerFramingTest,
                         ::testing::Values(HandlerFramingCase{"LongerText", false, "0123456789", 3, "012"},
                                           HandlerFramingCase{"ShorterText", false, "abc", 10, "abc"},
                                           HandlerFramingCase{"LongerStream", true, "0123456789", 3, "012"},
                                           HandlerFramingCase{"StreamAnnouncedEmpty", true, "0123456789", 0, ""},
                                           HandlerFramingCase{"ShorterStream", true, "abc", 10, "abc"}),
                         [](const auto& info) { return std::string(info.param.name); });

struct ErrorAnswerCase {
  const char* name;
  std::string request;
  int status;
};

class ErrorAnswerTest : public HTTPServerTest, public ::testing::WithParamInterface<ErrorAnswerCase> {};

// Every error answer sends the generated page its Content-Length announces, and closes.
TEST_P(ErrorAnswerTest, CarriesTheBodyItAnnounces) {
  server.SetMaximumBodySize(10);
  server.OnHeadersAvailable = [](TIdContext*, const std::string& uri, TIdHeaderList&, bool& go) { go = uri != "/blocked"; };
  const std::string response = Exchange(GetParam().request);
  const std::string status = std::to_string(GetParam().status);
  ASSERT_TRUE(response.starts_with("HTTP/1.1 " + status + " ")) << response;
  EXPECT_TRUE(HasLine(response, "Connection: close"));
  const std::string body = Body(response);
  EXPECT_EQ(ContentLengthOf(response), static_cast<long long>(body.size())) << response;
  EXPECT_TRUE(body.starts_with("<HTML><BODY><B>" + status + " ")) << body;
  EXPECT_EQ(SeenCount(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Statuses, ErrorAnswerTest,
    ::testing::Values(
        ErrorAnswerCase{"NoHost", "GET / HTTP/1.1\r\n\r\n", 400},
        ErrorAnswerCase{"UnknownCoding", kPost + "Transfer-Encoding: gzip\r\n\r\n", 400},
        ErrorAnswerCase{"NegativeLength", kPost + "Content-Length: -1\r\n\r\n", 400},
        ErrorAnswerCase{"HugeLength", kPost + "Content-Length: 99999999999999999999\r\n\r\n", 400},
        ErrorAnswerCase{"ExpectationFailed", "GET / HTTP/1.1\r\nHost: x\r\nExpect: something\r\n\r\n", 417},
        ErrorAnswerCase{"Blocked", "GET /blocked HTTP/1.1\r\nHost: x\r\n\r\n", 403},
        ErrorAnswerCase{"BodyTooLarge", kPost + "Content-Length: 11\r\n\r\nhello world", 413},
        ErrorAnswerCase{"RequestLineTooLong", "GET /" + std::string(17000, 'a') + " HTTP/1.1\r\nHost: x\r\n\r\n", 414},
        ErrorAnswerCase{"HeaderLineTooLong", kPost + "X-Big: " + std::string(17000, 'b') + "\r\n\r\n", 431}),
    [](const ::testing::TestParamInfo<ErrorAnswerCase>& info) { return info.param.name; });

// A line may hold MaxLineLength octets (16384 by default) before its LF, its CR included.
TEST_F(HTTPServerTest, LinesUpToTheLineLengthLimitAreRead) {
  const int limit = IdMaxLineLengthDefault;
  const std::string head = "GET /";
  const std::string tail = " HTTP/1.1";
  auto requestLine = [&](int length) { return head + std::string(length - head.size() - tail.size(), 'a') + tail; };
  EXPECT_TRUE(Exchange(requestLine(limit - 1) + "\r\nHost: x\r\n\r\n").starts_with("HTTP/1.1 200 OK\r\n"));
  EXPECT_TRUE(Exchange(requestLine(limit) + "\r\nHost: x\r\n\r\n").starts_with("HTTP/1.1 414 "));
  auto headerLine = [](int length) { return "X-Big: " + std::string(length - 7, 'b'); };
  EXPECT_TRUE(Exchange("GET / HTTP/1.1\r\nHost: x\r\n" + headerLine(limit - 1) + "\r\n\r\n").starts_with("HTTP/1.1 200 OK\r\n"));
  EXPECT_TRUE(Exchange("GET / HTTP/1.1\r\nHost: x\r\n" + headerLine(limit) + "\r\n\r\n").starts_with("HTTP/1.1 431 "));
  EXPECT_EQ(SeenCount(), 2u);
}

}  // namespace
}  // namespace zal
