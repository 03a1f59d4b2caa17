#pragma once
// What the server's threads report (events, errors, GUIDs, ALPN offers) and the
// test thread reads: every access under one lock, and waits that wake on each
// addition instead of polling. A fixture declares its recorders before the
// server, so that they outlive every server thread that may still report.
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <map>
#include <mutex>
#include <utility>
#include <vector>

namespace zal::test {

template <typename T>
class TestRecorder {
public:
  // Notifies under the lock: a reader that saw the item may destroy the recorder.
  void Add(T value) {
    std::lock_guard lock(FLock);
    FItems.push_back(std::move(value));
    FAdded.notify_all();
  }
  // A copy of what was recorded so far, in order.
  std::vector<T> Items() const {
    std::lock_guard lock(FLock);
    return FItems;
  }
  size_t Count() const {
    std::lock_guard lock(FLock);
    return FItems.size();
  }
  // The last item recorded, or T{} when there is none.
  T Last() const {
    std::lock_guard lock(FLock);
    return FItems.empty() ? T{} : FItems.back();
  }
  void Clear() {
    std::lock_guard lock(FLock);
    FItems.clear();
  }
  // Waits until at least `count` items were recorded; false when `timeoutMs` passed first.
  bool WaitForCount(size_t count, int timeoutMs = 2000) const {
    std::unique_lock lock(FLock);
    return FAdded.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return FItems.size() >= count; });
  }
  // What was recorded once there are at least `count` items, or when `timeoutMs` passed.
  std::vector<T> ItemsAfter(size_t count, int timeoutMs = 2000) const {
    WaitForCount(count, timeoutMs);
    return Items();
  }

private:
  mutable std::mutex FLock;
  mutable std::condition_variable FAdded;
  std::vector<T> FItems;
};

// Counts per key, for records too many to keep one by one (requests per
// protocol version in a load test, say).
template <typename Key>
class TestTally {
public:
  void Add(const Key& key) {
    std::lock_guard lock(FLock);
    ++FCounts[key];
  }
  std::map<Key, int> Counts() const {
    std::lock_guard lock(FLock);
    return FCounts;
  }

private:
  mutable std::mutex FLock;
  std::map<Key, int> FCounts;
};

}  // namespace zal::test
