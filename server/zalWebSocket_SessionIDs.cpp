#include "server/zalWebSocket_SessionIDs.h"

#include <algorithm>
#include <cctype>

namespace zal {

namespace {

std::string KeyOf(const std::string& id) {
  std::string key = id;
  std::transform(key.begin(), key.end(), key.begin(), [](unsigned char c) { return std::toupper(c); });
  return key;
}

}  // namespace

void TzalSessionIDs::SetLimits(int timeOutMs, int maxCount) {
  std::lock_guard lock(FLock);
  FTimeOutMs = timeOutMs;
  FMaxCount = maxCount;
}

void TzalSessionIDs::Add(const std::string& id, const std::string& user, const std::string& password) {
  const Clock::time_point now = Clock::now();
  std::lock_guard lock(FLock);
  Prune(now);
  std::string key = KeyOf(id);
  if (FByKey.contains(key))
    return;
  const Clock::time_point expires =
      FTimeOutMs > 0 ? now + std::chrono::milliseconds(FTimeOutMs) : Clock::time_point::max();
  FByAge.push_back({key, user, password, expires});
  FByKey.emplace(std::move(key), std::prev(FByAge.end()));
  Prune(now);
}

bool TzalSessionIDs::Consume(const std::string& id, std::string& user, std::string& password) {
  std::lock_guard lock(FLock);
  Prune(Clock::now());
  const auto found = FByKey.find(KeyOf(id));
  if (found == FByKey.end())
    return false;
  user = found->second->User;
  password = found->second->Password;
  FByAge.erase(found->second);
  FByKey.erase(found);
  return true;
}

size_t TzalSessionIDs::Count() {
  std::lock_guard lock(FLock);
  Prune(Clock::now());
  return FByAge.size();
}

// Every entry lives equally long, so the oldest expire first.
void TzalSessionIDs::Prune(Clock::time_point now) {
  while (!FByAge.empty() &&
         (FByAge.front().Expires <= now || (FMaxCount > 0 && FByAge.size() > static_cast<size_t>(FMaxCount)))) {
    FByKey.erase(FByAge.front().Key);
    FByAge.pop_front();
  }
}

}  // namespace zal
