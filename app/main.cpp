// zal_demo: the demo window serving pages and images.
//   zal_demo [--host ADDRESS] [--port PORT] [--load-balancer HOST:PORT]
// With --load-balancer the demo joins the other demos that use the same Redis
// server: they share one port, and a WebSocket message to any of them goes to
// the clients of all.
// Without a display it runs offscreen. SIGINT and SIGTERM close the window,
// which stops the server, and the program leaves.
#include <QApplication>
#include <QPointer>
#include <QSocketNotifier>

#include <sys/signalfd.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "app/FHTTP2_Server.h"
#include "app/zalQtMainThreadQueue.h"

namespace {

struct CommandLine {
  QString host = "127.0.0.1";
  QString port = "5450";
  QString loadBalancer;  // HOST:PORT of the Redis server, or empty
};

// "HOST:PORT" with a port of 1 to 65535.
bool IsHostAndPort(const std::string& text) {
  const size_t colon = text.rfind(':');
  if (colon == std::string::npos || colon == 0 || colon + 1 == text.size() || colon + 6 < text.size())
    return false;
  if (text.find_first_not_of("0123456789", colon + 1) != std::string::npos)
    return false;
  const int port = std::stoi(text.substr(colon + 1));
  return port > 0 && port <= 65535;
}

CommandLine ParseCommandLine(int argc, char** argv) {
  CommandLine options;
  for (int i = 1; i < argc; ++i) {
    const std::string argument = argv[i];
    if ((argument == "--host" || argument == "--port") && i + 1 < argc) {
      (argument == "--host" ? options.host : options.port) = QString::fromLocal8Bit(argv[++i]);
    } else if (argument == "--load-balancer" && i + 1 < argc && IsHostAndPort(argv[i + 1])) {
      options.loadBalancer = QString::fromLocal8Bit(argv[++i]);
    } else {
      std::fprintf(stderr, "usage: %s [--host ADDRESS] [--port PORT] [--load-balancer HOST:PORT]\n", argv[0]);
      std::exit(2);
    }
  }
  return options;
}

// Delivers SIGINT and SIGTERM through a descriptor the event loop watches.
int BlockStopSignals() {
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  return signalfd(-1, &stopSignals, SFD_CLOEXEC);
}

}  // namespace

int main(int argc, char** argv) {
  const CommandLine options = ParseCommandLine(argc, argv);
  if (!std::getenv("DISPLAY") && !std::getenv("WAYLAND_DISPLAY") && !std::getenv("QT_QPA_PLATFORM"))
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
  // Blocked before any thread starts, so every thread inherits the mask.
  const int signalDescriptor = BlockStopSignals();

  QApplication application(argc, argv);
  zal::TzalQtMainThreadQueue mainThreadQueue;
  zal::SetMainThreadToCurrent();
  zal::SetMainThreadQueue(&mainThreadQueue);

  // Watched before the window exists: its creation starts the server and may
  // show an error box, whose own event loop must end on a stop signal too.
  QPointer<zal::TFRMHTTP2Server> window;
  bool stopRequested = false;
  QSocketNotifier stopSignal(signalDescriptor, QSocketNotifier::Read);
  QObject::connect(&stopSignal, &QSocketNotifier::activated, &application, [&] {
    signalfd_siginfo info;
    if (read(signalDescriptor, &info, sizeof(info)) <= 0)
      return;
    stopRequested = true;
    for (QWidget* widget : QApplication::topLevelWidgets())
      if (widget->isModal() && widget->isVisible())
        widget->hide();  // ends the box's own event loop
    if (window)
      window->close();
  });

  window = new zal::TFRMHTTP2Server(options.host, options.port, options.loadBalancer);
  window->setAttribute(Qt::WA_DeleteOnClose);
  QObject::connect(window, &QObject::destroyed, &application, &QApplication::quit);
  if (stopRequested) {  // the signal came while the window was being created
    window->close();
    delete window;
    zal::SetMainThreadQueue(nullptr);
    return 0;
  }

  window->show();
  const int result = application.exec();
  zal::SetMainThreadQueue(nullptr);
  return result;
}
