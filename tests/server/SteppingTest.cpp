// A client's session sent whole, then again one octet at a time: after every
// octet the connection's step must end in its driver's wait (a step that waits
// for the peer inside itself holds the server's count of waits still), and
// what the server answers must not change with the cuts.
#include <gtest/gtest.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>
#include <zlib.h>

#include <chrono>
#include <functional>
#include <memory>
#include <random>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "common/zalTestSocket.h"
#include "common/zalTestTLS.h"
#include "http2/zalHTTP2_Frame.h"
#include "http2/zalHTTP2_HPACK.h"
#include "server/zalWebSocket_Server.h"
#include "websocket/zalWebSocket_Frame.h"

namespace zal {
namespace {

using test::kSanitizerSlowdown;
using test::TestCertificate;
using test::TestClient;

constexpr int kBoundMs = 5000 * kSanitizerSlowdown;
constexpr double kIdleCPUSeconds = 0.03;  // over 300 ms: a tenth of one core

std::string Text(std::span<const uint8_t> octets) { return {octets.begin(), octets.end()}; }

// ---- the sessions a client sends ----------------------------------------------

const std::string kHTTP1Session =
    "GET /one HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"
    "GET /two HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"
    "POST /three HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: text/plain\r\nTransfer-Encoding: chunked\r\n"
    "Trailer: Checked\r\nConnection: close\r\n\r\n"
    "5\r\nhello\r\n7\r\n, world\r\n0\r\nChecked: yes\r\n\r\n";

const std::string kEventStreamRequest = "GET /events HTTP/1.1\r\nHost: 127.0.0.1\r\nAccept: text/event-stream\r\n\r\n";

// A masked client frame (RFC 6455 5.3).
std::string ClientFrame(uint8_t firstByte, std::string_view payload) {
  static constexpr uint8_t kMask[4] = {0x37, 0xFA, 0x21, 0x3D};
  TIdBytes frame;
  AppendFrameHeader(frame, firstByte, payload.size(), kMask);
  const size_t start = frame.size();
  frame.insert(frame.end(), payload.begin(), payload.end());
  MaskPayload(std::span(frame).subspan(start), kMask);
  return Text(frame);
}

// RFC 7692 7.2.1: raw deflate flushed to an octet boundary, without the
// 00 00 FF FF the flush ends with.
std::string Deflated(std::string_view text) {
  z_stream z{};
  deflateInit2(&z, Z_DEFAULT_COMPRESSION, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
  std::string out(deflateBound(&z, text.size()) + 16, '\0');
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
  z.avail_in = static_cast<uInt>(text.size());
  z.next_out = reinterpret_cast<Bytef*>(out.data());
  z.avail_out = static_cast<uInt>(out.size());
  deflate(&z, Z_SYNC_FLUSH);
  out.resize(out.size() - z.avail_out - 4);
  deflateEnd(&z);
  return out;
}

// The upgrade, a text message in two fragments, a ping, a close. Compressed,
// only the first fragment carries RSV1 (RFC 7692 6.1).
std::string WebSocketSession(bool deflate) {
  const std::string message = "a text message in two fragments, a text message in two fragments";
  const std::string payload = deflate ? Deflated(message) : message;
  const size_t half = payload.size() / 2;
  return "GET /chat HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
         "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n" +
         std::string(deflate ? "Sec-WebSocket-Extensions: permessage-deflate\r\n" : "") + "\r\n" +
         ClientFrame((deflate ? wsRSV1 : 0) | WireOpcode(opText), payload.substr(0, half)) +
         ClientFrame(wsFin | WireOpcode(opContinuation), payload.substr(half)) +
         ClientFrame(wsFin | WireOpcode(opPing), "are you there") +
         ClientFrame(wsFin | WireOpcode(opClose), std::string("\x03\xE8", 2));
}

// The sample handshake of draft-hixie-thewebsocketprotocol-76 (section 1.3),
// with its eight key octets after the header block, a text message and the
// closing frame.
const std::string kHixie76Session =
    "GET /demo HTTP/1.1\r\nHost: example.com\r\nConnection: Upgrade\r\n"
    "Sec-WebSocket-Key2: 12998 5 Y3 1  .P00\r\nSec-WebSocket-Protocol: sample\r\nUpgrade: WebSocket\r\n"
    "Sec-WebSocket-Key1: 4 @1  46546xW%0l 1 5\r\nOrigin: http://example.com\r\n\r\n^n:ds[4U" +
    std::string("\0a draft-76 message\xFF\xFF\0", 22);

// The preface with empty SETTINGS, a GET on stream 1, the ack of the server's
// SETTINGS, and GOAWAY (RFC 9113 3.4, 6.5, 6.8).
std::string HTTP2Session(std::string_view scheme) {
  TIdBytes session;
  const std::string_view preface = "PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n";
  session.assign(preface.begin(), preface.end());
  AppendFrameHeader(session, 0, h2ftSETTINGS, 0, 0);
  TzalHTTP2_HPACK hpack;
  std::vector<uint8_t> block;
  const TzalHTTP2_HeaderField fields[] = {
      {":method", "GET"}, {":scheme", scheme}, {":path", "/h2"}, {":authority", "127.0.0.1"}};
  hpack.EncodeBlock(block, fields);
  AppendFrameHeader(session, static_cast<int32_t>(block.size()), h2ftHEADERS, h2FlagEndStream | h2FlagEndHeaders, 1);
  session.insert(session.end(), block.begin(), block.end());
  AppendFrameHeader(session, 0, h2ftSETTINGS, h2FlagAck, 0);
  AppendFrameHeader(session, 8, h2ftGOAWAY, 0, 0);
  session.insert(session.end(), 8, 0);  // last stream 0, NO_ERROR
  return Text(session);
}

// ---- what the server answers, with what legitimately varies taken out ---------

std::string WithoutDatesAndKeys(const std::string& text) {
  static const std::regex date("Date: [^\r]*"), guid("[0-9A-F]{32}");
  return std::regex_replace(std::regex_replace(text, date, "Date: *"), guid, "<guid>");
}

std::string Hex(std::string_view octets) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string hex;
  for (const unsigned char c : octets)
    hex += {kDigits[c >> 4], kDigits[c & 15]};
  return hex;
}

// The server's frames one per line, header blocks decoded in order (the
// decoder's table follows the encoder's), the date's value left out.
std::string HTTP2Transcript(const std::string& octets) {
  TzalHTTP2_HPACK hpack;
  std::string transcript;
  size_t at = 0;
  const auto bytes = std::span(reinterpret_cast<const uint8_t*>(octets.data()), octets.size());
  while (at + h2FrameHeaderLength <= octets.size()) {
    const TzalHTTP2_FrameHeader header = ReadFrameHeader(bytes.subspan(at));
    at += h2FrameHeaderLength;
    if (at + header.Length > octets.size())
      break;
    const auto payload = bytes.subspan(at, static_cast<size_t>(header.Length));
    at += payload.size();
    transcript += std::to_string(header.Type) + " flags " + std::to_string(header.Flags) + " stream " +
                  std::to_string(header.StreamIdentifier) + ":";
    if (header.Type == h2ftHEADERS)
      hpack.DecodeBlock(payload, [&transcript](const TzalHTTP2_HeaderField& field) {
        transcript += " " + std::string(field.Name) + "=" + (field.Name == "date" ? "*" : std::string(field.Value));
      });
    else
      transcript += " " + (header.Type == h2ftDATA ? Text(payload) : Hex(Text(payload)));
    transcript += "\n";
  }
  if (at != octets.size())
    transcript += "incomplete frame: " + std::to_string(octets.size() - at) + " octets\n";
  return transcript;
}

// ---- the table -----------------------------------------------------------------

enum TAnswerShape { asText, asHTTP2 };

struct SteppingRow {
  const char* Name;
  std::function<void(TzalWebSocketHTTPServer&, const TestCertificate&)> Configure = {};  // beyond the defaults
  std::string Session;
  TAnswerShape Shape = asText;
  bool TLS = false;
  // The answer's end when the server keeps the connection (the client then
  // closes it); empty when the server closes it.
  std::string Until = {};
};

void EnableHTTP2(TzalWebSocketHTTPServer& server, const TestCertificate&) { server.HTTP2Options().Enabled = true; }

const SteppingRow kRows[] = {
    {.Name = "HTTP1PipelinedGetsAndChunkedPostWithTrailers",
     .Configure = [](TzalWebSocketHTTPServer& server, const TestCertificate&) { server.SetKeepAlive(true); },
     .Session = kHTTP1Session},
    {.Name = "WebSocketFragmentsPingClose", .Session = WebSocketSession(false)},
    {.Name = "WebSocketPerMessageDeflate",
     .Configure = [](TzalWebSocketHTTPServer& server,
                     const TestCertificate&) { server.Extensions().PerMessage_Deflate.Enabled = true; },
     .Session = WebSocketSession(true)},
    {.Name = "Hixie76KeyOctetsMessageClose", .Session = kHixie76Session},
    // The policy answer; a Flash client reads it before it sends anything more
    // (what follows its request in the same read is dropped with it).
    {.Name = "FlashPolicyRequest",
     .Configure = [](TzalWebSocketHTTPServer& server,
                     const TestCertificate&) { server.FallBack().Flash.Enabled = true; },
     .Session = std::string("<policy-file-request/>\0", 23),
     .Until = std::string("</cross-domain-policy>\0\r\n", 25)},
    // The server keeps the connection after the client's GOAWAY (RFC 9113 6.8
    // leaves the close to the side that ends it); the client closes it.
    {.Name = "HTTP2PriorKnowledge",
     .Configure = EnableHTTP2,
     .Session = HTTP2Session("http"),
     .Shape = asHTTP2,
     .Until = "/h2 "},
    {.Name = "EventStreamClosedByClient",
     .Configure = [](TzalWebSocketHTTPServer& server,
                     const TestCertificate&) { server.FallBack().ServerSentEvents.Enabled = true; },
     .Session = kEventStreamRequest,
     .Until = "data: welcome\r\n\r\n"},
    {.Name = "TLSHandshakeThenHTTP2",
     .Configure =
         [](TzalWebSocketHTTPServer& server, const TestCertificate& certificate) {
           EnableHTTP2(server, certificate);
           server.SetSSL(true);
           server.SSLOptions().CertFile = certificate.File();
           server.SSLOptions().KeyFile = certificate.File();
           server.SSLOptions().Password = "kfx.pem";
         },
     .Session = HTTP2Session("https"),
     .Shape = asHTTP2,
     .TLS = true,
     .Until = "/h2 "},
};

void PrintTo(const SteppingRow& row, std::ostream* out) { *out << row.Name; }

// ---- the client's end -------------------------------------------------------------

// The session goes out as it is or, with TLS, through an OpenSSL client on a
// memory BIO pair, so that its ciphertext can be cut anywhere.
class ClientWire {
public:
  ClientWire(SSL_CTX* tls, std::string session) : FSession(std::move(session)) {
    if (!tls)
      return;
    FSSL = SSL_new(tls);
    SSL_set_bio(FSSL, BIO_new(BIO_s_mem()), BIO_new(BIO_s_mem()));
    SSL_set_connect_state(FSSL);
  }
  ~ClientWire() { SSL_free(FSSL); }
  ClientWire(const ClientWire&) = delete;

  // What goes out now; with TLS, empty while the handshake waits for the server.
  std::string TakeOutgoing() {
    if (!FSSL)
      return std::exchange(FSession, {});
    if (!FSession.empty() && SSL_do_handshake(FSSL) == 1) {
      EXPECT_EQ(SSL_write(FSSL, FSession.data(), static_cast<int>(FSession.size())), static_cast<int>(FSession.size()));
      FSession.clear();
    }
    std::string out(BIO_ctrl_pending(SSL_get_wbio(FSSL)), '\0');
    BIO_read(SSL_get_wbio(FSSL), out.data(), static_cast<int>(out.size()));
    return out;
  }
  bool SessionSent() const { return FSession.empty() && (!FSSL || BIO_ctrl_pending(SSL_get_wbio(FSSL)) == 0); }
  void Received(std::string_view octets) {
    if (!FSSL) {
      FAnswer.append(octets);
      return;
    }
    BIO_write(SSL_get_rbio(FSSL), octets.data(), static_cast<int>(octets.size()));
    char plain[16384];
    int count;
    while (SSL_is_init_finished(FSSL) && (count = SSL_read(FSSL, plain, sizeof plain)) > 0)
      FAnswer.append(plain, static_cast<size_t>(count));
  }
  std::string ALPN() const {
    const unsigned char* name = nullptr;
    unsigned length = 0;
    SSL_get0_alpn_selected(FSSL, &name, &length);
    return {reinterpret_cast<const char*>(name), length};
  }
  const std::string& Answer() const { return FAnswer; }

private:
  std::string FSession;
  SSL* FSSL = nullptr;
  std::string FAnswer;
};

enum TReadResult { rrData, rrClosed, rrTimedOut };

TReadResult ReadInto(const TestClient& client, ClientWire& wire, int timeoutMs) {
  pollfd polled{client.Handle(), POLLIN, 0};
  if (::poll(&polled, 1, timeoutMs) <= 0)
    return rrTimedOut;
  char chunk[16384];
  const ssize_t count = ::recv(client.Handle(), chunk, sizeof chunk, 0);
  if (count <= 0)
    return rrClosed;
  wire.Received(std::string_view(chunk, static_cast<size_t>(count)));
  return rrData;
}

// The server has closed its side; what it sent stays unread.
bool ServerClosed(const TestClient& client) {
  pollfd polled{client.Handle(), POLLRDHUP, 0};
  return ::poll(&polled, 1, 0) > 0 && (polled.revents & (POLLRDHUP | POLLHUP)) != 0;
}

// ---- the fixture -----------------------------------------------------------------

class Stepping : public ::testing::TestWithParam<SteppingRow> {
protected:
  void SetUp() override {
    test::ListenOnLoopback(server);
    server.OnCommandGet = [](TIdContext*, TIdHTTPRequestInfo* request, TIdHTTPResponseInfo* response) {
      std::string body;
      if (TStream* posted = request->PostStream()) {
        body.resize(static_cast<size_t>(posted->Size()));
        posted->SetPosition(0);
        posted->ReadBuffer(body.data(), static_cast<int64_t>(body.size()));
      }
      response->SetContentType("text/plain");
      response->SetContentText(request->Document() + " " + body);
    };
    server.OnConnect = [](TzalWSConnection* connection) { connection->WriteData("welcome"); };
    server.OnMessage = [](TzalWSConnection* connection, const std::string& text) { connection->WriteData(text); };
    if (GetParam().Configure)
      GetParam().Configure(server, certificate);
    port = test::ActivePort(server);
    if (GetParam().TLS) {
      clientContext = SSL_CTX_new(TLS_client_method());
      static constexpr unsigned char kH2[] = {2, 'h', '2'};
      SSL_CTX_set_alpn_protos(clientContext, kH2, sizeof kH2);
    }
  }
  void TearDown() override {
    server.SetActive(false);
    SSL_CTX_free(clientContext);
  }

  // The step that the last octet started has ended in the driver's wait, or
  // has ended the connection.
  bool StepEnded(uint64_t waitsBefore, const TestClient& client) {
    return test::WaitFor([&] { return server.StepWaits() > waitsBefore || ServerClosed(client); }, kBoundMs);
  }

  // Each octet, then the end of the step it started; `sent` counts the octets
  // of the session. What the server no longer reads is not sent.
  bool SendOctetByOctet(const TestClient& client, std::string_view out, size_t& sent) {
    for (const char octet : out) {
      if (ServerClosed(client))
        return true;
      const uint64_t waits = server.StepWaits();
      if (::send(client.Handle(), &octet, 1, MSG_NOSIGNAL) != 1 || !StepEnded(waits, client))
        return false;
      ++sent;
    }
    return true;
  }

  // Sends the row's session (whole, or one octet at a time, each followed by
  // the end of the step it started) and returns the server's answer.
  std::string RunSession(bool octetByOctet) {
    const SteppingRow& row = GetParam();
    ClientWire wire(clientContext, row.Session);
    TestClient client;
    const uint64_t waitsBefore = server.StepWaits();
    EXPECT_TRUE(client.Connect("127.0.0.1", port));
    if (octetByOctet && !StepEnded(waitsBefore, client)) {
      ADD_FAILURE() << "the connection's first step did not end in a wait";
      return "";
    }
    size_t sent = 0;
    while (!wire.SessionSent() && !ServerClosed(client)) {
      const std::string out = wire.TakeOutgoing();
      if (out.empty() && ReadInto(client, wire, kBoundMs) != rrData) {
        ADD_FAILURE() << "the TLS handshake stopped after " << sent << " octets";
        return "";
      }
      if (!(octetByOctet ? SendOctetByOctet(client, out, sent) : client.Send(out))) {
        ADD_FAILURE() << "no step ended after octet " << sent;
        return "";
      }
    }
    TReadResult read = rrData;
    while (read == rrData && (row.Until.empty() || wire.Answer().find(row.Until) == std::string::npos))
      read = ReadInto(client, wire, kBoundMs);
    EXPECT_NE(read, rrTimedOut) << (row.Until.empty() ? "the server kept the connection" : "no " + row.Until)
                                << " after:\n" << wire.Answer();
    if (row.TLS) {
      EXPECT_EQ(wire.ALPN(), "h2");
    }
    client.Close();
    ExpectIdle();
    return row.Shape == asHTTP2 ? HTTP2Transcript(wire.Answer()) : WithoutDatesAndKeys(wire.Answer());
  }

  // The connection has ended and no thread of the process is left busy.
  void ExpectIdle() {
    EXPECT_TRUE(test::WaitFor([this] { return server.ConnectionCount() == 0; }, kBoundMs));
    const double before = test::ProcessCpuSeconds();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_LT(test::ProcessCpuSeconds() - before, kIdleCPUSeconds);
  }

  TestCertificate certificate;
  TzalWebSocketHTTPServer server;
  uint16_t port = 0;
  SSL_CTX* clientContext = nullptr;
};

TEST_P(Stepping, EveryOctetEndsInAWaitAndTheAnswerStaysTheSame) {
  const std::string whole = RunSession(false);
  ASSERT_FALSE(HasFailure());
  EXPECT_NE(whole, "");
  EXPECT_EQ(RunSession(true), whole);
}

// Two hundred clients of the same session at once, each sending it in pieces
// of 1 to 13 octets interleaved with the others' (the event-loop engine has
// them all on a few loops): every client gets the answer of the whole run.
TEST_P(Stepping, TwoHundredInterleavedClientsEachGetTheWholeRunsAnswer) {
  constexpr int kClients = 200;
  const SteppingRow& row = GetParam();
  const std::string whole = RunSession(false);
  ASSERT_FALSE(HasFailure());
  struct Peer {
    Peer(SSL_CTX* tls, const std::string& session) : Wire(tls, session) {}
    ClientWire Wire;
    TestClient Socket;
    std::string Pending;
  };
  std::vector<std::unique_ptr<Peer>> peers;
  for (int i = 0; i < kClients; ++i) {
    peers.push_back(std::make_unique<Peer>(clientContext, row.Session));
    ASSERT_TRUE(peers.back()->Socket.Connect("127.0.0.1", port));
  }
  std::mt19937 random(2026);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(4 * kBoundMs);
  for (bool sending = true; sending && std::chrono::steady_clock::now() < deadline;) {
    sending = false;
    for (auto& peer : peers) {
      if (ServerClosed(peer->Socket))
        continue;  // what the server no longer reads is not sent
      if (peer->Pending.empty())
        peer->Pending = peer->Wire.TakeOutgoing();
      if (peer->Pending.empty()) {
        if (!peer->Wire.SessionSent()) {
          sending = true;
          ReadInto(peer->Socket, peer->Wire, 0);  // a TLS handshake waits for the server's flight
        }
        continue;
      }
      sending = true;
      const size_t piece = std::min<size_t>(peer->Pending.size(), 1 + random() % 13);
      // A send may still meet a close that has not arrived yet (the server
      // refusing the session): the answer tells.
      if (!peer->Socket.Send(peer->Pending.substr(0, piece)))
        peer->Pending.clear();
      peer->Pending.erase(0, piece);
    }
  }
  int same = 0;
  for (auto& peer : peers) {
    while ((row.Until.empty() || peer->Wire.Answer().find(row.Until) == std::string::npos) &&
           ReadInto(peer->Socket, peer->Wire, kBoundMs) == rrData) {
    }
    const std::string answer = row.Shape == asHTTP2 ? HTTP2Transcript(peer->Wire.Answer())
                                                     : WithoutDatesAndKeys(peer->Wire.Answer());
    same += answer == whole;
    peer->Socket.Close();
  }
  EXPECT_EQ(same, kClients);
  ExpectIdle();
}

INSTANTIATE_TEST_SUITE_P(Sessions, Stepping, ::testing::ValuesIn(kRows),
                         [](const auto& info) { return std::string(info.param.Name); });

}  // namespace
}  // namespace zal
