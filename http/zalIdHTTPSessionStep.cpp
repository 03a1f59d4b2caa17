#include "http/zalIdHTTPSessionStep.h"

#include "support/zalHelpers.h"

namespace zal {

namespace {

// An expired cookie's date lies this far before the response's date.
constexpr auto kClosedSessionCookieAge = std::chrono::hours(24 * 7);

template <typename Event>
Event ForwardTo(const Event* target) {
  return [target](TIdHTTPSession* session) {
    if (target && *target)
      (*target)(session);
  };
}

// The stored session named by one session cookie; raises OnInvalidSession (which may
// clear `VContinue`) when the store does not hold it for this client.
TIdHTTPSessionPtr LookUpSessionCookie(const TIdHTTPSessionSettings& settings, const TIdHTTPSessionExchange& exchange,
                                      const TIdCookie& cookie, bool& VContinue) {
  TIdHTTPSessionPtr session = settings.SessionList->GetSession(cookie.Value(), exchange.RemoteIP);
  if (!session && settings.OnInvalidSession && *settings.OnInvalidSession)
    (*settings.OnInvalidSession)(exchange.Context, exchange.RequestInfo, exchange.ResponseInfo, VContinue,
                                 cookie.Value());
  return session;
}

}  // namespace

void CheckSessionStateChange(bool active, bool exempt) {
  if (active && !exempt)
    throw EIdHTTPCannotSwitchSessionStateWhenActive();
}

void CheckSessionIDCookieNameChange(bool active, bool exempt, std::string_view name) {
  if (active && !exempt)
    throw EIdHTTPCannotSwitchSessionIDCookieNameWhenActive();
  if (Trim(name).empty())
    throw EIdException("Invalid cookie name");
}

void CheckSessionListChange(bool active) {
  if (active)
    throw EIdHTTPCannotSwitchSessionListWhenActive();
}

TIdHTTPSessionPtr CreateHTTPSession(const TIdHTTPSessionSettings& settings, const TIdHTTPSessionExchange& exchange) {
  if (!settings.SessionState || !settings.SessionList)
    return nullptr;
  TIdHTTPSessionPtr session;
  if (settings.OnCreateSession && *settings.OnCreateSession)
    (*settings.OnCreateSession)(exchange.Context, session);
  if (session)
    settings.SessionList->Add(session);
  else
    session = settings.SessionList->CreateUniqueSession(exchange.RemoteIP);
  if (session && exchange.ResponseCookies)
    exchange.ResponseCookies->Add(std::string(settings.SessionIDCookieName), session->SessionID(), "/");
  return session;
}

bool RunHTTPSessionStep(const TIdHTTPSessionSettings& settings, const TIdHTTPSessionExchange& exchange,
                        TIdHTTPSessionPtr& VSession) {
  bool continueProcessing = true;
  VSession = nullptr;
  if (!settings.SessionState || !settings.SessionList)
    return continueProcessing;
  if (exchange.RequestCookies) {
    const TIdCookies& cookies = *exchange.RequestCookies;
    for (int i = cookies.GetCookieIndex(settings.SessionIDCookieName); i >= 0;
         i = cookies.GetCookieIndex(settings.SessionIDCookieName, i + 1)) {
      VSession = LookUpSessionCookie(settings, exchange, cookies[i], continueProcessing);
      if (VSession || !continueProcessing)
        break;
    }
  }
  if (!VSession && continueProcessing && settings.AutoStartSession)
    VSession = CreateHTTPSession(settings, exchange);
  return continueProcessing;
}

void CloseHTTPSession(TIdCookies& responseCookies, std::string_view sessionIDCookieName, TDateTime responseDate,
                      TIdHTTPSessionPtr& VSession) {
  for (int i = responseCookies.GetCookieIndex(sessionIDCookieName); i >= 0;
       i = responseCookies.GetCookieIndex(sessionIDCookieName, i))
    responseCookies.Delete(i);
  TIdCookie& expired = responseCookies.Add(std::string(sessionIDCookieName), "");
  expired.SetExpires(responseDate - kClosedSessionCookieAge);
  const TIdHTTPSessionPtr session = std::move(VSession);
  VSession = nullptr;
  if (session)
    session->Free();
}

std::unique_ptr<TIdHTTPSessionCleanerThread> StartHTTPSessions(TIdHTTPCustomSessionList& store, int sessionTimeOut,
                                                               bool& VSessionState,
                                                               const TIdHTTPSessionStartEvent* onStart,
                                                               const TIdHTTPSessionEndEvent* onEnd) {
  if (sessionTimeOut != 0)
    store.SetSessionTimeout(sessionTimeOut);
  else
    VSessionState = false;
  store.OnSessionStart = ForwardTo(onStart);
  store.OnSessionEnd = ForwardTo(onEnd);
  if (!VSessionState)
    return nullptr;
  auto cleaner = std::make_unique<TIdHTTPSessionCleanerThread>(&store);
  cleaner->SetPriority(tpLowest);
  cleaner->Start();
  return cleaner;
}

void StopSessionCleaner(std::unique_ptr<TIdHTTPSessionCleanerThread>& VThread) {
  if (!VThread)
    return;
  VThread->SetPriority(tpNormal);
  VThread->TerminateAndPurge();
  VThread.reset();
}

}  // namespace zal
