#pragma once
// TIdBuffer: a growable byte queue. Appends go to the tail, extractions take from
// the head; consumed head room is reclaimed only once it exceeds the growth
// factor, so a stream of small reads does not move the remaining bytes each time.
#include <atomic>
#include <cstdint>
#include <functional>
#include <span>
#include <string>

#include "support/zalIdException.h"
#include "support/zalIdTextEncoding.h"

namespace zal {

class TStream;

// "Not enough data in buffer. (%d/%d)" (requested, available).
class EIdNotEnoughDataInBuffer : public EIdException {
public:
  EIdNotEnoughDataInBuffer(int requested, int available);
};
class EIdTooMuchDataInBuffer : public EIdException {
public:
  EIdTooMuchDataInBuffer() : EIdException("Too much data in buffer.") {}
};

class TIdBuffer;
using TIdBufferBytesRemoved = std::function<void(TIdBuffer& buffer, int byteCount)>;

class TIdBuffer {
public:
  static constexpr int DefaultGrowthFactor = 2048;
  // Storage up to this size survives the buffer running empty, so a connection
  // that reads and consumes in turns does not allocate on every receive.
  static constexpr int MaxRetainedCapacity = 65536;

  TIdBuffer() = default;
  explicit TIdBuffer(TIdBufferBytesRemoved onBytesRemoved) : FOnBytesRemoved(std::move(onBytesRemoved)) {}
  TIdBuffer(const TIdBuffer&) = default;
  TIdBuffer& operator=(const TIdBuffer&) = default;
  // Moving takes the bytes and leaves the source empty.
  TIdBuffer(TIdBuffer&& other) noexcept;
  TIdBuffer& operator=(TIdBuffer&& other) noexcept;

  // Drops every byte and releases the storage.
  void Clear();
  // An event loop lends its receive block to a buffer that has no storage of
  // its own, for one step of the connection, and takes it back afterwards: a
  // buffer left empty keeps nothing; a short remainder is copied into storage
  // of its own size; a long one keeps the block, and `block` comes back empty.
  void LendStorage(TIdBytes& block);
  void ReturnStorage(TIdBytes& block);
  // Remainders up to this size are copied out of a lent block.
  static constexpr int MaxCopiedRemainder = 16384;

  // Appends bytes; `length` -1 (or past the end) takes everything after `offset`.
  void Write(std::span<const uint8_t> bytes);
  void Write(const TIdBytes& bytes, int length = -1, int offset = 0);
  void Write(const std::string& text, const IIdTextEncoding* byteEncoding = nullptr);
  // Appends `byteCount` bytes from the stream's position (-1: up to its end).
  void Write(TStream& stream, int64_t byteCount = -1);

  // Room for `length` more bytes at the tail, for a receive to fill directly;
  // CommitTail then makes `count` of them live.
  uint8_t* ReserveTail(int length);
  void CommitTail(int count);

  // Copies `byteCount` bytes (-1: all) to `bytes`: appended, or over its start.
  // `index` -1 takes them from the head and removes them; an index >= 0 copies
  // from that offset and leaves the buffer as it is.
  void ExtractToBytes(TIdBytes& bytes, int byteCount = -1, bool append = true, int index = -1);
  std::string ExtractToString(int byteCount = -1, const IIdTextEncoding* byteEncoding = nullptr);
  std::string Extract(int byteCount = -1, const IIdTextEncoding* byteEncoding = nullptr) {
    return ExtractToString(byteCount, byteEncoding);
  }
  void ExtractToStream(TStream& stream, int byteCount = -1, int index = -1);
  void ExtractToIdBuffer(TIdBuffer& buffer, int byteCount = -1, int index = -1);
  // Fixed-size values; `convert` reads them in network (big-endian) order.
  uint8_t ExtractToUInt8(int index = -1);
  uint16_t ExtractToUInt16(int index = -1, bool convert = true);
  uint32_t ExtractToUInt32(int index = -1, bool convert = true);
  uint64_t ExtractToUInt64(int index = -1, bool convert = true);

  // Offset (from the head) of the first occurrence at or after `startPos`, or -1.
  int IndexOf(std::span<const uint8_t> bytes, int startPos = 0) const;
  int IndexOf(const TIdBytes& bytes, int startPos = 0) const {
    return IndexOf(std::span<const uint8_t>(bytes), startPos);
  }
  int IndexOf(const std::string& text, int startPos = 0, const IIdTextEncoding* byteEncoding = nullptr) const;
  int IndexOf(uint8_t byte, int startPos = 0) const;
  uint8_t PeekByte(int index) const;

  // Drops `byteCount` bytes from the head.
  void Remove(int byteCount);
  // Moves the live bytes to the start of the storage; with `canShrink` also
  // gives back spare room beyond the growth factor.
  void CompactHead(bool canShrink = true);
  // Copies every live byte to the stream without removing them.
  void SaveToStream(TStream& stream) const;

  int Size() const { return FSize; }
  int Capacity() const { return static_cast<int>(FBytes.size()); }
  void SetCapacity(int value);
  int GrowthFactor() const { return FGrowthFactor; }
  void SetGrowthFactor(int value) { FGrowthFactor = value; }
  const IIdTextEncoding* Encoding() const { return FByteEncoding; }
  void SetEncoding(const IIdTextEncoding* value) { FByteEncoding = value; }
  // The live bytes, valid until the buffer next changes.
  std::span<const uint8_t> Bytes() const {
    return std::span<const uint8_t>(FBytes.data() + FHeadIndex, static_cast<size_t>(FSize));
  }

  TIdBufferBytesRemoved OnBytesRemoved() const { return FOnBytesRemoved; }
  void SetOnBytesRemoved(TIdBufferBytesRemoved value) { FOnBytesRemoved = std::move(value); }

private:
  // Makes room for `length` bytes after the live bytes (compacting, then growing).
  void PrepareAppend(int length);
  // Checks that `byteCount` bytes (-1: all) exist at `index` and returns the count.
  int CheckExtract(int byteCount, int index) const;
  uint64_t ExtractValue(int size, int index, bool convert);
  const IIdTextEncoding* ChooseEncoding(const IIdTextEncoding* byteEncoding) const {
    return byteEncoding ? byteEncoding : FByteEncoding;
  }

  TIdBytes FBytes;
  const IIdTextEncoding* FByteEncoding = nullptr;
  int FGrowthFactor = DefaultGrowthFactor;
  int FHeadIndex = 0;
  TIdBufferBytesRemoved FOnBytesRemoved;
  // Only the owning thread changes the buffer, but a writer on another thread
  // asks whether a closed connection still has input (IOHandler's disconnect
  // check): the count is read without a lock.
  std::atomic<int> FSize{0};
};

}  // namespace zal
