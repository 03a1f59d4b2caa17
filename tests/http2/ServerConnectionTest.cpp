// The component speaking HTTP/2 with prior knowledge to real clients: curl, nghttp,
// h2load, and python3-h2 scripted to misbehave. A missing client fails the test.
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <filesystem>
#include <fstream>
#include <future>
#include <map>
#include <sstream>
#include <string>
#include <functional>
#include <thread>

#include <unistd.h>

#include "HTTP2TestSupport.h"
#include "common/zalTestMemory.h"
#include "common/zalTestProcess.h"
#include "common/zalTestRecorder.h"
#include "common/zalTestSocket.h"
#include "server/zalWebSocket_Server.h"

namespace zal {
namespace {

using test::CommandResult;
using test::LiveHeap;
using test::RunCommand;

// The component with HTTP/2 on: "/missing" throws, "/big" answers 200000 octets,
// "/file" serves a 300000-octet file, "/head" sets a Connection field, anything else
// answers "<method> <document> <body length>".
class HTTP2ServerTest : public ::testing::Test {
protected:
  void SetUp() override {
    std::ofstream(filePath, std::ios::binary) << std::string(300000, 'f');
    test::ListenOnLoopback(server);
    server.HTTP2Options().Enabled = true;
    server.OnCommandGet = [this](TIdContext* c, TIdHTTPRequestInfo* rq, TIdHTTPResponseInfo* rs) {
      versions.Add(rq->Version());
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
      if (AnswerDirectly(c, rq->Document()))
        return;
      if (rq->Document() == "/head")
        rs->SetCloseConnection(true);  // "Connection: close" must not reach an HTTP/2 answer
      const int64_t length = rq->PostStream() ? rq->PostStream()->Size() : 0;
      rs->SetContentText(rq->Command() + " " + rq->Document() + " " + std::to_string(length) + " " + rq->Host());
    };
    base = "http://127.0.0.1:" + std::to_string(test::ActivePort(server));
  }
  void TearDown() override {
    server.SetActive(false);
    std::remove(filePath.c_str());
  }
  // Options are read by the connections' threads: they change while the server is stopped.
  void Reconfigure(const std::function<void()>& change) {
    server.SetActive(false);
    change();
    base = "http://127.0.0.1:" + std::to_string(test::ActivePort(server));
  }

  // The connection's own answers: "/status" 404, "/redirect" 302 to /a, "/stream"
  // a 200 with the octets "direct".
  static bool AnswerDirectly(TIdContext* aContext, const std::string& aDocument) {
    auto* connection = dynamic_cast<TzalWSConnectionServer*>(aContext->Data());
    if (aDocument == "/status")
      connection->SendResponseCode(404, "Not Found");
    else if (aDocument == "/redirect")
      connection->SendRedirect("/a");
    else if (aDocument == "/stream") {
      TMemoryStream body(TIdBytes{'d', 'i', 'r', 'e', 'c', 't'});
      connection->SendResponse(body, "text/plain");
    } else
      return false;
    return true;
  }

  test::TestTally<std::string> versions;  // requests answered per protocol version; outlives the server
  TzalWebSocketHTTPServer server;
  std::string base;
  std::string filePath = "/tmp/zal_h2_file_" + std::to_string(getpid());
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
    EXPECT_EQ(result.ExitCode, 0) << result.Output;
    EXPECT_EQ(result.Output, expected) << path;
  }
  EXPECT_EQ(versions.Counts(), (std::map<std::string, int>{{"HTTP/2", 4}}));
  const CommandResult head = RunCommand("curl -sS --http2-prior-knowledge -I " + base + "/head");
  ASSERT_EQ(head.ExitCode, 0) << head.Output;
  EXPECT_NE(head.Output.find("HTTP/2 200"), std::string::npos) << head.Output;
  EXPECT_NE(head.Output.find("content-length: "), std::string::npos) << head.Output;
  EXPECT_EQ(head.Output.find("connection"), std::string::npos) << head.Output;
}

using test::Count;

TEST_F(HTTP2ServerTest, NghttpSeveralStreamsSmallWindowsAndUploads) {
  // A failing handler answers its own stream with 500; the others are served.
  const CommandResult mixed = RunCommand("nghttp -nv " + base + "/a " + base + "/missing " + base + "/big");
  ASSERT_EQ(mixed.ExitCode, 0) << mixed.Output.substr(0, 3000);
  EXPECT_EQ(Count(mixed.Output, ":status: 500"), 1u);
  EXPECT_EQ(Count(mixed.Output, ":status: 200"), 2u);
  EXPECT_NE(mixed.Output.find("error_code=NO_ERROR"), std::string::npos);
  // Windows of 2^14 octets per stream and 2^15 per connection: bodies far larger.
  const CommandResult small = RunCommand("nghttp -nv -w 14 -W 15 " + base + "/big " + base + "/file");
  ASSERT_EQ(small.ExitCode, 0) << small.Output.substr(0, 2000);
  EXPECT_EQ(Count(small.Output, "flags=0x01, stream_id=13>"), 1u);
  EXPECT_EQ(Count(small.Output, "flags=0x01, stream_id=15>"), 1u);
  const std::string upload = filePath + ".up";
  std::ofstream(upload, std::ios::binary) << std::string(1 << 20, 'u');
  const CommandResult posted = RunCommand("nghttp -d " + upload + " " + base + "/up");
  std::remove(upload.c_str());
  ASSERT_EQ(posted.ExitCode, 0) << posted.Output;
  EXPECT_EQ(posted.Output, "POST /up 1048576 127.0.0.1:" + base.substr(base.rfind(':') + 1));
  const CommandResult noWindow = RunCommand("nghttp -n -c 0 " + base + "/big");
  EXPECT_EQ(noWindow.ExitCode, 0) << noWindow.Output;
}

// The connection's SendResponseCode, SendRedirect and SendResponse answer the
// stream being dispatched; the response record is then not written as well.
TEST_F(HTTP2ServerTest, ConnectionAnswersGoOnTheDispatchedStream) {
  const CommandResult result =
      RunCommand("nghttp -nv " + base + "/status " + base + "/redirect " + base + "/stream " + base + "/a");
  ASSERT_EQ(result.ExitCode, 0) << result.Output.substr(0, 3000);
  EXPECT_EQ(Count(result.Output, ":status: 404"), 1u);
  EXPECT_EQ(Count(result.Output, ":status: 302"), 1u);
  EXPECT_EQ(Count(result.Output, "location: /a"), 1u);
  EXPECT_EQ(Count(result.Output, ":status: 200"), 2u);
  EXPECT_EQ(Count(result.Output, "recv HEADERS frame"), 4u);
  EXPECT_EQ(result.Output.find("RST_STREAM"), std::string::npos);
  const CommandResult body = RunCommand("curl -sS --http2-prior-knowledge " + base + "/stream");
  EXPECT_EQ(body.Output, "direct");
}

// The DATA octets nghttp -nv reports for one stream.
int64_t DataOctets(const std::string& aOutput, int aStream) {
  int64_t total = 0;
  const std::string tail = ", stream_id=" + std::to_string(aStream) + ">";
  for (size_t at = aOutput.find("recv DATA frame <length="); at != std::string::npos;
       at = aOutput.find("recv DATA frame <length=", at + 1)) {
    const size_t end = aOutput.find('\n', at);
    const std::string line = aOutput.substr(at, end - at);
    if (line.size() > tail.size() && line.compare(line.size() - tail.size(), tail.size(), tail) == 0)
      total += std::stoll(line.substr(std::string("recv DATA frame <length=").size()));
  }
  return total;
}

// A GET of a registered document pushes its links, each a whole answer on its
// promised stream; a pushed answer pushes nothing (the page links itself). No push
// for a client that disables it, nor for a document that differs in letter case.
TEST_F(HTTP2ServerTest, PreloadLinksArePushed) {
  server.PushPromiseAddPreLoadLinks("/page", {"/big", "/file", "/page"});
  server.PushPromiseAddPreLoadLinks("/other", {"/a"});
  const CommandResult pushed = RunCommand("nghttp -nv " + base + "/page?x=1");
  ASSERT_EQ(pushed.ExitCode, 0) << pushed.Output.substr(0, 3000);
  EXPECT_EQ(Count(pushed.Output, "recv PUSH_PROMISE frame"), 3u);
  EXPECT_EQ(Count(pushed.Output, "promised_stream_id=2)"), 1u);
  EXPECT_EQ(Count(pushed.Output, "promised_stream_id=6)"), 1u);
  EXPECT_EQ(DataOctets(pushed.Output, 2), 200000);
  EXPECT_EQ(DataOctets(pushed.Output, 4), 300000);
  EXPECT_GT(DataOctets(pushed.Output, 6), 0);
  EXPECT_EQ(Count(pushed.Output, ":status: 200"), 4u);
  for (const std::string& quiet : {"nghttp -nv --no-push " + base + "/page", "nghttp -nv " + base + "/Page"}) {
    const CommandResult none = RunCommand(quiet);
    ASSERT_EQ(none.ExitCode, 0) << none.Output.substr(0, 2000);
    EXPECT_EQ(Count(none.Output, "PUSH_PROMISE"), 0u) << quiet;
  }
  server.PushPromiseRemovePreLoadLinks("/page");
  EXPECT_EQ(Count(RunCommand("nghttp -nv " + base + "/page").Output, "PUSH_PROMISE"), 0u);
}

// RFC 9113 5.1.2: the client's SETTINGS_MAX_CONCURRENT_STREAMS bounds the pushed
// streams; 150 links meet limits of 0, 10 and nghttp's default of 100.
TEST_F(HTTP2ServerTest, PushKeepsToTheClientsStreamLimit) {
  std::vector<std::string> links;
  for (int i = 0; i < 150; ++i)
    links.push_back("/a" + std::to_string(i));
  server.PushPromiseAddPreLoadLinks("/page", links);
  for (const auto& [limit, pushes] : std::vector<std::pair<std::string, size_t>>{{" --max-concurrent-streams=0", 0},
                                                                                {" --max-concurrent-streams=10", 10},
                                                                                {"", 100}}) {
    const CommandResult pushed = RunCommand("nghttp -nv" + limit + " " + base + "/page");
    EXPECT_EQ(pushed.ExitCode, 0) << limit << pushed.Output.substr(0, 3000);
    EXPECT_EQ(Count(pushed.Output, "recv PUSH_PROMISE frame"), pushes) << limit;
    EXPECT_EQ(Count(pushed.Output, ":status: 200"), pushes + 1) << limit;
    EXPECT_EQ(Count(pushed.Output, "RST_STREAM"), 0u) << limit;
  }
}

// Requests served over HTTP/2 (h2load -c 4 -m 100) and over one HTTP/1.1 keep-alive
// connection (h2load --h1 -c 1) leave nothing behind: after a warm-up load, 20000
// more of each grow the live heap by less than 64 KiB once their connections are
// gone, so a growth of 2 octets per request shows.
TEST_F(HTTP2ServerTest, ServedRequestsLeaveTheLiveHeapFlat) {
  constexpr int kRequests = 20000;
  const auto load = [&](const std::string& aClient, int aRequests) {
    const std::string n = std::to_string(aRequests);
    const CommandResult result = RunCommand("h2load -n " + n + " " + aClient + " " + base + "/a");
    ASSERT_EQ(result.ExitCode, 0) << result.Output;
    EXPECT_NE(result.Output.find(n + " succeeded, 0 failed, 0 errored"), std::string::npos) << result.Output;
  };
  const auto settledLiveHeap = [&] {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (server.ConnectionCount() > 0 && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(server.ConnectionCount(), 0);
    return LiveHeap();
  };
  const std::array<std::string, 2> clients = {"-c 4 -m 100", "--h1 -c 1"};
  for (const std::string& client : clients)
    load(client, kRequests / 5);
  const int64_t before = settledLiveHeap();
  for (const std::string& client : clients)
    load(client, kRequests);
  const int64_t after = settledLiveHeap();
  EXPECT_LT(after - before, 64 << 10) << before << " -> " << after;
  EXPECT_EQ(versions.Counts(),
            (std::map<std::string, int>{{"HTTP/1.1", kRequests * 6 / 5}, {"HTTP/2", kRequests * 6 / 5}}));
}


// Runs a Python client against the server at aBase: the port is the script's first
// argument, aArguments follow. The client is expected to end normally.
std::string RunClient(const std::string& aScript, const std::string& aBase, const std::string& aArguments = "") {
  const std::string path = "/tmp/zal_h2_client_" + std::to_string(getpid()) + "_" +
                           std::to_string(std::hash<std::thread::id>()(std::this_thread::get_id())) + ".py";
  std::ofstream(path) << aScript;
  const CommandResult run =
      RunCommand("/usr/bin/python3 " + path + " " + aBase.substr(aBase.rfind(':') + 1) + " " + aArguments);
  std::remove(path.c_str());
  EXPECT_EQ(run.ExitCode, 0) << run.Output;
  return run.Output;
}

// Python: the frames that arrive on the socket `s` until the server closes it.
const std::string kFrameReader = R"(
def frames():
    buf = b''
    while True:
        d = s.recv(65536)
        if not d: return
        buf += d
        while len(buf) >= 9:
            f, n = Frame.parse_frame_header(memoryview(buf[:9]))
            if len(buf) < 9 + n: break
            f.parse_body(memoryview(buf[9:9 + n])); buf = buf[9 + n:]
            yield f
)";

// A python3-h2 client that misbehaves in one way (SCENARIO), then reads until the
// server closes and prints the GOAWAY error code it got (or "no goaway").
const std::string kMisbehavingClient = kFrameReader + R"(
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
try:
    for f in frames():
        if isinstance(f, GoAwayFrame):
            code = str(f.error_code)
except OSError:
    pass
print(code)
)";

std::string Misbehave(const std::string& aBase, const std::string& aScenario) {
  std::string script = kMisbehavingClient;
  script.replace(script.find("SCENARIO"), 8, aScenario);
  return RunClient(script, aBase);
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

// A client that asks STREAMS times for PATH (/big, 200000 octets, by default) with every stream
// window at 0, then opens stream 1 by UPDATE octets every half second (0: never)
// for at most SECONDS. Prints the HEADERS frames, the REFUSED_STREAM resets and
// the DATA octets it got, the GOAWAY code ("none") and the seconds until the end.
const char* kClosedWindowClient = R"(
import socket, sys, time
from hpack import Encoder
from hyperframe.frame import *
port, streams, update, seconds = (int(a) for a in sys.argv[1:5])
path = sys.argv[5] if len(sys.argv) > 5 else '/big'
s = socket.create_connection(('127.0.0.1', port))
enc = Encoder()
out = b'PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n' + SettingsFrame(0, settings={SettingsFrame.INITIAL_WINDOW_SIZE: 0}).serialize()
for i in range(streams):
    f = HeadersFrame(1 + 2 * i, data=enc.encode([(':method', 'GET'), (':scheme', 'http'), (':path', path), (':authority', 'x')]))
    f.flags.add('END_HEADERS'); f.flags.add('END_STREAM')
    out += f.serialize()
s.sendall(out)
s.settimeout(0.1)
start = last = time.time()
buf, headers, refused, data, goaway = b'', 0, 0, 0, 'none'
while time.time() - start < seconds:
    if update and time.time() - last >= 0.5:
        s.sendall(WindowUpdateFrame(1, window_increment=update).serialize())
        last = time.time()
    try:
        d = s.recv(65536)
    except socket.timeout:
        continue
    except OSError:
        break
    if not d:
        break
    buf += d
    while len(buf) >= 9:
        f, length = Frame.parse_frame_header(memoryview(buf[:9]))
        if len(buf) < 9 + length:
            break
        f.parse_body(memoryview(buf[9:9 + length]))
        buf = buf[9 + length:]
        if isinstance(f, HeadersFrame):
            headers += 1
        elif isinstance(f, RstStreamFrame) and f.error_code == 7:
            refused += 1
        elif isinstance(f, DataFrame):
            data += len(f.data)
        elif isinstance(f, GoAwayFrame):
            goaway = f.error_code
print(headers, refused, data, goaway, '%.1f' % (time.time() - start))
)";

struct ClosedWindowResult {
  int headers = -1, refused = -1, data = -1;
  std::string goAway;
  double seconds = 0;
};

ClosedWindowResult HoldWindowsClosed(const std::string& aBase, int aStreams, int aUpdate, int aSeconds,
                                     const std::string& aPath = "/big") {
  const std::string output = RunClient(kClosedWindowClient, aBase,
                                       std::to_string(aStreams) + " " + std::to_string(aUpdate) + " " +
                                           std::to_string(aSeconds) + " " + aPath);
  ClosedWindowResult result;
  std::istringstream(output) >> result.headers >> result.refused >> result.data >> result.goAway >> result.seconds;
  return result;
}

// Queued output is bounded: with five answers of 200000 octets queued on closed
// windows a sixth stream is accepted at a bound of 1000000 and refused one octet
// below it. Output that does not move for StallTimeOut ends the connection with
// GOAWAY NO_ERROR; output that keeps moving, however slowly, does not.
TEST_F(HTTP2ServerTest, ClosedWindowsBoundTheQueueAndEndTheConnection) {
  for (const auto& [bound, accepted] : std::vector<std::pair<int64_t, int>>{{1000000, 6}, {999999, 5}}) {
    Reconfigure([&] {
      server.HTTP2Options().StallTimeOut = 2000;
      server.HTTP2Options().MaxQueuedOutput = bound;
    });
    const ClosedWindowResult held = HoldWindowsClosed(base, 40, 0, 30);
    EXPECT_EQ(held.headers, accepted) << bound;
    EXPECT_EQ(held.refused, 40 - accepted) << bound;
    EXPECT_EQ(held.data, 0);
    EXPECT_EQ(held.goAway, "0");
    EXPECT_GE(held.seconds, 1.9);
    EXPECT_LT(held.seconds, 10);
  }
  const ClosedWindowResult trickled = HoldWindowsClosed(base, 3, 1000, 5);
  EXPECT_EQ(trickled.goAway, "none");
  EXPECT_GE(trickled.data, 8000);
}

// Ping and Close from a thread of the application, and the component's Ping,
// reach the client through the connection's own thread: the PING is acknowledged,
// Close sends GOAWAY NO_ERROR after the pings posted before it. Pings go out
// the same when the queue options hold them for the connection's next step.
class HTTP2PingTest : public HTTP2ServerTest, public ::testing::WithParamInterface<TwsQueueMsgLevels> {};

INSTANTIATE_TEST_SUITE_P(Queued, HTTP2PingTest, ::testing::Values(qmNone, qmLevel1));

TEST_P(HTTP2PingTest, PingAndCloseFromAnotherThread) {
  server.SetActive(false);  // the connections' threads read options and events
  server.QueueOptions().Ping.Level = GetParam();
  std::promise<TzalWSConnectionRef> connected;
  server.HTTP2Options().Events.OnConnect = true;
  server.OnConnect = [&](TzalWSConnection* aConnection) { connected.set_value(TzalWSConnectionRef(aConnection)); };
  server.SetActive(true);
  auto client = std::async(std::launch::async, [&] {
    return Misbehave(base, R"(
pings = 0
for f in frames():
    if isinstance(f, PingFrame) and 'ACK' not in f.flags:
        pings += 1
        send(PingFrame(0, opaque_data=f.opaque_data), 'ACK')
    if isinstance(f, GoAwayFrame):
        print(f.error_code, 'closed' if s.recv(65536) == b'' else 'open', pings)
        sys.exit(0)
)");
  });
  auto future = connected.get_future();
  ASSERT_EQ(future.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  const TzalWSConnectionRef connection = future.get();
  server.Ping("heartbeat");  // the component's heartbeat reaches every connection
  EXPECT_TRUE(connection->Ping("beat", 5000));
  connection->Close();
  EXPECT_EQ(client.get(), "0 closed 2\n");
}


// A raw client (hpack + hyperframe, which check nothing) that sends one request
// with the header fields given as a Python list literal and prints the answer's
// ":status" and body, or "reset <code>" / "goaway <code>".
const std::string kOneRequestClient = kFrameReader + R"(
import ast, socket, sys
from hpack import Encoder, Decoder
from hyperframe.frame import *
port, fields = int(sys.argv[1]), ast.literal_eval(sys.argv[2])
s = socket.create_connection(('127.0.0.1', port))
s.settimeout(10)
h = HeadersFrame(1, data=Encoder().encode(fields))
h.flags.add('END_HEADERS'); h.flags.add('END_STREAM')
s.sendall(b'PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n' + SettingsFrame(0).serialize() + h.serialize())
status, body, dec = None, b'', Decoder()
for f in frames():
    if isinstance(f, HeadersFrame):
        status = dict(dec.decode(f.data))[':status']
    elif isinstance(f, DataFrame):
        body += f.data
    elif isinstance(f, RstStreamFrame):
        print('reset', f.error_code); sys.exit(0)
    elif isinstance(f, GoAwayFrame):
        print('goaway', f.error_code); sys.exit(0)
    if 'END_STREAM' in f.flags:
        print(status, body.decode()); sys.exit(0)
)";

std::string OneRequest(const std::string& aBase, const std::string& aFields) {
  return RunClient(kOneRequestClient, aBase, "\"" + aFields + "\"");
}

// Requests RFC 9113 allows reach the handler as on HTTP/1.1: an extension method,
// a "host" field instead of ":authority"; CONNECT (a tunnel) is answered 405.
TEST_F(HTTP2ServerTest, ValidRequestsOfEveryShapeAreAnswered) {
  Reconfigure([&] { server.OnCommandOther = server.OnCommandGet; });
  for (const auto& [fields, expected] : std::vector<std::pair<std::string, std::string>>{
           {"[(':method','PROPFIND'),(':scheme','http'),(':path','/dav'),(':authority','x')]", "200 PROPFIND /dav 0 x\n"},
           {"[(':method','GET'),(':scheme','http'),(':path','/h'),('host','named')]", "200 GET /h 0 named\n"},
           {"[(':method','CONNECT'),(':authority','example.org:443')]", "405 \n"},
           {"[(':method','CONNECT'),(':authority','x'),(':path','/')]", "reset 1\n"}}) {
    EXPECT_EQ(OneRequest(base, fields), expected) << fields;
  }
}


// The SETTINGS the server opens with, as "id=value" pairs in the order sent.
std::string AnnouncedSettings(const std::string& aBase) {
  const CommandResult result = RunCommand("/usr/bin/python3 -c \"\nimport socket, sys\nfrom hyperframe.frame import *\n"
                                          "s = socket.create_connection(('127.0.0.1', " +
                                          aBase.substr(aBase.rfind(':') + 1) +
                                          "))\ns.sendall(b'PRI * HTTP/2.0\\r\\n\\r\\nSM\\r\\n\\r\\n' + "
                                          "SettingsFrame(0).serialize())\nh = s.recv(9)\nf, n = "
                                          "Frame.parse_frame_header(memoryview(h))\nf.parse_body(memoryview(s.recv(n)))\n"
                                          "print(' '.join('%d=%d' % kv for kv in f.settings.items()))\"");
  EXPECT_EQ(result.ExitCode, 0) << result.Output;
  return result.Output;
}

// What the server enforces it announces (RFC 9113 6.5.2): its stream limit and
// header-list cap also when the options allow more, and lower values from them.
TEST_F(HTTP2ServerTest, EnforcedLimitsAreAnnounced) {
  EXPECT_EQ(AnnouncedSettings(base), "3=100 6=1048576\n");
  Reconfigure([&] {
    server.HTTP2Options().Settings.MaxConcurrentStreams = 10;
    server.HTTP2Options().Settings.MaxHeaderListSize = 8192;
    server.HTTP2Options().Settings.InitialWindowSize = 1 << 20;
  });
  EXPECT_EQ(AnnouncedSettings(base), "3=10 4=1048576 6=8192\n");
}


// RFC 9113 6.8: the GOAWAY that ends a connection reaches a client that goes on
// sending after it: the server stops sending and drains what arrives for
// LingerTimeOut instead of closing with unread input, which resets the
// connection, and a client whose send fails with the reset drops the GOAWAY
// it has not read yet. Five connections keep sending for a second after it.
TEST_F(HTTP2ServerTest, GoAwayOutlivesAClientThatKeepsSending) {
  const std::string scenario = R"(
import time
for i in range(300):
    sid = 1 + 2 * i
    send(HeadersFrame(sid, data=hdrs(sid)), 'END_HEADERS')
    send(RstStreamFrame(sid, error_code=8))
for i in range(20):
    time.sleep(0.05)
    try:
        s.sendall(DataFrame(1, data=b'x' * 16000).serialize())
    except OSError as e:
        print('send failed:', e.strerror)
        sys.exit(0)
)";
  for (int i = 0; i < 5; ++i)
    EXPECT_EQ(Misbehave(base, scenario), "11\n") << i;
}


// A connection without streams, output or received octets for IdleTimeOut ends
// with GOAWAY NO_ERROR; octets that keep arriving, or a stream still open (an
// upload not finished), keep it until they stop.
TEST_F(HTTP2ServerTest, IdleConnectionsEndAfterTheIdleTimeOut) {
  Reconfigure([&] { server.HTTP2Options().IdleTimeOut = 1000; });
  const std::string pinging = R"(
import time
for i in range(7):
    time.sleep(0.3)
    send(PingFrame(0, opaque_data=b'12345678'))
)";
  const std::string uploading = R"(
import time
send(HeadersFrame(1, data=hdrs(1)), 'END_HEADERS')
time.sleep(2)
send(DataFrame(1, data=b'x'), 'END_STREAM')
)";
  for (const auto& [name, scenario, atLeast, below] : std::vector<std::tuple<std::string, std::string, double, double>>{
           {"silent", "", 0.9, 3}, {"pinging for 2 s", pinging, 2.9, 5}, {"an upload of 2 s", uploading, 2.9, 5}}) {
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Misbehave(base, scenario), "0\n") << name;
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_GE(seconds, atLeast) << name;
    EXPECT_LT(seconds, below) << name;
  }
}


// A python3-h2 client that uploads STREAMS bodies of SIZE octets at once on one
// connection, as fast as the windows allow, holding back each body's last octet
// until every body is sent but that octet, and prints the answers' statuses
// ("413 200 ..." in stream order; "reset" for a stream reset before its answer).
const char* kUploadingClient = R"(
import socket, sys, h2.connection, h2.config, h2.events, h2.exceptions
port, streams, size = (int(a) for a in sys.argv[1:4])
s = socket.create_connection(('127.0.0.1', port))
s.settimeout(30)
c = h2.connection.H2Connection(h2.config.H2Configuration(client_side=True))
c.initiate_connection()
left, status = {}, {}
for i in range(streams):
    sid = c.get_next_available_stream_id()
    c.send_headers(sid, [(':method', 'POST'), (':scheme', 'http'), (':path', '/up'), (':authority', 'x'),
                         ('content-length', str(size))])
    left[sid] = size
chunk = b'u' * 16384
def pump():  # one frame per stream in turn; the last octets only once all are held
    for sid in [sid for sid in left if sid in status]:
        del left[sid]  # answered early: nothing more is read
    moved = True
    while moved:
        moved = False
        last = all(n == 1 for n in left.values())
        for sid in list(left):
            n = min(c.local_flow_control_window(sid), c.max_outbound_frame_size, left[sid] - (not last))
            if n <= 0:
                continue
            c.send_data(sid, chunk[:n], end_stream=(n == left[sid]))
            left[sid] -= n
            moved = True
            if not left[sid]:
                del left[sid]
while len(status) < streams:
    pump()
    s.sendall(c.data_to_send())
    d = s.recv(1 << 20)
    if not d: break
    for ev in c.receive_data(d):
        if isinstance(ev, h2.events.ResponseReceived):
            status[ev.stream_id] = dict(ev.headers)[b':status'].decode()
        elif isinstance(ev, h2.events.StreamReset) and ev.stream_id not in status:
            status[ev.stream_id] = 'reset'
    s.sendall(c.data_to_send())
print(' '.join(status[sid] for sid in sorted(status)))
)";

std::string Upload(const std::string& aBase, int aStreams, int64_t aSize) {
  return RunClient(kUploadingClient, aBase, std::to_string(aStreams) + " " + std::to_string(aSize));
}

// Bodies are held until their requests are complete, within bounds: a connection
// holds at most MaxBufferedRequestBody, the server MaxBufferedRequestBodyTotal;
// the stream that would pass one is answered 413 at once. Just below each bound
// every body is served.
TEST_F(HTTP2ServerTest, HeldRequestBodiesStayWithinTheirBounds) {
  constexpr int64_t kMiB = 1 << 20;
  // The most held at once is both bodies but the second one's last octet.
  for (const auto& [bound, refused] : std::vector<std::pair<int64_t, size_t>>{{2 * kMiB - 1, 0}, {2 * kMiB - 2, 1}}) {
    Reconfigure([&] { server.HTTP2Options().MaxBufferedRequestBody = bound; });
    EXPECT_EQ(Count(Upload(base, 2, kMiB), "413"), refused) << bound;
  }
  for (const auto& [total, refused] : std::vector<std::pair<int64_t, size_t>>{{2 * kMiB - 1, 0}, {2 * kMiB - 2, 1}}) {
    Reconfigure([&] {
      server.HTTP2Options().MaxBufferedRequestBody = 32 * kMiB;
      server.HTTP2Options().MaxBufferedRequestBodyTotal = total;
    });
    EXPECT_EQ(Count(Upload(base, 2, kMiB), "413"), refused) << total;
  }
}

// The attack at the server's defaults: three connections of ten uploads of
// 12 MiB each. The live heap stays within the two connection bounds of 32 MiB
// that the server total leaves room for, plus slack for growing buffers, where
// holding every body costs 360 MiB; afterwards it is back where it was.
TEST_F(HTTP2ServerTest, ManyLargeUploadsStayWithinTheHeldBodyBounds) {
  const int64_t before = LiveHeap();
  test::PeakSampler sampler(LiveHeap, std::chrono::milliseconds(5));
  std::vector<std::future<std::string>> clients;
  for (int i = 0; i < 3; ++i)
    clients.push_back(std::async(std::launch::async, [&] { return Upload(base, 10, 12 << 20); }));
  for (auto& client : clients)
    EXPECT_GT(Count(client.get(), "413"), 0u);
  EXPECT_LT(sampler.Stop() - before, 200 << 20) << "peak growth of the live heap";
  EXPECT_TRUE(test::WaitFor([&] { return server.ConnectionCount() == 0; }, 5000));
  EXPECT_LT(LiveHeap() - before, 4 << 20);
}


int64_t OpenDescriptors() {
  int64_t count = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd"))
    ++count;
  return count;
}

// Files are streamed from disk as the windows let them: 4 connections of 50
// streams asking for a 300000-octet file with every window closed hold one
// descriptor per connection, not one per stream. Once a window opens the file
// goes out as far as the windows let it (the connection's: 65535 octets).
TEST_F(HTTP2ServerTest, StreamsWaitingOnClosedWindowsHoldNoFiles) {
  const int64_t before = OpenDescriptors();
  test::PeakSampler sampler(OpenDescriptors, std::chrono::milliseconds(20));
  std::vector<std::future<ClosedWindowResult>> clients;
  for (int i = 0; i < 4; ++i)
    clients.push_back(std::async(std::launch::async, [&] { return HoldWindowsClosed(base, 50, 0, 2, "/file"); }));
  for (auto& client : clients)
    EXPECT_EQ(client.get().headers, 50);
  EXPECT_LT(sampler.Stop() - before, 20) << "descriptors opened while the windows were closed";
  const ClosedWindowResult opened = HoldWindowsClosed(base, 1, 400000, 3, "/file");
  EXPECT_EQ(opened.data, 65535);
}


// RFC 9113 6.8: a stop with a stream in flight sends GOAWAY NO_ERROR, lets the
// stream finish (its 200000 octets reach nghttp whole) and then closes; a stream
// that does not finish within StopGraceTimeOut is cut when it ends.
TEST_F(HTTP2ServerTest, StopLetsStreamsInFlightFinishWithinTheGraceTime) {
  std::atomic<int> slowMs{600};
  std::atomic<bool> inHandler{false};
  const auto handler = server.OnCommandGet;
  Reconfigure([&] {
    server.OnCommandGet = [&](TIdContext* c, TIdHTTPRequestInfo* rq, TIdHTTPResponseInfo* rs) {
      if (rq->Document() == "/slow") {
        inHandler = true;
        std::this_thread::sleep_for(std::chrono::milliseconds(slowMs.load()));
      }
      rq->SetDocument("/big");
      handler(c, rq, rs);
    };
    server.HTTP2Options().StopGraceTimeOut = 2000;
  });
  for (const auto& [handlerMs, finishes] : std::vector<std::pair<int, bool>>{{600, true}, {4000, false}}) {
    if (!server.Active()) {
      base = "http://127.0.0.1:" + std::to_string(test::ActivePort(server));
    }
    slowMs = handlerMs;
    inHandler = false;
    auto client = std::async(std::launch::async, [&] { return RunCommand("nghttp -nv " + base + "/slow"); });
    ASSERT_TRUE(test::WaitFor([&] { return inHandler.load(); }, 5000));  // the stream is in flight
    const auto start = std::chrono::steady_clock::now();
    server.SetActive(false);
    const double stopSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const CommandResult result = client.get();
    if (finishes) {
      EXPECT_EQ(result.ExitCode, 0) << result.Output.substr(0, 3000);
      EXPECT_NE(result.Output.find("recv GOAWAY frame"), std::string::npos) << result.Output.substr(0, 3000);
      EXPECT_NE(result.Output.find("error_code=NO_ERROR"), std::string::npos);
      EXPECT_EQ(DataOctets(result.Output, 13), 200000);
      EXPECT_LT(stopSeconds, 2.0);
    } else {
      EXPECT_LT(DataOctets(result.Output, 13), 200000) << "the stream outlived the grace time";
      EXPECT_GE(stopSeconds, 1.9);
    }
  }
}

// A client that opens its windows wide, asks for a large file and stops reading
// for a while, resets that stream and asks for another: its connection kept
// reading, so the reset ends the file within what the socket buffers and one
// writer's worth hold, and the second answer follows. Prints the file's DATA
// octets before the second answer's HEADERS, and that answer's status.
const char* kStopsReadingClient = R"(
import socket, sys, time
from hpack import Encoder
from hyperframe.frame import *
port = int(sys.argv[1])
s = socket.create_connection(('127.0.0.1', port))
enc = Encoder()
def request(sid, path):
    f = HeadersFrame(sid, data=enc.encode([(':method', 'GET'), (':scheme', 'http'), (':path', path), (':authority', 'x')]))
    f.flags.add('END_HEADERS'); f.flags.add('END_STREAM')
    return f.serialize()
s.sendall(b'PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n' + SettingsFrame(0, settings={SettingsFrame.INITIAL_WINDOW_SIZE: 2**31 - 1}).serialize()
          + WindowUpdateFrame(0, window_increment=2**31 - 1 - 65535).serialize() + request(1, '/huge'))
time.sleep(1)
s.sendall(RstStreamFrame(1, error_code=8).serialize() + request(3, '/a'))
time.sleep(1)
s.settimeout(20)
buf, first = b'', 0
while True:
    d = s.recv(1 << 20)
    if not d:
        print(first, 'closed'); sys.exit(0)
    buf += d
    while len(buf) >= 9:
        f, n = Frame.parse_frame_header(memoryview(buf[:9]))
        if len(buf) < 9 + n:
            break
        f.parse_body(memoryview(buf[9:9 + n])); buf = buf[9 + n:]
        if isinstance(f, DataFrame) and f.stream_id == 1:
            first += len(f.data)
        elif isinstance(f, HeadersFrame) and f.stream_id == 3:
            print(first, 'answered'); sys.exit(0)
)";

TEST_F(HTTP2ServerTest, AClientThatStopsReadingIsStillHeard) {
  constexpr int64_t kFileSize = 256 << 20;
  const std::string huge = filePath + ".huge";
  std::ofstream(huge).close();
  ASSERT_EQ(::truncate(huge.c_str(), kFileSize), 0);  // sparse: read as zeros
  const auto handler = server.OnCommandGet;
  Reconfigure([&] {
    server.OnCommandGet = [huge, handler](TIdContext* c, TIdHTTPRequestInfo* rq, TIdHTTPResponseInfo* rs) {
      if (rq->Document() == "/huge")
        rs->ServeFile(c, huge);
      else
        handler(c, rq, rs);
    };
  });
  std::istringstream output(RunClient(kStopsReadingClient, base));
  std::remove(huge.c_str());
  int64_t firstOctets = -1;
  std::string outcome;
  output >> firstOctets >> outcome;
  EXPECT_EQ(outcome, "answered");
  EXPECT_GE(firstOctets, 0);
  EXPECT_LT(firstOctets, kFileSize / 8) << "the file went on after its reset";
}

// An application thread answers a stream of a connection again and again while
// its client sends a request and goes away: the frames only join the
// connection's writer, so the thread never touches a socket that the
// connection's own thread closes and frees. Run under ThreadSanitizer and ASan.
TEST_F(HTTP2ServerTest, AnswersFromAnotherThreadRaceTheClientsDeparture) {
  constexpr int kClients = 20, kAnswers = 200;
  std::mutex lock;
  std::condition_variable arrived;
  std::deque<TzalWSConnectionRef> waiting;
  int connected = 0;
  Reconfigure([&] {
    server.HTTP2Options().Events.OnConnect = true;
    server.OnConnect = [&](TzalWSConnection* aConnection) {
      std::lock_guard guard(lock);
      waiting.emplace_back(aConnection);
      arrived.notify_one();
    };
  });
  std::thread writer([&] {
    TMemoryStream body(TIdBytes(20000, 'w'));
    for (std::unique_lock guard(lock); connected < kClients; ++connected) {
      if (!arrived.wait_for(guard, std::chrono::seconds(10), [&] { return !waiting.empty(); }))
        return;
      const TzalWSConnectionRef connection = std::move(waiting.front());
      waiting.pop_front();
      guard.unlock();
      for (int i = 0; i < kAnswers; ++i) {
        body.SetPosition(0);
        static_cast<TzalWSConnectionServer&>(*connection).SendResponse(body, "text/plain", 1);
      }
      guard.lock();
    }
  });
  for (int i = 0; i < kClients; ++i)
    Misbehave(base, "send(HeadersFrame(1, data=hdrs(1)), 'END_HEADERS', 'END_STREAM')\ns.close()\nsys.exit(0)");
  writer.join();
  EXPECT_EQ(connected, kClients);
  EXPECT_TRUE(test::WaitFor([&] { return server.ConnectionCount() == 0; }, 10000 * test::kSanitizerSlowdown));
}

}  // namespace
}  // namespace zal
