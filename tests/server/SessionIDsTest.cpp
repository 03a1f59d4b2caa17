// The store of session IDs: one use each, letter case ignored, expiry after
// the time-out and the cap on their number, each crossed by one.
#include "server/zalWebSocket_SessionIDs.h"

#include <gtest/gtest.h>

#include <thread>

namespace zal {
namespace {

bool Consumed(TzalSessionIDs& ids, const std::string& id) {
  std::string user, password;
  return ids.Consume(id, user, password);
}

TEST(SessionIDs, EachIDOpensOnceWithItsCredentialsWhateverItsLetterCase) {
  TzalSessionIDs ids;
  ids.Add("ABCDEF", "alice", "pa:ss");
  ids.Add("abcdef", "mallory", "x");  // known already: keeps its credentials
  std::string user, password;
  EXPECT_TRUE(ids.Consume("abcDEF", user, password));
  EXPECT_EQ(user + " " + password, "alice pa:ss");
  EXPECT_FALSE(Consumed(ids, "ABCDEF"));
}

TEST(SessionIDs, AnUnusedIDExpiresAfterTheTimeOut) {
  TzalSessionIDs ids;
  ids.SetLimits(300, 0);
  ids.Add("early", "u", "p");
  EXPECT_TRUE(Consumed(ids, "early"));  // well within the time-out
  ids.Add("late", "u", "p");
  std::this_thread::sleep_for(std::chrono::milliseconds(450));
  EXPECT_EQ(ids.Count(), 0u);
  EXPECT_FALSE(Consumed(ids, "late"));
}

TEST(SessionIDs, AtTheCapAllStayPastItTheOldestGo) {
  TzalSessionIDs ids;
  ids.SetLimits(0, 3);
  for (const char* id : {"1", "2", "3"})
    ids.Add(id, "u", "p");
  EXPECT_EQ(ids.Count(), 3u);
  ids.Add("4", "u", "p");
  EXPECT_EQ(ids.Count(), 3u);
  EXPECT_FALSE(Consumed(ids, "1"));
  for (const char* id : {"2", "3", "4"})
    EXPECT_TRUE(Consumed(ids, id)) << id;
}

// Requests that are never followed by an upgrade cannot grow the store past its cap.
TEST(SessionIDs, ManyUnusedIDsAreHeldToTheDefaultCap) {
  TzalSessionIDs ids;
  for (int i = 0; i < 100000; ++i)
    ids.Add(std::to_string(i), "user", "password");
  EXPECT_EQ(ids.Count(), 10000u);
  EXPECT_TRUE(Consumed(ids, "99999"));
  EXPECT_FALSE(Consumed(ids, "89999"));
}

}  // namespace
}  // namespace zal
