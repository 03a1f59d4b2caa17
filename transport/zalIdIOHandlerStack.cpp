#include "transport/zalIdIOHandlerStack.h"

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
  if (msec == IdTimeoutDefault)
    msec = IdTimeoutInfinite;
  if (!BindingAllocated())
    throw EIdConnClosedGracefully();
  return Binding()->Readable(msec < 0 ? -1 : msec);
}

int TIdIOHandlerStack::ReceiveRaw(uint8_t* buffer, int length) {
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

int TIdIOHandlerStack::SendRaw(const uint8_t* bytes, int length) {
  const int handle = Binding()->Handle();
  if (handle == TIdSocketHandle::InvalidHandle)
    return -Id_WSAESHUTDOWN;
  for (;;) {
    const ssize_t count = ::send(handle, bytes, static_cast<size_t>(length), MSG_NOSIGNAL);
    if (count >= 0)
      return static_cast<int>(count);
    if (errno != EINTR)
      return FailedTransferResult(errno);
  }
}

int TIdIOHandlerStack::TransferFileRaw(int fileHandle, int64_t offset, int length) {
  const int handle = Binding()->Handle();
  if (handle == TIdSocketHandle::InvalidHandle)
    return -Id_WSAESHUTDOWN;
  for (;;) {
    off_t position = offset;
    const ssize_t count = ::sendfile(handle, fileHandle, &position, static_cast<size_t>(length));
    if (count >= 0)
      return static_cast<int>(count);
    if (errno != EINTR)
      return FailedTransferResult(errno);
  }
}

}  // namespace zal
