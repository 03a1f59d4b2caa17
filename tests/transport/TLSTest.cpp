// The TLS layer: the session over memory BIOs without a socket, and the TLS
// handlers on a real TCP server against an OpenSSL client.
#include "transport/zalIdSSLIOHandler.h"

#include <gtest/gtest.h>
#include <openssl/err.h>
#include <sys/socket.h>

#include <chrono>
#include <mutex>
#include <thread>

#include "common/zalTestExceptions.h"
#include "common/zalTestSocket.h"
#include "common/zalTestTLS.h"
#include "transport/zalIdCustomTCPServer.h"
#include "transport/zalIdTCPConnection.h"

namespace zal {
namespace {

using test::TestCertificate;
using test::TLSClientOptions;
using test::TLSTestClient;
using std::chrono::milliseconds;
using std::chrono::steady_clock;

int64_t MillisecondsSince(steady_clock::time_point start) {
  return std::chrono::duration_cast<milliseconds>(steady_clock::now() - start).count();
}

// A server handler with a built context for the certificate.
void InitHandler(TIdServerIOHandlerSSLOpenSSL& handler, const TestCertificate& certificate,
                 TIdSSLVersion method = sslvTLSv1_3) {
  handler.SSLOptions().SetCertFile(certificate.File());
  handler.SSLOptions().SetKeyFile(certificate.File());
  handler.SSLOptions().SetMethod(method);
  handler.OnGetPassword = [](std::string& password) { password = "kfx.pem"; };
  handler.Init();
}

// ---- the session without a socket ------------------------------------------------

// An OpenSSL client over memory BIOs, wired to our session by hand.
class MemoryTLSPair {
public:
  explicit MemoryTLSPair(TIdSSLContext& context) : server(nullptr) {
    server.Accept(context);
    clientContext = SSL_CTX_new(TLS_client_method());
    client = SSL_new(clientContext);
    clientIn = BIO_new(BIO_s_mem());
    clientOut = BIO_new(BIO_s_mem());
    BIO_set_mem_eof_return(clientIn, -1);
    SSL_set_bio(client, clientIn, clientOut);
    SSL_set_connect_state(client);
  }
  ~MemoryTLSPair() {
    SSL_free(client);
    SSL_CTX_free(clientContext);
  }

  // What the client wants to send now.
  TIdBytes ClientOutput() {
    SSL_do_handshake(client);
    TIdBytes bytes(BIO_ctrl_pending(clientOut));
    BIO_read(clientOut, bytes.data(), static_cast<int>(bytes.size()));
    return bytes;
  }
  void ServerOutputToClient() {
    TIdBytes bytes;
    server.TakeOutput(bytes);
    BIO_write(clientIn, bytes.data(), static_cast<int>(bytes.size()));
  }

  TIdSSLSocket server;
  SSL_CTX* clientContext;
  SSL* client;
  BIO* clientIn;
  BIO* clientOut;
};

class TLSSessionTest : public ::testing::Test {
protected:
  void SetUp() override { InitHandler(handler, certificate); }

  // A stale entry on the thread's error queue, as another failed call leaves it.
  static void LeaveStaleError() { ERR_raise(ERR_LIB_SSL, SSL_R_BAD_PACKET_LENGTH); }

  TestCertificate certificate;
  TIdServerIOHandlerSSLOpenSSL handler;
};

// The client's first flight split at every offset: the first part never
// completes anything, the rest always lets the handshake go on.
TEST_F(TLSSessionTest, TheFirstFlightSplitAtEveryOffsetIsResumed) {
  MemoryTLSPair probe(*handler.SSLContext());
  const size_t length = probe.ClientOutput().size();
  ASSERT_GT(length, 100u);
  for (size_t split = 1; split < length; ++split) {
    MemoryTLSPair pair(*handler.SSLContext());
    const TIdBytes hello = pair.ClientOutput();
    pair.server.FeedInput(std::span<const uint8_t>(hello).first(split));
    ASSERT_EQ(pair.server.Handshake(), tlsWantInput) << split;
    ASSERT_FALSE(pair.server.HasOutput()) << split;
    pair.server.FeedInput(std::span<const uint8_t>(hello).subspan(split));
    ASSERT_EQ(pair.server.Handshake(), tlsWantInput) << split;  // waits for the client's Finished
    ASSERT_TRUE(pair.server.HasOutput()) << split;
  }
}

// Fed one octet at a time, with a stale error on the queue before every call:
// the queue is cleared first, so only what really failed is reported.
TEST_F(TLSSessionTest, OneOctetAtATimeWithStaleErrorsCompletesAndCarriesData) {
  MemoryTLSPair pair(*handler.SSLContext());
  auto feedOctetByOctet = [&](const TIdBytes& bytes) {
    for (uint8_t octet : bytes) {
      pair.server.FeedInput(std::span<const uint8_t>(&octet, 1));
      LeaveStaleError();
      if (!pair.server.HandshakeDone())
        pair.server.Handshake();
    }
  };
  for (int round = 0; round < 4 && !pair.server.HandshakeDone(); ++round) {
    feedOctetByOctet(pair.ClientOutput());
    pair.ServerOutputToClient();
  }
  ASSERT_TRUE(pair.server.HandshakeDone());
  ASSERT_EQ(SSL_do_handshake(pair.client), 1);

  const std::string message(40000, 'm');  // three records
  ASSERT_EQ(SSL_write(pair.client, message.data(), static_cast<int>(message.size())), static_cast<int>(message.size()));
  TIdBytes records(BIO_ctrl_pending(pair.clientOut));
  BIO_read(pair.clientOut, records.data(), static_cast<int>(records.size()));
  std::string received;
  uint8_t buffer[20000];
  for (uint8_t octet : records) {
    pair.server.FeedInput(std::span<const uint8_t>(&octet, 1));
    LeaveStaleError();
    for (int count; (count = pair.server.Read(buffer, sizeof(buffer))) > 0;)
      received.append(reinterpret_cast<char*>(buffer), static_cast<size_t>(count));
  }
  EXPECT_EQ(received, message);
  ERR_clear_error();
}

TEST_F(TLSSessionTest, ShutdownSendsCloseNotifyButNothingAfterAFatalError) {
  MemoryTLSPair good(*handler.SSLContext());
  for (int round = 0; round < 3; ++round) {
    const TIdBytes bytes = good.ClientOutput();
    good.server.FeedInput(bytes);
    good.server.Handshake();
    good.ServerOutputToClient();
  }
  ASSERT_TRUE(good.server.HandshakeDone());
  TIdBytes drained;
  good.server.TakeOutput(drained);
  good.server.Shutdown();
  EXPECT_TRUE(good.server.HasOutput());

  const uint8_t garbage[] = {0x17, 0x03, 0x03, 0x00, 0x20, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16,
                             17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31, 32};
  good.server.FeedInput(garbage);
  uint8_t buffer[64];
  EXPECT_THROW(good.server.Read(buffer, sizeof(buffer)), EIdOpenSSLAPISSLError);
  EXPECT_TRUE(good.server.Finished());

  MemoryTLSPair failed(*handler.SSLContext());
  failed.server.FeedInput(garbage);
  EXPECT_THROW(failed.server.Handshake(), EIdOpenSSLAPISSLError);
  TIdBytes alert;
  failed.server.TakeOutput(alert);
  failed.server.Shutdown();
  EXPECT_FALSE(failed.server.HasOutput()) << "no close_notify after a fatal error";
}

// ---- pieces ----------------------------------------------------------------------

struct ALPNListCase {
  std::string wire;
  std::vector<std::string> expected;
};

class ALPNListTest : public ::testing::TestWithParam<ALPNListCase> {};

TEST_P(ALPNListTest, IsParsedWithinItsBounds) {
  const std::string& wire = GetParam().wire;
  EXPECT_EQ(ParseALPNProtocolList(reinterpret_cast<const unsigned char*>(wire.data()),
                                  static_cast<unsigned>(wire.size())),
            GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Lists, ALPNListTest,
    ::testing::Values(ALPNListCase{std::string("\x02h2\x08http/1.1", 12), {"h2", "http/1.1"}},
                      ALPNListCase{std::string("\x02h2\x00\x02h3", 6), {"h2"}},               // stops at a zero length
                      ALPNListCase{std::string("\x02h2\x09http/1.1", 12), {}},                // runs past the end
                      ALPNListCase{std::string("\x01", 1), {}}, ALPNListCase{"", {}},
                      ALPNListCase{std::string(1, '\xff') + std::string(255, 'a'), {std::string(255, 'a')}}));

TEST(TLSOptions, MethodAndVersionSetsFollowEachOther) {
  TIdSSLOptions options;
  options.SetMethod(sslvSSLv23);
  EXPECT_EQ(options.SSLVersions(), kIdAllSSLVersions);
  options.SetSSLVersions(SSLVersionBit(sslvTLSv1_2));
  EXPECT_EQ(options.Method(), sslvTLSv1_2);
  options.SetSSLVersions(SSLVersionBit(sslvTLSv1_2) | SSLVersionBit(sslvTLSv1_3) | SSLVersionBit(sslvSSLv23));
  EXPECT_EQ(options.Method(), sslvSSLv23);
  EXPECT_EQ(options.SSLVersions(), SSLVersionBit(sslvTLSv1_2) | SSLVersionBit(sslvTLSv1_3));
  options.SetSSLVersions(SSLVersionBit(sslvSSLv23));
  EXPECT_EQ(options.SSLVersions(), kIdAllSSLVersions);
}

TEST(TLSErrors, OpenSSLsUnexpectedEofReadsAsTheProtocolViolation) {
  EXPECT_EQ(OpenSSLErrorText(ERR_PACK(ERR_LIB_SSL, 0, SSL_R_UNEXPECTED_EOF_WHILE_READING)),
            "EOF was observed that violates the protocol");
  EXPECT_NE(OpenSSLErrorText(ERR_PACK(ERR_LIB_SSL, 0, SSL_R_BAD_PACKET_LENGTH)).find("bad packet length"),
            std::string::npos);
}

// ---- context set-up ----------------------------------------------------------------

struct ContextCase {
  const char* name;
  const char* passPhraseUsed;  // for the key file
  const char* passPhraseGiven;
  bool withKey;
  bool missingFile;
  const char* expectedStart;  // "" for success
};

class TLSContextTest : public ::testing::TestWithParam<ContextCase> {};

TEST_P(TLSContextTest, ActivationLoadsOrFailsWithTheMessage) {
  const ContextCase& c = GetParam();
  TestCertificate certificate(c.passPhraseUsed);
  TIdServerIOHandlerSSLOpenSSL handler;
  const std::string file = c.missingFile ? certificate.Folder() + "/none.pem"
                           : c.withKey   ? certificate.File()
                                         : certificate.WriteFile("cert-only.pem", certificate.CertificatePEM());
  handler.SSLOptions().SetCertFile(file);
  if (c.withKey)
    handler.SSLOptions().SetKeyFile(file);
  handler.OnGetPassword = [&](std::string& password) { password = c.passPhraseGiven; };
  const std::string message = test::ExceptionMessage([&] { handler.Init(); });
  if (std::string(c.expectedStart).empty())
    EXPECT_EQ(message, "");
  else
    EXPECT_TRUE(message.starts_with(c.expectedStart)) << message;
  EXPECT_EQ(handler.SSLContext() != nullptr, message.empty());
}

const std::string kLongest(1023, 'p');  // OpenSSL's pass-phrase buffer holds 1023 octets and a zero
const std::string kTooLong(1500, 'p');

INSTANTIATE_TEST_SUITE_P(
    Files, TLSContextTest,
    ::testing::Values(ContextCase{"Good", "kfx.pem", "kfx.pem", true, false, ""},
                      ContextCase{"PlainKey", "", "", true, false, ""},
                      ContextCase{"WrongPassPhrase", "kfx.pem", "wrong", true, false,
                                  "Could not load key, check password.\r\n"},
                      ContextCase{"CertificateWithoutKey", "kfx.pem", "kfx.pem", false, false,
                                  "Could not load key, check password.\r\n"},
                      ContextCase{"MissingFile", "kfx.pem", "kfx.pem", true, true,
                                  "Could not load certificate.\r\n"},
                      ContextCase{"LongestPassPhrase", kLongest.c_str(), kLongest.c_str(), true, false, ""},
                      ContextCase{"PassPhraseBeyondTheBuffer", kTooLong.c_str(), kTooLong.c_str(), true, false,
                                  "Could not load key, check password."}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- the handlers on a TCP server ---------------------------------------------------

// Echoes whatever arrives; TLS starts in the connect step.
class TLSServerTest : public ::testing::Test {
protected:
  void SetUp() override {
    test::BindLoopback(server);
    server.SetIOHandler(&handler);
    server.OnConnect = [](TIdContext* context) {
      static_cast<TIdSSLIOHandlerSocketOpenSSL*>(context->Connection()->IOHandler())->SetPassThrough(false);
    };
    server.OnExecute = [this](TIdContext* context) {
      TIdIOHandler& io = *context->Connection()->IOHandler();
      io.SetReadTimeout(readTimeout);
      TIdBytes bytes;
      io.ReadBytes(bytes, 1);  // raises at the read time-out
      if (!io.InputBufferIsEmpty())
        io.ReadBytes(bytes, -1);
      if (std::string(bytes.begin(), bytes.end()) == "bye")
        context->Connection()->Disconnect(false);
      else
        io.Write(bytes);
    };
    server.OnException = [this](TIdContext*, const std::exception& e) {
      std::lock_guard lock(exceptionLock);
      exceptions.push_back(e.what());
    };
  }
  void TearDown() override { server.SetActive(false); }

  uint16_t Activate(TIdSSLVersion method = sslvTLSv1_3) {
    handler.SSLOptions().SetCertFile(certificate.File());
    handler.SSLOptions().SetKeyFile(certificate.File());
    handler.SSLOptions().SetMethod(method);
    handler.OnGetPassword = [](std::string& password) { password = "kfx.pem"; };
    server.SetActive(true);
    return server.Bindings().Items(0).Port();
  }
  std::vector<std::string> Exceptions() {
    std::lock_guard lock(exceptionLock);
    return exceptions;
  }

  TestCertificate certificate;
  TIdServerIOHandlerSSLOpenSSL handler;
  TIdCustomTCPServer server;
  int readTimeout = IdTimeoutDefault;
  std::mutex exceptionLock;
  std::vector<std::string> exceptions;
};

TEST_F(TLSServerTest, EchoesPiecesOfEverySizeAcrossRecordBoundaries) {
  TLSTestClient client;
  ASSERT_TRUE(client.Connect(Activate())) << client.Error();
  EXPECT_EQ(client.Version(), "TLSv1.3");
  for (size_t size : {1u, 16383u, 16384u, 16385u, 200000u}) {
    const std::string piece(size, static_cast<char>('a' + size % 26));
    ASSERT_TRUE(client.Send(piece));
    EXPECT_EQ(client.ReceiveUntil(std::string(size, piece[0])).size(), size);
  }
  ASSERT_TRUE(client.Send("bye"));
  client.ReceiveAll(2000);
  EXPECT_TRUE(client.PeerSentCloseNotify());
}

struct VersionCase {
  TIdSSLVersion serverMethod;
  int clientMin;
  int clientMax;
  const char* expected;  // the negotiated version, "" when refused
};

class TLSVersionTest : public TLSServerTest, public ::testing::WithParamInterface<VersionCase> {};

TEST_P(TLSVersionTest, OnlyTheConfiguredVersionsAreSpoken) {
  const VersionCase& c = GetParam();
  TLSTestClient client;
  const bool connected = client.Connect(Activate(c.serverMethod), {.alpn = {}, .minVersion = c.clientMin, .maxVersion = c.clientMax});
  EXPECT_EQ(connected ? client.Version() : "", c.expected) << client.Error();
}

INSTANTIATE_TEST_SUITE_P(Versions, TLSVersionTest,
                         ::testing::Values(VersionCase{sslvTLSv1_3, 0, 0, "TLSv1.3"},
                                           VersionCase{sslvTLSv1_3, 0, TLS1_2_VERSION, ""},
                                           VersionCase{sslvTLSv1_2, 0, 0, "TLSv1.2"},
                                           VersionCase{sslvTLSv1_2, TLS1_3_VERSION, 0, ""},
                                           VersionCase{sslvSSLv23, 0, TLS1_2_VERSION, "TLSv1.2"},
                                           VersionCase{sslvSSLv23, 0, 0, "TLSv1.3"}));

struct ALPNCase {
  std::vector<std::string> offered;
  std::string chosen;  // what the application's chooser answers
  int clientMax;
  std::string expected;
};

class TLSALPNTest : public TLSServerTest, public ::testing::WithParamInterface<ALPNCase> {};

TEST_P(TLSALPNTest, AnswersOnlyWithAnOfferedProtocol) {
  const ALPNCase& c = GetParam();
  handler.OnALPNSelect = [&](void*, const std::vector<std::string>&, std::string& protocol) { protocol = c.chosen; };
  if (c.clientMax != 0 && c.clientMax < TLS1_2_VERSION)
    handler.SSLOptions().SetCipherList("DEFAULT:@SECLEVEL=0");  // Debian's OpenSSL speaks TLS 1.1 only at level 0
  TLSTestClient client;
  ASSERT_TRUE(client.Connect(Activate(sslvSSLv23), {.alpn = c.offered, .minVersion = 0, .maxVersion = c.clientMax})) << client.Error();
  EXPECT_EQ(client.ALPN(), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Choices, TLSALPNTest,
    ::testing::Values(ALPNCase{{"h2", "http/1.1"}, "h2", 0, "h2"}, ALPNCase{{"http/1.1", "h2"}, "http/1.1", 0, "http/1.1"},
                      ALPNCase{{"http/1.1"}, "h2", 0, ""},  // RFC 7301 3.2: never one the client did not offer
                      ALPNCase{{"h2"}, "", 0, ""}, ALPNCase{{"h2"}, "h2", TLS1_2_VERSION, "h2"}, ALPNCase{{}, "h2", 0, ""},
                      // RFC 9113 9.2: h2 only over TLS 1.2 or later, else http/1.1 when offered;
                      // ALPN itself works on TLS 1.1
                      ALPNCase{{"h2", "http/1.1"}, "h2", TLS1_1_VERSION, "http/1.1"},
                      ALPNCase{{"h2"}, "h2", TLS1_1_VERSION, ""},
                      ALPNCase{{"h2", "http/1.1"}, "http/1.1", TLS1_1_VERSION, "http/1.1"}));

TEST_F(TLSServerTest, AHandshakeIsDroppedAtItsTotalDeadlineEvenWhileBytesTrickle) {
  handler.SetHandshakeTimeout(600);
  const uint16_t port = Activate();
  TLSTestClient healthy;  // well within the limit
  ASSERT_TRUE(healthy.Connect(port)) << healthy.Error();

  test::TestClient silent;
  test::TestClient trickling;
  ASSERT_TRUE(silent.Connect("127.0.0.1", port));
  ASSERT_TRUE(trickling.Connect("127.0.0.1", port));
  const auto start = steady_clock::now();
  const std::string hello("\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03", 11);
  bool closed = false;
  for (size_t i = 0; !closed && MillisecondsSince(start) < 3000; ++i) {
    trickling.Send(hello.substr(i % hello.size(), 1));
    closed = trickling.WaitClosed(100);
  }
  EXPECT_TRUE(closed);
  EXPECT_GE(MillisecondsSince(start), 500);
  EXPECT_TRUE(silent.WaitClosed(1000));
  EXPECT_TRUE(test::WaitFor([&] { return Exceptions().size() == 2; }));
  for (const std::string& e : Exceptions())
    EXPECT_EQ(e, "Socket Error # 10060\r\nConnection timed out.");
  ASSERT_TRUE(healthy.Send("still here"));
  EXPECT_EQ(healthy.ReceiveUntil("still here"), "still here");
}

TEST_F(TLSServerTest, APeerLeavingMidHandshakeIsAnEOFAgainstTheProtocol) {
  test::TestClient client;
  ASSERT_TRUE(client.Connect("127.0.0.1", Activate()));
  client.Send(std::string("\x16\x03\x01\x02\x00\x01", 6));
  ::shutdown(client.Handle(), SHUT_WR);
  ASSERT_TRUE(test::WaitFor([&] { return Exceptions().size() == 1; }));
  EXPECT_EQ(Exceptions()[0], "Error accepting connection with SSL.\r\nEOF was observed that violates the protocol");
}

// A record that never completes is a read time-out, not an endless wait.
TEST_F(TLSServerTest, AnIncompleteRecordEndsInTheReadTimeOut) {
  readTimeout = 300;
  TLSTestClient client;
  ASSERT_TRUE(client.Connect(Activate())) << client.Error();
  const auto start = steady_clock::now();
  client.Socket().Send(std::string("\x17\x03\x03\x00\x40", 5));
  ASSERT_TRUE(test::WaitFor([&] { return Exceptions().size() == 1; }, 3000));
  EXPECT_EQ(Exceptions()[0], "Read timed out.");
  EXPECT_LT(MillisecondsSince(start), 2000);
}

TEST_F(TLSServerTest, StopReturnsPromptlyWithHandshakesPending) {
  const uint16_t port = Activate();
  std::vector<test::TestClient> clients(5);
  for (auto& client : clients)
    ASSERT_TRUE(client.Connect("127.0.0.1", port));
  TLSTestClient connected;
  ASSERT_TRUE(connected.Connect(port)) << connected.Error();
  std::this_thread::sleep_for(milliseconds(100));
  const auto start = steady_clock::now();
  server.SetActive(false);
  EXPECT_LT(MillisecondsSince(start), 1000);
  for (const std::string& e : Exceptions())
    EXPECT_EQ(e.find("SSL"), std::string::npos) << "a stop is no TLS failure: " << e;
}

}  // namespace
}  // namespace zal
