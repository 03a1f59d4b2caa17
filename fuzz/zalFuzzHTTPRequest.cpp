// Feeds arbitrary bytes, in chunks of fuzzer-chosen sizes, to the HTTP/1.1
// request loop through an I/O handler that reads from memory.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "http/zalIdCustomHTTPServer.h"
#include "transport/zalIdContext.h"
#include "transport/zalIdIOHandler.h"
#include "transport/zalIdTCPConnection.h"

namespace {

using namespace zal;

// Serves the input as a sequence of receives; once it is used up the peer has
// closed, and the source is gone as a closed socket is. Everything written is dropped.
class TMemoryIOHandler : public TIdIOHandler {
public:
  explicit TMemoryIOHandler(std::vector<std::vector<uint8_t>> chunks) : FChunks(std::move(chunks)) {}
  bool Readable(int) override {
    if (FClosed)
      throw EIdConnClosedGracefully();
    return true;
  }

protected:
  int ReceiveRaw(uint8_t* buffer, int length) override {
    if (FNext == FChunks.size()) {
      FClosed = true;
      return 0;
    }
    std::vector<uint8_t>& chunk = FChunks[FNext];
    const int count = std::min<int>(length, static_cast<int>(chunk.size() - FOffset));
    std::copy_n(chunk.begin() + static_cast<ptrdiff_t>(FOffset), count, buffer);
    FOffset += static_cast<size_t>(count);
    if (FOffset == chunk.size()) {
      ++FNext;
      FOffset = 0;
    }
    return count;
  }
  int SendRaw(const uint8_t*, int length) override { return length; }
  bool SourceAvailable() const override { return !FClosed; }

private:
  bool FClosed = false;
  std::vector<std::vector<uint8_t>> FChunks;
  size_t FNext = 0;
  size_t FOffset = 0;
};

// The first octet of each chunk gives its length (1 to 256).
std::vector<std::vector<uint8_t>> SplitIntoChunks(const uint8_t* data, size_t size) {
  std::vector<std::vector<uint8_t>> chunks;
  size_t at = 0;
  while (at < size) {
    const size_t length = std::min<size_t>(size - at - 1, static_cast<size_t>(data[at]) + 1);
    ++at;
    if (length > 0)
      chunks.emplace_back(data + at, data + at + length);
    at += length;
  }
  return chunks;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  TIdHTTPServer server;
  server.SetKeepAlive(true);
  server.OnCommandGet = [](TIdContext*, TIdHTTPRequestInfo* request, TIdHTTPResponseInfo* response) {
    response->SetContentText(request->Document() + request->QueryParams());
  };
  auto* io = new TMemoryIOHandler(SplitIntoChunks(data, size));
  io->Open();
  auto* connection = new TIdTCPConnection();
  connection->SetIOHandler(io, true);
  TIdServerContext context(connection, nullptr, nullptr);
  try {
    server.RunRequestLoop(&context);
  } catch (const std::exception&) {
    // Malformed input ends the connection with an error: that is the expected outcome.
  }
  return 0;
}
