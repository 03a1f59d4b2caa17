#include <gtest/gtest.h>

#include "common/zalTestExceptions.h"
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/zalTestRecorder.h"
#include "common/zalTestSocket.h"
#include "http/zalIdCustomHTTPServer.h"

namespace zal {
namespace {

using test::TestClient;

std::vector<std::string> SetCookieValues(const std::string& response) {
  std::vector<std::string> values;
  const std::string head = response.substr(0, response.find("\r\n\r\n") + 2);
  const std::string prefix = "\r\nSet-Cookie: ";
  for (size_t pos = head.find(prefix); pos != std::string::npos; pos = head.find(prefix, pos + 1)) {
    const size_t start = pos + prefix.size();
    values.push_back(head.substr(start, head.find("\r\n", start) - start));
  }
  return values;
}

std::string HeaderValue(const std::string& response, const std::string& name) {
  const std::string key = "\r\n" + name + ": ";
  const size_t pos = response.find(key);
  if (pos == std::string::npos)
    return "";
  const size_t start = pos + key.size();
  return response.substr(start, response.find("\r\n", start) - start);
}

// A real server with sessions on an ephemeral loopback port; handlers record what
// they saw.
class HTTPSessionServer : public ::testing::Test {
protected:
  void SetUp() override {
    test::BindLoopback(server);
    server.SetSessionState(true);
    server.SetSessionTimeOut(60000);
    server.SetAutoStartSession(true);
    server.OnCommandGet = [this](TIdContext* c, TIdHTTPRequestInfo* rq, TIdHTTPResponseInfo* rs) {
      seen.Add(rq->Session() ? rq->Session()->SessionID() : "");
      EXPECT_EQ(rq->Session(), rs->Session());
      if (handler)
        handler(c, rq, rs);
    };
    server.OnInvalidSession = [this](TIdContext*, TIdHTTPRequestInfo*, TIdHTTPResponseInfo*, bool&,
                                     const std::string& id) { invalid.Add(id); };
    server.OnSessionStart = [this](TIdHTTPSession*) { ++Starts; };
    server.OnSessionEnd = [this](TIdHTTPSession*) { ++Ends; };
  }
  void TearDown() override { server.SetActive(false); }

  std::string Get(const std::string& headers = "", const std::string& path = "/") {
    TestClient client = test::ConnectedTo(server);
    EXPECT_TRUE(client.Send("GET " + path + " HTTP/1.1\r\nHost: x\r\n" + headers + "\r\n"));
    return client.Receive(3000);
  }

  // The session IDs the handler saw ("" for none) and those reported invalid.
  test::TestRecorder<std::string> seen, invalid;
  TIdHTTPServer server;
  std::function<void(TIdContext*, TIdHTTPRequestInfo*, TIdHTTPResponseInfo*)> handler;
  std::atomic<int> Starts{0};
  std::atomic<int> Ends{0};
};

TEST_F(HTTPSessionServer, ATimeOutOfZeroSwitchesSessionsOffAtStart) {
  server.SetSessionTimeOut(0);
  const std::string response = Get("Cookie: IDHTTPSESSIONID=whatever\r\n");
  EXPECT_TRUE(response.starts_with("HTTP/1.1 200 OK")) << response;
  EXPECT_FALSE(server.SessionState());
  EXPECT_TRUE(SetCookieValues(response).empty()) << response;
  EXPECT_TRUE(invalid.Items().empty());
  EXPECT_EQ(seen.Items(), std::vector<std::string>{""});
  EXPECT_EQ(Starts.load(), 0);
}

TEST_F(HTTPSessionServer, AutoStartIssuesASessionCookieThatFindsTheSessionAgain) {
  const std::string first = Get();
  const std::vector<std::string> cookies = SetCookieValues(first);
  ASSERT_EQ(cookies.size(), 1u) << first;
  ASSERT_TRUE(cookies[0].starts_with("IDHTTPSESSIONID=")) << cookies[0];
  ASSERT_TRUE(cookies[0].ends_with("; Path=/")) << cookies[0];
  const std::string id = cookies[0].substr(16, kSessionIDLength);
  EXPECT_EQ(cookies[0].size(), 16 + kSessionIDLength + 8);
  const std::string second = Get("Cookie: theme=dark; IDHTTPSESSIONID=" + id + "\r\n");
  EXPECT_TRUE(SetCookieValues(second).empty()) << second;
  EXPECT_EQ(seen.Items(), (std::vector<std::string>{id, id}));
  EXPECT_TRUE(invalid.Items().empty());
  EXPECT_EQ(Starts.load(), 1);
}

TEST_F(HTTPSessionServer, ASessionCookieFromAnotherClientAddressIsInvalid) {
  server.SetActive(true);
  const TIdHTTPSessionPtr foreign = server.SessionList()->CreateSession("192.0.2.7", "ForeignSession1");
  const std::string response = Get("Cookie: IDHTTPSESSIONID=ForeignSession1\r\n");
  EXPECT_EQ(invalid.Items(), std::vector<std::string>{"ForeignSession1"});
  const std::vector<std::string> cookies = SetCookieValues(response);
  ASSERT_EQ(cookies.size(), 1u) << response;
  EXPECT_NE(cookies[0], "IDHTTPSESSIONID=ForeignSession1; Path=/");
  const std::vector<std::string> ids = seen.Items();
  ASSERT_EQ(ids.size(), 1u);
  EXPECT_NE(ids[0], "ForeignSession1");
  EXPECT_EQ(cookies[0], "IDHTTPSESSIONID=" + ids[0] + "; Path=/");
  EXPECT_FALSE(foreign->Ended());
}

TEST_F(HTTPSessionServer, CloseSessionLeavesOnlyTheExpiringCookie) {
  handler = [](TIdContext*, TIdHTTPRequestInfo*, TIdHTTPResponseInfo* rs) {
    ASSERT_NE(rs->Session(), nullptr);
    rs->CloseSession();
    EXPECT_EQ(rs->Session(), nullptr);
  };
  const std::string response = Get();
  EXPECT_EQ(SetCookieValues(response),
            std::vector<std::string>{"IDHTTPSESSIONID=; Expires=Thu, 25-Dec-1969 00:00:00 GMT"})
      << response;
  EXPECT_EQ(Starts.load(), 1);
  EXPECT_EQ(Ends.load(), 1);
  EXPECT_EQ(static_cast<TIdHTTPDefaultSessionList*>(server.SessionList())->Count(), 0);
}

TEST_F(HTTPSessionServer, AnIdleSessionEndsSoonAfterItsTimeOut) {
  server.SetSessionTimeOut(300);
  const std::string id = SetCookieValues(Get())[0].substr(16, kSessionIDLength);
  EXPECT_TRUE(test::WaitFor([&] { return Ends.load() == 1; }, 5000));
  Get("Cookie: IDHTTPSESSIONID=" + id + "\r\n");
  EXPECT_EQ(invalid.Items(), std::vector<std::string>{id});
}

TEST_F(HTTPSessionServer, EndSessionEndsAStoredSession) {
  const std::string id = SetCookieValues(Get())[0].substr(16, kSessionIDLength);
  EXPECT_FALSE(server.EndSession(id, "192.0.2.7"));
  EXPECT_TRUE(server.EndSession(id, "127.0.0.1"));
  EXPECT_EQ(Ends.load(), 1);
  EXPECT_FALSE(server.EndSession(id, "127.0.0.1"));
}

TEST_F(HTTPSessionServer, StoppingEndsEverySessionAndFreesTheImplicitStore) {
  Get();
  Get();
  EXPECT_EQ(Starts.load(), 2);
  server.SetActive(false);
  EXPECT_EQ(Ends.load(), 2);
  EXPECT_EQ(server.SessionList(), nullptr);
}

TEST_F(HTTPSessionServer, AnApplicationStoreIsClearedAtStopAndForgottenWhenDestroyed) {
  auto store = std::make_unique<TIdHTTPDefaultSessionList>();
  server.SetSessionList(store.get());
  Get();
  EXPECT_EQ(store->Count(), 1);
  server.SetActive(false);
  EXPECT_EQ(Ends.load(), 1);
  EXPECT_EQ(store->Count(), 0);
  EXPECT_EQ(server.SessionList(), store.get());
  store.reset();
  EXPECT_EQ(server.SessionList(), nullptr);
}

TEST(HTTPSessionServerStore, AStoreThatOutlivesItsServerNoLongerCallsIt) {
  TIdHTTPDefaultSessionList store;
  {
    TIdHTTPServer server;
    test::BindLoopback(server);
    server.SetSessionState(true);
    server.SetSessionTimeOut(60000);
    server.OnSessionStart = [](TIdHTTPSession*) { ADD_FAILURE() << "the destroyed server was called"; };
    server.SetSessionList(&store);
    server.SetActive(true);
  }
  EXPECT_NE(store.CreateUniqueSession("ip"), nullptr);
  EXPECT_EQ(store.Count(), 1);
}

TEST_F(HTTPSessionServer, SettingsCannotChangeWhileActive) {
  server.SetActive(true);
  EXPECT_EQ(test::ExceptionMessage([&] { server.SetSessionState(false); }), "Cannot change session state when the server is active.");
  EXPECT_EQ(test::ExceptionMessage([&] { server.SetSessionIDCookieName("SID"); }),
            "Cannot change session ID cookie name when the server is active.");
  TIdHTTPDefaultSessionList other;
  EXPECT_EQ(test::ExceptionMessage([&] { server.SetSessionList(&other); }), "Cannot change session list when the server is active.");
  server.SetActive(false);
  EXPECT_EQ(test::ExceptionMessage([&] { server.SetSessionIDCookieName("  "); }), "Invalid cookie name");
  EXPECT_EQ(server.SessionIDCookieName(), "IDHTTPSESSIONID");
}

TEST_F(HTTPSessionServer, AnOwnSessionCookieNameIsUsed) {
  server.SetSessionIDCookieName("SID");
  const std::vector<std::string> cookies = SetCookieValues(Get());
  ASSERT_EQ(cookies.size(), 1u);
  EXPECT_TRUE(cookies[0].starts_with("SID=")) << cookies[0];
}

TEST_F(HTTPSessionServer, ServedFilesTakeTheirTypeFromTheMimeTable) {
  server.MIMETable().SetLoadTypesFromOS(false);
  const auto folder = std::filesystem::temp_directory_path() / ("zal-mime-" + std::to_string(::getpid()));
  std::filesystem::create_directories(folder);
  for (const char* name : {"page.HTM", "data.json", "song.mp3", "README"})
    std::ofstream(folder / name) << "content";
  handler = [&](TIdContext* c, TIdHTTPRequestInfo* rq, TIdHTTPResponseInfo* rs) {
    rs->ServeFile(c, (folder / rq->Document().substr(1)).string());
  };
  EXPECT_TRUE(HeaderValue(Get("", "/page.HTM"), "Content-Type").starts_with("text/html"));
  EXPECT_EQ(HeaderValue(Get("", "/data.json"), "Content-Type"), "application/octet-stream");
  EXPECT_EQ(HeaderValue(Get("", "/song.mp3"), "Content-Type"), "audio/x-mpg");
  EXPECT_EQ(HeaderValue(Get("", "/README"), "Content-Type"), "application/octet-stream");
  std::filesystem::remove_all(folder);
}

TEST_F(HTTPSessionServer, ManyConnectionsUseShareAndCloseSessionsConcurrently) {
  server.SetSessionTimeOut(50);  // the cleaner ends idle sessions while requests run
  std::atomic<int> requests{0};
  handler = [&](TIdContext*, TIdHTTPRequestInfo* rq, TIdHTTPResponseInfo* rs) {
    TIdHTTPSession* session = rq->Session();
    ASSERT_NE(session, nullptr);
    session->Lock();
    session->Content().push_back(rq->Document());
    session->Unlock();
    if (++requests % 4 == 0)
      rs->CloseSession();
    rs->SetContentText("ok");
  };
  const std::string first = Get();
  const std::string shared = SetCookieValues(first)[0].substr(16, kSessionIDLength);
  const uint16_t port = server.Bindings().Items(0).Port();
  std::atomic<int> failures{0};
  std::vector<std::thread> clients;
  for (int t = 0; t < 8; ++t)
    clients.emplace_back([&, t] {
      std::string own;
      for (int i = 0; i < 40; ++i) {
        // even requests share one session across all connections, odd ones use their own
        const std::string cookie = i % 2 == 0 ? shared : own;
        TestClient client;
        if (!client.Connect("127.0.0.1", port) ||
            !client.Send("GET /" + std::to_string(t) + "/" + std::to_string(i) + " HTTP/1.1\r\nHost: x\r\n" +
                         (cookie.empty() ? "" : "Cookie: IDHTTPSESSIONID=" + cookie + "\r\n") + "\r\n")) {
          ++failures;
          continue;
        }
        const std::string response = client.Receive(5000);
        if (!response.starts_with("HTTP/1.1 200 OK") || !response.ends_with("ok"))
          ++failures;
        if (i % 2 == 1)
          for (const std::string& value : SetCookieValues(response))
            own = value.substr(16, value.find(';') - 16);
      }
    });
  for (auto& client : clients)
    client.join();
  server.SetActive(false);
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(requests.load(), 1 + 8 * 40);
  EXPECT_GT(Starts.load(), 8);
  EXPECT_EQ(Ends.load(), Starts.load());
}

}  // namespace
}  // namespace zal
