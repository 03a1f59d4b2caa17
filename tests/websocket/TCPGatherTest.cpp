// The raw TCP transport's reader: messages cut at the end-of-frame sequence,
// the same at every split of the input, within the message size limit.
#include <gtest/gtest.h>

#include "websocket/zalWebSocket_Frame.h"
#include "websocket/zalWebSocket_TCPGather.h"

namespace zal::test {
namespace {

using Log = std::vector<std::string>;

Log Gather(TtcpEOFScanBuffer mode, const std::string& input, size_t cut, uint64_t maxSize = 1000) {
  TzalTCPGatherer gatherer;
  gatherer.Mode = mode;
  gatherer.EndOfFrame = {'\r', '\n'};
  gatherer.MaxMessageSize = maxSize;
  Log log;
  gatherer.OnBinary = [&log](const TMemoryStream& data) { log.push_back(data.DataString()); };
  TIdBytes buffer;
  try {
    for (const auto& piece : {input.substr(0, cut), input.substr(cut)}) {
      buffer.insert(buffer.end(), piece.begin(), piece.end());
      while (size_t consumed = gatherer.Read(buffer))
        buffer.erase(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(consumed));
    }
  } catch (const TzalWSException& e) {
    log.push_back("error:" + std::to_string(e.CloseCode()));
  }
  return log;
}

TEST(TCPGather, AllBytesFindsEverySequenceAtEverySplit) {
  const std::string input = "A\r\nB\r\n\r\nlong message\r\ntail";
  for (size_t cut = 0; cut <= input.size(); ++cut)
    EXPECT_EQ(Gather(eofScanAllBytes, input, cut), (Log{"A\r\n", "B\r\n", "\r\n", "long message\r\n"})) << cut;
}

TEST(TCPGather, LatestBytesDeliversWhenTheBufferEndsWithTheSequence) {
  EXPECT_EQ(Gather(eofScanLatestBytes, "A\r\nB\r\n", 6), Log{"A\r\nB\r\n"});
  EXPECT_EQ(Gather(eofScanLatestBytes, "A\r\nB\r\n", 3), (Log{"A\r\n", "B\r\n"}));
  EXPECT_EQ(Gather(eofScanLatestBytes, "A\r\nB\r\n", 2), Log{"A\r\nB\r\n"});  // the sequence split across reads
}

TEST(TCPGather, NoScanDeliversEveryRead) {
  EXPECT_EQ(Gather(eofScanNone, "AB", 1), (Log{"A", "B"}));
}

TEST(TCPGather, MessageLimitBelowAndAbove) {
  for (TtcpEOFScanBuffer mode : {eofScanAllBytes, eofScanLatestBytes}) {
    const std::string atLimit = std::string(998, 'x') + "\r\n";
    EXPECT_EQ(Gather(mode, atLimit, 500), Log{atLimit}) << mode;
    EXPECT_EQ(Gather(mode, "x" + atLimit, 500), Log{"error:1009"}) << mode;
    EXPECT_EQ(Gather(mode, std::string(1001, 'x'), 500), Log{"error:1009"}) << mode;  // no sequence in sight
  }
}

}  // namespace
}  // namespace zal::test
