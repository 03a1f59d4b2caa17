#pragma once
// A real HTTP/1.1 server on an ephemeral loopback port for the tests of the
// request loop, with helpers that take answers apart.
#include <gtest/gtest.h>

#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "common/zalTestSocket.h"
#include "http/zalIdCustomHTTPServer.h"

namespace zal::test {

// What a handler saw of a request.
struct SeenRequest {
  std::string command;
  THTTPCommandType type = hcUnknown;
  std::string document;
  std::string query;
  std::vector<std::string> params;
  std::string body;
  std::string host;
  std::string user;
  std::string password;
  std::string raw;
  std::string contentType;
  std::string charset;
  bool viaOther = false;
};

// Each test sets `handler`; every dispatched request is recorded in `seen`.
class HTTPServerTest : public ::testing::Test {
protected:
  void SetUp() override {
    BindLoopback(server);
    server.SetServerSoftware("zalWebSockets 4.4.6");
    server.OnCommandGet = [this](TIdContext* c, TIdHTTPRequestInfo* rq, TIdHTTPResponseInfo* rs) {
      Record(rq, false);
      if (handler)
        handler(c, rq, rs);
    };
    server.OnCommandOther = [this](TIdContext* c, TIdHTTPRequestInfo* rq, TIdHTTPResponseInfo* rs) {
      Record(rq, true);
      if (handler)
        handler(c, rq, rs);
    };
  }
  void TearDown() override { server.SetActive(false); }

  void Record(TIdHTTPRequestInfo* rq, bool other) {
    SeenRequest s;
    s.command = rq->Command();
    s.type = rq->CommandType();
    s.document = rq->Document();
    s.query = rq->QueryParams();
    s.params = rq->Params();
    if (rq->PostStream()) {
      s.body.resize(static_cast<size_t>(rq->PostStream()->Size()));
      rq->PostStream()->SetPosition(0);
      rq->PostStream()->Read(s.body.data(), static_cast<int64_t>(s.body.size()));
    }
    s.host = rq->Host();
    s.user = rq->AuthUsername();
    s.password = rq->AuthPassword();
    s.raw = rq->RawHTTPCommand();
    s.contentType = rq->ContentType();
    s.charset = rq->CharSet();
    s.viaOther = other;
    std::lock_guard lock(seenLock);
    seen.push_back(s);
  }

  // A client connected to the (started) server.
  TestClient Connected() { return ConnectedTo(server); }

  // Sends `request` and returns everything until the server closes (or 2 s pass).
  std::string Exchange(const std::string& request) {
    TestClient client = Connected();
    EXPECT_TRUE(client.Send(request));
    return client.Receive(2000);
  }

  SeenRequest Seen(size_t index = 0) {
    std::lock_guard lock(seenLock);
    return index < seen.size() ? seen[index] : SeenRequest{};
  }
  size_t SeenCount() {
    std::lock_guard lock(seenLock);
    return seen.size();
  }

  TIdHTTPServer server;
  std::function<void(TIdContext*, TIdHTTPRequestInfo*, TIdHTTPResponseInfo*)> handler;
  std::mutex seenLock;
  std::vector<SeenRequest> seen;
};

inline std::string Body(const std::string& response) {
  const size_t end = response.find("\r\n\r\n");
  return end == std::string::npos ? "" : response.substr(end + 4);
}

inline std::string HeaderBlock(const std::string& response) {
  return response.substr(0, response.find("\r\n\r\n") + 2);
}

inline bool HasLine(const std::string& response, const std::string& line) {
  return HeaderBlock(response).find("\r\n" + line + "\r\n") != std::string::npos;
}

// The value of the answer's Content-Length line, or -1.
inline long long ContentLengthOf(const std::string& response) {
  const std::string head = HeaderBlock(response);
  const size_t at = head.find("\r\nContent-Length: ");
  return at == std::string::npos ? -1 : std::stoll(head.substr(at + 18));
}

}  // namespace zal::test
