// TIdBuffer: growth, compaction, extraction, search and their errors.
#include "transport/zalIdBuffer.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>

#include "support/zalStream.h"

namespace zal {
namespace {

TIdBytes Bytes(const std::string& text) { return TIdBytes(text.begin(), text.end()); }
std::string Text(std::span<const uint8_t> bytes) { return std::string(bytes.begin(), bytes.end()); }

template <typename Call>
std::string MessageOf(Call call) {
  try {
    call();
  } catch (const EIdException& e) {
    return e.what();
  }
  return "no exception";
}

TEST(Buffer, FirstAppendIsExactLaterAppendsGrowByTheGrowthFactor) {
  TIdBuffer buffer;
  buffer.Write(Bytes("0123456789"));
  EXPECT_EQ(buffer.Capacity(), 10);
  buffer.Write(Bytes("abcde"));
  EXPECT_EQ(buffer.Capacity(), 10 + 5 + TIdBuffer::DefaultGrowthFactor);
  buffer.Write(Bytes("fgh"));  // fits into the spare room
  EXPECT_EQ(buffer.Capacity(), 10 + 5 + TIdBuffer::DefaultGrowthFactor);
  EXPECT_EQ(Text(buffer.Bytes()), "0123456789abcdefgh");
}

TEST(Buffer, AppendWithLengthAndOffsetIsClamped) {
  TIdBuffer buffer;
  buffer.Write(Bytes("abcdef"), 3, 2);
  buffer.Write(Bytes("xyz"), 100, 1);
  buffer.Write(Bytes("xyz"), -1, 5);  // offset past the end: nothing
  buffer.Write(Bytes("xyz"), 0, 0);
  EXPECT_EQ(Text(buffer.Bytes()), "cdeyz");
}

TEST(Buffer, HeadIsCompactedOnlyPastTheGrowthFactor) {
  TIdBuffer buffer;
  buffer.Write(TIdBytes(6000, 'a'));
  const uint8_t* storage = buffer.Bytes().data();
  buffer.Remove(2048);
  EXPECT_EQ(buffer.Bytes().data(), storage + 2048);  // not yet past the growth factor
  buffer.Remove(1);
  EXPECT_EQ(buffer.Bytes().data(), storage + 2049);  // past it, but the move would cost more
  buffer.Remove(1000);
  EXPECT_EQ(buffer.Bytes().data(), storage);  // consumed room now outweighs the live bytes
  EXPECT_EQ(buffer.Size(), 6000 - 3049);
  EXPECT_EQ(buffer.Capacity(), 6000);  // compaction without shrinking below the retained size
}

TEST(Buffer, ManySmallExtractionsKeepTheOrderAndShrinkALargeBuffer) {
  TIdBuffer buffer;
  TIdBytes data(100000);
  for (size_t i = 0; i < data.size(); ++i)
    data[i] = static_cast<uint8_t>(i * 7);
  buffer.Write(data);
  TIdBytes out;
  while (buffer.Size() > 0)
    buffer.ExtractToBytes(out, std::min(buffer.Size(), 13));
  EXPECT_EQ(out, data);
  EXPECT_LE(buffer.Capacity(), TIdBuffer::MaxRetainedCapacity);  // compaction gave the excess back
}

TEST(Buffer, EmptiedBufferKeepsModestStorageUntilCleared) {
  TIdBuffer buffer;
  buffer.Write(Bytes("abc"));
  buffer.Remove(3);
  EXPECT_EQ(buffer.Size(), 0);
  EXPECT_EQ(buffer.Capacity(), 3);
  buffer.Clear();
  EXPECT_EQ(buffer.Capacity(), 0);
}

TEST(Buffer, ReserveAndCommitAppendInPlace) {
  TIdBuffer buffer;
  buffer.Write(Bytes("ab"));
  uint8_t* tail = buffer.ReserveTail(100);
  std::memcpy(tail, "cd", 2);
  buffer.CommitTail(2);
  EXPECT_EQ(Text(buffer.Bytes()), "abcd");
  EXPECT_GE(buffer.Capacity(), 102);
}

TEST(Buffer, AppendBeyondTheLargestSizeRaises) {
  TIdBuffer buffer;
  buffer.Write(Bytes("x"));
  EXPECT_EQ(MessageOf([&] { buffer.ReserveTail(INT_MAX); }), "Too much data in buffer.");
  EXPECT_EQ(buffer.Size(), 1);
}

TEST(Buffer, ExtractToBytesAppendsOrOverwrites) {
  TIdBuffer buffer;
  buffer.Write(Bytes("hello world"));
  TIdBytes out = Bytes("12345678");
  buffer.ExtractToBytes(out, 5, false);
  EXPECT_EQ(Text(out), "hello678");
  buffer.ExtractToBytes(out, 1, true);
  EXPECT_EQ(Text(out), "hello678 ");
  EXPECT_EQ(Text(buffer.Bytes()), "world");
}

TEST(Buffer, ExtractAtAnIndexLeavesTheBuffer) {
  TIdBuffer buffer;
  buffer.Write(Bytes("abcdef"));
  TIdBytes out;
  buffer.ExtractToBytes(out, 2, true, 3);
  EXPECT_EQ(Text(out), "de");
  EXPECT_EQ(buffer.Size(), 6);
  EXPECT_EQ(MessageOf([&] { buffer.ExtractToBytes(out, 1, true, 6); }), "Index out of bounds.");
  EXPECT_EQ(MessageOf([&] { buffer.ExtractToBytes(out, 4, true, 3); }), "Not enough data in buffer. (4/3)");
}

TEST(Buffer, ExtractingMoreThanBufferedRaisesWithCounts) {
  TIdBuffer buffer;
  buffer.Write(Bytes("abc"));
  TIdBytes out;
  try {
    buffer.ExtractToBytes(out, 5);
    FAIL() << "no exception";
  } catch (const EIdNotEnoughDataInBuffer& e) {
    EXPECT_STREQ(e.what(), "Not enough data in buffer. (5/3)");
  }
  EXPECT_EQ(buffer.Size(), 3);
  buffer.ExtractToBytes(out);  // -1: all
  EXPECT_EQ(Text(out), "abc");
  EXPECT_EQ(buffer.Size(), 0);
}

TEST(Buffer, TypedValuesInNetworkOrderAndHostOrder) {
  TIdBuffer buffer;
  buffer.Write(TIdBytes{0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0xFF});
  EXPECT_EQ(buffer.ExtractToUInt16(0), 0x0102);
  EXPECT_EQ(buffer.ExtractToUInt16(0, false), 0x0201);
  EXPECT_EQ(buffer.ExtractToUInt32(1), 0x02030405u);
  EXPECT_EQ(buffer.ExtractToUInt64(0), 0x0102030405060708ull);
  EXPECT_EQ(buffer.ExtractToUInt8(8), 0xFF);
  EXPECT_EQ(buffer.Size(), 9);  // indexed reads do not remove
  EXPECT_EQ(buffer.ExtractToUInt32(), 0x01020304u);
  EXPECT_EQ(buffer.Size(), 5);
  EXPECT_EQ(MessageOf([&] { buffer.ExtractToUInt64(); }), "Not enough data in buffer. (8/5)");
}

struct IndexOfCase {
  std::string content;
  std::string pattern;
  int startPos;
  int expected;
};

class BufferIndexOf : public testing::TestWithParam<IndexOfCase> {};

TEST_P(BufferIndexOf, FindsFromTheStartPosition) {
  TIdBuffer buffer;
  buffer.Write(Bytes("junk"));
  buffer.Remove(4);  // searches are relative to the head
  buffer.Write(Bytes(GetParam().content));
  EXPECT_EQ(buffer.IndexOf(Bytes(GetParam().pattern), GetParam().startPos), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Table, BufferIndexOf,
                         testing::Values(IndexOfCase{"a\r\nb\r\n", "\r\n", 0, 1}, IndexOfCase{"a\r\nb\r\n", "\r\n", 2, 4},
                                         IndexOfCase{"a\r\nb\r\n", "\r\n", 5, -1}, IndexOfCase{"abc", "abcd", 0, -1},
                                         IndexOfCase{"aab", "ab", 0, 1}, IndexOfCase{"xyz", "z", 2, 2},
                                         IndexOfCase{"xyz", "q", 0, -1}, IndexOfCase{"ab\r", "\r\n", 0, -1}));

TEST(Buffer, IndexOfErrors) {
  TIdBuffer buffer;
  EXPECT_EQ(buffer.IndexOf(Bytes("x")), -1);  // empty buffer
  EXPECT_EQ(MessageOf([&] { buffer.IndexOf(TIdBytes{}); }), "Buffer terminator must be specified.");
  buffer.Write(Bytes("abc"));
  EXPECT_EQ(MessageOf([&] { buffer.IndexOf(Bytes("a"), 3); }), "Buffer start position is invalid.");
  EXPECT_EQ(MessageOf([&] { buffer.IndexOf(Bytes("a"), -1); }), "Buffer start position is invalid.");
  EXPECT_EQ(buffer.IndexOf(uint8_t('c')), 2);
  EXPECT_EQ(buffer.IndexOf(std::string("bc")), 1);
}

TEST(Buffer, PeekAndCapacityErrors) {
  TIdBuffer buffer;
  EXPECT_EQ(MessageOf([&] { buffer.PeekByte(0); }), "No bytes in buffer.");
  buffer.Write(Bytes("abc"));
  EXPECT_EQ(buffer.PeekByte(2), 'c');
  EXPECT_EQ(MessageOf([&] { buffer.PeekByte(3); }), "Index out of bounds.");
  EXPECT_EQ(MessageOf([&] { buffer.SetCapacity(2); }), "Capacity cannot be smaller than Size");
  buffer.SetCapacity(3);
  EXPECT_EQ(buffer.Capacity(), 3);
  EXPECT_EQ(Text(buffer.Bytes()), "abc");
}

TEST(Buffer, MovingTakesTheBytesAndLeavesTheSourceEmpty) {
  TIdBuffer source;
  source.Write(Bytes("0123456789"));
  source.Remove(4);
  TIdBuffer target = std::move(source);
  EXPECT_EQ(Text(target.Bytes()), "456789");
  EXPECT_EQ(source.Size(), 0);  // NOLINT(bugprone-use-after-move): the moved-from state is specified
  source.Write(Bytes("new"));
  EXPECT_EQ(Text(source.Bytes()), "new");
  target = std::move(source);
  EXPECT_EQ(Text(target.Bytes()), "new");
  EXPECT_EQ(source.Size(), 0);  // NOLINT(bugprone-use-after-move)
}

TEST(Buffer, RemovalIsReported) {
  std::vector<int> removed;
  TIdBuffer buffer([&](TIdBuffer&, int count) { removed.push_back(count); });
  buffer.Write(Bytes("abcdef"));
  buffer.Remove(2);
  TIdBytes out;
  buffer.ExtractToBytes(out, 1);
  buffer.Remove(100);
  EXPECT_EQ(removed, (std::vector<int>{2, 1, 3}));
}

TEST(Buffer, TextAndStreams) {
  TIdBuffer buffer;
  buffer.Write(std::string("gr\xC3\xBC\xC3\x9F"), &IdTextEncoding(tekUTF8));
  buffer.Write(std::string("\xC3\xBC"));  // ASCII by default: not representable
  EXPECT_EQ(Text(buffer.Bytes()), "gr\xC3\xBC\xC3\x9F?");
  EXPECT_EQ(buffer.ExtractToString(6, &IdTextEncoding(tekUTF8)), "gr\xC3\xBC\xC3\x9F");

  TMemoryStream source(Bytes("0123456789"));
  source.SetPosition(4);
  buffer.Write(source, 3);
  buffer.Write(source);  // the rest
  EXPECT_EQ(Text(buffer.Bytes()), "?456789");

  TMemoryStream saved;
  buffer.SaveToStream(saved);
  EXPECT_EQ(saved.DataString(), "?456789");
  TMemoryStream target;
  buffer.ExtractToStream(target, 2, 3);
  buffer.ExtractToStream(target, 2);
  EXPECT_EQ(target.DataString(), "67?4");
  TIdBuffer other;
  buffer.ExtractToIdBuffer(other);
  EXPECT_EQ(Text(other.Bytes()), "56789");
  EXPECT_EQ(buffer.Size(), 0);
}

}  // namespace
}  // namespace zal
