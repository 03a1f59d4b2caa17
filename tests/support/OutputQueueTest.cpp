#include "support/zalOutputQueue.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>

#include "support/zalIdException.h"

namespace zal {
namespace {

struct SpareCase {
  size_t PieceSize;
  bool Reused;
};

class OutputQueueSpare : public ::testing::TestWithParam<SpareCase> {};

INSTANTIATE_TEST_SUITE_P(Sizes, OutputQueueSpare,
                         ::testing::Values(SpareCase{64, true}, SpareCase{4096, true}, SpareCase{4097, false}));

// A piece sent whole lends its storage to the next piece when it is small; a
// large one is freed, so an idle connection keeps little.
TEST_P(OutputQueueSpare, ASmallSentPieceLendsItsStorageToTheNext) {
  TzalOutputQueue queue;
  TIdBytes piece = queue.SparePiece();
  EXPECT_EQ(piece.capacity(), 0u);
  piece.assign(GetParam().PieceSize, 'x');
  const uint8_t* storage = piece.data();
  ASSERT_TRUE(queue.Append(std::move(piece), 1 << 20));
  size_t sent = 0;
  EXPECT_TRUE(queue.Flush([&](std::span<const uint8_t> bytes) {
    sent += bytes.size();
    return bytes.size();
  }));
  EXPECT_EQ(sent, GetParam().PieceSize);
  const TIdBytes next = queue.SparePiece();
  EXPECT_TRUE(next.empty());
  EXPECT_EQ(next.data() == storage, GetParam().Reused);
  EXPECT_EQ(queue.SparePiece().capacity(), 0u) << "a spare is lent once";
}


// Octets of a text, handed out in reads of at most `step`; it may end early.
class TTextSource : public TzalOutputSource {
public:
  TTextSource(std::string text, size_t step) : FText(std::move(text)), FStep(step) {}
  size_t Read(std::span<uint8_t> aBuffer) override {
    const size_t count = std::min({aBuffer.size(), FStep, FText.size() - FAt});
    std::memcpy(aBuffer.data(), FText.data() + FAt, count);
    FAt += count;
    return count;
  }

private:
  std::string FText;
  size_t FStep;
  size_t FAt = 0;
};

// A source is read a slice at a time as it goes out, between the pieces around
// it, and only the slice in memory counts as queued.
TEST(OutputQueueSource, IsReadASliceAtATimeInItsPlace) {
  TzalOutputQueue queue;
  const std::string body(TzalOutputQueue::SourceSliceSize * 2 + 5, 'b');
  ASSERT_TRUE(queue.Append(TIdBytes{'h'}, 1));
  queue.Append(std::make_unique<TTextSource>(body, 1000), body.size());
  ASSERT_TRUE(queue.Append(TIdBytes{'t'}, UINT64_MAX));
  EXPECT_EQ(queue.Size(), 2u);
  std::string sent;
  uint64_t mostQueued = 0;
  const auto take = [&](size_t most) {
    return [&, most](std::span<const uint8_t> bytes) {
      mostQueued = std::max(mostQueued, queue.Size());
      const size_t count = std::min(most, bytes.size());
      sent.append(reinterpret_cast<const char*>(bytes.data()), count);
      return count;
    };
  };
  EXPECT_FALSE(queue.Flush(take(7000)));  // the transport fills up within the first slice
  EXPECT_FALSE(queue.Empty());
  EXPECT_TRUE(queue.Flush(take(SIZE_MAX)));
  EXPECT_EQ(sent, "h" + body + "t");
  EXPECT_LE(mostQueued, TzalOutputQueue::SourceSliceSize + 2);
  EXPECT_TRUE(queue.Empty());
}

// A source that ends before its length raises and is dropped with what it
// counted; the pieces after it still go.
TEST(OutputQueueSource, EndingEarlyRaisesAndLeavesTheCountsRight) {
  TzalOutputQueue queue;
  queue.Append(std::make_unique<TTextSource>("short", 2), 100);
  ASSERT_TRUE(queue.Append(TIdBytes{'n'}, UINT64_MAX));
  std::string sent;
  const auto all = [&](std::span<const uint8_t> bytes) {
    sent.append(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    return bytes.size();
  };
  EXPECT_THROW(queue.Flush(all), EIdException);
  EXPECT_EQ(queue.Size(), 1u);
  EXPECT_TRUE(queue.Flush(all));
  EXPECT_EQ(sent, "n");
  EXPECT_TRUE(queue.Empty());
}

}  // namespace
}  // namespace zal
