#pragma once
// The session IDs handed out by the session request, each good for one
// upgrade: kept in a hash table for look-ups in constant time, in the order
// they were issued for expiry and the cap. An ID not used within the time-out
// is forgotten; past the cap the oldest go first.
#include <chrono>
#include <list>
#include <mutex>
#include <string>
#include <unordered_map>

namespace zal {

class TzalSessionIDs {
public:
  using Clock = std::chrono::steady_clock;

  // `timeOutMs` <= 0: IDs never expire; `maxCount` <= 0: no cap.
  void SetLimits(int timeOutMs, int maxCount);
  // Records the ID (letter case ignored) with its credentials; an ID already
  // known keeps its place and credentials.
  void Add(const std::string& id, const std::string& user, const std::string& password);
  // Takes the ID out and gives its credentials; false when it is unknown or expired.
  bool Consume(const std::string& id, std::string& user, std::string& password);
  size_t Count();

private:
  struct Entry {
    std::string Key;
    std::string User;
    std::string Password;
    Clock::time_point Expires;
  };

  // Drops what has expired and what the cap leaves no room for.
  void Prune(Clock::time_point now);

  std::mutex FLock;
  std::list<Entry> FByAge;  // oldest first
  std::unordered_map<std::string, std::list<Entry>::iterator> FByKey;
  int FTimeOutMs = 60000;
  int FMaxCount = 10000;
};

}  // namespace zal
