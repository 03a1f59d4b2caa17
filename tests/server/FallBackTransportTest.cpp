// The fallback transports inside the running component, against real peers:
// server-sent events (curl, Chromium's EventSource through the built-in
// script), the long-polling posts that carry the browser's messages, and the
// Flash policy answer.
#include <gtest/gtest.h>

#include <mutex>
#include <thread>

#include "common/zalTestEventStream.h"
#include "common/zalTestProcess.h"
#include "common/zalTestRecorder.h"
#include "common/zalTestSocket.h"
#include "common/zalTestTLS.h"
#include "server/zalWebSocket_Server.h"

namespace zal {
namespace {

using test::kEventStreamHeader;
using test::RunCommand;
using test::TestClient;
using test::WaitFor;

const std::string kEventStreamRequest = "GET /events HTTP/1.1\r\nHost: x\r\nAccept: text/event-stream\r\n\r\n";

class FallBackTransports : public ::testing::Test {
protected:
  void SetUp() override {
    test::ListenOnLoopback(server);
    server.FallBack().ServerSentEvents.Enabled = true;
    server.OnConnect = [this](TzalWSConnection* connection) {
      guids.Add(connection->Guid());
    };
    server.OnDisconnect = [this](TzalWSConnection*, int) { ++disconnects; };
    server.OnMessage = [this](TzalWSConnection* connection, const std::string& text) {
      messages.Add(connection->Guid() + " " + text);
      connection->WriteData(text);
    };
    server.OnError = [this](TzalWSConnection*, const std::string& error) {
      errors.Add(error);
    };
  }
  void TearDown() override { server.SetActive(false); }

  std::string Origin() {
    return "http://127.0.0.1:" + std::to_string(test::ActivePort(server));
  }
  // The key of a new event-stream connection, once it is announced.
  std::string OpenEventStream(TestClient& client) {
    EXPECT_TRUE(client.Connect("127.0.0.1", test::ActivePort(server)));
    const size_t before = guids.Count();
    EXPECT_TRUE(client.Send(kEventStreamRequest));
    EXPECT_TRUE(guids.WaitForCount(before + 1));
    return guids.Last();
  }

  test::TestRecorder<std::string> guids, messages, errors;
  TzalWebSocketHTTPServer server;
  std::atomic<int> disconnects{0};
};

// curl reads the stream until its time limit: the opening events, a message the
// application sends, a ping as a named event; a binary message is refused
// through OnError. When curl goes away the connection is released.
TEST_F(FallBackTransports, CurlSeesTheOpeningEventsThenWhatTheApplicationSends) {
  const std::string url = Origin() + "/events";
  test::CommandResult curl;
  std::thread reader([&] {
    curl = RunCommand("curl -s -i -N --max-time 3 -H 'Accept: text/event-stream' '" + url + "'", 10);
  });
  ASSERT_TRUE(WaitFor([&] { return guids.Items().size() == 1; }, 5000));
  const std::string guid = guids.Items()[0];
  EXPECT_TRUE(server.WriteData(guid, "hello"));
  TMemoryStream binary;
  binary.WriteBuffer("\x01\x02", 2);
  EXPECT_TRUE(server.WriteData(guid, binary));
  server.Ping("beat");
  reader.join();
  const std::string block = kEventStreamHeader;
  EXPECT_EQ(curl.Output, block + "retry: 3000000\r\n\r\n" + block + "data: " + guid + "\r\n\r\n" + block + "data: " +
                             guid + "\r\n\r\n" + block + "data: hello\r\n\r\n" + block + "event: Ping\ndata: beat\r\n\r\n");
  EXPECT_EQ(errors.Items(), std::vector<std::string>{"Binary messages cannot be sent over server-sent events"});
  EXPECT_TRUE(WaitFor([&] { return server.ConnectionCount() == 0 && disconnects == 1; }));
}

// Over TLS the stream and the posts work alike: the echo of a post reaches the
// stream.
TEST_F(FallBackTransports, AnEventStreamAndItsPostsOverTLS) {
  test::TestCertificate certificate;
  server.SetSSL(true);
  server.SSLOptions().CertFile = certificate.File();
  server.SSLOptions().KeyFile = certificate.File();
  server.SSLOptions().Password = "kfx.pem";
  const std::string origin = "https://127.0.0.1:" + std::to_string(test::ActivePort(server));
  test::CommandResult stream;
  std::thread reader([&] {
    stream = RunCommand("curl -s -k -N --max-time 3 -H 'Accept: text/event-stream' " + origin + "/events", 10);
  });
  ASSERT_TRUE(WaitFor([&] { return guids.Items().size() == 1; }, 5000));
  const auto post = RunCommand("curl -s -k -i --max-time 5 --data-binary 'over tls' " + origin + "/zal/xhr/" + guids.Items()[0]);
  reader.join();
  EXPECT_TRUE(post.Output.starts_with("HTTP/1.1 200 OK\r\n")) << post.Output;
  EXPECT_TRUE(stream.Output.ends_with(kEventStreamHeader + "data: over tls\r\n\r\n")) << stream.Output;
}

TEST_F(FallBackTransports, TheRetryEventCarriesTheOptionInMilliseconds) {
  server.FallBack().ServerSentEvents.Retry = 7;
  TestClient client;
  OpenEventStream(client);
  EXPECT_TRUE(client.ReceiveUntil("retry: 7000\r\n\r\n").starts_with(kEventStreamHeader + "retry: 7000\r\n\r\n"));
}

// With send queues the stream's own thread sends what other threads queued.
TEST_F(FallBackTransports, QueuedMessagesReachAnEventStream) {
  server.QueueOptions().Text.Level = qmLevel1;
  TestClient client;
  const std::string guid = OpenEventStream(client);
  EXPECT_TRUE(server.WriteData(guid, "queued"));
  EXPECT_NE(client.ReceiveUntil("data: queued\r\n\r\n").find("data: queued\r\n\r\n"), std::string::npos);
}

TEST_F(FallBackTransports, EventStreamsAreDroppedWithoutAnAnswerWhenSwitchedOff) {
  server.FallBack().ServerSentEvents.Enabled = false;
  TestClient client = test::ConnectedTo(server);
  ASSERT_TRUE(client.Send(kEventStreamRequest));
  EXPECT_TRUE(client.WaitClosed());
  EXPECT_EQ(client.Receive(50), "");
  EXPECT_TRUE(guids.Items().empty());
}

// An idle stream costs next to no CPU; the application closing it ends it on
// its own thread.
TEST_F(FallBackTransports, AnIdleEventStreamWaitsQuietlyAndIsReleasedWhenTheApplicationClosesIt) {
  TestClient client;
  const std::string guid = OpenEventStream(client);
  const double before = test::ProcessCpuSeconds();
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_LT(test::ProcessCpuSeconds() - before, 0.05);
  server.GetConnectionByGuid(guid)->Close();
  EXPECT_TRUE(client.WaitClosed());
  EXPECT_TRUE(WaitFor([&] { return server.ConnectionCount() == 0 && disconnects == 1; }));
}

// Headless Chromium without WebSocket: the built-in client takes the first
// event as its key, posts each text to /zal/xhr/<key> and gets the echo once.
TEST_F(FallBackTransports, ChromiumFallsBackToEventSourceAndGetsEachEchoOnceInOrder) {
  const auto result = RunCommand("node " + test::PeerScript("sse_page.mjs") + " " + Origin() +
                                     "/zalWebSockets.html one two 'gr\xC3\xBC\xC3\x9F" "e \xE2\x9C\x93' four",
                                 90);
  EXPECT_EQ(result.Output, "{\"received\":[\"one\",\"two\",\"gr\xC3\xBC\xC3\x9F" "e \xE2\x9C\x93\",\"four\"],"
                           "\"websocket\":\"undefined\"}\n");
  ASSERT_EQ(guids.Items().size(), 1u);
  EXPECT_EQ(messages.Items().size(), 4u);
  for (const std::string& message : messages.Items())
    EXPECT_TRUE(message.starts_with(guids.Items()[0] + " ")) << message;
}

// A message posted to one stream's key reaches OnMessage of that connection,
// and its echo goes out on that stream alone.
TEST_F(FallBackTransports, APostedMessageReachesTheConnectionOfItsKey) {
  TestClient first, second;
  OpenEventStream(first);
  const std::string key = OpenEventStream(second);
  const auto post = RunCommand("curl -s -i --max-time 10 --data-binary 'hello two' " + Origin() + "/zal/xhr/" + key);
  EXPECT_TRUE(post.Output.starts_with("HTTP/1.1 200 OK\r\n")) << post.Output;
  EXPECT_TRUE(messages.WaitForCount(1));  // raised by the stream's own thread
  EXPECT_EQ(messages.Items(), std::vector<std::string>{key + " hello two"});
  EXPECT_NE(second.ReceiveUntil("data: hello two\r\n\r\n").find("data: hello two\r\n\r\n"), std::string::npos);
  EXPECT_EQ(first.ReceiveUntil("data: hello two", 200).find("hello two"), std::string::npos);
}

// A post that comes as a request of a kept-alive HTTP/1.1 connection or of an
// HTTP/2 stream reaches its event stream as well.
TEST_F(FallBackTransports, APostOnAKeptAliveConnectionOrAnHTTP2StreamIsDelivered) {
  server.SetKeepAlive(true);
  server.HTTP2Options().Enabled = true;
  server.OnCommandGet = [](TIdContext*, TIdHTTPRequestInfo*, TIdHTTPResponseInfo* rs) { rs->SetContentText("page"); };
  TestClient stream;
  const std::string key = OpenEventStream(stream);
  TestClient client = test::ConnectedTo(server);
  ASSERT_TRUE(client.Send("GET /page HTTP/1.1\r\nHost: x\r\n\r\n"));
  ASSERT_NE(client.ReceiveUntil("page").find("page"), std::string::npos);
  ASSERT_TRUE(client.Send("POST /zal/xhr/" + key +
                          " HTTP/1.1\r\nHost: x\r\nContent-Type: text/plain\r\nContent-Length: 4\r\n\r\nkept"));
  EXPECT_TRUE(client.ReceiveUntil("\r\n\r\n").starts_with("HTTP/1.1 200 OK\r\n"));
  const std::string curl = "curl -s -o /dev/null -w '%{http_code} %{http_version} ' --http2-prior-knowledge "
                           "-H 'Content-Type: text/plain' --data-binary 'over h2' " + Origin() + "/zal/xhr/";
  EXPECT_EQ(RunCommand(curl + key + "; " + curl + "0123456789ABCDEF0123456789ABCDEF").Output, "200 2 404 2 ");
  EXPECT_TRUE(messages.WaitForCount(2));
  EXPECT_EQ(messages.Items(), (std::vector<std::string>{key + " kept", key + " over h2"}));
  EXPECT_NE(stream.ReceiveUntil("data: over h2\r\n").find("data: kept\r\n"), std::string::npos);
}

struct PostCase {
  const char* name;
  std::string target;   // "{key}" stands for the open stream's key
  std::string headers;  // after the request line, each ended by CR LF
  std::string body;
  std::string status;   // the answer's status line; empty: no answer
  std::string error;    // what reaches OnError, if anything
};

class LongPollingPosts : public FallBackTransports, public ::testing::WithParamInterface<PostCase> {};

// Options.MaxMessageSize is 8 here.
TEST_P(LongPollingPosts, AreDeliveredOrAnswered) {
  const PostCase& c = GetParam();
  server.Options().MaxMessageSize = 8;
  TestClient stream;
  const std::string key = OpenEventStream(stream);
  std::string target = c.target;
  if (const size_t at = target.find("{key}"); at != std::string::npos)
    target.replace(at, 5, key);
  TestClient client = test::ConnectedTo(server);
  ASSERT_TRUE(client.Send("POST " + target + " HTTP/1.1\r\nHost: x\r\n" + c.headers + "\r\n" + c.body));
  const std::string answer = client.Receive(3000);
  EXPECT_EQ(answer.substr(0, answer.find("\r\n")), c.status) << answer;
  client.Close();  // ends the server's lingering after a refusal
  EXPECT_TRUE(WaitFor([&] { return server.ConnectionCount() == 1; }));  // the post's connection is released
  const bool delivered = c.status == "HTTP/1.1 200 OK";
  EXPECT_TRUE(!delivered || messages.WaitForCount(1));  // raised by the stream's own thread
  EXPECT_EQ(messages.Items(), delivered ? std::vector<std::string>{key + " " + c.body} : std::vector<std::string>{});
  EXPECT_EQ(errors.Items(), c.error.empty() ? std::vector<std::string>{} : std::vector<std::string>{c.error});
}

// Posts from several clients at once to one stream: its OnMessage runs on the
// stream's own thread, one message at a time, each client's in its order.
TEST_F(FallBackTransports, PostsFromManyClientsRaiseTheStreamsEventsOnItsThreadInOrder) {
  constexpr int kPosters = 4, kPosts = 25;
  std::thread::id streamThread;
  std::atomic<int> running{0}, overlaps{0}, foreign{0};
  server.OnConnect = [&](TzalWSConnection* connection) {
    streamThread = std::this_thread::get_id();
    guids.Add(connection->Guid());
  };
  server.OnMessage = [&](TzalWSConnection*, const std::string& text) {
    if (++running > 1)
      ++overlaps;
    if (std::this_thread::get_id() != streamThread)
      ++foreign;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    --running;
    messages.Add(text);  // last: the test may end once it has counted every message
  };
  TestClient stream;
  const std::string key = OpenEventStream(stream);
  std::vector<std::thread> posters;
  for (int p = 0; p < kPosters; ++p)
    posters.emplace_back([&, p] {
      for (int i = 0; i < kPosts; ++i) {
        TestClient client = test::ConnectedTo(server);  // a post's connection ends with its answer
        const std::string body = std::to_string(p) + ":" + std::to_string(i);
        client.Send("POST /zal/xhr/" + key + " HTTP/1.1\r\nHost: x\r\nContent-Length: " + std::to_string(body.size()) +
                    "\r\n\r\n" + body);
        client.ReceiveUntil("\r\n\r\n");
      }
    });
  for (auto& poster : posters)
    poster.join();
  ASSERT_TRUE(messages.WaitForCount(kPosters * kPosts, 5000)) << messages.Count();
  EXPECT_EQ(overlaps.load(), 0);
  EXPECT_EQ(foreign.load(), 0);
  std::vector<int> next(kPosters, 0);
  for (const std::string& text : messages.Items()) {
    const int p = std::stoi(text.substr(0, text.find(':')));
    EXPECT_EQ(text, std::to_string(p) + ":" + std::to_string(next[p]++));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LongPollingPosts,
    ::testing::Values(
        PostCase{"BodyAtTheLimit", "/zal/xhr/{key}", "Content-Length: 8\r\n", "12345678", "HTTP/1.1 200 OK", ""},
        PostCase{"BodyAboveTheLimit", "/zal/xhr/{key}", "Content-Length: 9\r\n", "123456789",
                 "HTTP/1.1 413 Request Entity Too Long", ""},
        PostCase{"UnknownKey", "/zal/xhr/0123456789ABCDEF0123456789ABCDEF", "Content-Length: 2\r\n", "hi",
                 "HTTP/1.1 404 Not Found", ""},
        PostCase{"NoKey", "/zal/xhr/", "Content-Length: 2\r\n", "hi", "HTTP/1.1 404 Not Found", ""},
        PostCase{"NoLength", "/zal/xhr/{key}", "", "hi", "HTTP/1.1 411 Length Required",
                 "'' is not a valid integer value"},
        PostCase{"LengthNotANumber", "/zal/xhr/{key}", "Content-Length: 2x\r\n", "hi", "HTTP/1.1 400 Bad Request",
                 "'2x' is not a valid integer value"},
        PostCase{"NegativeLength", "/zal/xhr/{key}", "Content-Length: -2\r\n", "hi", "HTTP/1.1 400 Bad Request", ""},
        PostCase{"EmptyBodyIsDroppedUnanswered", "/zal/xhr/{key}", "Content-Length: 0\r\n", "", "", ""}),
    [](const auto& info) { return info.param.name; });

// A refused post whose large body is still arriving: the answer is not lost to
// a reset when the connection closes (RFC 9112 9.6).
TEST_F(FallBackTransports, ATooLargePostGetsIts413WhileStillSending) {
  server.Options().MaxMessageSize = 8;
  TestClient stream;
  const std::string key = OpenEventStream(stream);
  const auto post = RunCommand("head -c 4000000 /dev/zero | curl -s -o /dev/null -w '%{http_code}' --max-time 10 "
                               "-H 'Expect:' -H 'Content-Type: text/plain' --data-binary @- " + Origin() + "/zal/xhr/" + key);
  EXPECT_EQ(post.Output, "413");
  EXPECT_TRUE(messages.Items().empty());
}

// The HTTP server's BodyTimeOut bounds the wait for a post's body.
TEST_F(FallBackTransports, APostBodyIsAwaitedUpToTheBodyTimeOut) {
  server.HTTPServer().SetBodyTimeOut(400);
  TestClient stream;
  const std::string key = OpenEventStream(stream);
  const std::string head = "POST /zal/xhr/" + key + " HTTP/1.1\r\nHost: x\r\nContent-Length: 6\r\n\r\nabc";
  TestClient slow = test::ConnectedTo(server);
  ASSERT_TRUE(slow.Send(head));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));  // half the time-out
  ASSERT_TRUE(slow.Send("def"));
  EXPECT_TRUE(slow.Receive(3000).starts_with("HTTP/1.1 200 OK\r\n"));
  EXPECT_TRUE(messages.WaitForCount(1));
  EXPECT_EQ(messages.Items(), std::vector<std::string>{key + " abcdef"});

  TestClient stalled = test::ConnectedTo(server);
  ASSERT_TRUE(stalled.Send(head));
  const auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(stalled.Receive(3000).starts_with("HTTP/1.1 408 Request Timeout\r\n"));
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(350));
  EXPECT_EQ(messages.Items().size(), 1u);
}

// A sub-protocol object that answers posts with what it was given.
class EchoPostProtocol : public TzalWSProtocol {
public:
  EchoPostProtocol() : TzalWSProtocol("chat") {}
  void DoProtocolPost(TzalWSConnection* aConnection, const std::string& aRest, const std::string& aBody,
                      std::string& aResponse) override {
    aResponse = (aConnection ? "rest=" : "no connection ") + aRest + " body=" + aBody;
  }
};

// A connection that chose a registered sub-protocol sends its messages to that
// object; one without a sub-protocol still reaches OnMessage.
TEST_F(FallBackTransports, MessagesOfASubProtocolGoToItsObject) {
  struct Collector : TzalWSProtocol {
    Collector() : TzalWSProtocol("chat") {}
    void DoMessage(TzalWSConnection*, const std::string& aText) override {
      std::lock_guard lock(Lock);
      Texts.push_back(aText);
    }
    std::mutex Lock;
    std::vector<std::string> Texts;
  } protocol;
  server.RegisterProtocol(&protocol);
  const auto talk = [&](const std::string& protocolLine, const char* text) {
    TestClient client = test::ConnectedTo(server);
    ASSERT_TRUE(client.Send("GET /chat HTTP/1.1\r\nHost: x\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                            "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n" +
                            protocolLine + "\r\n"));
    ASSERT_NE(client.ReceiveUntil("\r\n\r\n").find(" 101 "), std::string::npos);
    const std::string payload(text);
    std::string frame{static_cast<char>(0x81), static_cast<char>(0x80 | payload.size()), 0, 0, 0, 0};
    ASSERT_TRUE(client.Send(frame + payload));  // masked with zeros
  };
  talk("Sec-WebSocket-Protocol: chat\r\n", "to the object");
  talk("", "to the component");
  const auto objectTexts = [&] {
    std::lock_guard lock(protocol.Lock);
    return protocol.Texts;
  };
  ASSERT_TRUE(WaitFor([&] { return messages.Items().size() == 1 && objectTexts().size() == 1; }));
  EXPECT_TRUE(messages.Items()[0].ends_with(" to the component"));
  EXPECT_EQ(objectTexts(), std::vector<std::string>{"to the object"});
  server.SetActive(false);
  server.UnRegisterProtocol(&protocol);
}

struct ProtocolPostCase {
  const char* name;
  std::string request;
  std::string answer;  // status line, or the whole answer's body after a 200
};

class ProtocolPosts : public FallBackTransports, public ::testing::WithParamInterface<ProtocolPostCase> {};

TEST_P(ProtocolPosts, ReachTheObjectOfTheirName) {
  EchoPostProtocol protocol;
  server.RegisterProtocol(&protocol);
  TestClient client = test::ConnectedTo(server);
  ASSERT_TRUE(client.Send(GetParam().request));
  const std::string answer = client.Receive(3000);
  if (answer.starts_with("HTTP/1.1 200 OK\r\n"))
    EXPECT_EQ(answer.substr(answer.find("\r\n\r\n") + 4), GetParam().answer + "\r\n");
  else
    EXPECT_EQ(answer.substr(0, answer.find("\r\n")), GetParam().answer);
  server.SetActive(false);
  server.UnRegisterProtocol(&protocol);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ProtocolPosts,
    ::testing::Values(
        ProtocolPostCase{"WithRestAndBody", "POST /zal/protocol/chat/a/b HTTP/1.1\r\nContent-Length: 2\r\n\r\nhi",
                         "rest=a/b body=hi"},
        ProtocolPostCase{"NameIgnoresLetterCase", "POST /zal/protocol/CHAT HTTP/1.1\r\nContent-Length: 0\r\n\r\n",
                         "rest= body="},
        ProtocolPostCase{"UnknownName", "POST /zal/protocol/other/x HTTP/1.1\r\nContent-Length: 0\r\n\r\n",
                         "HTTP/1.1 404 Not Found"},
        ProtocolPostCase{"NoLength", "POST /zal/protocol/chat/x HTTP/1.1\r\n\r\n", "HTTP/1.1 411 Length Required"}),
    [](const auto& info) { return info.param.name; });

// A protocol post as a later request of a kept-alive connection reaches its
// object too, with the request's connection.
TEST_F(FallBackTransports, AProtocolPostOnAKeptAliveConnectionReachesItsObject) {
  EchoPostProtocol protocol;
  server.RegisterProtocol(&protocol);
  server.SetKeepAlive(true);
  server.OnCommandGet = [](TIdContext*, TIdHTTPRequestInfo*, TIdHTTPResponseInfo* rs) { rs->SetContentText("page"); };
  TestClient client = test::ConnectedTo(server);
  ASSERT_TRUE(client.Send("GET /page HTTP/1.1\r\nHost: x\r\n\r\n"));
  ASSERT_NE(client.ReceiveUntil("page").find("page"), std::string::npos);
  ASSERT_TRUE(client.Send("POST /zal/protocol/chat/r HTTP/1.1\r\nHost: x\r\nContent-Type: text/plain\r\n"
                          "Content-Length: 2\r\n\r\nhi"));
  const std::string answer = client.ReceiveUntil("body=hi");
  EXPECT_TRUE(answer.starts_with("HTTP/1.1 200 OK\r\n")) << answer;
  EXPECT_TRUE(answer.ends_with("\r\n\r\nrest=r body=hi")) << answer;
  server.SetActive(false);
  server.UnRegisterProtocol(&protocol);
}

// The event stream speaks the first registered sub-protocol its URL names.
TEST_F(FallBackTransports, AnEventStreamTakesTheProtocolItsURLNames) {
  server.RegisterProtocol("chat");
  server.RegisterProtocol("news");
  test::TestRecorder<std::string> protocols;
  server.OnConnect = [&](TzalWSConnection* connection) { protocols.Add(connection->Protocol()); };
  const std::string targets[] = {"/x/NEWS/1", "/plain"};
  for (size_t opened = 1; opened <= 2; ++opened) {
    TestClient client = test::ConnectedTo(server);
    ASSERT_TRUE(client.Send("GET " + targets[opened - 1] + " HTTP/1.1\r\nAccept: text/event-stream\r\n\r\n"));
    EXPECT_TRUE(protocols.WaitForCount(opened));
  }
  EXPECT_EQ(protocols.Items(), (std::vector<std::string>{"news", ""}));
}

const std::string kPolicy = std::string(
    "<cross-domain-policy><allow-access-from domain=\"*\" to-ports=\"5450\" /></cross-domain-policy>\0\r\n", 94);
const std::string kPolicyRequest = std::string("<policy-file-request/>\0", 23);

TEST_F(FallBackTransports, FlashPolicyIsAnsweredAndTheConnectionStaysUntilThePeerCloses) {
  server.FallBack().Flash.Enabled = true;
  server.FallBack().Flash.Ports = "5450";
  TestClient client = test::ConnectedTo(server);
  ASSERT_TRUE(client.Send(kPolicyRequest));
  EXPECT_EQ(client.ReceiveUntil(std::string("\0\r\n", 3)), kPolicy);
  EXPECT_FALSE(client.WaitClosed(200));
  EXPECT_EQ(server.ConnectionCount(), 1);
  client.Close();
  EXPECT_TRUE(WaitFor([&] { return server.ConnectionCount() == 0; }));
  EXPECT_TRUE(guids.Items().empty());  // never enabled, never announced
}

// Each request would start a new first-bytes deadline: a client that asks
// again is let go rather than held for as long as it keeps asking.
TEST_F(FallBackTransports, ARepeatedPolicyRequestEndsTheConnection) {
  server.FallBack().Flash.Enabled = true;
  TestClient client = test::ConnectedTo(server);
  ASSERT_TRUE(client.Send(kPolicyRequest));
  EXPECT_NE(client.ReceiveUntil(std::string("\0\r\n", 3)).find("</cross-domain-policy>"), std::string::npos);
  ASSERT_TRUE(client.Send(kPolicyRequest));
  EXPECT_TRUE(client.WaitClosed(2000));
  EXPECT_TRUE(WaitFor([&] { return server.ConnectionCount() == 0; }));
}

// The code of the closing handshake reaches OnDisconnect.
TEST_F(FallBackTransports, OnDisconnectReceivesTheCloseCode) {
  std::atomic<int> code{-1};
  server.OnDisconnect = [&](TzalWSConnection*, int aCode) { code = aCode; };
  TestClient client = test::ConnectedTo(server);
  ASSERT_TRUE(client.Send("GET /chat HTTP/1.1\r\nHost: x\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                          "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n"));
  ASSERT_NE(client.ReceiveUntil("\r\n\r\n").find(" 101 "), std::string::npos);
  ASSERT_TRUE(client.Send(std::string("\x88\x82\0\0\0\0\x0f\xa1", 8)));  // close 4001, masked with zeros
  EXPECT_TRUE(client.WaitClosed(3000));
  client.Close();  // the server waits for our end of TCP before it lets the connection go
  EXPECT_TRUE(WaitFor([&] { return code.load() == 4001; })) << code.load();
}

// After the answer a silent Flash client is let go at the first-bytes deadline.
TEST_F(FallBackTransports, ASilentFlashClientIsClosedAtTheFirstBytesDeadline) {
  server.FallBack().Flash.Enabled = true;
  server.Options().FirstBytesTimeOut = 300;
  TestClient client = test::ConnectedTo(server);
  std::this_thread::sleep_for(std::chrono::milliseconds(200));  // most of the first deadline
  ASSERT_TRUE(client.Send(kPolicyRequest));
  EXPECT_NE(client.ReceiveUntil(std::string("\0\r\n", 3)).find("</cross-domain-policy>"), std::string::npos);
  EXPECT_FALSE(client.WaitClosed(200));  // a new deadline started with the answer
  EXPECT_TRUE(client.WaitClosed(1000));
}

// A Flash client may upgrade on the socket of its policy request: the
// connection keeps the transport trpFlash and speaks RFC 6455 frames.
TEST_F(FallBackTransports, AnUpgradeAfterThePolicyOnTheSameSocketSpeaksFrames) {
  server.FallBack().Flash.Enabled = true;
  TestClient client = test::ConnectedTo(server);
  ASSERT_TRUE(client.Send(kPolicyRequest));
  ASSERT_NE(client.ReceiveUntil(std::string("\0\r\n", 3)).find("</cross-domain-policy>"), std::string::npos);
  ASSERT_TRUE(client.Send("GET /chat HTTP/1.1\r\nHost: x\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                          "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n"));
  ASSERT_NE(client.ReceiveUntil("\r\n\r\n").find("HTTP/1.1 101 "), std::string::npos);
  ASSERT_TRUE(client.Send(std::string("\x81\x82\0\0\0\0hi", 8)));  // "hi", masked with a zero key
  EXPECT_EQ(client.ReceiveUntil("hi"), "\x81\x02hi");
  ASSERT_EQ(guids.Items().size(), 1u);
  EXPECT_EQ(server.GetConnectionByGuid(guids.Items()[0])->Transport(), trpFlash);
}

TEST_F(FallBackTransports, FlashPolicyRequestsAreDroppedWithoutAnAnswerWhenSwitchedOff) {
  TestClient client = test::ConnectedTo(server);
  ASSERT_TRUE(client.Send(kPolicyRequest));
  EXPECT_TRUE(client.WaitClosed());
  EXPECT_EQ(client.Receive(50), "");
}

}  // namespace
}  // namespace zal
