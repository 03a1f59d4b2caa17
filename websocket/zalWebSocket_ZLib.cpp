#include "websocket/zalWebSocket_ZLib.h"

#include <algorithm>
#include <climits>
#include <cstddef>
#include <cstdlib>

namespace zal {

namespace {

constexpr size_t kHeader = alignof(std::max_align_t);
// zlib takes its input and output sizes as unsigned int.
constexpr size_t kMaxSlice = 1u << 30;
constexpr size_t kGrowStep = 16384;
constexpr uInt kWindowSize = 32768;

// zlib's allocator, counting the bytes a stream holds in its TzalZlibMemory.
voidpf CountingAlloc(voidpf opaque, uInt items, uInt size) {
  const size_t bytes = static_cast<size_t>(items) * size;
  auto* block = static_cast<unsigned char*>(std::malloc(bytes + kHeader));
  if (!block)
    return Z_NULL;
  *reinterpret_cast<size_t*>(block) = bytes;
  static_cast<TzalZlibMemory*>(opaque)->Bytes += bytes;
  return block + kHeader;
}

void CountingFree(voidpf opaque, voidpf address) {
  auto* block = static_cast<unsigned char*>(address) - kHeader;
  static_cast<TzalZlibMemory*>(opaque)->Bytes -= *reinterpret_cast<size_t*>(block);
  std::free(block);
}

void UseCountingAllocator(z_stream& stream, TzalZlibMemory& memory) {
  stream.zalloc = CountingAlloc;
  stream.zfree = CountingFree;
  stream.opaque = &memory;
}

}  // namespace

TzalRawDeflater::TzalRawDeflater(int level, int windowBits, int memLevel) {
  UseCountingAllocator(FStream, FMemory);
  const int rc = deflateInit2(&FStream, level, Z_DEFLATED, -windowBits, memLevel, Z_DEFAULT_STRATEGY);
  if (rc != Z_OK)
    throw ECompressionError(rc);
}

TzalRawDeflater::~TzalRawDeflater() { deflateEnd(&FStream); }

void TzalRawDeflater::SyncFlush(std::span<const uint8_t> input, TIdBytes& output) {
  do {
    const std::span<const uint8_t> slice = input.first(std::min(input.size(), kMaxSlice));
    input = input.subspan(slice.size());
    FStream.next_in = const_cast<Bytef*>(slice.data());
    FStream.avail_in = static_cast<uInt>(slice.size());
    // The bound of the slice fits the whole flush at once in all but rare cases.
    size_t room = deflateBound(&FStream, FStream.avail_in) + 16;
    for (;;) {
      const size_t old = output.size();
      output.resize(old + room);
      FStream.next_out = output.data() + old;
      FStream.avail_out = static_cast<uInt>(room);
      const int rc = deflate(&FStream, Z_SYNC_FLUSH);
      output.resize(old + room - FStream.avail_out);
      if (rc == Z_BUF_ERROR)
        break;  // nothing new since the last flush
      if (rc != Z_OK)
        throw ECompressionError(rc);
      if (FStream.avail_out != 0)
        break;  // the flush is complete
      room = kGrowStep;
    }
  } while (!input.empty());
}

void TzalRawDeflater::Reset() {
  const int rc = deflateReset(&FStream);
  if (rc != Z_OK)
    throw ECompressionError(rc);
}

TzalRawInflater::TzalRawInflater() {
  UseCountingAllocator(FStream, FMemory);
  const int rc = inflateInit2(&FStream, -MAX_WBITS);
  if (rc != Z_OK)
    throw EDecompressionError(rc);
}

TzalRawInflater::~TzalRawInflater() { inflateEnd(&FStream); }

bool TzalRawInflater::Inflate(std::span<const uint8_t> input, TIdBytes& output, size_t maxOutput) {
  while (!FEnded) {
    const std::span<const uint8_t> slice = input.first(std::min(input.size(), kMaxSlice));
    FStream.next_in = const_cast<Bytef*>(slice.data());
    FStream.avail_in = static_cast<uInt>(slice.size());
    // The output grows in steps that double with its size, but never beyond one
    // byte past the limit: that byte tells that the limit was crossed.
    const size_t old = output.size();
    if (old > maxOutput)
      return false;
    const size_t room = std::min({std::max(old, kGrowStep), maxOutput + 1 - old, kMaxSlice});
    output.resize(old + room);
    FStream.next_out = output.data() + old;
    FStream.avail_out = static_cast<uInt>(room);
    const int rc = inflate(&FStream, Z_SYNC_FLUSH);
    output.resize(old + room - FStream.avail_out);
    input = input.subspan(slice.size() - FStream.avail_in);
    if (output.size() > maxOutput) {
      output.resize(maxOutput);
      return false;
    }
    if (rc == Z_STREAM_END)
      FEnded = true;
    else if (rc == Z_BUF_ERROR)
      return true;  // no progress possible: all input is used and all output written
    else if (rc != Z_OK)
      throw EDecompressionError(rc);
    else if (input.empty() && FStream.avail_out != 0)
      return true;
  }
  return true;
}

void TzalRawInflater::KeepWindowAfterEnd() {
  Bytef window[kWindowSize];
  uInt length = kWindowSize;
  int rc = inflateGetDictionary(&FStream, window, &length);
  if (rc == Z_OK)
    rc = inflateReset(&FStream);
  if (rc == Z_OK)
    rc = inflateSetDictionary(&FStream, window, length);
  if (rc != Z_OK)
    throw EDecompressionError(rc);
  FEnded = false;
}

void TzalRawInflater::Reset() {
  const int rc = inflateReset(&FStream);
  if (rc != Z_OK)
    throw EDecompressionError(rc);
  FEnded = false;
}

}  // namespace zal
