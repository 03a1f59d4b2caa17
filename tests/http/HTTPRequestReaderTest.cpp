// The push reader of HTTP/1.1 requests: recorded requests give the same events
// whether they come whole, split at any offset or one octet at a time.
#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

#include "common/zalTestRequestTrace.h"

namespace zal {
namespace {

// Small limits, so that each is crossed by a short request.
TIdHTTPRequestLimits SmallLimits() {
  TIdHTTPRequestLimits limits;
  limits.MaxLineLength = 40;
  limits.MaxHeaderLines = 3;
  limits.MaxHeaderBlockSize = 60;
  limits.MaxBodySize = 16;
  return limits;
}

std::string Trace(const std::vector<std::string_view>& pieces) { return test::RequestReaderTrace(SmallLimits(), pieces); }

struct RecordedRequest {
  const char* name;
  std::string input;
  std::string trace;
};

void PrintTo(const RecordedRequest& request, std::ostream* out) { *out << request.name; }

class RequestReaderTest : public ::testing::TestWithParam<RecordedRequest> {};

TEST_P(RequestReaderTest, GivesTheSameEventsAtEverySplit) {
  const std::string& input = GetParam().input;
  EXPECT_EQ(Trace({input}), GetParam().trace);
  for (size_t at = 0; at <= input.size(); ++at)
    EXPECT_EQ(Trace({std::string_view(input).substr(0, at), std::string_view(input).substr(at)}), GetParam().trace)
        << "split at " << at;
  std::vector<std::string_view> octets;
  for (size_t at = 0; at < input.size(); ++at)
    octets.push_back(std::string_view(input).substr(at, 1));
  EXPECT_EQ(Trace(octets), GetParam().trace) << "one octet at a time";
}

const std::string kPost = "POST / HTTP/1.1\r\nHost: x\r\n";
const std::string kChunked = kPost + "Transfer-Encoding: chunked\r\n\r\n";
const std::string kChunkedHead = "head[POST / HTTP/1.1|Host: x|Transfer-Encoding: chunked] ";
// A request line of 40 octets before its LF, CR included: the longest allowed.
const std::string kLongestLine = "GET /" + std::string(25, 'a') + " HTTP/1.1\r\n";

INSTANTIATE_TEST_SUITE_P(
    Recorded, RequestReaderTest,
    ::testing::Values(
        RecordedRequest{"PipelinedPair", "GET /a HTTP/1.1\r\nHost: x\r\n\r\nGET /b HTTP/1.1\r\nHost: y\r\n\r\nGET",
                        "head[GET /a HTTP/1.1|Host: x] complete head[GET /b HTTP/1.1|Host: y] complete left 3"},
        RecordedRequest{"LengthBodyThenNext", kPost + "Content-Length: 5\r\n\r\nhelloGET /",
                        "head[POST / HTTP/1.1|Host: x|Content-Length: 5] body[hello] complete left 5"},
        RecordedRequest{"BareLineFeeds", "GET / HTTP/1.1\nHost: x\n\n", "head[GET / HTTP/1.1|Host: x] complete left 0"},
        RecordedRequest{"ObsFoldKeptAsReceived", "GET / HTTP/1.0\r\nX-A: 1\r\n 2\r\n\r\n",
                        "head[GET / HTTP/1.0|X-A: 1| 2] complete left 0"},
        RecordedRequest{"ChunkedWithExtensionsAndTrailer",
                        kChunked + "5;e=1\r\nhello\r\n3 ; a=b\r\nabc\r\n0\r\nX-T: 1\r\n\r\nG",
                        kChunkedHead + "body[helloabc] complete left 1"},
        RecordedRequest{"Incomplete", kPost + "Content-Length: 9\r\n\r\nabc",
                        "head[POST / HTTP/1.1|Host: x|Content-Length: 9] body[abc] left 0"},
        RecordedRequest{"LongestRequestLine", kLongestLine + "\r\n", "head[" + kLongestLine.substr(0, 39) + "] complete left 0"},
        RecordedRequest{"RequestLineTooLong", "GET /" + std::string(27, 'a') + " HTTP/1.1\r\n", "refused 414"},
        RecordedRequest{"RequestLineUnended", std::string(41, 'a'), "refused 414"},
        RecordedRequest{"NoSpace", "GARBAGE\r\n", "unparsable refused 400"},
        RecordedRequest{"EmptyFirstLine", "\r\nGET / HTTP/1.1\r\n\r\n", "unparsable refused 400"},
        RecordedRequest{"TwoSpaces", "GET  / HTTP/1.1\r\n", "refused 400"},
        RecordedRequest{"MajorVersion2", "GET / HTTP/2.0\r\n", "refused 505"},
        RecordedRequest{"ThreeFieldLines", "GET / HTTP/1.1\r\nA: 1\r\nB: 2\r\nC: 3\r\n\r\n",
                        "head[GET / HTTP/1.1|A: 1|B: 2|C: 3] complete left 0"},
        RecordedRequest{"FourFieldLines", "GET / HTTP/1.1\r\nA: 1\r\nB: 2\r\nC: 3\r\nD: 4\r\n\r\n", "refused 431"},
        RecordedRequest{"HeadOf60Octets", "GET / HTTP/1.1\r\nA: " + std::string(25, 'a') + "\r\nB: " + std::string(25, 'b') + "\r\n\r\n",
                        "head[GET / HTTP/1.1|A: " + std::string(25, 'a') + "|B: " + std::string(25, 'b') + "] complete left 0"},
        RecordedRequest{"HeadOf61Octets", "GET / HTTP/1.1\r\nA: " + std::string(26, 'a') + "\r\nB: " + std::string(25, 'b') + "\r\n\r\n",
                        "refused 431"},
        RecordedRequest{"FieldLineTooLong", "GET / HTTP/1.1\r\nA: " + std::string(40, 'a') + "\r\n", "refused 431"},
        RecordedRequest{"SpaceBeforeColon", "GET / HTTP/1.1\r\nHost : x\r\n\r\n", "refused 400"},
        RecordedRequest{"LengthAndChunked", kPost + "Content-Length: 1\r\nTransfer-Encoding: chunked\r\n\r\n",
                        "head[POST / HTTP/1.1|Host: x|Content-Length: 1|Transfer-Encoding: chunked] refused 400"},
        RecordedRequest{"UnknownCoding", kPost + "Transfer-Encoding: gzip, chunked\r\n\r\n",
                        "head[POST / HTTP/1.1|Host: x|Transfer-Encoding: gzip, chunked] refused 501"},
        RecordedRequest{"LengthAtMaximum", kPost + "Content-Length: 16\r\n\r\n" + std::string(16, 'z'),
                        "head[POST / HTTP/1.1|Host: x|Content-Length: 16] body[" + std::string(16, 'z') + "] complete left 0"},
        RecordedRequest{"LengthAboveMaximum", kPost + "Content-Length: 17\r\n\r\n",
                        "head[POST / HTTP/1.1|Host: x|Content-Length: 17] refused 413"},
        RecordedRequest{"ChunksAtMaximum", kChunked + "a\r\n0123456789\r\n6\r\nabcdef\r\n0\r\n\r\n",
                        kChunkedHead + "body[0123456789abcdef] complete left 0"},
        RecordedRequest{"ChunksAboveMaximum", kChunked + "a\r\n0123456789\r\n7\r\n", kChunkedHead + "body[0123456789] refused 413"},
        RecordedRequest{"ChunkSizeWithPrefix", kChunked + "0x5\r\nhello\r\n", kChunkedHead + "refused 400"},
        RecordedRequest{"ChunkSizeBareLineFeed", kChunked + "5\nhello\r\n0\r\n\r\n", kChunkedHead + "refused 400"},
        RecordedRequest{"ChunkDataOverrun", kChunked + "5\r\nhelloX\r\n", kChunkedHead + "body[hello] refused 400"},
        RecordedRequest{"ChunkSizeLineTooLong", kChunked + "5;" + std::string(40, 'e') + "\r\n", kChunkedHead + "refused 400"},
        RecordedRequest{"TrailerTooManyLines", kChunked + "0\r\nA: 1\r\nB: 2\r\nC: 3\r\nD: 4\r\n\r\n",
                        kChunkedHead + "refused 431"},
        RecordedRequest{"TrailerBareCarriageReturn", kChunked + "0\r\nA: 1\r2\r\n\r\n", kChunkedHead + "refused 400"}),
    [](const ::testing::TestParamInfo<RecordedRequest>& info) { return info.param.name; });

}  // namespace
}  // namespace zal
