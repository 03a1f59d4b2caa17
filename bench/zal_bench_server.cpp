// zal_bench_server: serves the demo's files with the demo's request handler for
// load tests, without the window and without logging.
//   zal_bench_server --port PORT [--folder DIR] [--keep-alive] [--engine component|http]
//                    [--tls PEM] [--http2]
// --engine component (the default) runs the server component; --engine http
// runs the bare HTTP/1.1 engine underneath it, to tell their costs apart.
// --tls makes the component speak TLS 1.3 with the certificate and key of PEM
// (the key encrypted under the demo's pass phrase "kfx.pem"); --http2 switches
// HTTP/2 on.
// It listens on 127.0.0.1 and stops on SIGINT or SIGTERM.
#include <pthread.h>
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "app/zalDemoHandler.h"
#include "http/zalIdCustomHTTPServer.h"
#include "server/zalWebSocket_Server.h"

namespace {

struct Settings {
  int port = 0;
  std::string folder;
  bool keepAlive = false;
  std::string engine = "component";
  std::string tlsFile;  // empty: plain TCP
  bool http2 = false;
};

[[noreturn]] void Usage(const char* program) {
  std::fprintf(stderr,
               "usage: %s --port PORT [--folder DIR] [--keep-alive] [--engine component|http] [--tls PEM] [--http2]\n",
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
    else if (argument == "--engine" && hasValue)
      settings.engine = argv[++i];
    else if (argument == "--tls" && hasValue)
      settings.tlsFile = argv[++i];
    else if (argument == "--keep-alive")
      settings.keepAlive = true;
    else if (argument == "--http2")
      settings.http2 = true;
    else
      Usage(argv[0]);
  }
  const bool componentOnly = !settings.tlsFile.empty() || settings.http2;
  if (settings.port <= 0 || settings.port > 65535 || (settings.engine != "component" && settings.engine != "http") ||
      (componentOnly && settings.engine != "component"))
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

// Blocks until SIGINT or SIGTERM arrives.
void WaitForStopSignal(const sigset_t& stopSignals) {
  int signal = 0;
  sigwait(&stopSignals, &signal);
}

}  // namespace

int main(int argc, char** argv) {
  const Settings settings = ParseCommandLine(argc, argv);
  // Blocked before any thread starts, so only sigwait sees them.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  try {
    if (settings.engine == "http") {
      zal::TIdHTTPServer server;
      Bind(server, settings);
      server.SetActive(true);
      WaitForStopSignal(stopSignals);
      server.SetActive(false);
    } else {
      zal::TzalWebSocketHTTPServer server;
      Bind(server, settings);
      if (!settings.tlsFile.empty()) {
        server.SetSSL(true);
        server.SSLOptions().CertFile = settings.tlsFile;
        server.SSLOptions().KeyFile = settings.tlsFile;
        server.SSLOptions().Password = "kfx.pem";
        server.SSLOptions().Version = zal::tls1_3;
      }
      server.HTTP2Options().Enabled = settings.http2;
      server.SetActive(true);
      WaitForStopSignal(stopSignals);
      server.SetActive(false);
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "zal_bench_server: %s\n", e.what());
    return 1;
  }
  return 0;
}
