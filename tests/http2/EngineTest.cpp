// The connection engine: a receiving and a sending engine wired as a server would
// wire them, driven by Debian's python3-h2 as the client (its bytes in, our bytes
// parsed by it), by input split at every offset, and by hand-made frames for the
// rules a well-behaved client never breaks.
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <sstream>

#include "HTTP2TestSupport.h"
#include "common/zalTestChild.h"
#include "http2/zalHTTP2_Engine.h"

namespace zal {
namespace {

using test::FromHex;
using test::ToHex;

// A minimal server over the two engines: SETTINGS and PING answered, windows passed
// on, every complete request answered with 200 and the body "<method> <path> <length>"
// (or Reply when set), errors answered with RST_STREAM or GOAWAY.
class EngineServer {
public:
  EngineServer() {
    Read.OnWriteBytes = [this](TzalHTTP2_Frame*, const TIdBytes& b) { Output.insert(Output.end(), b.begin(), b.end()); };
    Write.OnWriteBytes = Read.OnWriteBytes;
    Read.OnReadFrameSettings = [this](TzalHTTP2_Frame*, TzalHTTP2_Frame_Settings* s) {
      if (s->ACK())
        return;
      Write.SetWriteDataFramesInitialWindowSize(s->InitialWindowSize());
      Write.Frame_Settings().Assign(*s);
      Write.Frame_Settings().SetACK(true);
      Write.Frame_Settings().WriteBytes();
    };
    Read.OnReadFramePing = [this](TzalHTTP2_Frame*, TzalHTTP2_Frame_Ping* p) {
      if (p->ACK())
        return;
      Write.Frame_Ping().SetPayLoad(p->PayLoad());
      Write.Frame_Ping().SetACK(true);
      Write.Frame_Ping().WriteBytes();
    };
    Read.OnReadFrameWindowUpdate = [this](TzalHTTP2_Frame*, TzalHTTP2_Frame_WindowUpdate* w) {
      Write.SetWriteDataFramesWindowSize(w->StreamIdentifier(), w->WindowSizeIncrement());
    };
    Read.OnReadFrameRSTStream = [this](TzalHTTP2_Frame*, TzalHTTP2_Frame_RSTStream* r) {
      Events << "rst:" << r->StreamIdentifier() << ":" << r->ErrorCode() << " ";
      Write.DropWriteStream(r->StreamIdentifier());
    };
    Read.OnStreamReset = [this](TzalHTTP2_Frame*, int32_t id) { Write.DropWriteStream(id); };
    Write.OnStreamEndSent = [this](TzalHTTP2_Frame*, int32_t id) { Read.EndStreamSent(id); };
    Read.OnReadStreamResponse = [this](TzalHTTP2_Frame*, TzalHTTP2_StreamResponse* s) { Answer(*s); };
  }

  void Start() { Write.Frame_Settings().WriteBytes(); }

  // Feeds octets; a connection error becomes GOAWAY with its code.
  void Feed(std::span<const uint8_t> aBytes) {
    try {
      Read.ReadBytes(aBytes);
    } catch (const TzalHTTP2Exception& e) {
      Error = e.ErrorCode();
      Write.Frame_GoAway().SetErrorCode(e.ErrorCode());
      Write.Frame_GoAway().SetLastStreamid(Read.LastStreamIdentifierRecv());
      Write.Frame_GoAway().WriteBytes();
    }
  }
  TIdBytes TakeOutput() { return std::exchange(Output, {}); }

  void Answer(TzalHTTP2_StreamResponse& aStream) {
    std::string method, path;
    for (const std::string& line : aStream.Frame_Headers()->Headers()) {
      if (line.rfind(":method=", 0) == 0)
        method = line.substr(8);
      if (line.rfind(":path=", 0) == 0)
        path = line.substr(6);
    }
    const std::string body = aStream.BodyTooLarge() ? "too large"
                             : Reply.empty() ? method + " " + path + " " + std::to_string(aStream.BodyLength())
                                             : Reply;
    Bodies[aStream.StreamIdentifier()] = aStream.BodyTooLarge() ? -1 : static_cast<int64_t>(aStream.BodyLength());
    TzalHTTP2_Frame_Headers& headers = Write.Frame_Headers();
    headers.Clear();
    headers.SetStreamIdentifier(aStream.StreamIdentifier());
    headers.SetEndHeaders(true);
    headers.SetEndStream(false);
    headers.Headers() = {":status: " + std::string(aStream.BodyTooLarge() ? "413" : "200"), "content-type: text/plain"};
    headers.WriteBytes();
    TzalHTTP2_Frame_Data& data = Write.Frame_Data();
    data.Clear();
    data.SetStreamIdentifier(aStream.StreamIdentifier());
    data.SetData(TIdBytes(body.begin(), body.end()));
    data.SetEndStream(true);
    data.WriteBytes();
  }

  TzalHTTP2_Frame Read{h2frServerRead};
  TzalHTTP2_Frame Write{h2frServerWrite};
  TIdBytes Output;
  std::ostringstream Events;
  std::map<int32_t, int64_t> Bodies;  // stream -> body length answered (-1: too large)
  std::string Reply;
  int Error = -1;
};

// ---------------------------------------------------------------- python3-h2 as the client

// The client reads the server's octets as hex lines and answers each with two lines:
// the events it saw and the octets it sends (hex), "-" for none.
const char* kClientDriver = R"(
import sys, h2.connection, h2.config, h2.events, h2.settings
c = h2.connection.H2Connection(h2.config.H2Configuration(client_side=True, header_encoding='utf-8'))
c.initiate_connection()
pending = {}
events = []
def request(sid, path, body=b'', end=True, extra=()):
    hdrs = [(':method', 'POST' if body else 'GET'), (':scheme', 'http'), (':path', path), (':authority', 'peer')] + list(extra)
    c.send_headers(sid, hdrs, end_stream=end and not body)
    if body:
        pending[sid] = body
def pump():
    moved = True
    while moved:
        moved = False
        for sid in list(pending):
            data = pending[sid]
            n = min(c.local_flow_control_window(sid), c.max_outbound_frame_size, len(data))
            if n > 0:
                c.send_data(sid, data[:n]); data = data[n:]; moved = True
            pending[sid] = data
            if not data:
                c.end_stream(sid); del pending[sid]
def flush():
    pump()
    out = c.data_to_send()
    print(' '.join(events) or '-'); print(out.hex() or '-'); sys.stdout.flush(); events.clear()
SCENARIO
flush()
for line in sys.stdin:
    line = line.strip()
    for ev in c.receive_data(bytes.fromhex(line) if line != '-' else b''):
        if isinstance(ev, h2.events.ResponseReceived):
            events.append('resp:%d:%s' % (ev.stream_id, dict(ev.headers)[':status']))
        elif isinstance(ev, h2.events.DataReceived):
            c.acknowledge_received_data(ev.flow_controlled_length, ev.stream_id)
            events.append('data:%d:%s' % (ev.stream_id, ev.data.decode()))
        elif isinstance(ev, h2.events.StreamReset):
            events.append('reset:%d:%d' % (ev.stream_id, ev.error_code))
        elif isinstance(ev, h2.events.ConnectionTerminated):
            events.append('goaway:%d' % ev.error_code)
        elif isinstance(ev, h2.events.StreamEnded):
            events.append('end:%d' % ev.stream_id)
    flush()
)";

struct ClientRun {
  std::string Events;  // every event the client saw, in order
  int Rounds = 0;
};

// Runs a scenario (python statements using request/c) against an EngineServer until
// neither side has anything more to say. The 24-octet preface is checked and removed.
ClientRun RunClient(EngineServer& aServer, const std::string& aScenario) {
  std::string script = kClientDriver;
  script.replace(script.find("SCENARIO"), 8, aScenario);
  test::ChildProcess client({"/usr/bin/python3", "-c", script});
  ClientRun run;
  aServer.Start();
  bool first = true;
  for (; run.Rounds < 2000; ++run.Rounds) {
    std::string events, octets;
    if (!client.ReadLine(events, 60000) || !client.ReadLine(octets, 60000)) {
      ADD_FAILURE() << "python3-h2 client ended early (is python3-h2 installed?)";
      break;
    }
    if (events != "-")
      run.Events += events + " ";
    TIdBytes bytes = octets == "-" ? TIdBytes() : FromHex(octets);
    if (first) {
      EXPECT_EQ(std::string(bytes.begin(), bytes.begin() + 24), "PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n");
      bytes.erase(bytes.begin(), bytes.begin() + 24);
      first = false;
    }
    aServer.Feed(bytes);
    const TIdBytes answer = aServer.TakeOutput();
    if (bytes.empty() && answer.empty())
      break;
    client.WriteLine(answer.empty() ? "-" : ToHex(answer));
  }
  return run;
}

TEST(EngineInterop, GetRequestsAreAnsweredAndForgotten) {
  EngineServer server;
  const ClientRun run = RunClient(server, R"(
request(1, '/a')
request(3, '/b?x=1', extra=[('cookie', 'a=1'), ('cookie', 'b=2')])
request(5, '/c')
c.prioritize(11, weight=20)  # PRIORITY on an idle stream
)");
  EXPECT_EQ(run.Events,
            "resp:1:200 data:1:GET /a 0 end:1 resp:3:200 data:3:GET /b?x=1 0 end:3 resp:5:200 data:5:GET /c 0 end:5 ");
  EXPECT_EQ(server.Error, -1);
  EXPECT_EQ(server.Read.StreamCount(), 0u);
  EXPECT_EQ(server.Write.WriteDataFrames().StreamCount(), 0u);
}

TEST(EngineInterop, FourInterleavedUploadsComplete) {
  EngineServer server;
  const ClientRun run = RunClient(server, R"(
for sid in (1, 3, 5, 7):
    request(sid, '/up', body=bytes([sid]) * (200000 + sid))
)");
  EXPECT_EQ(server.Error, -1);
  for (int32_t id : {1, 3, 5, 7})
    EXPECT_EQ(server.Bodies[id], 200000 + id) << id;
  EXPECT_NE(run.Events.find("data:7:POST /up 200007"), std::string::npos) << run.Events;
  EXPECT_EQ(server.Read.StreamCount(), 0u);
}

TEST(EngineInterop, TrailersAndHeaderBlocksOverSeveralFrames) {
  EngineServer server;
  const ClientRun run = RunClient(server, R"(
request(1, '/big', extra=[('x-big', 'v' * 40000)])
c.send_headers(3, [(':method', 'POST'), (':scheme', 'http'), (':path', '/t'), (':authority', 'peer')])
c.send_data(3, b'abc', pad_length=7)
c.send_data(3, b'defg', pad_length=0)
c.send_headers(3, [('x-checksum', '42')], end_stream=True)
)");
  EXPECT_EQ(server.Error, -1);
  EXPECT_EQ(run.Events, "resp:1:200 data:1:GET /big 0 end:1 resp:3:200 data:3:POST /t 7 end:3 ");
}

TEST(EngineInterop, ResponsesLargerThanTheWindowsArriveWhole) {
  EngineServer server;
  server.Reply = std::string(150000, 'z');
  const ClientRun run = RunClient(server, R"(
c.update_settings({h2.settings.SettingCodes.INITIAL_WINDOW_SIZE: 1000})
request(1, '/one')
request(3, '/two')
)");
  EXPECT_EQ(server.Error, -1);
  size_t received[2] = {0, 0};
  std::istringstream events(run.Events);
  for (std::string event; events >> event;)
    if (event.rfind("data:", 0) == 0)
      received[event[5] == '1' ? 0 : 1] += event.size() - 7;
  EXPECT_EQ(received[0], 150000u);
  EXPECT_EQ(received[1], 150000u);
  EXPECT_NE(run.Events.find("end:1"), std::string::npos);
  EXPECT_NE(run.Events.find("end:3"), std::string::npos);
}

// ---------------------------------------------------------------- split input

// Client octets recorded from python3-h2: SETTINGS, PRIORITY on an idle stream, a
// GET with a large header field, a padded upload with trailers, PING.
std::optional<TIdBytes> RecordedClientBytes() {
  const auto out = test::RunPython(R"(
import h2.connection, h2.config
c = h2.connection.H2Connection(h2.config.H2Configuration(client_side=True))
c.initiate_connection()
c.prioritize(9, weight=3)
c.send_headers(1, [(':method', 'GET'), (':scheme', 'http'), (':path', '/'), (':authority', 'p')], end_stream=True)
c.send_headers(3, [(':method', 'GET'), (':scheme', 'http'), (':path', '/h'), (':authority', 'p'), ('x-big', 'q' * 3000)], end_stream=True)
c.send_headers(5, [(':method', 'PUT'), (':scheme', 'http'), (':path', '/u'), (':authority', 'p')])
for i in range(5):
    c.send_data(5, b'0123456789' * 100, pad_length=200)
c.send_data(5, b'tail', pad_length=1)
c.send_headers(5, [('x-sum', '1')], end_stream=True)
c.ping(b'12345678')
print(c.data_to_send()[24:].hex())
)", "");
  if (!out)
    return std::nullopt;
  return FromHex(*out);
}

std::string RunSplit(const TIdBytes& aBytes, const std::vector<size_t>& aCuts) {
  EngineServer server;
  size_t from = 0;
  for (size_t cut : aCuts) {
    server.Feed(std::span<const uint8_t>(aBytes).subspan(from, cut - from));
    from = cut;
  }
  server.Feed(std::span<const uint8_t>(aBytes).subspan(from));
  std::string trace = ToHex(server.TakeOutput());
  for (const auto& [id, length] : server.Bodies)
    trace += " " + std::to_string(id) + ":" + std::to_string(length);
  return trace + " error " + std::to_string(server.Error) + " streams " + std::to_string(server.Read.StreamCount());
}

TEST(EngineSplit, EveryOffsetGivesTheSameResult) {
  const auto bytes = RecordedClientBytes();
  ASSERT_TRUE(bytes) << "python3-h2 is needed";
  const std::string whole = RunSplit(*bytes, {});
  EXPECT_NE(whole.find(" 1:0 3:0 5:5004 error -1 streams 0"), std::string::npos) << whole;
  for (size_t cut = 1; cut < bytes->size(); ++cut)
    ASSERT_EQ(RunSplit(*bytes, {cut}), whole) << "cut at " << cut;
  std::vector<size_t> everyOctet(bytes->size() - 1);
  for (size_t i = 0; i < everyOctet.size(); ++i)
    everyOctet[i] = i + 1;
  EXPECT_EQ(RunSplit(*bytes, everyOctet), whole);
}

// ---------------------------------------------------------------- hand-made frames

// Builds client frames with an encoder of its own.
class ClientFrames {
public:
  ClientFrames& Frame(Th2FrameType aType, uint8_t aFlags, int32_t aStream, const TIdBytes& aPayload) {
    AppendFrameHeader(Bytes, static_cast<int32_t>(aPayload.size()), aType, aFlags, aStream);
    Bytes.insert(Bytes.end(), aPayload.begin(), aPayload.end());
    return *this;
  }
  TIdBytes Block(const std::string& aPath = "/", std::vector<std::string> aMore = {}) {
    TzalHTTP2_Frame_Headers headers(&Encoder, nullptr, h2frClientWrite);
    headers.Headers() = {":method: GET", ":scheme: http", ":path: " + aPath, ":authority: p"};
    headers.Headers().insert(headers.Headers().end(), aMore.begin(), aMore.end());
    return headers.EncodeHeaderList(headers.Headers());
  }
  ClientFrames& Get(int32_t aStream, uint8_t aFlags = h2FlagEndHeaders | h2FlagEndStream) {
    return Frame(h2ftHEADERS, aFlags, aStream, Block());
  }
  ClientFrames& Data(int32_t aStream, size_t aLength, bool aEnd = false) {
    return Frame(h2ftDATA, aEnd ? h2FlagEndStream : 0, aStream, TIdBytes(aLength, 'd'));
  }
  ClientFrames& Simple(Th2FrameType aType, int32_t aStream, const std::string& aHex, uint8_t aFlags = 0) {
    return Frame(aType, aFlags, aStream, FromHex(aHex));
  }
  TzalHTTP2_HPACK Encoder;
  TIdBytes Bytes;
};

// The frames of aBytes as "type:stream[:code]" (RST_STREAM, GOAWAY: error code;
// WINDOW_UPDATE: increment; DATA: length).
std::string Frames(const TIdBytes& aBytes) {
  std::string out;
  for (size_t at = 0; at + 9 <= aBytes.size();) {
    const TzalHTTP2_FrameHeader h = ReadFrameHeader(std::span<const uint8_t>(aBytes).subspan(at));
    const auto payload = std::span<const uint8_t>(aBytes).subspan(at + 9, static_cast<size_t>(h.Length));
    static const char* names[] = {"DATA", "HEADERS", "PRIORITY", "RST", "SETTINGS", "PUSH", "PING", "GOAWAY", "WU", "CONT"};
    out += std::string(names[h.Type]) + ":" + std::to_string(h.StreamIdentifier);
    if (h.Type == h2ftRST_STREAM || h.Type == h2ftWINDOW_UPDATE)
      out += ":" + std::to_string(BytesToInt(payload, 4, 0));
    if (h.Type == h2ftGOAWAY)
      out += ":" + std::to_string(BytesToInt(payload, 4, 4));
    if (h.Type == h2ftDATA)
      out += ":" + std::to_string(h.Length) + ((h.Flags & h2FlagEndStream) ? "e" : "");
    out += " ";
    at += 9 + static_cast<size_t>(h.Length);
  }
  return out;
}

std::string Exchange(EngineServer& aServer, const TIdBytes& aBytes) {
  aServer.Feed(aBytes);
  return Frames(aServer.TakeOutput());
}

TEST(EngineStreams, LifetimeAndClosedStreams) {
  EngineServer server;
  ClientFrames c;
  c.Get(1).Get(3);
  EXPECT_EQ(Exchange(server, c.Bytes), "HEADERS:1 DATA:1:7e HEADERS:3 DATA:3:7e ");
  EXPECT_EQ(server.Read.StreamCount(), 0u);
  // On the closed stream 1: PRIORITY, WINDOW_UPDATE and RST_STREAM are ignored,
  // DATA gets STREAM_CLOSED, and the connection reads on.
  ClientFrames closed;
  closed.Simple(h2ftPRIORITY, 1, "0000000010").Simple(h2ftWINDOW_UPDATE, 1, "00000100").Simple(h2ftRST_STREAM, 1, "00000008");
  closed.Data(1, 5, true).Get(5);
  EXPECT_EQ(Exchange(server, closed.Bytes), "RST:1:5 HEADERS:5 DATA:5:7e ");
  EXPECT_EQ(server.Error, -1);
}

// HEADERS on a stream without a record, by how the stream closed (RFC 9113 5.1,
// 5.1.1), and PRIORITY that makes a stream depend on itself (RFC 9113 5.3.1).
TEST(EngineStreams, LateHeadersAndSelfDependency) {
  using Build = std::function<void(ClientFrames&)>;
  const auto headers = [](ClientFrames& c, int32_t aStream) {
    c.Frame(h2ftHEADERS, h2FlagEndHeaders | h2FlagEndStream, aStream, c.Block());
  };
  for (const auto& [name, build, expected] : std::vector<std::tuple<std::string, Build, std::string>>{
           {"after both sides ended", [&](ClientFrames& c) { c.Get(1); headers(c, 1); },
            "HEADERS:1 DATA:1:7e GOAWAY:0:5 "},
           {"lower than a previous one", [&](ClientFrames& c) { c.Get(5); headers(c, 3); },
            "HEADERS:5 DATA:5:7e GOAWAY:0:1 "},
           {"after the peer's reset",
            [&](ClientFrames& c) {
              c.Get(1, h2FlagEndHeaders).Simple(h2ftRST_STREAM, 1, "00000008");
              headers(c, 1);
              c.Get(3);
            },
            "RST:1:5 HEADERS:3 DATA:3:7e "},
           {"after our reset, ignored",
            [&](ClientFrames& c) {
              c.Get(1, h2FlagEndHeaders).Simple(h2ftPRIORITY, 1, "0000000110");
              headers(c, 1);
              c.Data(1, 5, true).Get(3);
            },
            "RST:1:1 HEADERS:3 DATA:3:7e "},
           {"exclusive self-dependency", [&](ClientFrames& c) { c.Get(1, h2FlagEndHeaders).Simple(h2ftPRIORITY, 1, "8000000110"); },
            "RST:1:1 "},
           {"self-dependency of an idle stream", [&](ClientFrames& c) { c.Simple(h2ftPRIORITY, 1, "0000000110"); },
            "GOAWAY:0:1 "}}) {
    EngineServer server;
    ClientFrames c;
    build(c);
    EXPECT_EQ(Exchange(server, c.Bytes), expected) << name;
  }
}

TEST(EngineStreams, IdleStreams) {
  // PRIORITY opens nothing; DATA, WINDOW_UPDATE and RST_STREAM on an idle stream are
  // connection errors; an even stream the client opens is one too.
  for (const auto& [name, frames, expected] : std::vector<std::tuple<std::string, std::string, int>>{
           {"priority", "000005020000000009 0000000305", -1},
           {"data", "000001000000000009 61", h2erPROTOCOL_ERROR},
           {"window", "000004080000000009 00000001", h2erPROTOCOL_ERROR},
           {"rst", "000004030000000009 00000008", h2erPROTOCOL_ERROR}}) {
    EngineServer server;
    server.Feed(FromHex(frames));
    EXPECT_EQ(server.Error, expected) << name;
    EXPECT_EQ(server.Read.StreamCount(), 0u) << name;
  }
  EngineServer server;
  ClientFrames c;
  c.Get(2);
  EXPECT_EQ(Exchange(server, c.Bytes), "GOAWAY:0:1 ");
  // PRIORITY on a higher idle stream does not close the lower ones (nghttp sends it first).
  EngineServer priorityFirst;
  ClientFrames p;
  p.Simple(h2ftPRIORITY, 11, "0000000010").Get(1);
  EXPECT_EQ(Exchange(priorityFirst, p.Bytes), "HEADERS:1 DATA:1:7e ");
}

TEST(EngineStreams, ConcurrencyLimitRefusesOneStreamAndKeepsHPACKInStep) {
  EngineServer server;
  server.Read.SetMaxConcurrentStreams(1);
  ClientFrames c;
  c.Get(1, h2FlagEndHeaders);  // an upload stays open
  c.Frame(h2ftHEADERS, h2FlagEndHeaders | h2FlagEndStream, 3, c.Block("/refused", {"x-new: indexed"}));
  c.Data(1, 4, true);
  // The refused block entered the table: this one refers to it by index.
  c.Frame(h2ftHEADERS, h2FlagEndHeaders | h2FlagEndStream, 5, c.Block("/after", {"x-new: indexed"}));
  EXPECT_EQ(Exchange(server, c.Bytes), "RST:3:7 HEADERS:1 DATA:1:7e HEADERS:5 DATA:5:12e ");
  EXPECT_EQ(server.Error, -1);
}

TEST(EngineStreams, ConcurrentUploadsInAnyOrder) {
  EngineServer server;
  ClientFrames c;
  c.Get(1, h2FlagEndHeaders).Get(3, h2FlagEndHeaders).Data(1, 10).Data(3, 20, true).Data(1, 30, true);
  EXPECT_EQ(Exchange(server, c.Bytes), "HEADERS:3 DATA:3:8e HEADERS:1 DATA:1:8e ");
  EXPECT_EQ(server.Bodies[1], 40);
}

TEST(EngineStreams, PromisedStreamsTakeWindowUpdateResetAndPriority) {
  EngineServer server;
  server.Read.StreamIdentifierCounter().GetNewIdentifier();  // promises stream 2
  TzalHTTP2Request request;
  request.FURL = "/pushed";
  server.Read.AddStreamRequest(2, request);
  ClientFrames c;
  c.Simple(h2ftWINDOW_UPDATE, 2, "00001000").Simple(h2ftPRIORITY, 2, "0000000110").Simple(h2ftRST_STREAM, 2, "00000008");
  EXPECT_EQ(Exchange(server, c.Bytes), "");
  EXPECT_EQ(server.Error, -1);
  EXPECT_EQ(server.Read.GetStreamResponse(2), nullptr);
  EXPECT_EQ(server.Events.str(), "rst:2:8 ");
}

TEST(EngineData, StateChecksOnEveryFrame) {
  EngineServer server;
  server.Read.OnReadStreamResponse = [](TzalHTTP2_Frame*, TzalHTTP2_StreamResponse*) {};  // not answered yet
  ClientFrames c;
  c.Get(1).Data(1, 5);  // the request has ended (half-closed): its DATA is not collected
  EXPECT_EQ(Exchange(server, c.Bytes), "RST:1:5 ");
  EXPECT_EQ(server.Read.GetStreamResponse(1), nullptr);
}

TEST(EngineData, PaddingIsRemovedPerFrame) {
  EngineServer server;
  ClientFrames c;
  c.Get(1, h2FlagEndHeaders);
  c.Frame(h2ftDATA, h2FlagPadded, 1, FromHex("03 616263 000000"));
  c.Frame(h2ftDATA, h2FlagPadded, 1, FromHex("00 64"));
  c.Frame(h2ftDATA, h2FlagPadded | h2FlagEndStream, 1, FromHex("01 6566 00"));
  EXPECT_EQ(Exchange(server, c.Bytes), "HEADERS:1 DATA:1:7e ");
  EXPECT_EQ(server.Bodies[1], 6);
  EXPECT_EQ(server.Error, -1);
}

TEST(EngineWindows, GrantsExactlyWhatWasTakenAtHalfTheWindow) {
  EngineServer server;
  server.Read.SetReadInitialWindowSize(20000);
  ClientFrames c;
  c.Get(1, h2FlagEndHeaders).Data(1, 9999).Data(1, 1).Data(1, 16384).Data(1, 6384);
  // Stream: 10000 reaches half of 20000. Connection: 32768 reaches half of 65535.
  EXPECT_EQ(Exchange(server, c.Bytes), "WU:1:10000 WU:1:16384 WU:0:32768 ");
  ClientFrames over;
  over.Data(1, 13617);  // the stream has 13616 left
  EXPECT_EQ(Exchange(server, over.Bytes), "RST:1:3 ");
}

TEST(EngineWindows, ConnectionWindowOverrunIsAConnectionError) {
  for (const auto& [length, expected] : std::vector<std::pair<size_t, int>>{{65535, -1}, {65536, h2erFLOW_CONTROL_ERROR}}) {
    EngineServer server;
    server.Read.SetMaxFrameSize(1 << 20);
    server.Read.SetReadInitialWindowSize(1 << 20);
    ClientFrames c;
    c.Get(1, h2FlagEndHeaders).Data(1, length);
    server.Feed(c.Bytes);
    EXPECT_EQ(server.Error, expected) << length;
  }
}

TEST(EngineSendWindows, StreamWindowsConnectionWindowAndSettingsChanges) {
  TzalHTTP2_Frame write(h2frServerWrite);
  TIdBytes out;
  write.OnWriteBytes = [&out](TzalHTTP2_Frame*, const TIdBytes& b) { out.insert(out.end(), b.begin(), b.end()); };
  write.SetWriteDataFramesWindowSize(1, 100);  // before any DATA: kept
  write.SetWriteDataFramesInitialWindowSize(10);
  EXPECT_EQ(write.WriteDataFrames().StreamWindowSize(1), 65535 + 100 - 65535 + 10);
  write.SetWriteDataFramesInitialWindowSize(0);  // stream 3 has no window of its own
  write.SetWriteDataFramesWindowSize(0, 1000);   // only the connection window grows
  EXPECT_EQ(write.WriteDataFrames().StreamWindowSize(3), 0);
  EXPECT_EQ(write.WriteDataFrames().ConnectionWindowSize(), 66535);
  write.WriteDataSource(3, [](std::span<uint8_t> b) { std::fill(b.begin(), b.end(), 'x'); return b.size(); }, 50, true);
  write.Frame_Data().SetStreamIdentifier(1);
  write.Frame_Data().SetData(TIdBytes(300, 'y'));
  write.Frame_Data().SetEndStream(true);
  write.Frame_Data().WriteBytes();
  // Stream 1 sends its 100; stream 3, without window, holds nothing back.
  EXPECT_EQ(Frames(std::exchange(out, {})), "DATA:1:100 ");
  write.SetWriteDataFramesInitialWindowSize(-50);  // RFC 9113 6.9.2: windows may go negative
  EXPECT_EQ(write.WriteDataFrames().StreamWindowSize(1), -50);
  write.SetWriteDataFramesInitialWindowSize(60);
  EXPECT_EQ(Frames(std::exchange(out, {})), "DATA:1:60 DATA:3:50e ");
  write.SetWriteDataFramesWindowSize(1, 2147483647 - 1000);
  EXPECT_EQ(Frames(std::exchange(out, {})), "DATA:1:140e ");
  EXPECT_EQ(write.WriteDataFrames().StreamCount(), 0u);
  EXPECT_THROW(write.SetWriteDataFramesWindowSize(0, 2147483647), TzalHTTP2Exception);
  try {
    write.SetWriteDataFramesWindowSize(5, 1);
    write.SetWriteDataFramesWindowSize(5, 2147483647 - 60);
    ADD_FAILURE() << "no overflow";
  } catch (const TzalHTTP2Exception& e) {
    EXPECT_EQ(e.ErrorResponse(), h2errRST_STREAM);
    EXPECT_EQ(e.StreamIdentifier(), 5);
    EXPECT_EQ(e.ErrorCode(), h2erFLOW_CONTROL_ERROR);
  }
  write.SetWriteDataFramesWindowSize(7, 10);
  EXPECT_THROW(write.SetWriteDataFramesInitialWindowSize(2147483647), TzalHTTP2Exception);
}

TEST(EngineSendWindows, StreamsTakeTurnsInFramesOfThePeersSize) {
  TzalHTTP2_Frame write(h2frServerWrite);
  TIdBytes out;
  write.OnWriteBytes = [&out](TzalHTTP2_Frame*, const TIdBytes& b) { out.insert(out.end(), b.begin(), b.end()); };
  write.SetWriteDataFramesWindowSize(0, 1 << 20);
  write.SetWriteDataFramesInitialWindowSize(1 << 20);
  write.Frame_Settings().SetMaxFrameSize(20000);
  write.SetWriteDataFramesInitialWindowSize(0);
  for (int32_t id : {1, 3}) {
    write.Frame_Data().SetStreamIdentifier(id);
    write.Frame_Data().SetData(TIdBytes(50000, 'a'));
    write.Frame_Data().SetEndStream(true);
    write.Frame_Data().WriteBytes();
  }
  write.SetWriteDataFramesInitialWindowSize(1 << 20);
  EXPECT_EQ(Frames(std::exchange(out, {})),
            "DATA:1:20000 DATA:3:20000 DATA:1:20000 DATA:3:20000 DATA:1:10000e DATA:3:10000e ");
}

TEST(EngineHeaderBlocks, JoinedBeforeDecodingAndCapped) {
  EngineServer server;
  ClientFrames c;
  const TIdBytes block = c.Block("/joined");
  // Cut inside the first field: the HEADERS fragment alone is no valid block.
  // Cut inside the ":path" field: the HEADERS fragment alone is no valid block.
  TIdBytes first{2};
  first.insert(first.end(), block.begin(), block.begin() + 3);
  first.insert(first.end(), {0, 0});
  c.Frame(h2ftHEADERS, h2FlagEndStream | h2FlagPadded, 1, first);
  c.Frame(h2ftCONTINUATION, 0, 1, TIdBytes(block.begin() + 3, block.begin() + 5));
  c.Frame(h2ftCONTINUATION, h2FlagEndHeaders, 1, TIdBytes(block.begin() + 5, block.end()));
  EXPECT_EQ(Exchange(server, c.Bytes), "HEADERS:1 DATA:1:13e ");

  for (const auto& [frames, expected] : std::vector<std::pair<int, int>>{{64, -1}, {65, h2erENHANCE_YOUR_CALM}}) {
    EngineServer capped;
    ClientFrames f;
    const TIdBytes b = f.Block();
    f.Frame(h2ftHEADERS, h2FlagEndStream, 1, TIdBytes(b.begin(), b.begin() + 1));
    for (int i = 1; i < frames; ++i)
      f.Frame(h2ftCONTINUATION, 0, 1, {});
    f.Frame(h2ftCONTINUATION, h2FlagEndHeaders, 1, TIdBytes(b.begin() + 1, b.end()));
    capped.Feed(f.Bytes);
    EXPECT_EQ(capped.Error, expected) << frames;
  }
  for (const int under : {0, 1}) {
    EngineServer capped;
    ClientFrames f;
    const TIdBytes b = f.Block("/", {"x: " + std::string(1000, 'v')});
    capped.Read.Limits().MaxHeaderBlockSize = static_cast<int32_t>(b.size()) - under;
    f.Frame(h2ftHEADERS, h2FlagEndStream, 1, TIdBytes(b.begin(), b.begin() + 500));
    f.Frame(h2ftCONTINUATION, h2FlagEndHeaders, 1, TIdBytes(b.begin() + 500, b.end()));
    capped.Feed(f.Bytes);
    EXPECT_EQ(capped.Error, under ? h2erENHANCE_YOUR_CALM : -1) << under;
  }
  // A CONTINUATION on another stream than its block's is a connection error.
  EngineServer other;
  ClientFrames o;
  o.Frame(h2ftHEADERS, h2FlagEndStream, 1, TIdBytes(block.begin(), block.begin() + 2));
  o.Frame(h2ftCONTINUATION, h2FlagEndHeaders, 3, TIdBytes(block.begin() + 2, block.end()));
  other.Feed(o.Bytes);
  EXPECT_EQ(other.Error, h2erPROTOCOL_ERROR);
}

TEST(EngineLimits, RequestBodyCap) {
  for (const auto& [length, answered] : std::vector<std::pair<int, int64_t>>{{1000, 1000}, {1001, -1}}) {
    EngineServer server;
    server.Read.Limits().MaxRequestBodySize = 1000;
    ClientFrames c;
    c.Get(1, h2FlagEndHeaders).Data(1, 600).Data(1, static_cast<size_t>(length - 600)).Data(1, 0, true).Get(3);
    const std::string frames = Exchange(server, c.Bytes);
    EXPECT_EQ(server.Bodies[1], answered) << length;
    EXPECT_EQ(server.Bodies[3], 0) << "the connection survives";
    EXPECT_EQ(server.Error, -1);
    EXPECT_EQ(frames.find("RST:1:0") != std::string::npos, answered < 0) << frames;
    EXPECT_EQ(server.Read.StreamCount(), 0u);
  }
}

TEST(EngineLimits, FloodBudgets) {
  struct Case {
    std::string name;
    int count;
    int expected;
  };
  for (const Case& k : std::vector<Case>{{"ping", 10, -1}, {"ping", 11, h2erENHANCE_YOUR_CALM},
                                         {"reset", 5, -1}, {"reset", 6, h2erENHANCE_YOUR_CALM}}) {
    EngineServer server;
    server.Read.Limits().ControlFrameBudget = 10;
    server.Read.Limits().ResetStreamBudget = 5;
    server.Read.Limits().BudgetInterval = 60000;
    ClientFrames c;
    for (int i = 0; i < k.count; ++i) {
      if (k.name == "ping") {
        c.Simple(h2ftPING, 0, "0000000000000000");
      } else {
        c.Get(1 + 2 * i, h2FlagEndHeaders).Simple(h2ftRST_STREAM, 1 + 2 * i, "00000008");
      }
    }
    server.Feed(c.Bytes);
    EXPECT_EQ(server.Error, k.expected) << k.name << " " << k.count;
  }
}

TEST(EngineMemory, ThousandSequentialStreamsLeaveNothingBehind) {
  EngineServer server;
  ClientFrames c;
  size_t peakStreams = 0;
  server.Read.OnReadFrameHeaders = [&](TzalHTTP2_Frame*, TzalHTTP2_Frame_Headers*) {
    peakStreams = std::max(peakStreams, server.Read.StreamCount());
  };
  for (int32_t id = 1; id < 2000; id += 2) {
    c.Bytes.clear();
    c.Get(id, h2FlagEndHeaders).Data(id, 100, true);
    server.Feed(c.Bytes);
    server.TakeOutput();
  }
  EXPECT_EQ(server.Error, -1);
  EXPECT_EQ(server.Bodies.size(), 1000u);
  EXPECT_EQ(peakStreams, 1u);
  EXPECT_EQ(server.Read.StreamCount(), 0u);
  EXPECT_EQ(server.Write.WriteDataFrames().StreamCount(), 0u);
  EXPECT_EQ(server.Read.LastStreamIdentifierRecv(), 1999);
}

TEST(EngineCodec, RSTStreamHasOneStreamIdentifier) {
  TzalHTTP2_Frame_RSTStream rst(h2frServerWrite);
  rst.SetStreamIdentifier(7);
  const TzalHTTP2_Frame_Base& base = rst;
  EXPECT_EQ(base.StreamIdentifier(), 7);
  rst.Clear();
  EXPECT_EQ(rst.StreamIdentifier(), 7);
}

}  // namespace
}  // namespace zal
