// The wire texts of the fallback transports: one server-sent event per write,
// the Flash policy answer, and the targets of the posts that carry messages.
#include "websocket/zalWebSocket_FallBack.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

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

// The fields an event-stream client reads from one event (WHATWG HTML 9.2.6):
// name and value per line, the value without the one space after the colon.
std::vector<std::pair<std::string, std::string>> FieldsRead(const std::string& event) {
  std::vector<std::pair<std::string, std::string>> fields;
  std::string_view rest(event);
  rest.remove_prefix(kEventStreamHeader.size());
  while (!rest.empty()) {
    const size_t end = rest.find_first_of("\r\n");
    const std::string_view line = rest.substr(0, end);
    rest.remove_prefix(std::min(rest.size(), end + (rest.compare(end, 2, "\r\n") == 0 ? 2 : 1)));
    if (line.empty())
      break;
    const size_t colon = line.find(':');
    std::string_view value = colon == std::string_view::npos ? "" : line.substr(colon + 1);
    if (value.starts_with(' '))
      value.remove_prefix(1);
    fields.emplace_back(line.substr(0, colon), value);
  }
  return fields;
}

class SSEDataOnly : public ::testing::TestWithParam<std::string> {};

// A text sent as data reaches the page as that text, and as nothing else.
TEST_P(SSEDataOnly, EveryLineIsDataAndTheTextComesBackWhole) {
  std::string data;  // the values joined by LF, as the page's data buffer (9.2.6)
  bool first = true;
  for (const auto& [name, value] : FieldsRead(SSEEventText(SSEDataFields(GetParam())))) {
    EXPECT_EQ(name, "data") << GetParam();
    data += (first ? "" : "\n") + value;
    first = false;
  }
  std::string expected = GetParam();
  for (const char* lineEnd : {"\r\n", "\r"})
    for (size_t at; (at = expected.find(lineEnd)) != std::string::npos;)
      expected.replace(at, std::string_view(lineEnd).size(), "\n");
  EXPECT_EQ(data, expected);
}

INSTANTIATE_TEST_SUITE_P(Forgeries, SSEDataOnly,
                         ::testing::Values("data: forged", "retry: 86400000", "id: 42", "event: Ping",
                                           "hello\nevent: Ping\ndata: p", "x\rretry: 1", "a\r\nid: 7\r\n", "",
                                           "plain"));

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
