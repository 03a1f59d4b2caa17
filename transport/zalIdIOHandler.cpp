#include "transport/zalIdIOHandler.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>

#include "support/zalStream.h"
#include "transport/zalIdIntercept.h"
#include "transport/zalIdStack.h"

namespace zal {

namespace {

// The `length` bytes of `buffer` from `offset` (-1 or too long: up to the end);
// empty for an offset outside the buffer.
std::span<const uint8_t> ClampedPart(const TIdBytes& buffer, int length, int offset) {
  const int total = static_cast<int>(buffer.size());
  if (offset < 0 || offset >= total)
    return {};
  if (length < 0 || length > total - offset)
    length = total - offset;
  return std::span<const uint8_t>(buffer.data() + offset, static_cast<size_t>(std::max(length, 0)));
}

constexpr uint8_t kLF = '\n';
constexpr uint8_t kCR = '\r';
// A peer-announced stream length pre-sizes the stream only up to this much;
// beyond it the stream grows as the bytes really arrive.
constexpr int64_t kMaxStreamPresize = 16 * 1024 * 1024;

int64_t MillisecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
}

// The number of bytes the character starting with `lead` takes in `encoding`.
int CharByteCount(const IIdTextEncoding& encoding, uint8_t lead) {
  if (encoding.IsSingleByte())
    return 1;
  if (&encoding == &IdTextEncoding(tekUTF8)) {
    if (lead >= 0xF0 && lead < 0xF8)
      return 4;
    if (lead >= 0xE0)
      return lead < 0xF0 ? 3 : 1;
    return lead >= 0xC0 ? 2 : 1;
  }
  if (&encoding == &IdTextEncoding(tekUTF16LE) || &encoding == &IdTextEncoding(tekUTF16BE))
    return 2;
  return 1;
}

bool IsHighSurrogateUnit(const IIdTextEncoding& encoding, uint8_t first, uint8_t second) {
  const uint8_t high = &encoding == &IdTextEncoding(tekUTF16LE) ? second : first;
  return high >= 0xD8 && high <= 0xDB;
}

// The octets of a line terminator: LF for an empty terminator, and LF without
// encoding (or allocating) where the encoding is ASCII-compatible; other
// terminators are encoded into `storage`.
std::span<const uint8_t> LineTerminatorBytes(const std::string& terminator, const IIdTextEncoding& encoding,
                                             TIdBytes& storage) {
  static constexpr uint8_t kLFBytes[] = {kLF};
  const bool isLF = terminator.empty() || terminator == "\n";
  if (isLF && (encoding.IsSingleByte() || &encoding == &IdTextEncoding(tekUTF8)))
    return kLFBytes;
  storage = encoding.GetBytes(isLF ? std::string_view("\n") : std::string_view(terminator));
  if (storage.empty())
    return kLFBytes;
  return storage;
}

}  // namespace

TIdIOHandler::TIdIOHandler()
    : FInputBuffer(std::make_unique<TIdBuffer>([this](TIdBuffer&, int count) { DoWork(wmRead, count); })),
      FDefStringEncoding(&IdTextEncoding(tekASCII)) {}

TIdIOHandler::~TIdIOHandler() {
  if (FOpened)
    TIdIOHandler::Close();
}

// ---- life cycle --------------------------------------------------------------

void TIdIOHandler::Open() {
  {
    std::lock_guard lock(FWriteBufferLock);
    FWriteBuffer.reset();
  }
  FInputBuffer->Clear();
  FClosedGracefully = false;
  FOpened = true;
}

void TIdIOHandler::Close() {
  const bool wasOpen = FOpened.exchange(false);
  if (wasOpen && FIntercept)
    FIntercept->Disconnect();
  std::lock_guard lock(FWriteBufferLock);
  FWriteBuffer.reset();  // unsent buffered bytes are dropped
}

bool TIdIOHandler::Connected() {
  CheckForDisconnect(false, false);
  if (!FOpened)
    return false;
  return !((FClosedGracefully || !FInputBuffer) && InputBufferIsEmpty());
}

void TIdIOHandler::CheckForDisconnect(bool raiseExceptionIfDisconnected, bool ignoreBuffer) {
  const bool disconnected = FClosedGracefully || !FOpened || !SourceAvailable();
  if (disconnected && (InputBufferIsEmpty() || ignoreBuffer) && raiseExceptionIfDisconnected)
    throw EIdConnClosedGracefully();
}

void TIdIOHandler::DoStatus(TIdStatus status, const std::string& text) {
  if (OnStatus)
    OnStatus(*this, status, text);
}

void TIdIOHandler::DoWork(TWorkMode mode, int64_t count) {
  if (OnWork)
    OnWork(*this, mode, count);
}

const IIdTextEncoding* TIdIOHandler::ChooseEncoding(const IIdTextEncoding* byteEncoding) const {
  if (byteEncoding)
    return byteEncoding;
  return FDefStringEncoding ? FDefStringEncoding : &IdTextEncoding(tekASCII);
}

// ---- filling the input buffer --------------------------------------------------

int TIdIOHandler::ReceiveIntoInputBuffer(int& appended) {
  appended = 0;
  if (!FIntercept) {
    uint8_t* tail = FInputBuffer->ReserveTail(FRecvBufferSize);
    const int count = ReceiveRaw(tail, FRecvBufferSize);
    if (count > 0) {
      FInputBuffer->CommitTail(count);
      appended = count;
    }
    return count;
  }
  FInterceptScratch.resize(static_cast<size_t>(FRecvBufferSize));
  const int count = ReceiveRaw(FInterceptScratch.data(), FRecvBufferSize);
  if (count <= 0)
    return count;
  FInterceptScratch.resize(static_cast<size_t>(count));
  FIntercept->Receive(FInterceptScratch);
  FInputBuffer->Write(std::span<const uint8_t>(FInterceptScratch));
  appended = static_cast<int>(FInterceptScratch.size());
  return count;
}

int TIdIOHandler::HandleReceiveError(int errorCode, bool raiseExceptionIfDisconnected,
                                     bool raiseExceptionOnTimeout) {
  if (!IsIdConnectionLostError(errorCode))
    RaiseIdSocketError(errorCode);
  if (errorCode == Id_WSAETIMEDOUT) {
    if (raiseExceptionOnTimeout)
      throw EIdReadTimeout();
    return -1;
  }
  FClosedGracefully = true;
  Close();
  if (InputBufferIsEmpty() && raiseExceptionIfDisconnected)
    RaiseIdSocketError(errorCode);
  return 0;
}

int TIdIOHandler::FillInputBuffer(bool raiseExceptionIfDisconnected, int timeout, bool raiseExceptionOnTimeout) {
  if (timeout == IdTimeoutDefault)
    timeout = (FReadTimeOut == IdTimeoutDefault || FReadTimeOut == 0) ? IdTimeoutInfinite : FReadTimeOut;
  CheckForDisconnect(raiseExceptionIfDisconnected, false);
  if (!SourceAvailable()) {
    if (raiseExceptionIfDisconnected)
      throw EIdNotConnected();
    return 0;
  }
  // A transport that takes raw bytes without delivering any yet (a TLS record
  // still incomplete) is waited for again within what is left of the time-out.
  const auto start = std::chrono::steady_clock::now();
  for (;;) {
    const int waitMs = timeout < 0 ? timeout : static_cast<int>(std::max<int64_t>(timeout - MillisecondsSince(start), 0));
    if (!Readable(waitMs)) {
      if (raiseExceptionOnTimeout)
        throw EIdReadTimeout();
      return -1;
    }
    if (!FOpened) {
      if (raiseExceptionIfDisconnected)
        throw EIdNotConnected();
      return 0;
    }
    if (!SourceAvailable()) {
      if (raiseExceptionIfDisconnected)
        throw EIdClosedSocket();
      return 0;
    }
    int count = 0;
    const int received = ReceiveIntoInputBuffer(count);
    if (received == -Id_WSAEWOULDBLOCK)
      continue;
    if (received < 0) {
      count = HandleReceiveError(-received, raiseExceptionIfDisconnected, raiseExceptionOnTimeout);
      if (count < 0)
        return -1;
    } else if (received == 0) {
      FClosedGracefully = true;
    }
    CheckForDisconnect(raiseExceptionIfDisconnected, false);
    if (count != 0)
      return count;
    // An intercept that kept a whole block to itself delivered nothing yet: wait again.
    if (received > 0)
      continue;
    return 0;  // the peer closed or the connection was lost: waiting again would find the same
  }
}

bool TIdIOHandler::CheckForDataOnSource(int timeout) {
  try {
    const int sizeBefore = FInputBuffer->Size();
    if (!Connected())
      return false;
    if (FInputBuffer->Size() > sizeBefore)
      return true;
    return FillInputBuffer(false, timeout, false) > 0;
  } catch (const EIdConnClosedGracefully&) {
    return false;  // closed by another thread between the checks
  }
}

// ---- reading -------------------------------------------------------------------

std::string TIdIOHandler::ReadLn(const IIdTextEncoding* byteEncoding) {
  return ReadLn("\n", IdTimeoutDefault, -1, byteEncoding);
}

std::string TIdIOHandler::ReadLn(const std::string& terminator, const IIdTextEncoding* byteEncoding) {
  return ReadLn(terminator, IdTimeoutDefault, -1, byteEncoding);
}

std::string TIdIOHandler::ExtractLine(int lineLength, int removeLength, const IIdTextEncoding* encoding) {
  std::string line = encoding->GetString(FInputBuffer->Bytes().first(static_cast<size_t>(lineLength)));
  FInputBuffer->Remove(removeLength);
  return line;
}

bool TIdIOHandler::FillForLine(int timeout, std::chrono::steady_clock::time_point start, bool firstFill) {
  int fillTimeout = timeout;
  if (timeout >= 0) {
    const int64_t elapsed = MillisecondsSince(start);
    if (!firstFill && elapsed >= timeout)
      return false;
    fillTimeout = static_cast<int>(std::max<int64_t>(timeout - elapsed, 0));
  }
  return FillInputBuffer(true, fillTimeout, false) != -1;
}

std::string TIdIOHandler::ReadLn(const std::string& terminator, int timeout, int maxLineLength,
                                 const IIdTextEncoding* byteEncoding) {
  const IIdTextEncoding* encoding = ChooseEncoding(byteEncoding);
  if (maxLineLength < 0)
    maxLineLength = FMaxLineLength;
  TIdBytes termStorage;
  const std::span<const uint8_t> term = LineTerminatorBytes(terminator, *encoding, termStorage);
  const int termLength = static_cast<int>(term.size());
  FReadLnSplit = false;
  FReadLnTimedOut = false;
  const auto start = std::chrono::steady_clock::now();
  int startPos = 0;
  int found = -1;
  bool filled = false;
  for (;;) {
    const int size = FInputBuffer->Size();
    if (size > 0) {
      found = startPos < size ? FInputBuffer->IndexOf(term, startPos) : -1;
      startPos = std::max(size - termLength + 1, 0);  // only a tail can still complete a terminator
    }
    if (maxLineLength > 0 && (found > maxLineLength || (found == -1 && startPos > maxLineLength))) {
      if (FMaxLineAction == maException)
        throw EIdReadLnMaxLineLengthExceeded();
      FReadLnSplit = true;
      return ExtractLine(maxLineLength, maxLineLength, encoding);
    }
    if (found >= 0)
      break;
    CheckForDisconnect(true, true);
    if (!FillForLine(timeout, start, !filled)) {
      FReadLnTimedOut = true;
      return std::string();
    }
    filled = true;
  }
  int lineLength = found;
  if (termLength == 1 && term[0] == kLF && found > 0 && FInputBuffer->PeekByte(found - 1) == kCR)
    --lineLength;
  return ExtractLine(lineLength, found + termLength, encoding);
}

void TIdIOHandler::WaitForBytes(int byteCount) {
  while (FInputBuffer->Size() < byteCount) {
    const int count = FillInputBuffer(false, IdTimeoutDefault, true);
    if (count > 0 && FInputBuffer->Size() >= byteCount)
      break;
    CheckForDisconnect(true, true);
  }
}

void TIdIOHandler::ReadBytes(TIdBytes& buffer, int byteCount, bool append) {
  if (byteCount > 0) {
    WaitForBytes(byteCount);
    FInputBuffer->ExtractToBytes(buffer, byteCount, append);
  } else if (byteCount < 0) {
    if (InputBufferIsEmpty()) {
      FillInputBuffer(false, IdTimeoutDefault, false);
      CheckForDisconnect(true, true);
    }
    FInputBuffer->ExtractToBytes(buffer, -1, append);
  }
}

std::string TIdIOHandler::ReadString(int byteCount, const IIdTextEncoding* byteEncoding) {
  if (byteCount <= 0)
    return std::string();
  WaitForBytes(byteCount);
  return FInputBuffer->ExtractToString(byteCount, ChooseEncoding(byteEncoding));
}

uint8_t TIdIOHandler::ReadByte() {
  WaitForBytes(1);
  return FInputBuffer->ExtractToUInt8();
}

std::string TIdIOHandler::ReadChar(const IIdTextEncoding* byteEncoding) {
  const IIdTextEncoding& encoding = *ChooseEncoding(byteEncoding);
  WaitForBytes(1);
  int length = CharByteCount(encoding, FInputBuffer->PeekByte(0));
  if (length == 2 && !encoding.IsSingleByte() && &encoding != &IdTextEncoding(tekUTF8)) {
    WaitForBytes(2);
    if (IsHighSurrogateUnit(encoding, FInputBuffer->PeekByte(0), FInputBuffer->PeekByte(1)))
      length = 4;
  }
  WaitForBytes(length);
  return FInputBuffer->ExtractToString(length, &encoding);
}

uint64_t TIdIOHandler::ReadValue(int size, bool convert) {
  WaitForBytes(size);
  switch (size) {
    case 2: return FInputBuffer->ExtractToUInt16(-1, convert);
    case 4: return FInputBuffer->ExtractToUInt32(-1, convert);
    default: return FInputBuffer->ExtractToUInt64(-1, convert);
  }
}

uint16_t TIdIOHandler::ReadUInt16(bool convert) { return static_cast<uint16_t>(ReadValue(2, convert)); }
int16_t TIdIOHandler::ReadInt16(bool convert) { return static_cast<int16_t>(ReadValue(2, convert)); }
uint32_t TIdIOHandler::ReadUInt32(bool convert) { return static_cast<uint32_t>(ReadValue(4, convert)); }
int32_t TIdIOHandler::ReadInt32(bool convert) { return static_cast<int32_t>(ReadValue(4, convert)); }
uint64_t TIdIOHandler::ReadUInt64(bool convert) { return ReadValue(8, convert); }
int64_t TIdIOHandler::ReadInt64(bool convert) { return static_cast<int64_t>(ReadValue(8, convert)); }

void TIdIOHandler::ReadStrings(TIdStrings& dest, int readLinesCount, const IIdTextEncoding* byteEncoding) {
  if (readLinesCount < 0)
    readLinesCount = ReadInt32();
  for (int i = 0; i < readLinesCount; ++i)
    dest.push_back(ReadLn(byteEncoding));
}

int64_t TIdIOHandler::ReadStreamByteCount() { return FLargeStream ? ReadInt64() : ReadInt32(); }

void TIdIOHandler::MoveBufferedToStream(TStream* stream, int64_t& remaining) {
  int count = FInputBuffer->Size();
  if (remaining >= 0)
    count = static_cast<int>(std::min<int64_t>(count, remaining));
  if (count <= 0)
    return;
  if (stream)
    FInputBuffer->ExtractToStream(*stream, count);
  else
    FInputBuffer->Remove(count);
  if (remaining > 0)
    remaining -= count;
}

void TIdIOHandler::ReadStream(TStream* stream, int64_t byteCount, bool readUntilDisconnect) {
  if (byteCount == -1 && !readUntilDisconnect)
    byteCount = ReadStreamByteCount();
  if (byteCount < 0) {
    readUntilDisconnect = true;
    byteCount = -1;
  }
  if (byteCount >= 0 && stream) {
    const int64_t position = stream->Position();
    if (byteCount > INT64_MAX - position)
      throw EIdIOHandlerStreamDataTooLarge();
    const int64_t wanted = position + std::min(byteCount, kMaxStreamPresize);
    if (stream->Size() < wanted)
      stream->SetSize(wanted);
  }
  // The pre-sized tail beyond what arrived is cut off, also when the read fails.
  const auto trimStream = [stream] {
    if (stream && stream->Size() > stream->Position())
      stream->SetSize(stream->Position());
  };
  try {
    int64_t remaining = byteCount;
    MoveBufferedToStream(stream, remaining);
    while (remaining != 0) {
      if (FillInputBuffer(!readUntilDisconnect, IdTimeoutDefault, true) < 1) {
        CheckForDisconnect(false, false);
        break;
      }
      MoveBufferedToStream(stream, remaining);
    }
  } catch (...) {
    trimStream();
    throw;
  }
  trimStream();
}

template <typename Store>
void TIdIOHandler::CaptureLines(const std::string& delim, bool usesDotTransparency,
                                const IIdTextEncoding* byteEncoding, Store store) {
  int stored = 0;
  for (;;) {
    std::string line = ReadLn("\n", IdTimeoutDefault, -1, byteEncoding);
    if (FReadLnTimedOut)
      throw EIdReadTimeout();  // an empty line from a time-out is no delimiter
    if (line == delim)
      return;
    if (FMaxCapturedLines > 0 && stored >= FMaxCapturedLines)
      throw EIdMaxCaptureLineExceeded();
    if (usesDotTransparency && line.starts_with(".."))
      line.erase(0, 1);
    store(line);
    ++stored;
  }
}

void TIdIOHandler::Capture(TIdStrings& dest, const std::string& delim, bool usesDotTransparency,
                           const IIdTextEncoding* byteEncoding) {
  CaptureLines(delim, usesDotTransparency, byteEncoding, [&](std::string& line) { dest.push_back(std::move(line)); });
}

void TIdIOHandler::Capture(TStream& dest, const std::string& delim, bool usesDotTransparency,
                           const IIdTextEncoding* byteEncoding) {
  const IIdTextEncoding* encoding = ChooseEncoding(byteEncoding);
  TIdBytes bytes;
  CaptureLines(delim, usesDotTransparency, byteEncoding, [&](const std::string& line) {
    bytes.clear();
    encoding->AppendBytes(line, bytes);
    bytes.push_back(kCR);
    bytes.push_back(kLF);
    dest.WriteBuffer(bytes.data(), static_cast<int64_t>(bytes.size()));
  });
}

void TIdIOHandler::Discard(int64_t byteCount) {
  while (byteCount > 0) {
    const int count = static_cast<int>(std::min<int64_t>(byteCount, FInputBuffer->Size()));
    FInputBuffer->Remove(count);
    byteCount -= count;
    if (byteCount == 0)
      break;
    if (FillInputBuffer(false, IdTimeoutDefault, true) <= 0)
      CheckForDisconnect(true, true);
  }
}

void TIdIOHandler::DiscardAll() {
  try {
    for (;;) {
      FInputBuffer->Remove(FInputBuffer->Size());
      if (FillInputBuffer(false, IdTimeoutDefault, true) <= 0)
        CheckForDisconnect(true, true);
    }
  } catch (const EIdConnClosedGracefully&) {
    FInputBuffer->Remove(FInputBuffer->Size());
  } catch (...) {
    FInputBuffer->Remove(FInputBuffer->Size());
    throw;
  }
}

std::string TIdIOHandler::InputBufferAsString(const IIdTextEncoding* byteEncoding) {
  return FInputBuffer->ExtractToString(-1, ChooseEncoding(byteEncoding));
}

void TIdIOHandler::InputBufferToStream(TStream& stream, int byteCount) {
  FInputBuffer->ExtractToStream(stream, byteCount);
}

// ---- writing -------------------------------------------------------------------

void TIdIOHandler::Write(const TIdBytes& buffer, int length, int offset) {
  if (const auto part = ClampedPart(buffer, length, offset); !part.empty())
    Write(part);
}

void TIdIOHandler::Write(std::span<const uint8_t> buffer) {
  if (buffer.empty())
    return;
  std::unique_lock lock(FWriteBufferLock);
  if (!FWriteBuffer) {
    lock.unlock();
    WriteDirect(buffer);
    return;
  }
  const size_t threshold = FWriteBufferThreshold > 0 ? static_cast<size_t>(FWriteBufferThreshold) : 0;
  const size_t waiting = static_cast<size_t>(FWriteBuffer->Size());
  if (threshold == 0 || waiting + buffer.size() < threshold) {
    FWriteBuffer->Write(buffer);
    return;
  }
  // Whole blocks of `threshold` octets go out. The waiting bytes are completed
  // to a block; the blocks after it are sent straight from the caller's memory
  // and only the tail is kept. The waiting bytes are taken out first, so that a
  // Close on another thread (which drops the buffer) cannot pull them away.
  TIdBuffer pending = std::move(*FWriteBuffer);
  lock.unlock();
  const size_t topUp = waiting % threshold == 0 ? 0 : threshold - waiting % threshold;
  pending.Write(buffer.first(topUp));
  WriteWholeBlocks(pending.Bytes(), threshold);
  const std::span<const uint8_t> tail = WriteWholeBlocks(buffer.subspan(topUp), threshold);
  lock.lock();
  if (FWriteBuffer)
    FWriteBuffer->Write(tail);
}

std::span<const uint8_t> TIdIOHandler::WriteWholeBlocks(std::span<const uint8_t> bytes, size_t blockSize) {
  while (bytes.size() >= blockSize) {
    WriteDirect(bytes.first(blockSize));
    bytes = bytes.subspan(blockSize);
  }
  return bytes;
}

int64_t TIdIOHandler::WriteBlockRoom() {
  std::lock_guard lock(FWriteBufferLock);
  if (!FWriteBuffer || FWriteBufferThreshold <= 0)
    return 0;
  const int64_t used = FWriteBuffer->Size() % FWriteBufferThreshold;
  return used == 0 ? 0 : FWriteBufferThreshold - used;
}

void TIdIOHandler::Write(const std::string& out, const IIdTextEncoding* byteEncoding) {
  if (!out.empty())
    Write(std::span<const uint8_t>(ChooseEncoding(byteEncoding)->GetBytes(out)));
}

void TIdIOHandler::Write(uint8_t value) { Write(std::span<const uint8_t>(&value, 1)); }

void TIdIOHandler::Write(char value, const IIdTextEncoding* byteEncoding) {
  Write(std::string(1, value), byteEncoding);
}

void TIdIOHandler::WriteValue(uint64_t value, int size, bool convert) {
  uint8_t bytes[8];
  if (convert) {
    for (int i = size - 1; i >= 0; --i, value >>= 8)
      bytes[i] = static_cast<uint8_t>(value);
  } else if (size == 2) {
    const auto v = static_cast<uint16_t>(value);
    std::memcpy(bytes, &v, 2);
  } else if (size == 4) {
    const auto v = static_cast<uint32_t>(value);
    std::memcpy(bytes, &v, 4);
  } else {
    std::memcpy(bytes, &value, 8);
  }
  Write(std::span<const uint8_t>(bytes, static_cast<size_t>(size)));
}

void TIdIOHandler::Write(int16_t value, bool convert) { WriteValue(static_cast<uint16_t>(value), 2, convert); }
void TIdIOHandler::Write(uint16_t value, bool convert) { WriteValue(value, 2, convert); }
void TIdIOHandler::Write(int32_t value, bool convert) { WriteValue(static_cast<uint32_t>(value), 4, convert); }
void TIdIOHandler::Write(uint32_t value, bool convert) { WriteValue(value, 4, convert); }
void TIdIOHandler::Write(int64_t value, bool convert) { WriteValue(static_cast<uint64_t>(value), 8, convert); }
void TIdIOHandler::Write(uint64_t value, bool convert) { WriteValue(value, 8, convert); }

void TIdIOHandler::Write(const TIdStrings& value, bool writeLinesCount, const IIdTextEncoding* byteEncoding) {
  if (writeLinesCount)
    Write(static_cast<int32_t>(value.size()));
  const IIdTextEncoding* encoding = ChooseEncoding(byteEncoding);
  TIdBytes bytes;
  for (const std::string& line : value) {
    encoding->AppendBytes(line, bytes);
    bytes.push_back(kCR);
    bytes.push_back(kLF);
  }
  Write(std::span<const uint8_t>(bytes));
}

void TIdIOHandler::Write(TStream& stream, int64_t size, bool writeByteCount) {
  if (size < 0) {
    size = std::max<int64_t>(stream.Size() - stream.Position(), 0);
  } else if (size == 0) {
    stream.SetPosition(0);
    size = stream.Size();
  }
  if (writeByteCount) {
    if (FLargeStream) {
      Write(static_cast<int64_t>(size));
    } else {
      if (size > INT32_MAX)
        throw EIdIOHandlerRequiresLargeStream();
      Write(static_cast<int32_t>(size));
    }
  }
  TIdBytes chunk(static_cast<size_t>(std::min<int64_t>(size, FSendBufferSize)));
  // The first piece fills the write buffer's open block, so that the pieces
  // after it start on block boundaries and are sent without a copy.
  int64_t firstPiece = WriteBlockRoom();
  while (size > 0) {
    const int64_t pieceSize = firstPiece > 0 ? firstPiece : static_cast<int64_t>(chunk.size());
    firstPiece = 0;
    const int64_t wanted = std::min({size, pieceSize, static_cast<int64_t>(chunk.size())});
    const int64_t count = stream.Read(chunk.data(), wanted);
    if (count <= 0)
      throw EIdNoDataToRead();
    Write(std::span<const uint8_t>(chunk.data(), static_cast<size_t>(count)));
    size -= count;
  }
}

void TIdIOHandler::WriteLn(const std::string& out, const IIdTextEncoding* byteEncoding) {
  TIdBytes bytes;
  bytes.reserve(out.size() + 2);
  ChooseEncoding(byteEncoding)->AppendBytes(out, bytes);
  bytes.push_back(kCR);
  bytes.push_back(kLF);
  Write(std::span<const uint8_t>(bytes));
}

void TIdIOHandler::WriteLnRFC(const std::string& out, const IIdTextEncoding* byteEncoding) {
  if (out.starts_with("."))
    WriteLn("." + out, byteEncoding);
  else
    WriteLn(out, byteEncoding);
}

void TIdIOHandler::WriteRFCStrings(const TIdStrings& strings, bool writeTerminator,
                                   const IIdTextEncoding* byteEncoding) {
  for (const std::string& line : strings)
    WriteLnRFC(line, byteEncoding);
  if (writeTerminator)
    WriteLn(".", byteEncoding);
}

int64_t TIdIOHandler::WriteFile(const std::string& fileName, bool enableTransferFile) {
  struct stat info {};
  if (::stat(fileName.c_str(), &info) != 0 || S_ISDIR(info.st_mode))
    throw EIdFileNotFound(fileName);
  TFileStream stream(fileName, fmOpenRead | fmShareDenyNone);
  const int64_t size = stream.Size();
  if (size <= 0)
    return size;
  // The kernel copies the file to the socket when nothing has to see the bytes.
  if (enableTransferFile && !FIntercept && CanTransferFile()) {
    WriteBufferFlush();
    TransferFile(stream.Handle(), size);
  } else {
    Write(stream, 0, false);
  }
  return size;
}

void TIdIOHandler::TransferFile(int fileHandle, int64_t size) {
  CheckForDisconnect(true, true);
  int64_t offset = 0;
  while (offset < size) {
    const int chunk = static_cast<int>(std::min<int64_t>(size - offset, IdSendPieceSize));
    const int count = TransferFileRaw(fileHandle, offset, chunk);
    if (count < 0)
      HandleSendError(-count);
    if (count == 0) {  // the file shrank, or the connection is gone
      FClosedGracefully = true;
      CheckForDisconnect(true, true);
    }
    DoWork(wmWrite, count);
    offset += count;
  }
}

void TIdIOHandler::WriteDirect(const TIdBytes& buffer, int length, int offset) {
  if (const auto part = ClampedPart(buffer, length, offset); !part.empty())
    WriteDirect(part);
}

void TIdIOHandler::WriteDirect(std::span<const uint8_t> buffer) {
  CheckForDisconnect(true, true);
  if (!FIntercept) {
    SendAll(buffer.data(), buffer.size());
    return;
  }
  TIdBytes transformed(buffer.begin(), buffer.end());
  FIntercept->Send(transformed);
  SendAll(transformed.data(), transformed.size());
}

// A send that failed or timed out may have left part of a message (a frame, a
// TLS record) on the wire: nothing sent after it could be read, so the
// connection ends.
void TIdIOHandler::HandleSendError(int errorCode) {
  if (IsIdConnectionLostError(errorCode))
    FClosedGracefully = true;
  Close();
  RaiseIdSocketError(errorCode);
}

void TIdIOHandler::SendAll(const uint8_t* bytes, size_t length) {
  while (length > 0) {
    const int count = SendRaw(bytes, static_cast<int>(std::min<size_t>(length, IdSendPieceSize)));
    if (count < 0)
      HandleSendError(-count);
    if (count == 0) {
      // Nothing was taken: the connection is gone. Raise even when input is still
      // buffered, which would otherwise let this loop spin.
      FClosedGracefully = true;
      CheckForDisconnect(true, true);
    }
    CheckForDisconnect(true, false);
    DoWork(wmWrite, count);
    bytes += count;
    length -= static_cast<size_t>(count);
  }
}

// ---- sending without waiting ---------------------------------------------------

class TIdIOHandler::TQueueTransport : public TzalOutputTransport {
public:
  explicit TQueueTransport(TIdIOHandler& io) : FIO(io) {}
  size_t Send(std::span<const uint8_t> octets, bool more) override { return FIO.SendNow(octets, more); }
  size_t SendFile(int handle, uint64_t offset, size_t length) override {
    return FIO.SendFileNow(handle, offset, length);
  }
  bool CanSendFile() const override { return !FIO.FIntercept && FIO.CanTransferFile(); }

private:
  TIdIOHandler& FIO;
};

bool TIdIOHandler::SendQueued(TzalOutputQueue& queue) {
  if (!SendHeld())
    return false;
  TQueueTransport transport(*this);
  return queue.Flush(transport) && SendHeld();
}

bool TIdIOHandler::SendHeld() {
  const int result = SendHeldRaw();
  if (result < 0 && result != -Id_WSAEWOULDBLOCK)
    HandleSendError(-result);
  return result == 0;
}

size_t TIdIOHandler::SendNow(std::span<const uint8_t> octets, bool more) {
  CheckForDisconnect(true, true);
  if (FIntercept) {
    WriteDirect(octets);
    FSentWithoutWaiting += octets.size();
    FQueuedOctetsSent += octets.size();
    return octets.size();
  }
  // A transport may take less than it could (a TLS record at a time): it is
  // asked again until it takes nothing more.
  size_t sent = 0;
  while (sent < octets.size()) {
    const std::span<const uint8_t> rest = octets.subspan(sent);
    const int count = SendRawNow(rest.data(), static_cast<int>(std::min<size_t>(rest.size(), INT32_MAX)), more);
    if (count == -Id_WSAEWOULDBLOCK || count == 0)
      break;
    if (count < 0)
      HandleSendError(-count);
    DoWork(wmWrite, count);
    sent += static_cast<size_t>(count);
  }
  FSentWithoutWaiting += sent;
  FQueuedOctetsSent += sent;
  return sent;
}

size_t TIdIOHandler::SendFileNow(int fileHandle, uint64_t offset, size_t length) {
  CheckForDisconnect(true, true);
  const int count = TransferFileRawNow(fileHandle, static_cast<int64_t>(offset),
                                       static_cast<int>(std::min<size_t>(length, INT32_MAX)));
  if (count == -Id_WSAEWOULDBLOCK)
    return 0;
  if (count < 0)
    HandleSendError(-count);
  if (count == 0)  // the file ends before the octets announced: the answer cannot be completed
    throw EIdException("The file ended " + std::to_string(length) + " octets before the length it was queued with.");
  DoWork(wmWrite, count);
  FSentWithoutWaiting += static_cast<uint64_t>(count);
  FQueuedOctetsSent += static_cast<uint64_t>(count);
  return static_cast<size_t>(count);
}

void TIdIOHandler::WriteBufferOpen(int threshold) {
  std::lock_guard lock(FWriteBufferLock);
  if (FWriteBuffer)
    FWriteBuffer->Clear();
  else
    FWriteBuffer = std::make_unique<TIdBuffer>();
  FWriteBufferThreshold = threshold;
}

void TIdIOHandler::WriteBufferFlush(int byteCount) {
  std::unique_lock lock(FWriteBufferLock);
  if (!FWriteBuffer || FWriteBuffer->Size() == 0)
    return;
  TIdBuffer pending;
  if (byteCount < 0 || byteCount >= FWriteBuffer->Size()) {
    pending = std::move(*FWriteBuffer);
  } else {
    FWriteBuffer->ExtractToIdBuffer(pending, byteCount);
  }
  lock.unlock();
  WriteDirect(pending.Bytes());
}

void TIdIOHandler::WriteBufferClose() {
  try {
    WriteBufferFlush();
  } catch (...) {
    std::lock_guard lock(FWriteBufferLock);
    FWriteBuffer.reset();
    throw;
  }
  std::lock_guard lock(FWriteBufferLock);
  FWriteBuffer.reset();
}

void TIdIOHandler::WriteBufferClear() {
  std::lock_guard lock(FWriteBufferLock);
  if (FWriteBuffer)
    FWriteBuffer->Clear();
}

void TIdIOHandler::WriteBufferCancel() {
  std::lock_guard lock(FWriteBufferLock);
  FWriteBuffer.reset();
}

bool TIdIOHandler::WriteBufferingActive() const {
  std::lock_guard lock(FWriteBufferLock);
  return FWriteBuffer != nullptr;
}

}  // namespace zal
