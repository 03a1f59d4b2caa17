// zal_bench_server: serves the demo's files with the demo's request handler for
// load tests, without the window and without logging.
//   zal_bench_server --port PORT [--folder DIR] [--keep-alive] [--layer component|http]
//                    [--engine threads|loops] [--loops N] [--tls PEM] [--http2] [--echo]
// --layer component (the default) runs the server component; --layer http runs
// the bare HTTP/1.1 layer underneath it, to tell their costs apart.
// --engine picks the component's connection engine: threads (one thread per
// connection, the default) or loops (event loops; --loops N of them, where 0
// means one per core; without --loops the component's default count).
// --tls makes the component speak TLS 1.3 with the certificate and key of PEM
// (the key encrypted under the demo's pass phrase "kfx.pem"); --http2 switches
// HTTP/2 on; --echo sends every WebSocket message back as it came.
// SIGUSR1 broadcasts one text message of 100 octets to every WebSocket
// connection and prints "broadcast CALLED RETURNED": the CLOCK_REALTIME
// nanoseconds just before the broadcast and when it returned.
// It listens on 127.0.0.1 and stops on SIGINT or SIGTERM.
#include <pthread.h>
#include <signal.h>
#include <time.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "app/zalDemoHandler.h"
#include "http/zalIdCustomHTTPServer.h"
#include "server/zalWebSocket_Server.h"

namespace {

struct Settings {
  int port = 0;
  std::string folder;
  bool keepAlive = false;
  std::string layer = "component";
  std::string engine = "threads";
  int loops = -1;  // below 0: the component's default
  std::string tlsFile;  // empty: plain TCP
  bool http2 = false;
  bool echo = false;
};

[[noreturn]] void Usage(const char* program) {
  std::fprintf(stderr,
               "usage: %s --port PORT [--folder DIR] [--keep-alive] [--layer component|http]\n"
               "       [--engine threads|loops] [--loops N] [--tls PEM] [--http2] [--echo]\n",
               program);
  std::exit(2);
}

Settings ParseCommandLine(int argc, char** argv) {
  Settings settings;
  settings.folder = zal::ExecutableFolder();
  for (int i = 1; i < argc; ++i) {
    const std::string argument = argv[i];
    const bool hasValue = i + 1 < argc;
    if (argument == "--port" && hasValue)
      settings.port = std::atoi(argv[++i]);
    else if (argument == "--folder" && hasValue)
      settings.folder = argv[++i];
    else if (argument == "--layer" && hasValue)
      settings.layer = argv[++i];
    else if (argument == "--engine" && hasValue)
      settings.engine = argv[++i];
    else if (argument == "--loops" && hasValue)
      settings.loops = std::atoi(argv[++i]);
    else if (argument == "--tls" && hasValue)
      settings.tlsFile = argv[++i];
    else if (argument == "--keep-alive")
      settings.keepAlive = true;
    else if (argument == "--http2")
      settings.http2 = true;
    else if (argument == "--echo")
      settings.echo = true;
    else
      Usage(argv[0]);
  }
  const bool componentOnly = !settings.tlsFile.empty() || settings.http2 || settings.echo ||
                             settings.engine != "threads" || settings.loops >= 0;
  if (settings.port <= 0 || settings.port > 65535 || (settings.layer != "component" && settings.layer != "http") ||
      (settings.engine != "threads" && settings.engine != "loops") || (componentOnly && settings.layer != "component"))
    Usage(argv[0]);
  return settings;
}

template <typename Server>
void Bind(Server& server, const Settings& settings) {
  zal::TIdSocketHandle& binding = server.Bindings().Add();
  binding.SetIP("127.0.0.1");
  binding.SetPort(static_cast<uint16_t>(settings.port));
  server.SetKeepAlive(settings.keepAlive);
  server.OnCommandGet = [folder = settings.folder](zal::TIdContext* context, zal::TIdHTTPRequestInfo* request,
                                                   zal::TIdHTTPResponseInfo* response) {
    zal::serverCommandGet(context, request, response, folder, nullptr);
  };
}

void Configure(zal::TzalWebSocketHTTPServer& server, const Settings& settings) {
  if (settings.engine == "loops") {
    server.IOHandlerOptions().IOHandlerType = zal::iohIOCP;
    if (settings.loops >= 0) server.IOHandlerOptions().IOCP.WorkOpThreads = settings.loops;
  }
  if (!settings.tlsFile.empty()) {
    server.SetSSL(true);
    server.SSLOptions().CertFile = settings.tlsFile;
    server.SSLOptions().KeyFile = settings.tlsFile;
    server.SSLOptions().Password = "kfx.pem";
    server.SSLOptions().Version = zal::tls1_3;
  }
  server.HTTP2Options().Enabled = settings.http2;
  if (settings.echo) {
    server.SetNotifyEvents(zal::neNoSync);
    server.Options().ValidateUTF8 = true;  // as node ws does for text
    server.OnMessage = [](zal::TzalWSConnection* connection, const std::string& text) { connection->WriteData(text); };
    server.OnBinary = [](zal::TzalWSConnection* connection, const zal::TMemoryStream& data) {
      connection->WriteData(const_cast<zal::TMemoryStream&>(data));
    };
  }
}

int64_t RealtimeNanoseconds() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  return now.tv_sec * 1000000000LL + now.tv_nsec;
}

void BroadcastAndReport(zal::TzalWebSocketHTTPServer& server) {
  static const std::string message(100, 'b');
  const int64_t called = RealtimeNanoseconds();
  server.Broadcast(message);
  std::printf("broadcast %lld %lld\n", static_cast<long long>(called), static_cast<long long>(RealtimeNanoseconds()));
  std::fflush(stdout);
}

// Blocks until SIGINT or SIGTERM arrives; `onUser1` runs on each SIGUSR1.
template <typename OnUser1>
void WaitForStopSignal(const sigset_t& signals, OnUser1 onUser1) {
  int signal = 0;
  while (sigwait(&signals, &signal) == 0 && signal == SIGUSR1) onUser1();
}

}  // namespace

int main(int argc, char** argv) {
  const Settings settings = ParseCommandLine(argc, argv);
  // Blocked before any thread starts, so only sigwait sees them.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGUSR1);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  try {
    if (settings.layer == "http") {
      zal::TIdHTTPServer server;
      Bind(server, settings);
      server.SetActive(true);
      WaitForStopSignal(signals, [] {});
      server.SetActive(false);
    } else {
      zal::TzalWebSocketHTTPServer server;
      Bind(server, settings);
      Configure(server, settings);
      server.SetActive(true);
      WaitForStopSignal(signals, [&server] { BroadcastAndReport(server); });
      server.SetActive(false);
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "zal_bench_server: %s\n", e.what());
    return 1;
  }
  return 0;
}
