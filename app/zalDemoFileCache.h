#pragma once
// Small served files kept in memory, so that answering one costs one stat
// instead of an open, a read and a close. A kept file serves only while stat
// still reports the file it was read from (same device, inode, size,
// modification and change times): a file rewritten or replaced is read again.
// A file modified in the last two seconds is read but not kept, since a second
// write within the same clock tick of the file system would leave its times
// unchanged. Files bigger than the per-file limit are never kept (the handler
// streams them), and all kept files together hold at most the capacity; a new
// file that does not fit drops others.
#include <sys/stat.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

#include "support/zalStream.h"

namespace zal {

// The largest file the demo serves from memory, in octets.
inline constexpr int64_t kDemoCachedFileMaxSize = 16 * 1024;
// The octets all files kept in memory may hold together.
inline constexpr int64_t kDemoFileCacheCapacity = 4 * 1024 * 1024;

class TDemoFileCache {
public:
  explicit TDemoFileCache(int64_t maxFileSize = kDemoCachedFileMaxSize, int64_t capacity = kDemoFileCacheCapacity)
      : FMaxFileSize(maxFileSize), FCapacity(capacity) {}

  // A copy of the content of `fileName` when it is a regular file of at most
  // the per-file limit: from memory while the file is unchanged, else read
  // (and kept when settled). nullptr for any other name (missing, a folder, too big), which the
  // caller opens itself. A file that vanishes between the stat and the open
  // raises EFOpenError.
  std::unique_ptr<TMemoryStream> Load(const std::string& fileName);

  // The octets the kept files hold.
  int64_t CachedBytes() const;

private:
  struct Entry {
    struct stat status;
    std::shared_ptr<const TIdBytes> content;
  };

  bool Fits(const struct stat& status) const;
  std::shared_ptr<const TIdBytes> Find(const std::string& fileName, const struct stat& status) const;
  std::shared_ptr<const TIdBytes> ReadAndKeep(const std::string& fileName);
  void Keep(const std::string& fileName, const struct stat& status, const std::shared_ptr<const TIdBytes>& content);

  const int64_t FMaxFileSize;
  const int64_t FCapacity;
  mutable std::mutex FLock;
  std::unordered_map<std::string, Entry> FEntries;  // by file name
  int64_t FCachedBytes = 0;                         // the sum of the entries' sizes
};

// The cache the demo's request handler serves small files from.
TDemoFileCache& DemoFileCache();

}  // namespace zal
