#include "app/FHTTP2_Server.h"

#include <QApplication>
#include <QCloseEvent>
#include <QFont>
#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>

#include <algorithm>
#include <cstdio>

#include "app/zalDemoHandler.h"
#include "support/zalHelpers.h"
#include "support/zalIdException.h"
#include "support/zalMainThread.h"

namespace zal {

namespace {

QFrame* NewPanel(QWidget* parent, int left, int top, int width, int height) {
  auto* panel = new QFrame(parent);
  panel->setFrameStyle(QFrame::Panel | QFrame::Raised);
  panel->setGeometry(left, top, width, height);
  return panel;
}

// The layout's size is the least: a label grows to its caption in the font at
// hand (the layout was drawn for Tahoma 8 pt, which may not be installed).
QLabel* NewLabel(QWidget* parent, const char* caption, int left, int top, int width, int height) {
  auto* label = new QLabel(caption, parent);
  label->setGeometry(left, top, width, height);
  return label;
}

void FitToCaption(QLabel* label) {
  const QSize needed = label->sizeHint();
  label->resize(std::max(label->width(), needed.width()), std::max(label->height(), needed.height()));
}

}  // namespace

uint16_t PortFromText(const std::string& text) {
  const int value = StrToInt(text);
  if (value < 0 || value > 65535)
    throw EConvertError("'" + text + "' is not a valid port number (0 to 65535)");
  return static_cast<uint16_t>(value);
}

TFRMHTTP2Server::TFRMHTTP2Server(const QString& host, const QString& port, const QString& loadBalancer,
                                 QWidget* parent)
    : QWidget(parent), server(std::make_unique<TzalWebSocketHTTPServer>()), FAssetFolder(ExecutableFolder()) {
  ShowError = [this](const std::string& message) {
    QMessageBox::critical(this, windowTitle(), QString::fromStdString(message));
  };
  CreateControls();
  txtHost->setText(host);
  txtDefaultPort->setText(port);
  LoadStoredSettings();
  if (!loadBalancer.isEmpty())
    UseLoadBalancer(loadBalancer.toStdString());
  FormCreate();
}

TFRMHTTP2Server::~TFRMHTTP2Server() {
  FDestroying = true;  // the stop event may come while the controls go away
  server.reset();
}

void TFRMHTTP2Server::CreateControls() {
  setWindowTitle("zalHTTP2 Server");
  setFont(QFont("Tahoma", 8));
  resize(527, 561);
  if (const QScreen* screen = QApplication::primaryScreen())
    move(screen->availableGeometry().center() - rect().center());

  pnlLeft = NewPanel(this, 8, 8, 113, 232);
  btnStart = new QPushButton("Start", pnlLeft);
  btnStart->setGeometry(16, 15, 75, 25);
  btnStop = new QPushButton("Stop", pnlLeft);
  btnStop->setGeometry(16, 192, 75, 25);

  pnlOptions = NewPanel(this, 127, 8, 385, 232);
  Label1 = NewLabel(pnlOptions, "Options", 16, 13, 43, 13);
  QFont bold = Label1->font();
  bold.setBold(true);
  Label1->setFont(bold);
  FitToCaption(Label1);
  Label2 = NewLabel(pnlOptions, "Host:", 16, 32, 26, 13);
  txtHost = new QLineEdit(pnlOptions);
  txtHost->setGeometry(16, 47, 121, 21);
  Label3 = NewLabel(pnlOptions, "Port:", 155, 32, 24, 13);
  Default = NewLabel(pnlOptions, "Default", 160, 50, 35, 13);
  txtDefaultPort = new QLineEdit(pnlOptions);
  txtDefaultPort->setGeometry(201, 47, 57, 21);

  for (QLabel* label : {Label2, Label3, Default})
    FitToCaption(label);

  memoLog = new QPlainTextEdit(this);
  memoLog->setGeometry(8, 246, 504, 307);
  memoLog->setMaximumBlockCount(DefaultLogLineLimit);

  connect(btnStart, &QPushButton::clicked, this, &TFRMHTTP2Server::btnStartClick);
  connect(btnStop, &QPushButton::clicked, this, &TFRMHTTP2Server::btnStopClick);
}

// The component's settings as the window stores them.
void TFRMHTTP2Server::LoadStoredSettings() {
  TzalWebSocketHTTPServer& s = *server;
  s.BeginLoading();
  s.SetPort(5450);
  s.SetSSL(true);
  TzalWSSSL_Options& ssl = s.SSLOptions();
  ssl.CertFile = "zal.pem";
  ssl.KeyFile = "zal.pem";
  ssl.Password = "kfx.pem";
  ssl.VerifyCertificate = false;
  ssl.VerifyDepth = 0;
  ssl.Version = tls1_3;
  ssl.Port = 5450;
  ssl.OpenSSL_Options.APIVersion = oslAPI_1_1;
  ssl.OpenSSL_Options.ECDHE = false;
  TzalWSOptionsServer& options = s.Options();
  options.CleanDisconnect = false;
  options.FragmentedMessages = frgOnlyBuffer;
  options.HTMLFiles = true;
  options.JavascriptFiles = true;
  options.SetReadTimeOut(10);
  options.WriteTimeOut = 0;
  options.RaiseDisconnectExceptions = true;
  options.ValidateUTF8 = false;
  s.HTTP2Options().Enabled = false;
  s.HTTP2Options().Settings = TzalWSHTTP2Settings{};
  s.SetKeepAlive(false);
  s.SetSessionState(false);
  s.SetSessionTimeOut(0);
  s.SetAutoStartSession(false);
  s.SetMaxConnections(0);
  s.SetThreadPool(false);
  s.ThreadPoolOptions() = TzalWSThreadPool_Options{.MaxThreads = 0, .PoolSize = 32};
  s.IOHandlerOptions() = TzalWSIOHandler_Options{};
  s.SetNotifyEvents(neNoSync);
  TzalWSAuthenticationServer_Options& auth = s.Authentication();
  auth.Enabled = false;
  auth.AllowNonAuth = false;
  auth.URL.Enabled = true;
  auth.Session.Enabled = true;
  auth.Basic.Enabled = false;
  s.HeartBeat() = TzalWSHeartBeat_Options{.Enabled = false, .Interval = 300, .Timeout = 0};
  s.WatchDog().Enabled = false;
  s.WatchDog().Interval = 60;
  s.WatchDog().Attempts = 0;
  s.QueueOptions() = TzalWSQueueServer_Options{};
  s.Specifications().RFC6455 = true;
  s.Specifications().Drafts.Hixie76 = true;
  s.Extensions() = TzalWSExtensions_Options{};
  s.FallBack() = TzalWSFallBack_Options{};
  s.LogFile().Enabled = false;
  s.Throttle() = TzalWSThrottle_Options{.Enabled = false, .BitsPerSec = 0};
  s.OnStartup = [this](void* sender) { serverStartup(sender); };
  s.OnShutdown = [this](void* sender) { serverShutdown(sender); };
  s.OnCommandGet = [this](TIdContext* context, TIdHTTPRequestInfo* request, TIdHTTPResponseInfo* response) {
    serverCommandGet(context, request, response);
  };
  s.EndLoading();
}

void TFRMHTTP2Server::UseLoadBalancer(const std::string& aHostAndPort) {
  const size_t colon = aHostAndPort.rfind(':');
  TzalWSLoadBalancerServer_Options& balancer = server->LoadBalancer();
  balancer.Enabled = true;
  balancer.Host = aHostAndPort.substr(0, colon);
  balancer.Port = StrToInt(aHostAndPort.substr(colon + 1));
  server->OnMessage = [this](TzalWSConnection*, const std::string& text) { server->Broadcast(text); };
  server->OnLoadBalancerConnect = [this, aHostAndPort](void*) { DoLog("#Load Balancer Connected: " + aHostAndPort); };
  server->OnLoadBalancerDisconnect = [this, aHostAndPort](void*) {
    DoLog("#Load Balancer Disconnected: " + aHostAndPort);
  };
  server->OnLoadBalancerError = [this](void*, const std::string& error) { DoLog("#Load Balancer Error: " + error); };
}

void TFRMHTTP2Server::closeEvent(QCloseEvent* event) {
  Guarded([this] { server->SetActive(false); });
  QWidget::closeEvent(event);
}

void TFRMHTTP2Server::FormCreate() { btnStart->click(); }

void TFRMHTTP2Server::Guarded(const std::function<void()>& action) {
  try {
    action();
  } catch (const std::exception& e) {
    // A failed start (a missing "zal.pem", a wrong pass phrase) is in the log too.
    DoLog("#Server Error: " + std::string(e.what()));
    ShowError(e.what());
  }
}

int TFRMHTTP2Server::LogLineLimit() const { return memoLog ? memoLog->maximumBlockCount() : 0; }

void TFRMHTTP2Server::SetLogLineLimit(int value) {
  if (memoLog)
    memoLog->setMaximumBlockCount(value);
}

void TFRMHTTP2Server::btnStartClick() { Guarded([this] { StartSequence(); }); }

void TFRMHTTP2Server::btnStopClick() {
  Guarded([this] { server->SetActive(false); });
}

void TFRMHTTP2Server::StartSequence() {
  // The port text is validated before any setting changes.
  PortFromText(txtDefaultPort->text().toStdString());
  // Bindings cannot be rebuilt under a running listener: Start on a running
  // server restarts it with the current texts.
  if (server->Active())
    server->SetActive(false);
  server->SetPort(PortFromText(txtDefaultPort->text().toStdString()));
  server->Bindings().Clear();
  TIdSocketHandle& binding = server->Bindings().Add();
  binding.SetPort(PortFromText(txtDefaultPort->text().toStdString()));
  binding.SetIP(txtHost->text().toStdString());
  binding.SetReusePort(server->LoadBalancer().Enabled);
  server->SetSSL(true);
  server->SSLOptions().Port = PortFromText(txtDefaultPort->text().toStdString());
  server->SSLOptions().OpenSSL_Options.APIVersion = oslAPI_1_1;
  server->SSLOptions().Version = tls1_3;
  server->SSLOptions().CertFile = "zal.pem";
  server->SSLOptions().KeyFile = "zal.pem";
  server->SSLOptions().RootCertFile = "zal.pem";
  server->HTTP2Options().Enabled = true;
  server->SetActive(true);
}

void TFRMHTTP2Server::serverStartup(void*) {
  if (FDestroying)
    return;
  DoLog("#Server Started: " + txtHost->text().toStdString() + ":" + txtDefaultPort->text().toStdString());
}

void TFRMHTTP2Server::serverShutdown(void*) {
  if (FDestroying)
    return;
  DoLog("#Server Stopped: " + txtHost->text().toStdString() + ":" + txtDefaultPort->text().toStdString());
}

void TFRMHTTP2Server::serverCommandGet(TIdContext* AContext, TIdHTTPRequestInfo* ARequestInfo,
                                       TIdHTTPResponseInfo* AResponseInfo) {
  zal::serverCommandGet(AContext, ARequestInfo, AResponseInfo, FAssetFolder,
                        [this](const std::string& line) { DoLog(line); });
}

void TFRMHTTP2Server::DoLog(const std::string& aText) {
  std::fprintf(stdout, "%s\n", aText.c_str());
  std::fflush(stdout);
  QPointer<QPlainTextEdit> log = memoLog;
  auto append = [log, text = QString::fromStdString(aText)] {
    if (log)
      log->appendPlainText(text);
  };
  if (IsMainThread())
    append();
  else
    QueueToMainThread(append);
}

}  // namespace zal
