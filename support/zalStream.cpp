#include "support/zalStream.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

namespace zal {

namespace {

std::string FileErrorText(const char* pattern, const std::string& fileName, int errnoValue) {
  std::string text = pattern;
  text.replace(text.find("%s"), 2, fileName);
  text.replace(text.find("%s"), 2, std::strerror(errnoValue));
  return text;
}

constexpr int64_t kCopyChunk = 65536;

}  // namespace

EFOpenError::EFOpenError(const std::string& fileName, int errnoValue)
    : EStreamError(FileErrorText("Cannot open file \"%s\". %s", fileName, errnoValue)) {}

EFCreateError::EFCreateError(const std::string& fileName, int errnoValue)
    : EStreamError(FileErrorText("Cannot create file \"%s\". %s", fileName, errnoValue)) {}

int64_t TStream::Size() {
  const int64_t position = Seek(0, soCurrent);
  const int64_t size = Seek(0, soEnd);
  Seek(position, soBeginning);
  return size;
}

void TStream::ReadBuffer(void* buffer, int64_t count) {
  if (count > 0 && Read(buffer, count) != count)
    throw EReadError();
}

void TStream::WriteBuffer(const void* buffer, int64_t count) {
  if (count > 0 && Write(buffer, count) != count)
    throw EWriteError();
}

int64_t TStream::CopyFrom(TStream& source, int64_t count) {
  if (count == 0) {
    source.SetPosition(0);
    count = source.Size();
  }
  std::vector<uint8_t> chunk(static_cast<size_t>(std::min(count, kCopyChunk)));
  int64_t copied = 0;
  while (copied < count) {
    const int64_t n = std::min<int64_t>(count - copied, static_cast<int64_t>(chunk.size()));
    source.ReadBuffer(chunk.data(), n);
    WriteBuffer(chunk.data(), n);
    copied += n;
  }
  return copied;
}

int64_t TMemoryStream::Read(void* buffer, int64_t count) {
  const int64_t available = Size() - FPosition;
  const int64_t n = std::clamp<int64_t>(count, 0, std::max<int64_t>(available, 0));
  if (n > 0)
    std::memcpy(buffer, FBytes.data() + FPosition, static_cast<size_t>(n));
  FPosition += n;
  return n;
}

int64_t TMemoryStream::Write(const void* buffer, int64_t count) {
  if (count <= 0)
    return 0;
  const int64_t end = FPosition + count;
  if (end > Size())
    FBytes.resize(static_cast<size_t>(end));
  std::memcpy(FBytes.data() + FPosition, buffer, static_cast<size_t>(count));
  FPosition = end;
  return count;
}

int64_t TMemoryStream::Seek(int64_t offset, TSeekOrigin origin) {
  const int64_t base = origin == soBeginning ? 0 : origin == soCurrent ? FPosition : Size();
  FPosition = std::max<int64_t>(base + offset, 0);
  return FPosition;
}

void TMemoryStream::SetSize(int64_t newSize) {
  FBytes.resize(static_cast<size_t>(std::max<int64_t>(newSize, 0)));
  FPosition = std::min(FPosition, Size());
}

void TMemoryStream::Clear() {
  TIdBytes().swap(FBytes);
  FPosition = 0;
}

void TMemoryStream::LoadFromStream(TStream& stream) {
  stream.SetPosition(0);
  const int64_t size = stream.Size();
  FBytes.resize(static_cast<size_t>(std::max<int64_t>(size, 0)));
  FPosition = 0;
  stream.ReadBuffer(FBytes.data(), size);
}

void TMemoryStream::LoadFromFile(const std::string& fileName) {
  TFileStream file(fileName, fmOpenRead | fmShareDenyNone);
  LoadFromStream(file);
}

void TMemoryStream::SaveToStream(TStream& stream) const {
  stream.WriteBuffer(FBytes.data(), static_cast<int64_t>(FBytes.size()));
}

void TMemoryStream::SaveToFile(const std::string& fileName) const {
  TFileStream file(fileName, fmCreate);
  SaveToStream(file);
}

TFileStream::TFileStream(const std::string& fileName, uint16_t mode) : FFileName(fileName) {
  if (mode == fmCreate) {
    FHandle = ::open(fileName.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (FHandle < 0)
      throw EFCreateError(fileName, errno);
    return;
  }
  const int access = (mode & 3) == fmOpenWrite ? O_WRONLY : (mode & 3) == fmOpenReadWrite ? O_RDWR : O_RDONLY;
  FHandle = ::open(fileName.c_str(), access | O_CLOEXEC);
  if (FHandle < 0)
    throw EFOpenError(fileName, errno);
}

TFileStream::~TFileStream() {
  if (FHandle >= 0)
    ::close(FHandle);
}

namespace {

// Repeats `transfer(done)` (a read or write of the rest) until `count` bytes
// moved, the file ends, or an error other than an interruption occurs.
template <typename Transfer>
int64_t TransferAll(int64_t count, Transfer transfer) {
  int64_t total = 0;
  while (total < count) {
    const ssize_t n = transfer(total);
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0)
      break;
    total += n;
  }
  return total;
}

}  // namespace

int64_t TFileStream::Read(void* buffer, int64_t count) {
  auto* out = static_cast<uint8_t*>(buffer);
  return TransferAll(count, [&](int64_t done) { return ::read(FHandle, out + done, static_cast<size_t>(count - done)); });
}

int64_t TFileStream::Write(const void* buffer, int64_t count) {
  const auto* in = static_cast<const uint8_t*>(buffer);
  return TransferAll(count, [&](int64_t done) { return ::write(FHandle, in + done, static_cast<size_t>(count - done)); });
}

int64_t TFileStream::Seek(int64_t offset, TSeekOrigin origin) {
  const int whence = origin == soBeginning ? SEEK_SET : origin == soCurrent ? SEEK_CUR : SEEK_END;
  const off_t position = ::lseek(FHandle, static_cast<off_t>(offset), whence);
  return position < 0 ? -1 : static_cast<int64_t>(position);
}

int64_t TFileStream::Size() {
  struct stat info {};
  if (::fstat(FHandle, &info) != 0)
    return -1;
  return static_cast<int64_t>(info.st_size);
}

void TFileStream::SetSize(int64_t newSize) {
  const int64_t position = Position();
  if (::ftruncate(FHandle, static_cast<off_t>(newSize)) != 0)
    throw EWriteError();
  if (position > newSize)
    Seek(newSize, soBeginning);
}

}  // namespace zal
