#pragma once
// The socket stack: the layer's own socket error codes (mapped from errno in
// this one place), the socket error exception and small stack-wide queries.
#include <string>

#include "support/zalIdException.h"

namespace zal {

// The socket error codes this layer compares. Their values are the layer's own
// numbering; every errno a socket call reports is translated by IdSocketErrorFromErrno.
enum : int {
  Id_WSAEINTR = 10004,
  Id_WSAEBADF = 10009,
  Id_WSAEACCES = 10013,
  Id_WSAEFAULT = 10014,
  Id_WSAEINVAL = 10022,
  Id_WSAEMFILE = 10024,
  Id_WSAEWOULDBLOCK = 10035,
  Id_WSAEINPROGRESS = 10036,
  Id_WSAEALREADY = 10037,
  Id_WSAENOTSOCK = 10038,
  Id_WSAEDESTADDRREQ = 10039,
  Id_WSAEMSGSIZE = 10040,
  Id_WSAEPROTOTYPE = 10041,
  Id_WSAENOPROTOOPT = 10042,
  Id_WSAEPROTONOSUPPORT = 10043,
  Id_WSAESOCKTNOSUPPORT = 10044,
  Id_WSAEOPNOTSUPP = 10045,
  Id_WSAEPFNOSUPPORT = 10046,
  Id_WSAEAFNOSUPPORT = 10047,
  Id_WSAEADDRINUSE = 10048,
  Id_WSAEADDRNOTAVAIL = 10049,
  Id_WSAENETDOWN = 10050,
  Id_WSAENETUNREACH = 10051,
  Id_WSAENETRESET = 10052,
  Id_WSAECONNABORTED = 10053,
  Id_WSAECONNRESET = 10054,
  Id_WSAENOBUFS = 10055,
  Id_WSAEISCONN = 10056,
  Id_WSAENOTCONN = 10057,
  Id_WSAESHUTDOWN = 10058,
  Id_WSAETOOMANYREFS = 10059,
  Id_WSAETIMEDOUT = 10060,
  Id_WSAECONNREFUSED = 10061,
  Id_WSAELOOP = 10062,
  Id_WSAENAMETOOLONG = 10063,
  Id_WSAEHOSTDOWN = 10064,
  Id_WSAEHOSTUNREACH = 10065,
  Id_WSAENOTEMPTY = 10066,
  Id_WSAHOST_NOT_FOUND = 11001,
};

// Translates an errno value into the layer's socket error code.
int IdSocketErrorFromErrno(int errnoValue);
// The standard description of a socket error code ("Connection reset by peer.").
std::string IdSocketErrorDescription(int errorCode);
// True for the codes that mean the connection is gone (aborted, reset, shut down, timed out).
bool IsIdConnectionLostError(int errorCode);

// A failed socket call: "Socket Error # %d\r\n%s" (code, description).
class EIdSocketError : public EIdException {
public:
  explicit EIdSocketError(int errorCode);
  EIdSocketError(int errorCode, const std::string& message) : EIdException(message), FLastError(errorCode) {}
  int LastError() const { return FLastError; }

private:
  int FLastError;
};

// The descriptor is not a socket (code 10038).
class EIdNotASocket : public EIdSocketError {
public:
  explicit EIdNotASocket(int errorCode) : EIdSocketError(errorCode) {}
};

// Raises the exception for `errorCode`: EIdNotASocket for 10038, else EIdSocketError.
[[noreturn]] void RaiseIdSocketError(int errorCode);
// Raises the exception for the current errno.
[[noreturn]] void RaiseLastIdSocketError();

// Whether this machine can open IPv6 sockets (checked once).
bool IdStackSupportsIPv6();
// Whether this machine can open IPv4 sockets (checked once).
bool IdStackSupportsIPv4();

}  // namespace zal
