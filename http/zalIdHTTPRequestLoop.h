#pragma once
// The state of one connection's HTTP/1.1 request loop between its steps: the
// request reader, the request being read with its records, the answers waiting
// in the connection's writer, and the deadlines that bound the wait for the
// peer's next octets or for it to take more of an answer. The connection keeps it; the HTTP
// server's steps (TIdCustomHTTPServer::StepRequestLoop) act on it.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <exception>
#include <memory>
#include <optional>

#include "http/zalIdHTTP1ResponseSink.h"
#include "http/zalIdHTTPRequestInfo.h"
#include "http/zalIdHTTPRequestReader.h"
#include "http/zalIdHTTPResponseInfo.h"
#include "support/zalStream.h"

namespace zal {

// How long a request body may take: at most `idleMs` without an octet (or a
// chunk line), and the whole body (chunk lines and trailer included) no longer
// than `idleMs` plus one second per `minimumRate` octets received (the rate a
// client must keep on average; RFC 9110 15.5.9). A limit of 0 or less is none;
// the rate needs the idle limit as its grace time.
class TIdBodyDeadline {
public:
  TIdBodyDeadline(int idleMs, int minimumRate);
  std::chrono::steady_clock::time_point Deadline() const;
  // Octets of the body (`octets`), or of its framing (0), came.
  void Received(int64_t octets);

private:
  int FIdleMs;
  int FMinimumRate;
  std::chrono::steady_clock::time_point FLastProgress;
  std::chrono::steady_clock::time_point FEnd;
};

// Body octets are counted against the server-wide budget as they arrive, so
// many connections together cannot make the server hold more than it allows.
// What a request took is given back when its reservation ends.
class TIdBodyReservation {
public:
  TIdBodyReservation(std::atomic<int64_t>& held, int64_t limit) : FHeld(held), FLimit(limit) {}
  TIdBodyReservation(const TIdBodyReservation&) = delete;
  TIdBodyReservation& operator=(const TIdBodyReservation&) = delete;
  ~TIdBodyReservation() { FHeld -= FReserved; }
  // Takes `octets` more of the budget; false (taking nothing) when they do not fit.
  bool Reserve(int64_t octets);

private:
  std::atomic<int64_t>& FHeld;
  int64_t FLimit;
  int64_t FReserved = 0;
};

struct TIdHTTPRequestLoop {
  // aWriter: the connection's writer; without one the loop keeps its own.
  TIdHTTPRequestLoop(TIdHTTPRequestLimits limits, const IIdTextEncoding* encoding,
                     std::chrono::steady_clock::time_point firstByteAt, TzalOutputQueue* aWriter = nullptr);
  TIdHTTPRequestReader Reader;
  std::chrono::steady_clock::time_point FirstByteAt;  // of the request being read; unset before its first octet
  std::chrono::steady_clock::time_point IdleSince;    // when the last answer went out (or the loop began)
  // From the request's first octet until it is answered:
  std::unique_ptr<TIdHTTPRequestInfo> Request;
  std::unique_ptr<TIdHTTPResponseInfo> Response;
  std::unique_ptr<TIdBodyReservation> Reservation;
  bool HeadRead = false;
  // Once the head announced a body:
  std::unique_ptr<TStream> Body;
  std::optional<TIdBodyDeadline> BodyDeadline;

  // The answers go to the writer and leave as the socket takes them. One answer
  // waits at a time: the next request is read once the one before has gone,
  // which keeps their order and bounds what a client that does not read costs.
  TzalOutputQueue OwnWriter;
  TzalOutputQueue& Writer;
  TIdHTTP1ResponseSink Sink{Writer};
  // An answer waits for the socket: the driver waits until it takes more.
  bool Sending = false;
  // Milliseconds a waiting answer may move no octet before the connection
  // ends (0: no limit); the server's SendTimeOut unless the driver sets another.
  int SendTimeOut = 0;
  std::chrono::steady_clock::time_point SendProgress;  // when the waiting answer last moved
  // Once the answers have gone the connection ends, after lingering when
  // LingerAfterAnswer (RFC 9112 9.6), raising FailureAfterAnswer when set.
  bool CloseAfterAnswer = false;
  bool LingerAfterAnswer = false;
  std::exception_ptr FailureAfterAnswer;
  std::optional<std::chrono::steady_clock::time_point> LingerUntil;  // while lingering
};

}  // namespace zal
