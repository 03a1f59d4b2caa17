#pragma once
// Frames as a client sends them, and a recorder that turns the reader's events
// into one comparable log line each.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "support/zalIdTextEncoding.h"
#include "websocket/zalWebSocket_Reader.h"

namespace zal::test {

// One frame with `firstByte` (FIN, RSV, opcode) and `payload`, masked with a
// fixed key unless `masked` is false.
TIdBytes ClientFrame(uint8_t firstByte, std::string_view payload, bool masked = true);
// The same for a payload of `size` octets of a repeating pattern.
TIdBytes ClientFrame(uint8_t firstByte, size_t size);
TIdBytes Concat(std::initializer_list<TIdBytes> parts);
// A close payload: the code (big-endian) and the reason.
std::string ClosePayload(int code, std::string_view reason = "");

// Feeds `bytes` to a reader in pieces cut at `cuts` (offsets, ascending), as
// the connection's input buffer would receive them, and returns the log of
// every event, ending with "error:<code>:<text>" when the reader raised.
struct ReaderLog {
  explicit ReaderLog(TzalWSFrameReader& reader);
  std::vector<std::string> Lines;
};
std::vector<std::string> FeedReader(const TzalWSReaderOptions& options, const TIdBytes& bytes,
                                    const std::vector<size_t>& cuts = {});

}  // namespace zal::test
