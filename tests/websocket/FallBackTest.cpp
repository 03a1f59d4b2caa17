// The wire texts of the fallback transports: one server-sent event per write,
// the Flash policy answer, and the targets of the posts that carry messages.
#include "websocket/zalWebSocket_FallBack.h"

#include <gtest/gtest.h>

#include "common/zalTestEventStream.h"

namespace zal {
namespace {

using test::kEventStreamHeader;


struct EventCase {
  const char* name;
  std::string text;
  std::string lines;  // what follows the header block, before the dispatching empty line
};

class SSEEvent : public ::testing::TestWithParam<EventCase> {};

TEST_P(SSEEvent, IsTheHeaderBlockTheEventAndTheEmptyLineThatDispatchesIt) {
  EXPECT_EQ(SSEEventText(GetParam().text), kEventStreamHeader + GetParam().lines + "\r\n");
}

INSTANTIATE_TEST_SUITE_P(
    Texts, SSEEvent,
    ::testing::Values(EventCase{"PlainTextIsData", "hello", "data: hello\r\n"},
                      EventCase{"FieldsAreWrittenUnchanged", "event: x", "event: x\r\n"},
                      EventCase{"Retry", "retry: 3000000", "retry: 3000000\r\n"},
                      EventCase{"Id", "id:7", "id:7\r\n"},
                      EventCase{"DataField", "data:x", "data:x\r\n"},
                      EventCase{"FieldNamesIgnoreLetterCase", "DATA: x", "DATA: x\r\n"},
                      EventCase{"ANameWithoutColonIsData", "data x", "data: data x\r\n"},
                      EventCase{"AFieldNameInsideIsData", "my id: 3", "data: my id: 3\r\n"},
                      EventCase{"PingIsANamedEvent", "event: Ping\ndata: 1", "event: Ping\ndata: 1\r\n"},
                      EventCase{"UTF8StaysAsItIs", "gr\xC3\xBC\xC3\x9F" "e \xE2\x9C\x93", "data: gr\xC3\xBC\xC3\x9F" "e \xE2\x9C\x93\r\n"},
                      EventCase{"EveryLineOfATextIsData", "a\r\nb\nc\rd", "data: a\r\ndata: b\r\ndata: c\r\ndata: d\r\n"},
                      EventCase{"ATrailingLineBreakKeepsItsEmptyLine", "a\n", "data: a\r\ndata: \r\n"},
                      EventCase{"EmptyTextIsEmptyData", "", "data: \r\n"}),
    [](const auto& info) { return info.param.name; });

TEST(FlashPolicy, NamesDomainAndPortsThenAZeroOctetAndCRLF) {
  EXPECT_EQ(FlashPolicyText("*", "5450"),
            std::string("<cross-domain-policy><allow-access-from domain=\"*\" to-ports=\"5450\" />"
                        "</cross-domain-policy>\0\r\n",
                        94));
}

struct PostTargetCase {
  const char* target;
  const char* name;
  const char* rest;
};

class ProtocolPost : public ::testing::TestWithParam<PostTargetCase> {};

TEST_P(ProtocolPost, SplitsTheNameFromTheRest) {
  const TzalProtocolPostTarget target = ProtocolPostTarget(GetParam().target);
  EXPECT_EQ(target.Name, GetParam().name);
  EXPECT_EQ(target.Rest, GetParam().rest);
}

INSTANTIATE_TEST_SUITE_P(Targets, ProtocolPost,
                         ::testing::Values(PostTargetCase{"/zal/protocol/chat", "chat", ""},
                                           PostTargetCase{"/zal/protocol/chat/", "chat", ""},
                                           PostTargetCase{"/zal/protocol/chat/a/b", "chat", "a/b"},
                                           PostTargetCase{"/zal/protocol//a", "", "a"},
                                           PostTargetCase{"/zal/protocol/", "", ""}));

TEST(LongPollingPost, TheKeyIsTheTargetWithoutItsPrefix) {
  EXPECT_EQ(LongPollingKey("/zal/xhr/0123ABCD"), "0123ABCD");
  EXPECT_EQ(LongPollingKey("/zal/xhr/"), "");
  EXPECT_EQ(LongPollingKey("/zal/xhr/A/zal/xhr/B"), "AB");
}

TEST(RequestHeaders, TheFirstLineOfTheNameGivesTheValue) {
  const std::string lines[] = {"POST /zal/xhr/1 HTTP/1.1", "content-length:  12 ", "Content-Length: 13"};
  bool found = false;
  EXPECT_EQ(HeaderValue(lines, "Content-Length", found), "12");
  EXPECT_TRUE(found);
  EXPECT_EQ(HeaderValue(lines, "Host", found), "");
  EXPECT_FALSE(found);
}

}  // namespace
}  // namespace zal
