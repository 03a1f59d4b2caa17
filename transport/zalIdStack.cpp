#include "transport/zalIdStack.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace zal {

int IdSocketErrorFromErrno(int e) {
  switch (e) {
    case EINTR: return Id_WSAEINTR;
    case EBADF: return Id_WSAENOTSOCK;  // a closed or invalid descriptor is no socket
    case ENOTSOCK: return Id_WSAENOTSOCK;
    case EACCES:
    case EPERM: return Id_WSAEACCES;
    case EFAULT: return Id_WSAEFAULT;
    case EINVAL: return Id_WSAEINVAL;
    case EMFILE:
    case ENFILE: return Id_WSAEMFILE;
    case EAGAIN: return Id_WSAEWOULDBLOCK;
    case EINPROGRESS: return Id_WSAEINPROGRESS;
    case EALREADY: return Id_WSAEALREADY;
    case EDESTADDRREQ: return Id_WSAEDESTADDRREQ;
    case EMSGSIZE: return Id_WSAEMSGSIZE;
    case EPROTOTYPE: return Id_WSAEPROTOTYPE;
    case ENOPROTOOPT: return Id_WSAENOPROTOOPT;
    case EPROTONOSUPPORT: return Id_WSAEPROTONOSUPPORT;
    case ESOCKTNOSUPPORT: return Id_WSAESOCKTNOSUPPORT;
    case EOPNOTSUPP: return Id_WSAEOPNOTSUPP;
    case EPFNOSUPPORT: return Id_WSAEPFNOSUPPORT;
    case EAFNOSUPPORT: return Id_WSAEAFNOSUPPORT;
    case EADDRINUSE: return Id_WSAEADDRINUSE;
    case EADDRNOTAVAIL: return Id_WSAEADDRNOTAVAIL;
    case ENETDOWN: return Id_WSAENETDOWN;
    case ENETUNREACH: return Id_WSAENETUNREACH;
    case ENETRESET: return Id_WSAENETRESET;
    case ECONNABORTED: return Id_WSAECONNABORTED;
    case ECONNRESET:
    case EPIPE: return Id_WSAECONNRESET;
    case ENOBUFS:
    case ENOMEM: return Id_WSAENOBUFS;
    case EISCONN: return Id_WSAEISCONN;
    case ENOTCONN: return Id_WSAENOTCONN;
    case ESHUTDOWN: return Id_WSAESHUTDOWN;
    case ETOOMANYREFS: return Id_WSAETOOMANYREFS;
    case ETIMEDOUT: return Id_WSAETIMEDOUT;
    case ECONNREFUSED: return Id_WSAECONNREFUSED;
    case ELOOP: return Id_WSAELOOP;
    case ENAMETOOLONG: return Id_WSAENAMETOOLONG;
    case EHOSTDOWN: return Id_WSAEHOSTDOWN;
    case EHOSTUNREACH: return Id_WSAEHOSTUNREACH;
    case ENOTEMPTY: return Id_WSAENOTEMPTY;
    default: return e;
  }
}

std::string IdSocketErrorDescription(int code) {
  switch (code) {
    case Id_WSAEINTR: return "Interrupted system call.";
    case Id_WSAEBADF: return "Bad file number.";
    case Id_WSAEACCES: return "Access denied.";
    case Id_WSAEFAULT: return "Bad address.";
    case Id_WSAEINVAL: return "Invalid argument.";
    case Id_WSAEMFILE: return "Too many open files.";
    case Id_WSAEWOULDBLOCK: return "Operation would block.";
    case Id_WSAEINPROGRESS: return "Operation now in progress.";
    case Id_WSAEALREADY: return "Operation already in progress.";
    case Id_WSAENOTSOCK: return "Socket operation on non-socket.";
    case Id_WSAEDESTADDRREQ: return "Destination address required.";
    case Id_WSAEMSGSIZE: return "Message too long.";
    case Id_WSAEPROTOTYPE: return "Protocol wrong type for socket.";
    case Id_WSAENOPROTOOPT: return "Bad protocol option.";
    case Id_WSAEPROTONOSUPPORT: return "Protocol not supported.";
    case Id_WSAESOCKTNOSUPPORT: return "Socket type not supported.";
    case Id_WSAEOPNOTSUPP: return "Operation not supported on socket.";
    case Id_WSAEPFNOSUPPORT: return "Protocol family not supported.";
    case Id_WSAEAFNOSUPPORT: return "Address family not supported by protocol family.";
    case Id_WSAEADDRINUSE: return "Address already in use.";
    case Id_WSAEADDRNOTAVAIL: return "Cannot assign requested address.";
    case Id_WSAENETDOWN: return "Network is down.";
    case Id_WSAENETUNREACH: return "Network is unreachable.";
    case Id_WSAENETRESET: return "Net dropped connection or reset.";
    case Id_WSAECONNABORTED: return "Software caused connection abort.";
    case Id_WSAECONNRESET: return "Connection reset by peer.";
    case Id_WSAENOBUFS: return "No buffer space available.";
    case Id_WSAEISCONN: return "Socket is already connected.";
    case Id_WSAENOTCONN: return "Socket is not connected.";
    case Id_WSAESHUTDOWN: return "Cannot send or receive after socket is closed.";
    case Id_WSAETOOMANYREFS: return "Too many references, cannot splice.";
    case Id_WSAETIMEDOUT: return "Connection timed out.";
    case Id_WSAECONNREFUSED: return "Connection refused.";
    case Id_WSAELOOP: return "Too many levels of symbolic links.";
    case Id_WSAENAMETOOLONG: return "File name too long.";
    case Id_WSAEHOSTDOWN: return "Host is down.";
    case Id_WSAEHOSTUNREACH: return "No route to host.";
    case Id_WSAENOTEMPTY: return "Directory not empty";
    case Id_WSAHOST_NOT_FOUND: return "Host not found.";
    default: return "";
  }
}

bool IsIdConnectionLostError(int code) {
  return code == Id_WSAECONNABORTED || code == Id_WSAECONNRESET || code == Id_WSAESHUTDOWN ||
         code == Id_WSAETIMEDOUT;
}

namespace {
std::string SocketErrorMessage(int code) {
  char prefix[48];
  std::snprintf(prefix, sizeof(prefix), "Socket Error # %d\r\n", code);
  return prefix + IdSocketErrorDescription(code);
}
}  // namespace

EIdSocketError::EIdSocketError(int errorCode)
    : EIdException(SocketErrorMessage(errorCode)), FLastError(errorCode) {}

void RaiseIdSocketError(int errorCode) {
  if (errorCode == Id_WSAENOTSOCK)
    throw EIdNotASocket(errorCode);
  throw EIdSocketError(errorCode);
}

void RaiseLastIdSocketError() { RaiseIdSocketError(IdSocketErrorFromErrno(errno)); }

namespace {
bool CanOpenSocket(int family) {
  const int fd = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0)
    return false;
  ::close(fd);
  return true;
}
}  // namespace

bool IdStackSupportsIPv6() {
  static const bool supported = CanOpenSocket(AF_INET6);
  return supported;
}

bool IdStackSupportsIPv4() {
  static const bool supported = CanOpenSocket(AF_INET);
  return supported;
}

}  // namespace zal
