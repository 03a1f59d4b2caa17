#include <gtest/gtest.h>

#include "common/zalTestExceptions.h"

#include <string>
#include <vector>

#include "common/zalTestSocket.h"
#include "http/zalIdHTTPSessionStep.h"

namespace zal {
namespace {

// A request/response pair with its cookies, a store and the server settings.
class SessionStep : public ::testing::Test {
protected:
  SessionStep() {
    Settings.SessionState = true;
    Settings.SessionList = &Store;
    Settings.OnCreateSession = &OnCreateSession;
    Settings.OnInvalidSession = &OnInvalidSession;
    Store.SetSessionTimeout(60000);
    OnInvalidSession = [this](TIdContext*, TIdHTTPRequestInfo*, TIdHTTPResponseInfo*, bool& VContinue,
                              const std::string& id) {
      InvalidIDs.push_back(id);
      VContinue = ContinueAfterInvalid;
    };
  }

  TIdHTTPSessionExchange Exchange(const std::string& cookieHeader, const std::string& remoteIP) {
    RequestCookies.Clear();
    ResponseCookies.Clear();
    RequestCookies.AddClientCookies(cookieHeader);
    TIdHTTPSessionExchange exchange;
    exchange.RequestCookies = &RequestCookies;
    exchange.ResponseCookies = &ResponseCookies;
    exchange.RemoteIP = remoteIP;
    return exchange;
  }

  bool Step(const std::string& cookieHeader, const std::string& remoteIP, TIdHTTPSessionPtr& session) {
    return RunHTTPSessionStep(Settings, Exchange(cookieHeader, remoteIP), session);
  }

  std::vector<std::string> SetCookieLines() const {
    std::vector<std::string> lines;
    for (int i = 0; i < ResponseCookies.Count(); ++i)
      lines.push_back(ResponseCookies[i].ServerCookie());
    return lines;
  }

  TIdHTTPDefaultSessionList Store;
  TIdHTTPSessionSettings Settings;
  TIdHTTPCreateSession OnCreateSession;
  TIdHTTPInvalidSessionEvent OnInvalidSession;
  std::vector<std::string> InvalidIDs;
  bool ContinueAfterInvalid = true;
  TIdCookies RequestCookies;
  TIdCookies ResponseCookies;
};

TEST_F(SessionStep, SessionsOffFindNothingAndRaiseNothing) {
  Settings.SessionState = false;
  Settings.AutoStartSession = true;
  const auto existing = Store.CreateSession("1.1.1.1", "known");
  TIdHTTPSessionPtr session = existing;
  EXPECT_TRUE(Step("IDHTTPSESSIONID=known; IDHTTPSESSIONID=unknown", "1.1.1.1", session));
  EXPECT_EQ(session, nullptr);
  EXPECT_TRUE(InvalidIDs.empty());
  EXPECT_EQ(ResponseCookies.Count(), 0);
  EXPECT_EQ(CreateHTTPSession(Settings, Exchange("", "1.1.1.1")), nullptr);
}

enum SessionFound { sfNone, sfKnown, sfNew };

// A request's cookies, checked against a store that holds the session "known" of
// 1.1.1.1: the step's result, the session it finds or starts, and the IDs it
// reports invalid. A new session is announced by its cookie, no other is.
struct LookupCase {
  const char* name;
  const char* cookies;
  const char* remoteIP;
  bool autoStart;
  bool continueAfterInvalid;
  bool goesOn;
  SessionFound found;
  std::vector<std::string> invalid;
};

class SessionLookup : public SessionStep, public ::testing::WithParamInterface<LookupCase> {};

TEST_P(SessionLookup, FindsStartsOrRefuses) {
  const LookupCase& c = GetParam();
  const auto known = Store.CreateSession("1.1.1.1", "known");
  Settings.AutoStartSession = c.autoStart;
  ContinueAfterInvalid = c.continueAfterInvalid;
  TIdHTTPSessionPtr session;
  EXPECT_EQ(Step(c.cookies, c.remoteIP, session), c.goesOn);
  EXPECT_EQ(InvalidIDs, c.invalid);
  EXPECT_FALSE(known->Ended());
  EXPECT_EQ(Store.Count(), c.found == sfNew ? 2 : 1);
  switch (c.found) {
    case sfNone: EXPECT_EQ(session, nullptr); break;
    case sfKnown: EXPECT_EQ(session, known); break;
    case sfNew:
      ASSERT_NE(session, nullptr);
      EXPECT_NE(session, known);
      EXPECT_EQ(session->RemoteHost(), c.remoteIP);
      EXPECT_EQ(SetCookieLines(), std::vector<std::string>{"IDHTTPSESSIONID=" + session->SessionID() + "; Path=/"});
      return;
  }
  EXPECT_EQ(ResponseCookies.Count(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Cookies, SessionLookup,
    ::testing::Values(
        LookupCase{"CookieNameIgnoresCase", "other=1; idhttpsessionid=known", "1.1.1.1", false, true, true, sfKnown, {}},
        LookupCase{"AnotherClientsCookieIsInvalidAndAutoStartIssuesANewSession", "IDHTTPSESSIONID=known", "2.2.2.2",
                   true, true, true, sfNew, {"known"}},
        LookupCase{"WithoutAutoStartAnUnknownCookieLeavesNoSession", "IDHTTPSESSIONID=gone", "1.1.1.1", false, true,
                   true, sfNone, {"gone"}},
        LookupCase{"TwoCookiesTheFirstUnknownUseTheSecond", "IDHTTPSESSIONID=stale; IDHTTPSESSIONID=known", "1.1.1.1",
                   true, true, true, sfKnown, {"stale"}},
        LookupCase{"TheInvalidSessionHandlerCanStopTheRequest", "IDHTTPSESSIONID=stale; IDHTTPSESSIONID=known",
                   "1.1.1.1", true, false, false, sfNone, {"stale"}}),
    [](const ::testing::TestParamInfo<LookupCase>& info) { return info.param.name; });

TEST_F(SessionStep, AnOwnCookieNameIsUsed) {
  Settings.SessionIDCookieName = "SID";
  Settings.AutoStartSession = true;
  const auto existing = Store.CreateSession("1.1.1.1", "known");
  TIdHTTPSessionPtr session;
  EXPECT_TRUE(Step("IDHTTPSESSIONID=known; sid=known", "1.1.1.1", session));
  EXPECT_EQ(session, existing);
  EXPECT_TRUE(Step("IDHTTPSESSIONID=known", "1.1.1.1", session));
  ASSERT_NE(session, existing);
  EXPECT_EQ(SetCookieLines(), std::vector<std::string>{"SID=" + session->SessionID() + "; Path=/"});
}

TEST_F(SessionStep, TheCreateHandlerMaySupplyTheSession) {
  TIdHTTPSessionPtr supplied;
  int starts = 0;
  Store.OnSessionStart = [&](TIdHTTPSession*) { ++starts; };
  OnCreateSession = [&](TIdContext*, TIdHTTPSessionPtr& VSession) {
    EXPECT_EQ(VSession, nullptr);
    supplied = std::make_shared<TIdHTTPSession>(&Store, "Supplied", "1.1.1.1");
    VSession = supplied;
  };
  const auto session = CreateHTTPSession(Settings, Exchange("", "1.1.1.1"));
  EXPECT_EQ(session, supplied);
  EXPECT_EQ(starts, 1);
  EXPECT_EQ(Store.GetSession("supplied", "1.1.1.1"), supplied);
  EXPECT_EQ(SetCookieLines(), std::vector<std::string>{"IDHTTPSESSIONID=Supplied; Path=/"});
}

TEST_F(SessionStep, CloseSessionLeavesOnlyTheExpiringCookie) {
  int ends = 0;
  Store.OnSessionEnd = [&](TIdHTTPSession*) { ++ends; };
  Settings.AutoStartSession = true;
  TIdHTTPSessionPtr session;
  ASSERT_TRUE(Step("", "1.1.1.1", session));
  ASSERT_NE(session, nullptr);
  ResponseCookies.Add("other", "1");
  const TIdHTTPSessionPtr held = session;
  CloseHTTPSession(ResponseCookies, "idhttpsessionid", TDateTime{}, session);
  EXPECT_EQ(session, nullptr);
  EXPECT_EQ(SetCookieLines(),
            (std::vector<std::string>{"other=1", "idhttpsessionid=; Expires=Thu, 25-Dec-1969 00:00:00 GMT"}));
  EXPECT_EQ(ends, 1);
  EXPECT_TRUE(held->Ended());
  EXPECT_EQ(Store.Count(), 0);
}

TEST_F(SessionStep, CloseSessionDatesTheCookieAWeekBeforeTheResponse) {
  TIdHTTPSessionPtr none;
  const TDateTime date = std::chrono::sys_days{std::chrono::year{2026} / 12 / 8} + std::chrono::hours(13);
  CloseHTTPSession(ResponseCookies, "IDHTTPSESSIONID", date, none);
  EXPECT_EQ(SetCookieLines(), std::vector<std::string>{"IDHTTPSESSIONID=; Expires=Tue, 01-Dec-2026 13:00:00 GMT"});
}

TEST(SessionSettingRules, ChangesWhileActiveFailWithTheirTexts) {
  EXPECT_EQ(test::ExceptionMessage([] { CheckSessionStateChange(true, false); }),
            "Cannot change session state when the server is active.");
  EXPECT_THROW(CheckSessionStateChange(true, false), EIdHTTPCannotSwitchSessionStateWhenActive);
  EXPECT_EQ(test::ExceptionMessage([] { CheckSessionStateChange(true, true); }), "");
  EXPECT_EQ(test::ExceptionMessage([] { CheckSessionStateChange(false, false); }), "");
  EXPECT_EQ(test::ExceptionMessage([] { CheckSessionIDCookieNameChange(true, false, "SID"); }),
            "Cannot change session ID cookie name when the server is active.");
  EXPECT_THROW(CheckSessionIDCookieNameChange(true, false, "SID"), EIdHTTPCannotSwitchSessionIDCookieNameWhenActive);
  EXPECT_EQ(test::ExceptionMessage([] { CheckSessionIDCookieNameChange(true, true, "SID"); }), "");
  EXPECT_EQ(test::ExceptionMessage([] { CheckSessionIDCookieNameChange(false, false, " \t "); }), "Invalid cookie name");
  EXPECT_EQ(test::ExceptionMessage([] { CheckSessionIDCookieNameChange(false, false, " SID "); }), "");
  EXPECT_EQ(test::ExceptionMessage([] { CheckSessionListChange(true); }), "Cannot change session list when the server is active.");
  EXPECT_EQ(test::ExceptionMessage([] { CheckSessionListChange(false); }), "");
}

TEST(SessionStartUp, ATimeOutOfZeroSwitchesSessionsOff) {
  TIdHTTPDefaultSessionList store;
  store.SetSessionTimeout(1234);
  bool sessionState = true;
  auto cleaner = StartHTTPSessions(store, 0, sessionState, nullptr, nullptr);
  EXPECT_FALSE(sessionState);
  EXPECT_EQ(cleaner, nullptr);
  EXPECT_EQ(store.SessionTimeout(), 1234);
}

TEST(SessionStartUp, BindsTheEventsAndRunsTheCleanerUntilStopped) {
  TIdHTTPDefaultSessionList store;
  TIdHTTPSessionStartEvent onStart;
  TIdHTTPSessionEndEvent onEnd;
  bool sessionState = true;
  auto cleaner = StartHTTPSessions(store, 200, sessionState, &onStart, &onEnd);
  ASSERT_NE(cleaner, nullptr);
  EXPECT_TRUE(sessionState);
  EXPECT_EQ(store.SessionTimeout(), 200);
  EXPECT_EQ(cleaner->Priority(), tpLowest);
  std::atomic<int> starts{0}, ends{0};
  onStart = [&](TIdHTTPSession*) { ++starts; };  // bound after start-up: still reached
  onEnd = [&](TIdHTTPSession*) { ++ends; };
  store.CreateUniqueSession("ip");
  EXPECT_EQ(starts.load(), 1);
  EXPECT_TRUE(test::WaitFor([&] { return ends.load() == 1; }, 5000));
  store.SetSessionTimeout(600000);
  store.CreateUniqueSession("ip");
  StopSessionCleaner(cleaner);
  EXPECT_EQ(cleaner, nullptr);
  EXPECT_EQ(ends.load(), 2);
  EXPECT_EQ(store.Count(), 0);
}

}  // namespace
}  // namespace zal
