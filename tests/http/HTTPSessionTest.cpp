#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <set>
#include <stdexcept>
#include <thread>
#include <vector>

#include "common/zalTestSocket.h"
#include "http/zalIdHTTPSession.h"

namespace zal {
namespace {

// Counts the start and end events of a store and remembers the sessions that ended
// (by address: only meaningful while the test holds those sessions).
struct EventLog {
  explicit EventLog(TIdHTTPCustomSessionList& store) : FStore(store) {
    store.OnSessionStart = [this](TIdHTTPSession*) { ++Starts; };
    store.OnSessionEnd = [this](TIdHTTPSession* s) {
      ++Ends;
      std::lock_guard lock(FLock);
      Ended.insert(s);
    };
  }
  // The store may outlive the log and end its sessions later.
  ~EventLog() {
    FStore.OnSessionStart = nullptr;
    FStore.OnSessionEnd = nullptr;
  }
  size_t StartCount() const { return Starts.load(); }
  size_t EndCount() const { return Ends.load(); }
  bool HasEnded(TIdHTTPSession* s) {
    std::lock_guard lock(FLock);
    return Ended.count(s) > 0;
  }

  TIdHTTPCustomSessionList& FStore;
  std::atomic<size_t> Starts{0};
  std::atomic<size_t> Ends{0};
  std::mutex FLock;
  std::multiset<TIdHTTPSession*> Ended;
};

TEST(SessionID, HasFifteenCharactersOfTheAlphabetWithoutZero) {
  const std::string alphabet = "qwertzuiopasdfghjklyxcvbnmQWERTZUIOPASDFGHJKLYXCVBNM123456789";
  std::set<std::string> ids;
  std::set<char> seen;
  for (int i = 0; i < 2000; ++i) {
    const std::string id = CreateSessionID();
    ASSERT_EQ(id.size(), kSessionIDLength);
    for (char c : id) {
      ASSERT_NE(alphabet.find(c), std::string::npos) << id;
      seen.insert(c);
    }
    ids.insert(id);
  }
  EXPECT_EQ(ids.size(), 2000u);
  EXPECT_EQ(seen.size(), alphabet.size());  // 30000 draws reach every character
}

TEST(SessionStore, CreateUniqueSessionStartsAndStoresASession) {
  TIdHTTPDefaultSessionList store;
  EventLog log(store);
  const auto session = store.CreateUniqueSession("10.0.0.1");
  ASSERT_NE(session, nullptr);
  EXPECT_EQ(log.StartCount(), 1u);
  EXPECT_EQ(session->RemoteHost(), "10.0.0.1");
  EXPECT_EQ(session->Owner(), &store);
  EXPECT_EQ(store.Count(), 1);
  EXPECT_GT(session->LastTimeStamp(), TDateTime{});
}

TEST(SessionStore, GetSessionMatchesIdIgnoringCaseAndTheClientAddress) {
  TIdHTTPDefaultSessionList store;
  const auto session = store.CreateSession("10.0.0.1", "AbCdEf");
  EXPECT_EQ(store.GetSession("abcdef", "10.0.0.1"), session);
  EXPECT_EQ(store.GetSession("ABCDEF", ""), session);
  EXPECT_EQ(store.GetSession("abcdef", "10.0.0.2"), nullptr);
  EXPECT_EQ(store.GetSession("abcde", "10.0.0.1"), nullptr);
}

TEST(SessionStore, GetSessionRenewsTheTimeStamp) {
  TIdHTTPDefaultSessionList store;
  store.SetSessionTimeout(100);
  const auto session = store.CreateSession("ip", "id");
  const TDateTime first = session->LastTimeStamp();
  std::this_thread::sleep_for(std::chrono::milliseconds(150));
  EXPECT_TRUE(session->IsStale());
  ASSERT_EQ(store.GetSession("id", "ip"), session);
  EXPECT_GT(session->LastTimeStamp(), first);
  EXPECT_FALSE(session->IsStale());
}

TEST(SessionStore, ASessionWithoutOwnerIsStale) {
  const auto session = std::make_shared<TIdHTTPSession>(nullptr, "id", "ip");
  EXPECT_TRUE(session->IsStale());
}

TEST(SessionStore, PurgeEndsOnlyStaleSessionsUnlessAllAreAsked) {
  TIdHTTPDefaultSessionList store;
  EventLog log(store);
  store.SetSessionTimeout(60000);
  const auto kept = store.CreateSession("ip", "kept");
  const auto stale = std::make_shared<TIdHTTPSession>(&store);  // never used: stale at once
  store.Add(stale);
  store.PurgeStaleSessions(false);
  EXPECT_TRUE(log.HasEnded(stale.get()));
  EXPECT_FALSE(log.HasEnded(kept.get()));
  EXPECT_EQ(stale->Owner(), nullptr);
  EXPECT_EQ(store.Count(), 1);
  store.PurgeStaleSessions(true);
  EXPECT_TRUE(log.HasEnded(kept.get()));
  EXPECT_EQ(store.Count(), 0);
  EXPECT_EQ(log.EndCount(), 2u);
}

TEST(SessionStore, EndSessionEndsOnceAndReportsWhetherItFoundOne) {
  TIdHTTPDefaultSessionList store;
  EventLog log(store);
  const auto session = store.CreateSession("ip", "id");
  EXPECT_FALSE(store.EndSession("id", "other-ip"));
  EXPECT_TRUE(store.EndSession("ID", "ip"));
  EXPECT_FALSE(store.EndSession("id", "ip"));
  EXPECT_EQ(log.EndCount(), 1u);
  EXPECT_EQ(store.Count(), 0);
  EXPECT_TRUE(session->Ended());
  EXPECT_FALSE(session->Free());
}

TEST(SessionStore, FreeEndsTheSessionAndTakesItOutOfTheStore) {
  TIdHTTPDefaultSessionList store;
  EventLog log(store);
  auto session = store.CreateSession("ip", "id");
  session->Content().push_back("user=me");
  EXPECT_TRUE(session->Free());
  EXPECT_EQ(log.EndCount(), 1u);
  EXPECT_EQ(store.Count(), 0);
  EXPECT_EQ(store.GetSession("id", "ip"), nullptr);
  EXPECT_EQ(session->Content().front(), "user=me");  // still usable by its holders
  session.reset();
  EXPECT_EQ(log.EndCount(), 1u);
}

TEST(SessionStore, DroppingAnUnstoredSessionEndsIt) {
  TIdHTTPDefaultSessionList store;
  EventLog log(store);
  { auto session = std::make_shared<TIdHTTPSession>(&store, "id", "ip"); }
  EXPECT_EQ(log.StartCount(), 1u);
  EXPECT_EQ(log.EndCount(), 1u);
}

TEST(SessionStore, ClearEndsEverySession) {
  TIdHTTPDefaultSessionList store;
  EventLog log(store);
  for (int i = 0; i < 300; ++i)
    store.CreateUniqueSession("ip");
  store.Clear();
  EXPECT_EQ(store.Count(), 0);
  EXPECT_EQ(log.EndCount(), 300u);
}

TEST(SessionStore, AFailingEndHandlerDoesNotKeepOtherSessions) {
  TIdHTTPDefaultSessionList store;
  int ends = 0;
  store.OnSessionEnd = [&](TIdHTTPSession*) {
    if (++ends == 1)
      throw std::runtime_error("handler failed");
  };
  for (int i = 0; i < 3; ++i)
    store.CreateUniqueSession("ip");
  EXPECT_THROW(store.PurgeStaleSessions(true), std::runtime_error);
  EXPECT_EQ(ends, 3);
  EXPECT_EQ(store.Count(), 0);
}

TEST(SessionStore, AnEndHandlerMayEndOtherSessions) {
  TIdHTTPDefaultSessionList store;
  std::vector<TIdHTTPSessionPtr> sessions;
  for (int i = 0; i < 5; ++i)
    sessions.push_back(store.CreateUniqueSession("ip"));
  int ends = 0;
  store.OnSessionEnd = [&](TIdHTTPSession* ended) {
    ++ends;
    if (ended == sessions[4].get())
      for (int i = 0; i < 3; ++i)
        sessions[static_cast<size_t>(i)]->Free();
  };
  store.PurgeStaleSessions(true);
  EXPECT_EQ(ends, 5);
  EXPECT_EQ(store.Count(), 0);
}

TEST(SessionStore, DestroyingTheStoreEndsItsSessionsAndNotifies) {
  auto store = std::make_unique<TIdHTTPDefaultSessionList>();
  int ends = 0;
  bool notified = false;
  int removedKey = 0;
  store->OnSessionEnd = [&](TIdHTTPSession*) { ++ends; };
  store->AddFreeNotification(&notified, [&] { notified = true; });
  store->AddFreeNotification(&removedKey, [&] { ADD_FAILURE() << "removed notification ran"; });
  store->RemoveFreeNotification(&removedKey);
  const auto held = store->CreateUniqueSession("ip");
  store->CreateUniqueSession("ip");
  store.reset();
  EXPECT_EQ(ends, 2);
  EXPECT_TRUE(notified);
  EXPECT_TRUE(held->Ended());
  EXPECT_EQ(held->Owner(), nullptr);
}

TEST(SessionCleaner, EndsASessionSoonAfterItsTimeOut) {
  TIdHTTPDefaultSessionList store;
  EventLog log(store);
  store.SetSessionTimeout(200);
  const auto idle = store.CreateSession("ip", "idle");
  TIdHTTPSessionCleanerThread cleaner(&store);
  cleaner.Start();
  EXPECT_TRUE(test::WaitFor([&] { return log.HasEnded(idle.get()); }, 5000));
  EXPECT_EQ(store.Count(), 0);
  cleaner.TerminateAndWaitFor();
}

TEST(SessionCleaner, KeepsSessionsInUse) {
  TIdHTTPDefaultSessionList store;
  EventLog log(store);
  store.SetSessionTimeout(1500);
  const auto used = store.CreateSession("ip", "used");
  TIdHTTPSessionCleanerThread cleaner(&store);
  cleaner.Start();
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(2500);
  while (std::chrono::steady_clock::now() < until) {
    ASSERT_EQ(store.GetSession("used", "ip"), used);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  EXPECT_FALSE(log.HasEnded(used.get()));
  cleaner.TerminateAndWaitFor();
}

// A store that counts the cleaner's rounds.
class CountingStore : public TIdHTTPDefaultSessionList {
public:
  void PurgeStaleSessions(bool PurgeAll) override {
    (PurgeAll ? PurgeAllCalls : Rounds)++;
    TIdHTTPDefaultSessionList::PurgeStaleSessions(PurgeAll);
  }
  std::atomic<int> Rounds{0};
  std::atomic<int> PurgeAllCalls{0};
};

TEST(SessionCleaner, StoppingARunningCleanerPurgesEverySession) {
  CountingStore store;
  EventLog log(store);
  store.SetSessionTimeout(600000);
  store.CreateUniqueSession("ip");
  store.CreateUniqueSession("ip");
  TIdHTTPSessionCleanerThread cleaner(&store);
  cleaner.Start();
  ASSERT_TRUE(test::WaitFor([&] { return store.Rounds.load() >= 1; }, 5000));
  EXPECT_EQ(log.EndCount(), 0u);
  cleaner.TerminateAndWaitFor();  // wakes the wait; the thread purges as it ends
  EXPECT_GE(store.PurgeAllCalls.load(), 1);
  EXPECT_EQ(log.EndCount(), 2u);
  EXPECT_EQ(store.Count(), 0);
}

TEST(SessionCleaner, StoppingBeforeItRanStillPurgesEverySession) {
  TIdHTTPDefaultSessionList store;
  EventLog log(store);
  store.SetSessionTimeout(600000);
  store.CreateUniqueSession("ip");
  TIdHTTPSessionCleanerThread cleaner(&store);
  cleaner.TerminateAndPurge();
  EXPECT_EQ(log.EndCount(), 1u);
  EXPECT_EQ(store.Count(), 0);
}

TEST(SessionStore, ManyThreadsUseShareAndEndSessionsWhileTheCleanerRuns) {
  TIdHTTPDefaultSessionList store;
  EventLog log(store);
  store.SetSessionTimeout(5);
  TIdHTTPSessionCleanerThread cleaner(&store);
  cleaner.Start();
  std::vector<TIdHTTPSessionPtr> shared;
  for (int i = 0; i < 8; ++i)
    shared.push_back(store.CreateUniqueSession("10.0.0.9"));
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t)
    threads.emplace_back([&, t] {
      const std::string ip = "10.0.0." + std::to_string(t);
      for (int i = 0; i < 300; ++i) {
        TIdHTTPSessionPtr own = store.CreateUniqueSession(ip);
        if (store.GetSession(own->SessionID(), ip) != own && !own->Ended())
          ++failures;
        const TIdHTTPSessionPtr& common = shared[static_cast<size_t>((t + i) % shared.size())];
        if (TIdHTTPSessionPtr found = store.GetSession(common->SessionID(), "")) {
          found->Lock();
          found->Content().push_back(std::to_string(i));
          found->Unlock();
        }
        if (i % 3 == 0)
          own->Free();
        else if (i % 3 == 1)
          store.EndSession(own->SessionID(), ip);
      }
    });
  for (auto& thread : threads)
    thread.join();
  cleaner.TerminateAndWaitFor();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(store.Count(), 0);
  EXPECT_EQ(log.StartCount(), 8u + 8u * 300u);
  EXPECT_EQ(log.EndCount(), log.StartCount());
}

}  // namespace
}  // namespace zal
