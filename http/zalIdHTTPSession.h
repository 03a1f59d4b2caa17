#pragma once
// HTTP sessions: a server-side record per browser, found again through a cookie,
// kept in a store that ends sessions idle longer than its time-out.
//
// Sessions are shared objects: the store holds one reference and every request that
// uses a session holds another, so a session ended by the cleaner, by another
// connection or by the server's shut-down stays a valid object for the requests that
// still hold it. Ending a session (time-out, EndSession, CloseSession, shut-down)
// raises OnSessionEnd exactly once and takes it out of its store.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "http/zalIdCookie.h"
#include "support/zalComponent_Base.h"
#include "support/zalCriticalSection.h"
#include "transport/zalIdThread.h"

namespace zal {

class TIdHTTPSession;
class TIdHTTPCustomSessionList;

using TIdHTTPSessionPtr = std::shared_ptr<TIdHTTPSession>;
using TIdHTTPSessionStartEvent = std::function<void(TIdHTTPSession* Sender)>;
using TIdHTTPSessionEndEvent = std::function<void(TIdHTTPSession* Sender)>;

// Initial capacity of the default store's list, also after Clear.
inline constexpr size_t kSessionListCapacity = 128;
// Length of a generated session ID.
inline constexpr size_t kSessionIDLength = 15;
// How often the cleaner thread looks for idle sessions.
inline constexpr int kSessionCleanupIntervalMs = 1000;

// A new session ID: kSessionIDLength characters drawn uniformly from the OS random
// source out of "qwertzuiopasdfghjklyxcvbnmQWERTZUIOPASDFGHJKLYXCVBNM123456789".
std::string CreateSessionID();

class TIdHTTPSession : public std::enable_shared_from_this<TIdHTTPSession> {
public:
  // A session without ID, remote host or time stamp; raises the owner's OnSessionStart.
  explicit TIdHTTPSession(TIdHTTPCustomSessionList* AOwner);
  // A session with ID and remote host, last used now; raises the owner's OnSessionStart.
  TIdHTTPSession(TIdHTTPCustomSessionList* AOwner, const std::string& SessionID, const std::string& RemoteIP);
  // A session that was never ended is ended here.
  virtual ~TIdHTTPSession();
  TIdHTTPSession(const TIdHTTPSession&) = delete;
  TIdHTTPSession& operator=(const TIdHTTPSession&) = delete;

  // No owner, or idle for more whole milliseconds than the owner's SessionTimeout.
  virtual bool IsStale();
  // Raises the owner's OnSessionEnd when there is an owner.
  virtual void NotifySessionEnd();

  // Ends the session: OnSessionEnd, then it leaves its store. False when it had
  // already ended. The object lives on while references to it remain.
  bool Free();
  bool Ended() const { return FEnded.load(); }

  // Application data; guard it with Lock/Unlock when requests share the session.
  std::vector<std::string>& Content() { return FContent; }
  void SetContent(const std::vector<std::string>& lines) { FContent = lines; }
  void Lock() { FLock.Acquire(); }
  void Unlock() { FLock.Release(); }

  // Time of the last use; zero for a session created without ID.
  TDateTime LastTimeStamp() const;
  // Marks the session as used now.
  void Touch();
  const std::string& SessionID() const { return FSessionID; }
  const std::string& RemoteHost() const { return FRemoteHost; }
  TIdHTTPCustomSessionList* Owner() const { return FOwner.load(); }

private:
  friend class TIdHTTPCustomSessionList;

  void Started();
  // True for the one caller that may end the session.
  bool MarkEnded() { return !FEnded.exchange(true); }

  std::vector<std::string> FContent;
  std::atomic<TDateTime::rep> FLastTimeStamp{0};  // wall clock, for LastTimeStamp
  std::atomic<uint64_t> FLastTick{0};               // monotonic, for IsStale
  TzalCriticalSection FLock;
  std::atomic<TIdHTTPCustomSessionList*> FOwner;
  std::string FSessionID;
  std::string FRemoteHost;
  std::atomic<bool> FEnded{false};
};

// The abstract session store.
class TIdHTTPCustomSessionList : public TzalComponent_Base {
public:
  TIdHTTPCustomSessionList() = default;
  // Tells those registered with AddFreeNotification that the store goes away.
  ~TIdHTTPCustomSessionList() override;

  // Idle time-out in milliseconds.
  int SessionTimeout() const { return FSessionTimeout.load(); }
  void SetSessionTimeout(int value) { FSessionTimeout.store(value); }

  TIdHTTPSessionEndEvent OnSessionEnd;
  TIdHTTPSessionStartEvent OnSessionStart;

  // Takes the session out of the store without ending it.
  virtual void DetachSession(TIdHTTPSession* Session) = 0;
  // Ends every session and empties the store.
  virtual void Clear() = 0;
  // Ends the stale sessions, or all of them.
  virtual void PurgeStaleSessions(bool PurgeAll = false) = 0;
  // Creates and stores a session with an ID not used by `RemoteIP`.
  virtual TIdHTTPSessionPtr CreateUniqueSession(const std::string& RemoteIP) = 0;
  virtual TIdHTTPSessionPtr CreateSession(const std::string& RemoteIP, const std::string& SessionID) = 0;
  // The session with this ID (and, when RemoteIP is not empty, this client), marked
  // as used; or nullptr.
  virtual TIdHTTPSessionPtr GetSession(const std::string& SessionID, const std::string& RemoteIP) = 0;
  virtual void Add(TIdHTTPSessionPtr ASession) = 0;

  // Looks the session up, takes it out of the store and ends it; false when not found.
  bool EndSession(const std::string& SessionID, const std::string& RemoteIP);

  // `callback` runs when the store is destroyed, unless removed before under `key`.
  void AddFreeNotification(const void* key, std::function<void()> callback);
  void RemoveFreeNotification(const void* key);

protected:
  // For stores: the first caller for a session gets True and must end it.
  static bool BeginEnd(TIdHTTPSession& ASession) { return ASession.MarkEnded(); }
  static void ReleaseOwner(TIdHTTPSession& ASession) { ASession.FOwner.store(nullptr); }
  static void AdoptSession(TIdHTTPSession& ASession, TIdHTTPCustomSessionList* AOwner);

private:
  std::atomic<int> FSessionTimeout{0};
  std::mutex FNotificationLock;
  std::vector<std::pair<const void*, std::function<void()>>> FFreeNotifications;
};

// The store a server uses unless given another: one list under one lock, searched
// from the start. OnSessionEnd handlers of Purge and Clear, and OnSessionStart of
// CreateUniqueSession, run under that lock.
class TIdHTTPDefaultSessionList : public TIdHTTPCustomSessionList {
public:
  TIdHTTPDefaultSessionList();
  // Ends the sessions still held.
  ~TIdHTTPDefaultSessionList() override;

  void DetachSession(TIdHTTPSession* Session) override;
  void Clear() override;
  void PurgeStaleSessions(bool PurgeAll = false) override;
  TIdHTTPSessionPtr CreateUniqueSession(const std::string& RemoteIP) override;
  TIdHTTPSessionPtr CreateSession(const std::string& RemoteIP, const std::string& SessionID) override;
  TIdHTTPSessionPtr GetSession(const std::string& SessionID, const std::string& RemoteIP) override;
  void Add(TIdHTTPSessionPtr ASession) override;

  int Count();

private:
  // Ends the sessions at the indices `ends` selects, walking from the last to the first.
  void EndSessionsWhere(const std::function<bool(TIdHTTPSession&)>& ends);

  TzalCriticalSection FLock;
  std::vector<TIdHTTPSessionPtr> FSessionList;
};

// Purges the idle sessions of one store once a second until stopped; the stop wakes
// its wait at once, and all sessions are purged as it ends.
class TIdHTTPSessionCleanerThread : public TIdThread {
public:
  explicit TIdHTTPSessionCleanerThread(TIdHTTPCustomSessionList* ASessionList);
  ~TIdHTTPSessionCleanerThread() override;

  // Stops the thread and waits for it; purges all sessions also when the thread was
  // stopped before it began to run.
  void TerminateAndPurge();

protected:
  void Run() override;
  void AfterExecute() override;
  // A failing OnSessionEnd handler does not stop the cleaning.
  bool HandleRunException(const std::exception& e) override;

private:
  TIdHTTPCustomSessionList* FSessionList;
  std::atomic<bool> FFinalPurgeDone{false};
};

}  // namespace zal
