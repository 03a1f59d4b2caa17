// The load-balancer link's octets: the message envelope it publishes and the
// Redis replies it reads, fed in every split a socket could produce.
#include <gtest/gtest.h>
#include <hiredis/hiredis.h>

#include <string>
#include <vector>

#include "server/zalRedis_Session.h"
#include "server/zalWebSocket_LoadBalancerMessage.h"

namespace zal {
namespace {

TzalLoadBalancerMessage SampleMessage() {
  TzalLoadBalancerMessage message;
  message.Origin = "0123456789ABCDEF0123456789ABCDEF";
  message.Kind = lbmWriteBinary;
  message.Channel = "news,sport";
  message.Protocol = "chat";
  message.Exclude = "A,B";
  message.Include = "C";
  message.Guid = "FEDCBA9876543210FEDCBA9876543210";
  message.Size = 4096;
  message.Streaming = stmContinueAndLast;
  message.Body = std::string("octets\0:with 12:colons\r\n", 24);
  return message;
}

TEST(LoadBalancerMessage, EveryFieldSurvivesEncoding) {
  const TzalLoadBalancerMessage sent = SampleMessage();
  TzalLoadBalancerMessage got;
  ASSERT_TRUE(DecodeLoadBalancerMessage(EncodeLoadBalancerMessage(sent), got));
  EXPECT_EQ(got.Origin, sent.Origin);
  EXPECT_EQ(got.Kind, sent.Kind);
  EXPECT_EQ(got.Channel, sent.Channel);
  EXPECT_EQ(got.Protocol, sent.Protocol);
  EXPECT_EQ(got.Exclude, sent.Exclude);
  EXPECT_EQ(got.Include, sent.Include);
  EXPECT_EQ(got.Guid, sent.Guid);
  EXPECT_EQ(got.Size, sent.Size);
  EXPECT_EQ(got.Streaming, sent.Streaming);
  EXPECT_EQ(got.Body, sent.Body);
}

// Every prefix of a valid message, and every kind of damage, is refused.
TEST(LoadBalancerMessage, TruncatedOrDamagedEnvelopesAreRefused) {
  const std::string valid = EncodeLoadBalancerMessage(SampleMessage());
  TzalLoadBalancerMessage got;
  for (size_t length = 0; length < valid.size(); ++length)
    EXPECT_FALSE(DecodeLoadBalancerMessage(valid.substr(0, length), got)) << length;
  const std::string tail = valid.substr(4 + 35);  // after the magic and the origin field
  const std::vector<std::string> damaged = {
      valid + "x",                                         // trailing octets
      "ZLB2" + valid.substr(4),                            // unknown version
      "ZLB1" + std::string("99999999999:x") + tail,        // length prefix too long
      "ZLB1" + std::string("-1:") + tail,                  // negative length
      "ZLB1" + std::string(":") + tail,                    // empty length
      "ZLB132:0123456789ABCDEF0123456789ABCDEF1:9" + valid.substr(4 + 35 + 3),  // kind out of range
  };
  for (const std::string& input : damaged)
    EXPECT_FALSE(DecodeLoadBalancerMessage(input, got)) << input;
}

// A subscription confirmation and two published messages, as Redis sends them.
std::string SubscriberTraffic() {
  const std::string payload = EncodeLoadBalancerMessage(SampleMessage());
  return "*3\r\n$9\r\nsubscribe\r\n$13\r\nzalWebSockets\r\n:1\r\n"
         "*3\r\n$7\r\nmessage\r\n$13\r\nzalWebSockets\r\n$" +
         std::to_string(payload.size()) + "\r\n" + payload +
         "\r\n"
         "*3\r\n$7\r\nmessage\r\n$13\r\nzalWebSockets\r\n$2\r\nhi\r\n";
}

std::vector<std::string> FeedInPieces(TzalRedisSession& session, const std::string& octets, size_t cut) {
  std::vector<std::string> replies;
  auto record = [&](const redisReply& reply) {
    const redisReply& last = *reply.element[reply.elements - 1];
    replies.push_back(last.type == REDIS_REPLY_INTEGER ? std::to_string(last.integer)
                                                       : std::string(last.str, last.len));
  };
  session.Feed(std::string_view(octets).substr(0, cut), record);
  session.Feed(std::string_view(octets).substr(cut), record);
  return replies;
}

TEST(RedisSession, RepliesSplitAtEveryOffsetComeOutWholeAndInOrder) {
  const std::string octets = SubscriberTraffic();
  const std::vector<std::string> expected = {"1", EncodeLoadBalancerMessage(SampleMessage()), "hi"};
  for (size_t cut = 0; cut <= octets.size(); ++cut) {
    TzalRedisSession session(1 << 20);
    EXPECT_EQ(FeedInPieces(session, octets, cut), expected) << "cut at " << cut;
    EXPECT_EQ(session.PendingOctets(), 0u);
  }
  TzalRedisSession oneByOne(1 << 20);
  int replies = 0;
  for (char octet : octets)
    oneByOne.Feed(std::string_view(&octet, 1), [&](const redisReply&) { ++replies; });
  EXPECT_EQ(replies, 3);
}

TEST(RedisSession, CommandsAreRESPArraysOfBulkStrings) {
  TzalRedisSession session(1024);
  session.Command({"PUBLISH", "ch", std::string_view("a\0b", 3)});
  session.Command({"PING"});
  const char expected[] = "*3\r\n$7\r\nPUBLISH\r\n$2\r\nch\r\n$3\r\na\0b\r\n*1\r\n$4\r\nPING\r\n";
  EXPECT_EQ(session.Output(), std::string(expected, sizeof expected - 1));
}

TEST(RedisSession, OctetsThatAreNoRESPRaise) {
  TzalRedisSession session(1024);
  EXPECT_THROW(session.Feed("HTTP/1.1 200 OK\r\n", [](const redisReply&) {}), EzalRedisProtocol);
}

// An unfinished reply may hold exactly the bound; one octet more ends the session.
TEST(RedisSession, UnfinishedReplyIsBoundedJustBelowAndAbove) {
  const std::string header = "$100000\r\n";
  for (size_t extra : {0, 1}) {
    const size_t bound = 60000;
    TzalRedisSession session(bound);
    const std::string octets = header + std::string(bound - header.size() + extra, 'x');
    if (extra == 0)
      EXPECT_NO_THROW(session.Feed(octets, [](const redisReply&) {}));
    else
      EXPECT_THROW(session.Feed(octets, [](const redisReply&) {}), EzalRedisProtocol);
  }
}

// An array header makes the reader allocate a slot per announced element: a
// count that no reply within the bound could complete (3 octets an element at
// the least) is refused before anything is allocated.
TEST(RedisSession, AnArrayLargerThanTheBoundCouldHoldIsRefusedAtItsHeader) {
  const size_t bound = 3000;
  for (const size_t elements : {bound / 3 + 1, bound / 3 + 2, size_t{1111111112}}) {
    TzalRedisSession session(bound);
    const std::string header = "*" + std::to_string(elements) + "\r\n";
    if (elements <= bound / 3 + 1) {
      EXPECT_NO_THROW(session.Feed(header + "+\r\n", [](const redisReply&) {}));
      continue;
    }
    try {
      session.Feed(header, [](const redisReply&) {});
      ADD_FAILURE() << elements << " elements were accepted";
    } catch (const EzalRedisProtocol& e) {
      EXPECT_EQ(std::string(e.what()), "Redis reply announces " + std::to_string(elements) +
                                           " elements, more than the load balancer's MaxQueuedBytes can hold.");
    }
  }
}

}  // namespace
}  // namespace zal
