// TMemoryStream and TFileStream: positions, sizes, copies and 64-bit offsets.
#include "support/zalStream.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>

namespace zal {
namespace {

std::string TempPath(const char* name) {
  return std::string(::testing::TempDir()) + "zal_stream_" + std::to_string(::getpid()) + "_" + name;
}

TEST(MemoryStream, ReadWriteSeekAndSize) {
  TMemoryStream stream;
  stream.WriteBuffer("hello", 5);
  EXPECT_EQ(stream.Position(), 5);
  stream.Seek(-3, soCurrent);
  char out[8] = {};
  EXPECT_EQ(stream.Read(out, 8), 3);
  EXPECT_STREQ(out, "llo");
  stream.SetPosition(7);  // past the end: a write fills the gap with zeros
  stream.WriteBuffer("!", 1);
  EXPECT_EQ(stream.Size(), 8);
  EXPECT_EQ(stream.Bytes()[5], 0);
  stream.SetSize(2);
  EXPECT_EQ(stream.Position(), 2);
  EXPECT_EQ(stream.DataString(), "he");
  EXPECT_EQ(stream.Seek(0, soEnd), 2);
  EXPECT_THROW(stream.ReadBuffer(out, 1), EReadError);
}

TEST(MemoryStream, CopyFromWholeOrCounted) {
  TMemoryStream source(TIdBytes{'a', 'b', 'c', 'd'});
  source.SetPosition(3);
  TMemoryStream target;
  EXPECT_EQ(target.CopyFrom(source, 0), 4);  // 0: whole source from its start
  source.SetPosition(1);
  EXPECT_EQ(target.CopyFrom(source, 2), 2);
  EXPECT_EQ(target.DataString(), "abcdbc");
  source.SetPosition(3);
  EXPECT_THROW(target.CopyFrom(source, 2), EReadError);
}

TEST(FileStream, CreateWriteReopenAndRead) {
  const std::string path = TempPath("basic");
  {
    TFileStream file(path, fmCreate);
    file.WriteBuffer("line one\n", 9);
    EXPECT_EQ(file.Size(), 9);
  }
  TFileStream file(path, fmOpenRead | fmShareDenyNone);
  char out[16] = {};
  file.Seek(5, soBeginning);
  EXPECT_EQ(file.Read(out, sizeof(out)), 4);
  EXPECT_STREQ(out, "one\n");
  EXPECT_EQ(file.Write("x", 1), 0);  // opened for reading only
  std::remove(path.c_str());
}

TEST(MemoryStream, SaveToAndLoadFromAFile) {
  const std::string path = TempPath("memory");
  TMemoryStream original(TIdBytes{'t', 'i', 'l', 'e', 0, 0xFF});
  original.SaveToFile(path);
  TMemoryStream loaded(TIdBytes{'o', 'l', 'd', ' ', 'c', 'o', 'n', 't', 'e', 'n', 't'});
  loaded.SetPosition(4);
  loaded.LoadFromFile(path);
  EXPECT_EQ(loaded.Bytes(), original.Bytes());
  EXPECT_EQ(loaded.Position(), 0);
  std::remove(path.c_str());
  EXPECT_THROW(loaded.LoadFromFile(path), EFOpenError);
}

TEST(FileStream, OffsetsBeyondFourGigabytes) {
  const std::string path = TempPath("large");
  TFileStream file(path, fmCreate);
  const int64_t far = (int64_t(5) << 30) + 7;
  EXPECT_EQ(file.Seek(far, soBeginning), far);
  file.WriteBuffer("z", 1);  // a sparse file: no real 5 GiB written
  EXPECT_EQ(file.Size(), far + 1);
  file.SetPosition(far);
  char c = 0;
  file.ReadBuffer(&c, 1);
  EXPECT_EQ(c, 'z');
  file.SetSize(10);
  EXPECT_EQ(file.Size(), 10);
  EXPECT_EQ(file.Position(), 10);
  std::remove(path.c_str());
}

TEST(FileStream, OpenErrorsNameTheFile) {
  try {
    TFileStream file("/nonexistent/zal/file.bin", fmOpenRead);
    FAIL() << "opened";
  } catch (const EFOpenError& e) {
    EXPECT_EQ(std::string(e.what()).rfind("Cannot open file \"/nonexistent/zal/file.bin\". ", 0), 0u) << e.what();
  }
  EXPECT_THROW(TFileStream("/nonexistent/zal/file.bin", fmCreate), EFCreateError);
}

}  // namespace
}  // namespace zal
