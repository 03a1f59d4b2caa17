// The component speaking HTTP/2 with prior knowledge to real clients: curl, nghttp,
// h2load, and python3-h2 scripted to misbehave. A missing client fails the test.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <array>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <string>

#include "HTTP2TestSupport.h"
#include "server/zalWebSocket_Server.h"

namespace zal {
namespace {

struct CommandResult {
  int exitCode;
  std::string output;
};

CommandResult RunCommand(const std::string& aCommand) {
  CommandResult result{-1, ""};
  FILE* pipe = ::popen(("timeout 60 " + aCommand + " 2>&1").c_str(), "r");
  if (!pipe)
    return result;
  std::array<char, 4096> chunk;
  size_t n;
  while ((n = std::fread(chunk.data(), 1, chunk.size(), pipe)) > 0)
    result.output.append(chunk.data(), n);
  const int status = ::pclose(pipe);
  result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

// The component with HTTP/2 on: "/missing" throws, "/big" answers 200000 octets,
// "/file" serves a 300000-octet file, "/head" sets a Connection field, anything else
// answers "<method> <document> <body length>".
class HTTP2ServerTest : public ::testing::Test {
protected:
  void SetUp() override {
    std::ofstream(filePath, std::ios::binary) << std::string(300000, 'f');
    TIdSocketHandle& binding = server.Bindings().Add();
    binding.SetIP("127.0.0.1");
    binding.SetPort(0);
    server.SetNotifyEvents(neNoSync);
    server.HTTP2Options().Enabled = true;
    server.OnCommandGet = [this](TIdContext* c, TIdHTTPRequestInfo* rq, TIdHTTPResponseInfo* rs) {
      {
        std::lock_guard lock(seenLock);
        versions += rq->Version() + " ";
      }
      if (rq->Document() == "/missing")
        throw EIdException("no such tile");
      if (rq->Document() == "/file") {
        rs->ServeFile(c, filePath);
        return;
      }
      rs->SetContentType("text/plain; charset=utf-8");
      if (rq->Document() == "/big") {
        rs->SetContentText(std::string(200000, 'b'));
        return;
      }
      if (rq->Document() == "/head")
        rs->SetCloseConnection(true);  // "Connection: close" must not reach an HTTP/2 answer
      const int64_t length = rq->PostStream() ? rq->PostStream()->Size() : 0;
      rs->SetContentText(rq->Command() + " " + rq->Document() + " " + std::to_string(length) + " " + rq->Host());
    };
    server.SetActive(true);
    base = "http://127.0.0.1:" + std::to_string(server.Bindings().Items(0).Port());
  }
  void TearDown() override {
    server.SetActive(false);
    std::remove(filePath.c_str());
  }

  TzalWebSocketHTTPServer server;
  std::string base;
  std::string filePath = "/tmp/zal_h2_file_" + std::to_string(getpid());
  std::mutex seenLock;
  std::string versions;
};

// curl 7.88 fails to reuse a prior-knowledge connection (seen against nghttpd as
// well), so it gets one URL per run; nghttp asks several on one connection.
TEST_F(HTTP2ServerTest, CurlGetHeadFailingHandlerAndFiles) {
  const std::string host = " 127.0.0.1:" + base.substr(base.rfind(':') + 1);
  for (const auto& [path, expected] : std::vector<std::pair<std::string, std::string>>{
           {"/a", "200 2 " + std::to_string(std::string("GET /a 0").size() + host.size())},
           {"/missing", "500 2 12"},
           {"/big", "200 2 200000"},
           {"/file", "200 2 300000"}}) {
    const CommandResult result =
        RunCommand("curl -sS --http2-prior-knowledge -o /dev/null -w '%{http_code} %{http_version} %{size_download}' " +
                   base + path);
    EXPECT_EQ(result.exitCode, 0) << result.output;
    EXPECT_EQ(result.output, expected) << path;
  }
  EXPECT_EQ(versions, "HTTP/2 HTTP/2 HTTP/2 HTTP/2 ");
  const CommandResult head = RunCommand("curl -sS --http2-prior-knowledge -I " + base + "/head");
  ASSERT_EQ(head.exitCode, 0) << head.output;
  EXPECT_NE(head.output.find("HTTP/2 200"), std::string::npos) << head.output;
  EXPECT_NE(head.output.find("content-length: "), std::string::npos) << head.output;
  EXPECT_EQ(head.output.find("connection"), std::string::npos) << head.output;
}

size_t Count(const std::string& aText, const std::string& aWhat) {
  size_t count = 0;
  for (size_t at = aText.find(aWhat); at != std::string::npos; at = aText.find(aWhat, at + 1))
    ++count;
  return count;
}

TEST_F(HTTP2ServerTest, NghttpSeveralStreamsSmallWindowsAndUploads) {
  // A failing handler answers its own stream with 500; the others are served.
  const CommandResult mixed = RunCommand("nghttp -nv " + base + "/a " + base + "/missing " + base + "/big");
  ASSERT_EQ(mixed.exitCode, 0) << mixed.output.substr(0, 3000);
  EXPECT_EQ(Count(mixed.output, ":status: 500"), 1u);
  EXPECT_EQ(Count(mixed.output, ":status: 200"), 2u);
  EXPECT_NE(mixed.output.find("error_code=NO_ERROR"), std::string::npos);
  // Windows of 2^14 octets per stream and 2^15 per connection: bodies far larger.
  const CommandResult small = RunCommand("nghttp -nv -w 14 -W 15 " + base + "/big " + base + "/file");
  ASSERT_EQ(small.exitCode, 0) << small.output.substr(0, 2000);
  EXPECT_EQ(Count(small.output, "flags=0x01, stream_id=13>"), 1u);
  EXPECT_EQ(Count(small.output, "flags=0x01, stream_id=15>"), 1u);
  const std::string upload = filePath + ".up";
  std::ofstream(upload, std::ios::binary) << std::string(1 << 20, 'u');
  const CommandResult posted = RunCommand("nghttp -d " + upload + " " + base + "/up");
  std::remove(upload.c_str());
  ASSERT_EQ(posted.exitCode, 0) << posted.output;
  EXPECT_EQ(posted.output, "POST /up 1048576 127.0.0.1:" + base.substr(base.rfind(':') + 1));
  const CommandResult noWindow = RunCommand("nghttp -n -c 0 " + base + "/big");
  EXPECT_EQ(noWindow.exitCode, 0) << noWindow.output;
}

TEST_F(HTTP2ServerTest, H2loadWithoutErrors) {
  const CommandResult load = RunCommand("h2load -n 4000 -c 4 -m 20 " + base + "/a");
  ASSERT_EQ(load.exitCode, 0) << load.output;
  EXPECT_NE(load.output.find("4000 total, 4000 started, 4000 done, 4000 succeeded, 0 failed, 0 errored"),
            std::string::npos)
      << load.output;
}

}  // namespace
}  // namespace zal

namespace zal {
namespace {

// A python3-h2 client that misbehaves in one way (SCENARIO), then reads until the
// server closes and prints the GOAWAY error code it got (or "no goaway").
const char* kMisbehavingClient = R"(
import socket, sys, h2.connection, h2.config, h2.events
from hyperframe.frame import *
port = int(sys.argv[1])
s = socket.create_connection(('127.0.0.1', port))
s.settimeout(20)
c = h2.connection.H2Connection(h2.config.H2Configuration(client_side=True))
c.initiate_connection()
s.sendall(c.data_to_send())
def hdrs(sid, path='/a'):
    return c.encoder.encode([(':method', 'GET'), (':scheme', 'http'), (':path', path), (':authority', 'x')])
def send(frame, *flags):
    for f in flags: frame.flags.add(f)
    try:
        s.sendall(frame.serialize())
    except OSError:
        pass
SCENARIO
code = 'no goaway'
data = b''
try:
    while True:
        d = s.recv(65536)
        if not d: break
        data += d
except OSError:
    pass
at = 0
while at + 9 <= len(data):
    f, length = Frame.parse_frame_header(memoryview(data[at:at + 9]))
    f.parse_body(memoryview(data[at + 9:at + 9 + length]))
    at += 9 + length
    if isinstance(f, GoAwayFrame):
        code = str(f.error_code)
print(code)
)";

std::string Misbehave(const std::string& aBase, const std::string& aScenario) {
  std::string script = kMisbehavingClient;
  script.replace(script.find("SCENARIO"), 8, aScenario);
  const std::string path = "/tmp/zal_h2_misbehave_" + std::to_string(getpid()) + ".py";
  std::ofstream(path) << script;
  const CommandResult result = RunCommand("/usr/bin/python3 " + path + " " + aBase.substr(aBase.rfind(':') + 1));
  std::remove(path.c_str());
  EXPECT_EQ(result.exitCode, 0) << result.output;
  return result.output;
}

TEST_F(HTTP2ServerTest, MisbehavingClientsEndWithTheRightGoAway) {
  // Rapid reset (CVE-2023-44487): streams opened and reset at once.
  EXPECT_EQ(Misbehave(base, R"(
for i in range(10000):
    sid = 1 + 2 * i
    send(HeadersFrame(sid, data=hdrs(sid)), 'END_HEADERS')
    send(RstStreamFrame(sid, error_code=8))
)"), "11\n");
  // 10 MB of CONTINUATION on one header block.
  EXPECT_EQ(Misbehave(base, R"(
block = hdrs(1)
send(HeadersFrame(1, data=block[:1]))
for i in range(640):
    send(ContinuationFrame(1, data=b'\x00' * 16384))
)"), "11\n");
  // A PING flood from a client that reads nothing until the end.
  EXPECT_EQ(Misbehave(base, R"(
for i in range(5000):
    send(PingFrame(0, opaque_data=b'12345678'))
)"), "11\n");
  // A HEADERS on an even stream, DATA on an idle stream.
  EXPECT_EQ(Misbehave(base, "send(HeadersFrame(2, data=hdrs(2)), 'END_HEADERS', 'END_STREAM')"), "1\n");
  EXPECT_EQ(Misbehave(base, "send(DataFrame(9, data=b'x'))"), "1\n");
  // A header block that cannot be decoded.
  EXPECT_EQ(Misbehave(base, "send(HeadersFrame(1, data=b'\\xff\\xff\\xff\\xff\\xff'), 'END_HEADERS', 'END_STREAM')"), "9\n");
}

}  // namespace
}  // namespace zal
