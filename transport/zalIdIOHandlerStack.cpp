#include "transport/zalIdIOHandlerStack.h"

#include <fcntl.h>
#include <sys/sendfile.h>
#include <sys/socket.h>

#include <cerrno>

#include "transport/zalIdStack.h"

namespace zal {

namespace {

// The negated layer error code of a failed recv/send. On a blocking socket
// EAGAIN can only come from an expired SO_RCVTIMEO/SO_SNDTIMEO: a time-out.
int FailedTransferResult(int errnoValue) {
  if (errnoValue == EAGAIN || errnoValue == EWOULDBLOCK)
    return -Id_WSAETIMEDOUT;
  return -IdSocketErrorFromErrno(errnoValue);
}

}  // namespace

bool TIdIOHandlerStack::Readable(int msec) {
  if (FEventDriven)
    return FMayReceive && BindingAllocated();
  if (msec == IdTimeoutDefault)
    msec = IdTimeoutInfinite;
  if (!BindingAllocated())
    throw EIdConnClosedGracefully();
  return Binding()->Readable(msec < 0 ? -1 : msec);
}

int TIdIOHandlerStack::ReceiveRaw(uint8_t* buffer, int length) {
  if (FEventDriven)
    return ReceiveNow(buffer, length);
  const int handle = Binding()->Handle();
  if (handle == TIdSocketHandle::InvalidHandle)
    return -Id_WSAESHUTDOWN;  // closed by another thread after the caller's check
  for (;;) {
    const ssize_t count = ::recv(handle, buffer, static_cast<size_t>(length), 0);
    if (count >= 0)
      return static_cast<int>(count);
    if (errno != EINTR)
      return FailedTransferResult(errno);
  }
}

int TIdIOHandlerStack::ReceiveNow(uint8_t* buffer, int length) {
  const int handle = Binding()->Handle();
  if (handle == TIdSocketHandle::InvalidHandle)
    return -Id_WSAESHUTDOWN;
  for (;;) {
    const ssize_t count = ::recv(handle, buffer, static_cast<size_t>(length), MSG_DONTWAIT);
    if (count > 0 && count < length && !FInputEnds)
      FMayReceive = false;  // a stream socket fills a receive while it holds more
    if (count >= 0)
      return static_cast<int>(count);
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
      FMayReceive = false;
      return -Id_WSAEWOULDBLOCK;
    }
    if (errno != EINTR)
      return -IdSocketErrorFromErrno(errno);
  }
}

int TIdIOHandlerStack::SendRaw(const uint8_t* bytes, int length) {
  return TransferWithinStall(length, [&](int handle) {
    return ::send(handle, bytes, static_cast<size_t>(length), MSG_NOSIGNAL);
  });
}

int TIdIOHandlerStack::TransferFileRaw(int fileHandle, int64_t offset, int length) {
  return TransferWithinStall(length, [&](int handle) {
    off_t position = offset;
    return ::sendfile(handle, fileHandle, &position, static_cast<size_t>(length));
  });
}

int TIdIOHandlerStack::SendRawNow(const uint8_t* bytes, int length, bool more) {
  return TransferNow([&](int handle) {
    return ::send(handle, bytes, static_cast<size_t>(length), MSG_NOSIGNAL | MSG_DONTWAIT | (more ? MSG_MORE : 0));
  });
}

// sendfile has no flag for a call that must not wait: the socket is made
// non-blocking for the call alone.
int TIdIOHandlerStack::TransferFileRawNow(int fileHandle, int64_t offset, int length) {
  return TransferNow([&](int handle) {
    const int flags = ::fcntl(handle, F_GETFL);
    ::fcntl(handle, F_SETFL, flags | O_NONBLOCK);
    off_t position = offset;
    const ssize_t count = ::sendfile(handle, fileHandle, &position, static_cast<size_t>(length));
    const int error = errno;
    ::fcntl(handle, F_SETFL, flags);
    errno = error;
    return count;
  });
}

template <typename Transfer>
int TIdIOHandlerStack::TransferNow(Transfer aTransfer) {
  const int handle = Binding()->Handle();
  if (handle == TIdSocketHandle::InvalidHandle)
    return -Id_WSAESHUTDOWN;
  for (;;) {
    const ssize_t count = aTransfer(handle);
    if (count >= 0)
      return static_cast<int>(count);
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
      FMaySend = false;
      return -Id_WSAEWOULDBLOCK;
    }
    if (errno != EINTR)
      return -IdSocketErrorFromErrno(errno);
  }
}

template <typename Transfer>
int TIdIOHandlerStack::TransferWithinStall(int length, Transfer aTransfer) {
  const int handle = Binding()->Handle();
  if (handle == TIdSocketHandle::InvalidHandle)
    return -Id_WSAESHUTDOWN;
  for (;;) {
    if (FStalled && !LimitCallToStall())
      return -Id_WSAETIMEDOUT;
    // A call that returns short may have waited already: the stall began with it.
    const auto started = FStalled ? std::chrono::steady_clock::time_point() : std::chrono::steady_clock::now();
    const ssize_t count = aTransfer(handle);
    if (count < 0 && errno == EINTR)
      continue;
    if (count < 0)
      return FailedTransferResult(errno);
    if (count < length)
      BeginStall(started);  // the kernel's buffer is full
    else
      EndStall();
    return static_cast<int>(count);
  }
}

void TIdIOHandlerStack::BeginStall(std::chrono::steady_clock::time_point aStart) {
  if (FStalled)
    return;
  FStalled = true;
  socklen_t size = sizeof(FSendTimeOut);
  if (::getsockopt(Binding()->Handle(), SOL_SOCKET, SO_SNDTIMEO, &FSendTimeOut, &size) != 0)
    FSendTimeOut = {};
  const auto timeOut = std::chrono::seconds(FSendTimeOut.tv_sec) + std::chrono::microseconds(FSendTimeOut.tv_usec);
  if (timeOut.count() > 0)
    FStallDeadline = aStart + timeOut;
}

bool TIdIOHandlerStack::LimitCallToStall() {
  if (!FStallDeadline)
    return true;  // no send time-out: a stall may last
  const auto left =
      std::chrono::duration_cast<std::chrono::microseconds>(*FStallDeadline - std::chrono::steady_clock::now());
  if (left.count() <= 0)
    return false;
  const timeval limit{static_cast<time_t>(left.count() / 1000000), static_cast<suseconds_t>(left.count() % 1000000)};
  ::setsockopt(Binding()->Handle(), SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof(limit));
  return true;
}

void TIdIOHandlerStack::EndStall() {
  if (!FStalled)
    return;
  FStalled = false;
  if (FStallDeadline)
    ::setsockopt(Binding()->Handle(), SOL_SOCKET, SO_SNDTIMEO, &FSendTimeOut, sizeof(FSendTimeOut));
  FStallDeadline.reset();
}

}  // namespace zal
