#include "transport/zalIdBuffer.h"

#include <algorithm>
#include <cassert>
#include <climits>
#include <cstdio>
#include <cstring>
#include <utility>

#include "support/zalStream.h"

namespace zal {

namespace {

std::string NotEnoughDataText(int requested, int available) {
  char text[96];
  std::snprintf(text, sizeof(text), "%s (%d/%d)", "Not enough data in buffer.", requested, available);
  return text;
}

}  // namespace

EIdNotEnoughDataInBuffer::EIdNotEnoughDataInBuffer(int requested, int available)
    : EIdException(NotEnoughDataText(requested, available)) {}

TIdBuffer::TIdBuffer(TIdBuffer&& other) noexcept
    : FBytes(std::move(other.FBytes)),
      FByteEncoding(other.FByteEncoding),
      FGrowthFactor(other.FGrowthFactor),
      FHeadIndex(std::exchange(other.FHeadIndex, 0)),
      FOnBytesRemoved(std::move(other.FOnBytesRemoved)),
      FSize(other.FSize.exchange(0)) {
  other.FBytes.clear();
}

TIdBuffer& TIdBuffer::operator=(TIdBuffer&& other) noexcept {
  if (this != &other) {
    FBytes = std::move(other.FBytes);
    other.FBytes.clear();
    FByteEncoding = other.FByteEncoding;
    FGrowthFactor = other.FGrowthFactor;
    FHeadIndex = std::exchange(other.FHeadIndex, 0);
    FOnBytesRemoved = std::move(other.FOnBytesRemoved);
    FSize = other.FSize.exchange(0);
  }
  return *this;
}

void TIdBuffer::Clear() {
  TIdBytes().swap(FBytes);
  FHeadIndex = 0;
  FSize = 0;
}

void TIdBuffer::LendStorage(TIdBytes& block) {
  assert(FSize == 0 && FBytes.empty());
  FBytes.swap(block);
  FHeadIndex = 0;
}

void TIdBuffer::ReturnStorage(TIdBytes& block) {
  assert(block.empty());
  if (FSize > MaxCopiedRemainder)
    return;
  TIdBytes remainder(Bytes().begin(), Bytes().end());
  FBytes.swap(block);
  FBytes.swap(remainder);
  FHeadIndex = 0;
}

void TIdBuffer::PrepareAppend(int length) {
  if (INT_MAX - length < FSize)
    throw EIdTooMuchDataInBuffer();
  if (FSize == 0)
    FHeadIndex = 0;
  if (Capacity() - FHeadIndex - FSize >= length)
    return;
  CompactHead(false);
  if (Capacity() - FSize < length) {
    const int64_t wanted = int64_t(FSize) + length + FGrowthFactor;
    FBytes.resize(static_cast<size_t>(std::min<int64_t>(wanted, INT_MAX)));
  }
}

void TIdBuffer::Write(std::span<const uint8_t> bytes) {
  if (bytes.empty())
    return;
  if (bytes.size() > static_cast<size_t>(INT_MAX))
    throw EIdTooMuchDataInBuffer();
  const int length = static_cast<int>(bytes.size());
  if (FSize == 0 && Capacity() < length) {
    FBytes.assign(bytes.begin(), bytes.end());  // an empty buffer takes an exact copy
    FHeadIndex = 0;
    FSize = length;
    return;
  }
  PrepareAppend(length);
  std::memcpy(FBytes.data() + FHeadIndex + FSize, bytes.data(), bytes.size());
  FSize += length;
}

void TIdBuffer::Write(const TIdBytes& bytes, int length, int offset) {
  const int total = static_cast<int>(bytes.size());
  if (offset < 0 || offset >= total)
    return;
  const int available = total - offset;
  if (length < 0 || length > available)
    length = available;
  Write(std::span<const uint8_t>(bytes.data() + offset, static_cast<size_t>(length)));
}

void TIdBuffer::Write(const std::string& text, const IIdTextEncoding* byteEncoding) {
  if (!text.empty())
    Write(std::span<const uint8_t>(ToBytes(text, ChooseEncoding(byteEncoding))));
}

void TIdBuffer::Write(TStream& stream, int64_t byteCount) {
  const int64_t remaining = std::max<int64_t>(stream.Size() - stream.Position(), 0);
  if (byteCount < 0 || byteCount > remaining)
    byteCount = remaining;
  if (byteCount == 0)
    return;
  if (byteCount > INT_MAX - FSize)
    throw EIdTooMuchDataInBuffer();
  const int length = static_cast<int>(byteCount);
  uint8_t* tail = ReserveTail(length);
  CommitTail(static_cast<int>(stream.Read(tail, length)));
}

uint8_t* TIdBuffer::ReserveTail(int length) {
  PrepareAppend(std::max(length, 0));
  return FBytes.data() + FHeadIndex + FSize;
}

void TIdBuffer::CommitTail(int count) {
  FSize += std::clamp(count, 0, Capacity() - FHeadIndex - FSize);
}

int TIdBuffer::CheckExtract(int byteCount, int index) const {
  int available = FSize;
  if (index >= 0) {
    if (index >= FSize)
      throw EIdException("Index out of bounds.");
    available = FSize - index;
  }
  if (byteCount < 0)
    return available;
  if (byteCount > available)
    throw EIdNotEnoughDataInBuffer(byteCount, available);
  return byteCount;
}

void TIdBuffer::ExtractToBytes(TIdBytes& bytes, int byteCount, bool append, int index) {
  const int n = CheckExtract(byteCount, index);
  const uint8_t* from = FBytes.data() + FHeadIndex + std::max(index, 0);
  if (append) {
    bytes.insert(bytes.end(), from, from + n);
  } else {
    if (bytes.size() < static_cast<size_t>(n))
      bytes.resize(static_cast<size_t>(n));
    if (n > 0)
      std::memcpy(bytes.data(), from, static_cast<size_t>(n));
  }
  if (index < 0)
    Remove(n);
}

std::string TIdBuffer::ExtractToString(int byteCount, const IIdTextEncoding* byteEncoding) {
  const int n = CheckExtract(byteCount, -1);
  std::string text = BytesToString(Bytes().first(static_cast<size_t>(n)), ChooseEncoding(byteEncoding));
  Remove(n);
  return text;
}

void TIdBuffer::ExtractToStream(TStream& stream, int byteCount, int index) {
  const int n = CheckExtract(byteCount, index);
  stream.WriteBuffer(FBytes.data() + FHeadIndex + std::max(index, 0), n);
  if (index < 0)
    Remove(n);
}

void TIdBuffer::ExtractToIdBuffer(TIdBuffer& buffer, int byteCount, int index) {
  const int n = CheckExtract(byteCount, index);
  buffer.Write(Bytes().subspan(static_cast<size_t>(std::max(index, 0)), static_cast<size_t>(n)));
  if (index < 0)
    Remove(n);
}

uint64_t TIdBuffer::ExtractValue(int size, int index, bool convert) {
  CheckExtract(size, index);
  const uint8_t* from = FBytes.data() + FHeadIndex + std::max(index, 0);
  uint64_t value = 0;
  if (convert) {
    for (int i = 0; i < size; ++i)
      value = (value << 8) | from[i];
  } else if (size == 1) {
    value = from[0];
  } else if (size == 2) {
    uint16_t v;
    std::memcpy(&v, from, 2);
    value = v;
  } else if (size == 4) {
    uint32_t v;
    std::memcpy(&v, from, 4);
    value = v;
  } else {
    std::memcpy(&value, from, 8);
  }
  if (index < 0)
    Remove(size);
  return value;
}

uint8_t TIdBuffer::ExtractToUInt8(int index) { return static_cast<uint8_t>(ExtractValue(1, index, false)); }
uint16_t TIdBuffer::ExtractToUInt16(int index, bool convert) {
  return static_cast<uint16_t>(ExtractValue(2, index, convert));
}
uint32_t TIdBuffer::ExtractToUInt32(int index, bool convert) {
  return static_cast<uint32_t>(ExtractValue(4, index, convert));
}
uint64_t TIdBuffer::ExtractToUInt64(int index, bool convert) { return ExtractValue(8, index, convert); }

int TIdBuffer::IndexOf(std::span<const uint8_t> bytes, int startPos) const {
  if (bytes.empty())
    throw EIdException("Buffer terminator must be specified.");
  if (FSize == 0)
    return -1;
  if (startPos < 0 || startPos >= FSize)
    throw EIdException("Buffer start position is invalid.");
  const uint8_t* live = FBytes.data() + FHeadIndex;
  const uint8_t* end = live + FSize;
  const size_t patternLength = bytes.size();
  for (const uint8_t* p = live + startPos; static_cast<size_t>(end - p) >= patternLength; ++p) {
    p = static_cast<const uint8_t*>(std::memchr(p, bytes[0], static_cast<size_t>(end - p)));
    if (!p || static_cast<size_t>(end - p) < patternLength)
      return -1;
    if (std::memcmp(p, bytes.data(), patternLength) == 0)
      return static_cast<int>(p - live);
  }
  return -1;
}

int TIdBuffer::IndexOf(const std::string& text, int startPos, const IIdTextEncoding* byteEncoding) const {
  return IndexOf(ToBytes(text, ChooseEncoding(byteEncoding)), startPos);
}

int TIdBuffer::IndexOf(uint8_t byte, int startPos) const {
  return IndexOf(std::span<const uint8_t>(&byte, 1), startPos);
}

uint8_t TIdBuffer::PeekByte(int index) const {
  if (FSize == 0)
    throw EIdException("No bytes in buffer.");
  if (index < 0 || index >= FSize)
    throw EIdException("Index out of bounds.");
  return FBytes[static_cast<size_t>(FHeadIndex + index)];
}

void TIdBuffer::Remove(int byteCount) {
  if (byteCount <= 0)
    return;
  if (byteCount >= FSize) {
    byteCount = FSize;
    FHeadIndex = 0;
    FSize = 0;
    if (Capacity() > MaxRetainedCapacity)
      Clear();
  } else {
    FHeadIndex += byteCount;
    FSize -= byteCount;
    // Compact once the consumed room passes the growth factor and the move
    // costs no more than what was consumed since the last one.
    if (FHeadIndex > FGrowthFactor && FHeadIndex >= FSize)
      CompactHead(Capacity() > MaxRetainedCapacity);
  }
  if (FOnBytesRemoved)
    FOnBytesRemoved(*this, byteCount);
}

void TIdBuffer::CompactHead(bool canShrink) {
  if (FHeadIndex > 0) {
    std::memmove(FBytes.data(), FBytes.data() + FHeadIndex, static_cast<size_t>(FSize));
    FHeadIndex = 0;
  }
  if (canShrink && Capacity() - FSize > FGrowthFactor) {
    FBytes.resize(static_cast<size_t>(FSize + FGrowthFactor));
    FBytes.shrink_to_fit();
  }
}

void TIdBuffer::SaveToStream(TStream& stream) const { stream.WriteBuffer(FBytes.data() + FHeadIndex, FSize); }

void TIdBuffer::SetCapacity(int value) {
  if (value < FSize)
    throw EIdException("Capacity cannot be smaller than Size");
  CompactHead(false);
  FBytes.resize(static_cast<size_t>(value));
  FBytes.shrink_to_fit();
}

}  // namespace zal
