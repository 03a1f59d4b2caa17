#include "app/zalDemoFileCache.h"

#include <ctime>

namespace zal {

namespace {

// Whether both describe the same file with the same content: a write changes
// the change time, a replacement the inode.
bool SameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
         a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec &&
         a.st_ctim.tv_sec == b.st_ctim.tv_sec && a.st_ctim.tv_nsec == b.st_ctim.tv_nsec;
}

// File times advance in clock ticks of a few milliseconds, so two writes within
// one tick leave the same times. A file is kept only once its modification time
// lies this many seconds back: a later write then gives it another one.
constexpr time_t kSettledSeconds = 2;

bool ModifiedLately(const struct stat& status) {
  timespec now {};
  clock_gettime(CLOCK_REALTIME, &now);
  return status.st_mtim.tv_sec > now.tv_sec - kSettledSeconds;
}

}  // namespace

std::unique_ptr<TMemoryStream> TDemoFileCache::Load(const std::string& fileName) {
  struct stat status {};
  if (::stat(fileName.c_str(), &status) != 0 || !Fits(status))
    return nullptr;
  std::shared_ptr<const TIdBytes> content = Find(fileName, status);
  if (!content)
    content = ReadAndKeep(fileName);
  return content ? std::make_unique<TMemoryStream>(*content) : nullptr;
}

int64_t TDemoFileCache::CachedBytes() const {
  std::lock_guard guard(FLock);
  return FCachedBytes;
}

bool TDemoFileCache::Fits(const struct stat& status) const {
  return S_ISREG(status.st_mode) && status.st_size <= FMaxFileSize;
}

std::shared_ptr<const TIdBytes> TDemoFileCache::Find(const std::string& fileName, const struct stat& status) const {
  std::lock_guard guard(FLock);
  const auto found = FEntries.find(fileName);
  return found != FEntries.end() && SameFile(found->second.status, status) ? found->second.content : nullptr;
}

// The content is kept under the status of the open file taken before reading:
// a write during the read changes the file's times, so the next Load reads it
// again.
std::shared_ptr<const TIdBytes> TDemoFileCache::ReadAndKeep(const std::string& fileName) {
  TFileStream file(fileName, fmOpenRead | fmShareDenyNone);
  struct stat status {};
  if (::fstat(file.Handle(), &status) != 0 || !Fits(status))
    return nullptr;
  auto content = std::make_shared<TIdBytes>(static_cast<size_t>(status.st_size));
  const int64_t read = file.Read(content->data(), status.st_size);
  if (read != status.st_size)
    return nullptr;  // changed under the read: served from the file itself
  if (!ModifiedLately(status))
    Keep(fileName, status, content);
  return content;
}

void TDemoFileCache::Keep(const std::string& fileName, const struct stat& status,
                          const std::shared_ptr<const TIdBytes>& content) {
  const auto size = static_cast<int64_t>(content->size());
  std::lock_guard guard(FLock);
  if (const auto old = FEntries.find(fileName); old != FEntries.end()) {
    FCachedBytes -= static_cast<int64_t>(old->second.content->size());
    FEntries.erase(old);
  }
  if (size > FCapacity)
    return;
  while (FCachedBytes + size > FCapacity) {
    FCachedBytes -= static_cast<int64_t>(FEntries.begin()->second.content->size());
    FEntries.erase(FEntries.begin());
  }
  FEntries.emplace(fileName, Entry{status, content});
  FCachedBytes += size;
}

TDemoFileCache& DemoFileCache() {
  static TDemoFileCache cache;
  return cache;
}

}  // namespace zal
