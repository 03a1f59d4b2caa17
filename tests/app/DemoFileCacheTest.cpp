#include "app/zalDemoFileCache.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>

#include "app/zalDemoHandler.h"

namespace zal {
namespace {

namespace fs = std::filesystem;

// A temporary folder whose files are written with a modification time an hour
// back (settled) unless asked otherwise.
class DemoFileCacheTest : public ::testing::Test {
protected:
  void SetUp() override {
    char pattern[] = "/tmp/zal_demo_cache_XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    folder = pattern;
  }
  void TearDown() override { fs::remove_all(folder); }

  std::string Write(const std::string& name, const std::string& content,
                    std::chrono::minutes age = std::chrono::minutes(60)) {
    const std::string path = folder + "/" + name;
    std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
    fs::last_write_time(path, fs::file_time_type::clock::now() - age);
    return path;
  }
  static std::string Content(const std::unique_ptr<TMemoryStream>& stream) {
    return stream ? stream->DataString() : "(not from the cache)";
  }

  std::string folder;
};

TEST_F(DemoFileCacheTest, TheHandlerKeepsFilesUpToTheLimitInMemoryAndStreamsBiggerOnes) {
  const std::string atLimit = Write("at.jpeg", std::string(kDemoCachedFileMaxSize, 'a'));
  const std::string aboveLimit = Write("above.jpeg", std::string(kDemoCachedFileMaxSize + 1, 'b'));
  for (int round = 0; round < 2; ++round) {  // read, then kept
    const std::unique_ptr<TStream> small = LoadServedFile(folder, atLimit);
    ASSERT_NE(dynamic_cast<TMemoryStream*>(small.get()), nullptr);
    EXPECT_EQ(small->Size(), kDemoCachedFileMaxSize);
    const std::unique_ptr<TStream> big = LoadServedFile(folder, aboveLimit);
    ASSERT_NE(dynamic_cast<TFileStream*>(big.get()), nullptr);
    EXPECT_EQ(big->Size(), kDemoCachedFileMaxSize + 1);
  }
}

TEST_F(DemoFileCacheTest, AChangedOrReplacedFileIsReadAgainAndAFreshOneIsNotKept) {
  TDemoFileCache cache;
  const std::string path = Write("tile.jpeg", "one");
  EXPECT_EQ(Content(cache.Load(path)), "one");
  EXPECT_EQ(Content(cache.Load(path)), "one");
  EXPECT_EQ(cache.CachedBytes(), 3);
  Write("tile.jpeg", "two", std::chrono::minutes(30));  // rewritten in place, same size
  EXPECT_EQ(Content(cache.Load(path)), "two");
  Write("other.jpeg", "six", std::chrono::minutes(30));
  fs::rename(folder + "/other.jpeg", path);  // replaced by another file
  EXPECT_EQ(Content(cache.Load(path)), "six");
  const std::string fresh = Write("fresh.jpeg", "new", std::chrono::minutes(0));
  EXPECT_EQ(Content(cache.Load(fresh)), "new");
  EXPECT_EQ(cache.CachedBytes(), 3);  // "six" only
  EXPECT_EQ(cache.Load(folder), nullptr);  // a folder
  EXPECT_EQ(cache.Load(folder + "/missing.jpeg"), nullptr);
}

TEST_F(DemoFileCacheTest, TheCapacityBoundsTheKeptOctets) {
  TDemoFileCache cache(8, 10);
  EXPECT_EQ(Content(cache.Load(Write("a", "aaaaa"))), "aaaaa");
  EXPECT_EQ(Content(cache.Load(Write("b", "bbbbb"))), "bbbbb");
  EXPECT_EQ(cache.CachedBytes(), 10);  // exactly the capacity
  EXPECT_EQ(Content(cache.Load(Write("c", "c"))), "c");
  EXPECT_EQ(cache.CachedBytes(), 6);  // one of the others dropped to make room
  EXPECT_EQ(cache.Load(Write("d", "ddddddddd")), nullptr);  // above the per-file limit
  EXPECT_EQ(cache.CachedBytes(), 6);
}

}  // namespace
}  // namespace zal
