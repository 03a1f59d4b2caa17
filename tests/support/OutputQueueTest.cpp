#include "support/zalOutputQueue.h"

#include <gtest/gtest.h>

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

}  // namespace
}  // namespace zal
