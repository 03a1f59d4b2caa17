#pragma once
// The server's side of HTTP sessions: finding the session of a request through its
// session cookie, creating and ending sessions, closing a session from a response,
// starting and stopping the store with the server, and the rules for changing the
// session settings. Both the HTTP/1.1 request loop and the HTTP/2 request bridge run
// the same per-request step.
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "http/zalIdCookie.h"
#include "http/zalIdHTTPSession.h"
#include "support/zalIdException.h"

namespace zal {

class TIdContext;
class TIdHTTPRequestInfo;
class TIdHTTPResponseInfo;

inline constexpr std::string_view kDefaultSessionIDCookieName = "IDHTTPSESSIONID";

// May supply the session object to use; VHTTPSession starts empty.
using TIdHTTPCreateSession = std::function<void(TIdContext* ASender, TIdHTTPSessionPtr& VHTTPSession)>;
// A session cookie named a session the store does not hold for this client.
using TIdHTTPInvalidSessionEvent =
    std::function<void(TIdContext* AContext, TIdHTTPRequestInfo* ARequestInfo, TIdHTTPResponseInfo* AResponseInfo,
                       bool& VContinueProcessing, const std::string& AInvalidSessionID)>;

class EIdHTTPCannotSwitchSessionStateWhenActive : public EIdException {
public:
  EIdHTTPCannotSwitchSessionStateWhenActive()
      : EIdException("Cannot change session state when the server is active.") {}
};

class EIdHTTPCannotSwitchSessionIDCookieNameWhenActive : public EIdException {
public:
  EIdHTTPCannotSwitchSessionIDCookieNameWhenActive()
      : EIdException("Cannot change session ID cookie name when the server is active.") {}
};

class EIdHTTPCannotSwitchSessionListWhenActive : public EIdException {
public:
  EIdHTTPCannotSwitchSessionListWhenActive() : EIdException("Cannot change session list when the server is active.") {}
};

// Setting rules. `exempt`: the server is being loaded or designed.
void CheckSessionStateChange(bool active, bool exempt);
// Also fails with "Invalid cookie name" when `name` is empty after trimming.
void CheckSessionIDCookieNameChange(bool active, bool exempt, std::string_view name);
void CheckSessionListChange(bool active);

// The server settings and events the session operations read.
struct TIdHTTPSessionSettings {
  bool SessionState = false;
  bool AutoStartSession = false;
  std::string_view SessionIDCookieName = kDefaultSessionIDCookieName;
  TIdHTTPCustomSessionList* SessionList = nullptr;
  const TIdHTTPCreateSession* OnCreateSession = nullptr;
  const TIdHTTPInvalidSessionEvent* OnInvalidSession = nullptr;
};

// One request and its response as the session operations see them.
struct TIdHTTPSessionExchange {
  TIdContext* Context = nullptr;
  TIdHTTPRequestInfo* RequestInfo = nullptr;    // handed to OnInvalidSession
  TIdHTTPResponseInfo* ResponseInfo = nullptr;  // handed to OnInvalidSession
  const TIdCookies* RequestCookies = nullptr;
  std::string RemoteIP;
  TIdCookies* ResponseCookies = nullptr;
};

// Creates a session for the exchange (OnCreateSession may supply it; otherwise the
// store makes one with a unique ID) and adds the session cookie (path "/") to the
// response. nullptr when sessions are off or there is no store. The caller sets the
// request's and the response's Session to the result.
TIdHTTPSessionPtr CreateHTTPSession(const TIdHTTPSessionSettings& settings, const TIdHTTPSessionExchange& exchange);

// The per-request step: finds the session named by the request's session cookies
// (raising OnInvalidSession for each unknown one) and, with AutoStartSession, creates
// one when none was found. Returns the continue flag; `VSession` gets the session of
// the request (or nullptr).
bool RunHTTPSessionStep(const TIdHTTPSessionSettings& settings, const TIdHTTPSessionExchange& exchange,
                        TIdHTTPSessionPtr& VSession);

// Replaces every session cookie of the response by one with an empty value that
// expires seven days before `responseDate` (so browsers drop it), ends the session
// and clears `VSession`.
void CloseHTTPSession(TIdCookies& responseCookies, std::string_view sessionIDCookieName, TDateTime responseDate,
                      TIdHTTPSessionPtr& VSession);

// Server start-up on an existing store: a time-out of 0 switches sessions off for
// this run (VSessionState False), any other becomes the store's SessionTimeout; the
// store's session events forward to `onStart`/`onEnd` (read at each event, so they
// may be bound later); with sessions on, the cleaner thread starts at the lowest
// priority and is returned.
std::unique_ptr<TIdHTTPSessionCleanerThread> StartHTTPSessions(TIdHTTPCustomSessionList& store, int sessionTimeOut,
                                                               bool& VSessionState,
                                                               const TIdHTTPSessionStartEvent* onStart,
                                                               const TIdHTTPSessionEndEvent* onEnd);
// Server shut-down: stops the cleaner thread (which purges all sessions as it ends),
// waits for it and frees it.
void StopSessionCleaner(std::unique_ptr<TIdHTTPSessionCleanerThread>& VThread);

}  // namespace zal
