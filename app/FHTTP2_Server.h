#pragma once
// The demo window: host and port edits, Start and Stop, and a log. It owns the
// server component and starts it as soon as it exists.
#include <QPointer>
#include <QWidget>

#include <functional>
#include <memory>
#include <string>

#include "server/zalWebSocket_Server.h"

class QFrame;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;

namespace zal {

constexpr int DefaultLogLineLimit = 10000;

class TFRMHTTP2Server : public QWidget {
  Q_OBJECT

public:
  // `host` and `port` are the edits' initial texts. A `loadBalancer` "HOST:PORT"
  // switches the load-balancer link on (Redis at that address): the listening
  // port is then shared with the other demos (ReusePort), and every WebSocket
  // message is broadcast to the clients of all of them.
  explicit TFRMHTTP2Server(const QString& host = "127.0.0.1", const QString& port = "5450",
                           const QString& loadBalancer = QString(), QWidget* parent = nullptr);
  ~TFRMHTTP2Server() override;

  // Appends a line to the log on the window's thread; callable from any thread.
  void DoLog(const std::string& aText);

  // The request handler, wired to the component's OnCommandGet; runs on the
  // connections' threads and touches no control.
  void serverCommandGet(TIdContext* AContext, TIdHTTPRequestInfo* ARequestInfo, TIdHTTPResponseInfo* AResponseInfo);

  // The folder the tiles ("gophertiles/") and test images ("img/") are served
  // from: the executable's folder unless replaced (replace it while no request runs).
  const std::string& AssetFolder() const { return FAssetFolder; }
  void SetAssetFolder(const std::string& value) { FAssetFolder = value; }

  // Shows an error of a button's action; a modal message box unless replaced.
  // The text is written to standard output first, whatever shows it.
  std::function<void(const std::string& message)> ShowError;

  // How many lines the log keeps: the oldest go once there are more (standard
  // output keeps every line). 0 keeps all.
  int LogLineLimit() const;
  void SetLogLineLimit(int value);

  std::unique_ptr<TzalWebSocketHTTPServer> server;
  QPushButton* btnStart;
  QPushButton* btnStop;
  QLabel* Label1;
  QLabel* Label2;
  QLineEdit* txtHost;
  QLabel* Label3;
  QLabel* Default;
  QLineEdit* txtDefaultPort;
  QFrame* pnlLeft;
  QFrame* pnlOptions;
  QPointer<QPlainTextEdit> memoLog;

protected:
  // Stops the server while the controls still exist, so the stop line is logged.
  void closeEvent(QCloseEvent* event) override;

private slots:
  void btnStartClick();
  void btnStopClick();

private:
  void FormCreate();
  void CreateControls();
  void LoadStoredSettings();
  void UseLoadBalancer(const std::string& aHostAndPort);
  void StartSequence();
  void serverStartup(void* Sender);
  void serverShutdown(void* Sender);
  // Runs a button's action and shows what it raises.
  void Guarded(const std::function<void()>& action);

  bool FDestroying = false;
  std::string FAssetFolder;
};

// The edit's text as a port number: "'%s' is not a valid integer value" for a
// text that is no integer, and a range error for one outside 0 to 65535.
uint16_t PortFromText(const std::string& text);

}  // namespace zal
