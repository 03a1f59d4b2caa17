#include "app/FHTTP2_Server.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>

#include <filesystem>
#include <memory>

#include "app/zalQtMainThreadQueue.h"
#include "common/zalTestSocket.h"
#include "common/zalTestTLS.h"

namespace zal {
namespace {

using test::TestClient;

// One QApplication for the whole test program, running offscreen.
class QtEnvironment : public ::testing::Environment {
public:
  void SetUp() override {
    static int argc = 1;
    static char name[] = "zal_tests_app";
    static char* argv[] = {name, nullptr};
    application = std::make_unique<QApplication>(argc, argv);
    SetMainThreadQueue(&queue);
  }
  void TearDown() override {
    SetMainThreadQueue(nullptr);
    application.reset();
  }

private:
  std::unique_ptr<QApplication> application;
  TzalQtMainThreadQueue queue;
};

const auto* const kQtEnvironment = ::testing::AddGlobalTestEnvironment(new QtEnvironment);

QStringList LogLines(const TFRMHTTP2Server& window) {
  return window.memoLog->toPlainText().split('\n', Qt::SkipEmptyParts);
}

bool Listening(const std::string& host, uint16_t port) {
  TestClient client;
  return client.Connect(host, port, 500);
}

TEST(DemoWindow, CreatingTheWindowStartsTheServerAndLogsTheFirstLine) {
  const uint16_t port = test::FreeLoopbackPort();
  TFRMHTTP2Server window("127.0.0.1", QString::number(port));
  ASSERT_TRUE(window.server->Active());
  EXPECT_EQ(LogLines(window), QStringList{"#Server Started: 127.0.0.1:" + QString::number(port)});
  EXPECT_TRUE(Listening("127.0.0.1", port));
  // The start sequence switched these on.
  EXPECT_TRUE(window.server->SSL());
  EXPECT_TRUE(window.server->HTTP2Options().Enabled);
  EXPECT_EQ(window.server->SSLOptions().Port, port);
  EXPECT_EQ(window.server->NotifyEvents(), neNoSync);
  EXPECT_EQ(window.windowTitle(), "zalHTTP2 Server");
  EXPECT_EQ(window.btnStart->text(), "Start");
  EXPECT_EQ(window.txtDefaultPort->geometry(), QRect(201, 47, 57, 21));
}

TEST(DemoWindow, StopCloseAndStartOnANewHostLogBothHosts) {
  const uint16_t port = test::FreeLoopbackPort();
  const QString portText = QString::number(port);
  TFRMHTTP2Server window("127.0.0.1", portText);
  TestClient client;
  ASSERT_TRUE(client.Connect("127.0.0.1", port));

  window.btnStop->click();
  EXPECT_FALSE(window.server->Active());
  EXPECT_TRUE(client.WaitClosed());
  window.txtHost->setText("127.0.0.2");
  window.btnStart->click();
  ASSERT_TRUE(window.server->Active());
  EXPECT_TRUE(Listening("127.0.0.2", port));
  EXPECT_EQ(LogLines(window), (QStringList{"#Server Started: 127.0.0.1:" + portText,
                                           "#Server Stopped: 127.0.0.1:" + portText,
                                           "#Server Started: 127.0.0.2:" + portText}));
}

TEST(DemoWindow, StopLogsThePortTextAsItIsWhenTheEventComes) {
  const uint16_t port = test::FreeLoopbackPort();
  TFRMHTTP2Server window("127.0.0.1", QString::number(port));
  window.txtDefaultPort->setText("6000");
  window.btnStop->click();
  EXPECT_EQ(LogLines(window).last(), "#Server Stopped: 127.0.0.1:6000");
}

TEST(DemoWindow, BadPortTextsShowAnErrorAndChangeNoSetting) {
  const uint16_t port = test::FreeLoopbackPort();
  TFRMHTTP2Server window("127.0.0.1", QString::number(port));
  std::vector<std::string> errors;
  window.ShowError = [&](const std::string& message) { errors.push_back(message); };
  window.btnStop->click();
  window.server->HTTP2Options().Enabled = false;

  for (const char* text : {"abc", "70000", "-1", ""}) {
    window.txtDefaultPort->setText(text);
    window.btnStart->click();
  }
  ASSERT_EQ(errors.size(), 4u);
  EXPECT_EQ(errors[0], "'abc' is not a valid integer value");
  EXPECT_EQ(errors[1], "'70000' is not a valid port number (0 to 65535)");
  EXPECT_EQ(errors[2], "'-1' is not a valid port number (0 to 65535)");
  EXPECT_EQ(errors[3], "'' is not a valid integer value");
  EXPECT_FALSE(window.server->Active());
  EXPECT_EQ(window.server->Port(), port);
  EXPECT_EQ(window.server->Bindings().Items(0).Port(), port);
  EXPECT_FALSE(window.server->HTTP2Options().Enabled);
}

TEST(DemoWindow, StartWhileRunningRestartsOnTheCurrentTexts) {
  const uint16_t first = test::FreeLoopbackPort();
  TFRMHTTP2Server window("127.0.0.1", QString::number(first));
  const uint16_t second = test::FreeLoopbackPort();
  window.txtDefaultPort->setText(QString::number(second));
  window.btnStart->click();
  ASSERT_TRUE(window.server->Active());
  EXPECT_TRUE(Listening("127.0.0.1", second));
  EXPECT_FALSE(Listening("127.0.0.1", first));
}

TEST(DemoWindow, ActivationFailureIsShownAndLogsNoStartLine) {
  TIdSocketHandle blocker;
  blocker.SetIP("127.0.0.1");
  blocker.AllocateSocket();
  blocker.Bind();
  blocker.Listen(1);
  std::vector<std::string> errors;
  // The window's creation runs Start: the error box cannot be replaced before,
  // so start on a free port and press Start again on the busy one.
  TFRMHTTP2Server window("127.0.0.1", QString::number(test::FreeLoopbackPort()));
  window.ShowError = [&](const std::string& message) { errors.push_back(message); };
  window.txtDefaultPort->setText(QString::number(blocker.Port()));
  window.btnStart->click();
  EXPECT_EQ(errors, std::vector<std::string>{"Could not bind socket."});
  EXPECT_FALSE(window.server->Active());
  EXPECT_FALSE(LogLines(window).last().startsWith("#Server Started: 127.0.0.1:" + QString::number(blocker.Port())));
}

// The demo runs from a folder whose "zal.pem" is missing or locked with another
// pass phrase: a clear log line, no listener.
class DemoWindowCertificate : public ::testing::TestWithParam<std::pair<const char*, const char*>> {};

TEST_P(DemoWindowCertificate, ThatCannotBeLoadedIsLoggedAndNothingListens) {
  const auto [passPhrase, expected] = GetParam();
  TFRMHTTP2Server window("127.0.0.1", QString::number(test::FreeLoopbackPort()));
  std::vector<std::string> errors;
  window.ShowError = [&](const std::string& message) { errors.push_back(message); };
  window.btnStop->click();
  test::TestCertificate elsewhere(passPhrase);
  if (std::string(passPhrase).empty())
    std::filesystem::remove(elsewhere.File());
  else
    std::filesystem::rename(elsewhere.File(), elsewhere.Folder() + "/zal.pem");
  const auto previous = std::filesystem::current_path();
  std::filesystem::current_path(elsewhere.Folder());
  window.btnStart->click();
  std::filesystem::current_path(previous);
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_TRUE(errors[0].starts_with(expected)) << errors[0];
  EXPECT_TRUE(window.memoLog->toPlainText().contains(QString("#Server Error: ") + expected));
  EXPECT_FALSE(window.server->Active());
  EXPECT_FALSE(Listening("127.0.0.1", window.txtDefaultPort->text().toUShort()));
}

INSTANTIATE_TEST_SUITE_P(Files, DemoWindowCertificate,
                         ::testing::Values(std::pair{"", "Could not load root certificate."},
                                           std::pair{"another", "Could not load key, check password."}),
                         [](const auto& info) { return std::string(info.index == 0 ? "Missing" : "WrongPassPhrase"); });

TEST(DemoWindow, LogLinesFromOtherThreadsArriveThroughTheEventLoop) {
  TFRMHTTP2Server window("127.0.0.1", QString::number(test::FreeLoopbackPort()));
  std::thread([&] { window.DoLog("from a worker"); }).join();
  EXPECT_FALSE(LogLines(window).contains("from a worker"));
  QCoreApplication::processEvents();
  EXPECT_EQ(LogLines(window).last(), "from a worker");
}

// A peer's octets cannot end a log line, forge another or reach the terminal.
TEST(DemoWindow, ControlOctetsAreEscapedInTheLog) {
  TFRMHTTP2Server window("127.0.0.1", QString::number(test::FreeLoopbackPort()));
  const qsizetype before = LogLines(window).size();
  window.DoLog("GET /\x1b[2J\r\n#Server Stopped: \\forged\x7f");
  EXPECT_EQ(LogLines(window).size(), before + 1);
  EXPECT_EQ(LogLines(window).last(), "GET /\\x1B[2J\\x0D\\x0A#Server Stopped: \\x5Cforged\\x7F");
}

TEST(DemoWindow, TheLogKeepsTheLastLinesUpToItsLimit) {
  TFRMHTTP2Server window("127.0.0.1", QString::number(test::FreeLoopbackPort()));
  EXPECT_EQ(window.LogLineLimit(), DefaultLogLineLimit);
  window.memoLog->clear();
  window.SetLogLineLimit(5);
  for (int i = 1; i <= 5; ++i)
    window.DoLog("line " + std::to_string(i));
  EXPECT_EQ(LogLines(window).size(), 5);  // at the limit: all kept
  window.DoLog("line 6");
  EXPECT_EQ(LogLines(window), (QStringList{"line 2", "line 3", "line 4", "line 5", "line 6"}));
}

TEST(DemoWindow, EveryCaptionFitsItsControl) {
  TFRMHTTP2Server window("127.0.0.1", QString::number(test::FreeLoopbackPort()));
  for (QLabel* label : window.findChildren<QLabel*>()) {
    EXPECT_LE(label->fontMetrics().horizontalAdvance(label->text()), label->contentsRect().width()) << label->text().toStdString();
    EXPECT_LE(label->fontMetrics().height(), label->contentsRect().height()) << label->text().toStdString();
  }
  for (QPushButton* button : window.findChildren<QPushButton*>())
    EXPECT_LT(button->fontMetrics().horizontalAdvance(button->text()), button->width()) << button->text().toStdString();
  for (QLineEdit* edit : window.findChildren<QLineEdit*>())
    EXPECT_LT(edit->fontMetrics().horizontalAdvance(edit->text()), edit->width()) << edit->text().toStdString();
  // The layout's positions stay.
  EXPECT_EQ(window.Label2->pos(), QPoint(16, 32));
  EXPECT_EQ(window.Default->pos(), QPoint(160, 50));
}

TEST(DemoWindow, ShownErrorsAreWrittenToStandardOutputToo) {
  TFRMHTTP2Server window("127.0.0.1", QString::number(test::FreeLoopbackPort()));
  window.ShowError = [](const std::string&) {};
  window.txtDefaultPort->setText("abc");
  ::testing::internal::CaptureStdout();
  window.btnStart->click();
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "#Server Error: 'abc' is not a valid integer value\n");
}

}  // namespace
}  // namespace zal
