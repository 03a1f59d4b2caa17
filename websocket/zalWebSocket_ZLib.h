#pragma once
// Raw DEFLATE streams (RFC 1951, no zlib header or trailer) on zlib, as the
// WebSocket compression extensions use them: one stream per direction that
// lives as long as the connection, so context takeover costs nothing but the
// stream's own window.
#include <zlib.h>

#include <cstdint>
#include <span>
#include <string>

#include "support/zalIdException.h"
#include "support/zalIdTextEncoding.h"

namespace zal {

// A zlib call returned an error: "ZLib Error (%d)" with the zlib code.
class EZlibError : public EIdException {
public:
  explicit EZlibError(int code) : EIdException("ZLib Error (" + std::to_string(code) + ")"), FErrorCode(code) {}
  int FErrorCode;
};
class ECompressionError : public EZlibError {
public:
  using EZlibError::EZlibError;
};
class EDecompressionError : public EZlibError {
public:
  using EZlibError::EZlibError;
};

// Counts the bytes zlib holds for one stream (its window, hash chains and
// state), so a connection's cost can be reported.
struct TzalZlibMemory {
  size_t Bytes = 0;
};

// One raw deflate stream. Each call compresses its input and ends with a sync
// flush, so the output ends on a byte boundary with the empty stored block
// 00 00 FF FF (RFC 1951 3.2.4), and the stream keeps its window for the next call.
class TzalRawDeflater {
public:
  // windowBits 9-15 (zlib's raw deflate refuses 8), memLevel 1-9.
  TzalRawDeflater(int level, int windowBits, int memLevel);
  ~TzalRawDeflater();
  TzalRawDeflater(const TzalRawDeflater&) = delete;
  TzalRawDeflater& operator=(const TzalRawDeflater&) = delete;

  // Appends the compressed form of `input` to `output`. Without input and with
  // nothing pending since the last flush it appends nothing.
  void SyncFlush(std::span<const uint8_t> input, TIdBytes& output);
  // Forgets the window: the next output refers to nothing before it.
  void Reset();
  size_t StateBytes() const { return FMemory.Bytes; }

private:
  z_stream FStream{};
  TzalZlibMemory FMemory;
};

// One raw inflate stream with a 32 KiB window, which accepts the output of a
// compressor with any window size (RFC 7692 7.1.2).
class TzalRawInflater {
public:
  TzalRawInflater();
  ~TzalRawInflater();
  TzalRawInflater(const TzalRawInflater&) = delete;
  TzalRawInflater& operator=(const TzalRawInflater&) = delete;

  // Inflates `input` and appends the output to `output`, never letting
  // `output` grow past `maxOutput` bytes: returns false (with `output` cut at
  // the limit) when the input inflates to more. Raises EDecompressionError on
  // corrupt data. Input after a final block (BFINAL) is ignored until Reset or
  // KeepWindowAfterEnd.
  bool Inflate(std::span<const uint8_t> input, TIdBytes& output, size_t maxOutput);
  // Whether a final block ended the stream.
  bool Ended() const { return FEnded; }
  // Starts a new stream whose window holds what the ended one had produced,
  // so the next message may refer to it.
  void KeepWindowAfterEnd();
  // Forgets the window and any ended state.
  void Reset();
  size_t StateBytes() const { return FMemory.Bytes; }

private:
  z_stream FStream{};
  TzalZlibMemory FMemory;
  bool FEnded = false;
};

}  // namespace zal
