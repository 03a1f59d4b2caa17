// Feeds arbitrary bytes, in chunks of fuzzer-chosen sizes and with repeated
// structure of up to megabytes, to the HTTP/1.1 request loop through an I/O
// handler that reads from memory. fuzz/httprequest.dict holds the protocol's
// words for the fuzzer to splice in.
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

constexpr uint8_t kRepeat = 0xF0;            // opcodes from here on repeat what came before
constexpr size_t kMaximumInput = 16u << 20;  // octets a whole input may expand to

// Replaces the last `group` chunks by one chunk holding them `times` times
// over, within kMaximumInput in all.
void RepeatLastChunks(std::vector<std::vector<uint8_t>>& chunks, size_t group, size_t times, size_t& total) {
  group = std::min(group, chunks.size());
  std::vector<uint8_t> unit;
  for (size_t i = chunks.size() - group; i < chunks.size(); ++i)
    unit.insert(unit.end(), chunks[i].begin(), chunks[i].end());
  chunks.resize(chunks.size() - group);
  if (unit.empty())
    return;
  total -= unit.size();  // counted again below, once per copy
  std::vector<uint8_t> repeated;
  for (size_t i = 0; i < times && total + unit.size() <= kMaximumInput; ++i) {
    repeated.insert(repeated.end(), unit.begin(), unit.end());
    total += unit.size();
  }
  if (!repeated.empty())
    chunks.push_back(std::move(repeated));
}

// The input is a sequence of opcodes, each giving one chunk that arrives as
// its own receives. An opcode below kRepeat is a literal: it is followed by
// (opcode + 1) octets. An opcode from kRepeat up, followed by an octet g,
// takes the last (g % 8 + 1) chunks and puts them 2^(opcode - kRepeat + 1)
// times in their place as one chunk; repeats nest, so a few dozen octets
// describe megabytes of repeated structure (many cookies, header lines or
// parameters, long folded fields).
std::vector<std::vector<uint8_t>> ExpandIntoChunks(const uint8_t* data, size_t size) {
  std::vector<std::vector<uint8_t>> chunks;
  size_t total = 0;
  size_t at = 0;
  while (at < size) {
    const uint8_t opcode = data[at++];
    if (opcode >= kRepeat) {
      if (at == size)
        break;
      const size_t group = data[at++] % 8 + 1;
      RepeatLastChunks(chunks, group, size_t{2} << (opcode - kRepeat), total);
      continue;
    }
    const size_t length = std::min<size_t>(size - at, opcode + size_t{1});
    if (length > 0)
      chunks.emplace_back(data + at, data + at + length);
    total += length;
    at += length;
  }
  return chunks;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  TIdHTTPServer server;
  server.SetKeepAlive(true);
  // Large enough for repeated structure to reach the parsers; the other limits
  // keep their defaults.
  server.SetMaximumHeaderBlockSize(kMaximumInput);
  server.OnCommandGet = [](TIdContext*, TIdHTTPRequestInfo* request, TIdHTTPResponseInfo* response) {
    response->SetContentText(request->Document() + request->QueryParams() + request->RawHeaders().GetValue("Accept") +
                             std::to_string(request->Params().size() + request->Cookies().Count()));
  };
  auto* io = new TMemoryIOHandler(ExpandIntoChunks(data, size));
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
