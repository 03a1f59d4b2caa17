#pragma once
// Byte streams: the abstract TStream with a position and a size, TMemoryStream
// over a growable byte vector and TFileStream over a file descriptor (64-bit
// offsets). Request and response bodies and the connection's stream reads and
// writes use them.
#include <cstdint>
#include <string>

#include "support/zalIdException.h"
#include "support/zalIdTextEncoding.h"

namespace zal {

enum TSeekOrigin : uint8_t { soBeginning, soCurrent, soEnd };

class EStreamError : public EIdException {
public:
  using EIdException::EIdException;
};
class EReadError : public EStreamError {
public:
  EReadError() : EStreamError("Stream read error") {}
};
class EWriteError : public EStreamError {
public:
  EWriteError() : EStreamError("Stream write error") {}
};
// "Cannot open file \"%s\". %s" (name, system error text).
class EFOpenError : public EStreamError {
public:
  EFOpenError(const std::string& fileName, int errnoValue);
};
// "Cannot create file \"%s\". %s" (name, system error text).
class EFCreateError : public EStreamError {
public:
  EFCreateError(const std::string& fileName, int errnoValue);
};

class TStream {
public:
  virtual ~TStream() = default;

  // Reads up to `count` bytes at the position; returns the number read (0 at the end).
  virtual int64_t Read(void* buffer, int64_t count) = 0;
  // Writes `count` bytes at the position; returns the number written.
  virtual int64_t Write(const void* buffer, int64_t count) = 0;
  // Moves the position; returns the new position.
  virtual int64_t Seek(int64_t offset, TSeekOrigin origin) = 0;
  virtual int64_t Size();
  // Sets the size; growing leaves the new bytes unspecified (zero for memory
  // and files), shrinking moves a position past the end to the end.
  virtual void SetSize(int64_t newSize) = 0;

  int64_t Position() { return Seek(0, soCurrent); }
  void SetPosition(int64_t value) { Seek(value, soBeginning); }

  // Exactly `count` bytes, or EReadError / EWriteError.
  void ReadBuffer(void* buffer, int64_t count);
  void WriteBuffer(const void* buffer, int64_t count);
  // Copies `count` bytes from `source`'s position; 0 copies the whole of `source`
  // from its start. Returns the number copied.
  int64_t CopyFrom(TStream& source, int64_t count);
};

// A stream over memory. The bytes stay contiguous: Memory() / Bytes() expose them.
class TMemoryStream : public TStream {
public:
  TMemoryStream() = default;
  explicit TMemoryStream(TIdBytes bytes) : FBytes(std::move(bytes)) {}

  int64_t Read(void* buffer, int64_t count) override;
  int64_t Write(const void* buffer, int64_t count) override;
  int64_t Seek(int64_t offset, TSeekOrigin origin) override;
  int64_t Size() override { return static_cast<int64_t>(FBytes.size()); }
  void SetSize(int64_t newSize) override;

  void Clear();
  // Replaces the content with the whole of `stream` (from its start) or of a file;
  // the position becomes 0.
  void LoadFromStream(TStream& stream);
  void LoadFromFile(const std::string& fileName);
  // Writes the whole content to `stream` at its position, or to a new file.
  void SaveToStream(TStream& stream) const;
  void SaveToFile(const std::string& fileName) const;
  uint8_t* Memory() { return FBytes.data(); }
  const TIdBytes& Bytes() const { return FBytes; }
  // The whole content as text, octet for octet.
  std::string DataString() const { return std::string(FBytes.begin(), FBytes.end()); }

private:
  TIdBytes FBytes;
  int64_t FPosition = 0;
};

// File open modes: one access mode, or fmCreate (create or truncate, read and write).
enum : uint16_t {
  fmOpenRead = 0x0000,
  fmOpenWrite = 0x0001,
  fmOpenReadWrite = 0x0002,
  fmShareDenyNone = 0x0040,  // sharing flags are accepted and have no effect here
  fmCreate = 0xFF00,
};

class TFileStream : public TStream {
public:
  TFileStream(const std::string& fileName, uint16_t mode);
  ~TFileStream() override;
  TFileStream(const TFileStream&) = delete;
  TFileStream& operator=(const TFileStream&) = delete;

  int64_t Read(void* buffer, int64_t count) override;
  int64_t Write(const void* buffer, int64_t count) override;
  int64_t Seek(int64_t offset, TSeekOrigin origin) override;
  int64_t Size() override;
  void SetSize(int64_t newSize) override;

  const std::string& FileName() const { return FFileName; }
  int Handle() const { return FHandle; }

private:
  std::string FFileName;
  int FHandle = -1;
};

}  // namespace zal
