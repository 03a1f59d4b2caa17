#include "http/zalIdHTTPSession.h"

#include <sys/random.h>

#include <algorithm>
#include <cerrno>
#include <exception>

#include "support/zalHelpers.h"
#include "support/zalIdException.h"

namespace zal {

namespace {

// The first 61 characters of the ID alphabet; "0" is never used.
constexpr std::string_view kSessionIDChars = "qwertzuiopasdfghjklyxcvbnmQWERTZUIOPASDFGHJKLYXCVBNM123456789";

// Runs `notify`; when it throws, still runs `after` before passing the error on.
template <typename Notify, typename After>
void NotifyThen(Notify notify, After after) {
  try {
    notify();
  } catch (...) {
    after();
    throw;
  }
  after();
}

}  // namespace

std::string CreateSessionID() {
  // Rejection sampling keeps the draw uniform: bytes from 244 (= 4 * 61) up are dropped.
  constexpr unsigned kLimit = 256 - 256 % kSessionIDChars.size();
  std::string id;
  id.reserve(kSessionIDLength);
  uint8_t random[32];
  while (id.size() < kSessionIDLength) {
    FillRandom(random, sizeof random);
    for (uint8_t byte : random)
      if (byte < kLimit && id.size() < kSessionIDLength)
        id += kSessionIDChars[byte % kSessionIDChars.size()];
  }
  return id;
}

// --- TIdHTTPSession ---

TIdHTTPSession::TIdHTTPSession(TIdHTTPCustomSessionList* AOwner) : FOwner(AOwner) { Started(); }

TIdHTTPSession::TIdHTTPSession(TIdHTTPCustomSessionList* AOwner, const std::string& SessionID,
                               const std::string& RemoteIP)
    : FOwner(AOwner), FSessionID(SessionID), FRemoteHost(RemoteIP) {
  Touch();
  Started();
}

TIdHTTPSession::~TIdHTTPSession() {
  // Held by no store any more (a store keeps a reference); only the end is left.
  if (MarkEnded()) {
    try {
      NotifySessionEnd();
    } catch (...) {
      // A destructor cannot pass the handler's failure on.
    }
  }
}

void TIdHTTPSession::Started() {
  TIdHTTPCustomSessionList* owner = FOwner.load();
  if (owner && owner->OnSessionStart)
    owner->OnSessionStart(this);
}

bool TIdHTTPSession::IsStale() {
  TIdHTTPCustomSessionList* owner = FOwner.load();
  if (!owner)
    return true;
  const uint64_t idle = GetTickDiff64(FLastTick.load(), GetTickCount64());
  return static_cast<int64_t>(idle) > owner->SessionTimeout();
}

void TIdHTTPSession::NotifySessionEnd() {
  TIdHTTPCustomSessionList* owner = FOwner.load();
  if (owner && owner->OnSessionEnd)
    owner->OnSessionEnd(this);
}

bool TIdHTTPSession::Free() {
  const TIdHTTPSessionPtr keepAlive = weak_from_this().lock();
  if (!MarkEnded())
    return false;
  NotifyThen([this] { NotifySessionEnd(); },
             [this] {
               if (TIdHTTPCustomSessionList* owner = FOwner.exchange(nullptr))
                 owner->DetachSession(this);
             });
  return true;
}

TDateTime TIdHTTPSession::LastTimeStamp() const { return TDateTime(TDateTime::duration(FLastTimeStamp.load())); }

void TIdHTTPSession::Touch() {
  FLastTick.store(GetTickCount64());
  FLastTimeStamp.store(std::chrono::system_clock::now().time_since_epoch().count());
}

// --- TIdHTTPCustomSessionList ---

TIdHTTPCustomSessionList::~TIdHTTPCustomSessionList() {
  std::vector<std::pair<const void*, std::function<void()>>> notifications;
  {
    std::lock_guard lock(FNotificationLock);
    notifications.swap(FFreeNotifications);
  }
  for (auto& [key, callback] : notifications)
    callback();
}

bool TIdHTTPCustomSessionList::EndSession(const std::string& SessionID, const std::string& RemoteIP) {
  const TIdHTTPSessionPtr session = GetSession(SessionID, RemoteIP);
  if (!session || !BeginEnd(*session))
    return false;
  DetachSession(session.get());
  NotifyThen([&] { session->NotifySessionEnd(); }, [&] { ReleaseOwner(*session); });
  return true;
}

void TIdHTTPCustomSessionList::AddFreeNotification(const void* key, std::function<void()> callback) {
  std::lock_guard lock(FNotificationLock);
  FFreeNotifications.emplace_back(key, std::move(callback));
}

void TIdHTTPCustomSessionList::RemoveFreeNotification(const void* key) {
  std::lock_guard lock(FNotificationLock);
  std::erase_if(FFreeNotifications, [key](const auto& entry) { return entry.first == key; });
}

void TIdHTTPCustomSessionList::AdoptSession(TIdHTTPSession& ASession, TIdHTTPCustomSessionList* AOwner) {
  TIdHTTPCustomSessionList* none = nullptr;
  ASession.FOwner.compare_exchange_strong(none, AOwner);
}

// --- TIdHTTPDefaultSessionList ---

TIdHTTPDefaultSessionList::TIdHTTPDefaultSessionList() { FSessionList.reserve(kSessionListCapacity); }

TIdHTTPDefaultSessionList::~TIdHTTPDefaultSessionList() {
  BeginDestroy();
  try {
    Clear();
  } catch (...) {
    // The sessions have all ended; a failing OnSessionEnd handler cannot be reported here.
  }
}

int TIdHTTPDefaultSessionList::Count() {
  std::lock_guard lock(FLock);
  return static_cast<int>(FSessionList.size());
}

void TIdHTTPDefaultSessionList::DetachSession(TIdHTTPSession* Session) {
  std::lock_guard lock(FLock);
  const auto found = std::find_if(FSessionList.begin(), FSessionList.end(),
                                  [Session](const TIdHTTPSessionPtr& entry) { return entry.get() == Session; });
  if (found != FSessionList.end())
    FSessionList.erase(found);
}

void TIdHTTPDefaultSessionList::EndSessionsWhere(const std::function<bool(TIdHTTPSession&)>& ends) {
  std::lock_guard lock(FLock);
  std::exception_ptr failure;
  for (size_t i = FSessionList.size(); i-- > 0;) {
    if (FSessionList.empty())
      break;
    i = std::min(i, FSessionList.size() - 1);  // a handler may have ended other sessions
    const TIdHTTPSessionPtr session = FSessionList[i];
    // A session another thread is ending only has to leave the list.
    if (!session->Ended() && !ends(*session))
      continue;
    if (BeginEnd(*session)) {
      try {
        session->NotifySessionEnd();
      } catch (...) {
        if (!failure)
          failure = std::current_exception();
      }
      ReleaseOwner(*session);
    }
    std::erase(FSessionList, session);
  }
  if (failure)
    std::rethrow_exception(failure);
}

void TIdHTTPDefaultSessionList::PurgeStaleSessions(bool PurgeAll) {
  EndSessionsWhere([PurgeAll](TIdHTTPSession& session) { return PurgeAll || session.IsStale(); });
}

void TIdHTTPDefaultSessionList::Clear() {
  std::lock_guard lock(FLock);
  NotifyThen([this] { EndSessionsWhere([](TIdHTTPSession&) { return true; }); },
             [this] {
               FSessionList.clear();
               FSessionList.shrink_to_fit();
               FSessionList.reserve(kSessionListCapacity);
             });
}

TIdHTTPSessionPtr TIdHTTPDefaultSessionList::GetSession(const std::string& SessionID, const std::string& RemoteIP) {
  std::lock_guard lock(FLock);
  for (const TIdHTTPSessionPtr& session : FSessionList) {
    if (session->Ended() || !TextIsSame(session->SessionID(), SessionID))
      continue;
    if (!RemoteIP.empty() && !TextIsSame(session->RemoteHost(), RemoteIP))
      continue;
    session->Touch();
    return session;
  }
  return nullptr;
}

TIdHTTPSessionPtr TIdHTTPDefaultSessionList::CreateSession(const std::string& RemoteIP, const std::string& SessionID) {
  TIdHTTPSessionPtr session = std::make_shared<TIdHTTPSession>(this, SessionID, RemoteIP);
  std::lock_guard lock(FLock);
  FSessionList.push_back(session);
  return session;
}

TIdHTTPSessionPtr TIdHTTPDefaultSessionList::CreateUniqueSession(const std::string& RemoteIP) {
  // The lock spans the check and the insertion, so two threads cannot both take an ID.
  std::lock_guard lock(FLock);
  std::string id = CreateSessionID();
  while (GetSession(id, RemoteIP))
    id = CreateSessionID();
  return CreateSession(RemoteIP, id);
}

void TIdHTTPDefaultSessionList::Add(TIdHTTPSessionPtr ASession) {
  if (!ASession)
    return;
  AdoptSession(*ASession, this);
  std::lock_guard lock(FLock);
  FSessionList.push_back(std::move(ASession));
}

// --- TIdHTTPSessionCleanerThread ---

TIdHTTPSessionCleanerThread::TIdHTTPSessionCleanerThread(TIdHTTPCustomSessionList* ASessionList)
    : TIdThread(true, "HTTPSessionCleaner"), FSessionList(ASessionList) {}

TIdHTTPSessionCleanerThread::~TIdHTTPSessionCleanerThread() { StopAndJoin(); }

void TIdHTTPSessionCleanerThread::Run() {
  const bool stopping = WaitForTermination(kSessionCleanupIntervalMs);
  FSessionList->PurgeStaleSessions(stopping);
}

void TIdHTTPSessionCleanerThread::AfterExecute() {
  FFinalPurgeDone.store(true);
  FSessionList->PurgeStaleSessions(true);
}

void TIdHTTPSessionCleanerThread::TerminateAndPurge() {
  TerminateAndWaitFor();
  if (!FFinalPurgeDone.exchange(true))
    FSessionList->PurgeStaleSessions(true);
}

bool TIdHTTPSessionCleanerThread::HandleRunException(const std::exception& e) {
  DoException(e);
  return true;
}

}  // namespace zal
