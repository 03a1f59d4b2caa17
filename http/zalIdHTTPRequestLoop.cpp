#include "http/zalIdHTTPRequestLoop.h"

#include <algorithm>

namespace zal {

using Clock = std::chrono::steady_clock;

TIdBodyDeadline::TIdBodyDeadline(int idleMs, int minimumRate)
    : FIdleMs(idleMs), FMinimumRate(idleMs > 0 ? minimumRate : 0), FLastProgress(Clock::now()),
      FEnd(FLastProgress + std::chrono::milliseconds(std::max(idleMs, 0))) {}

Clock::time_point TIdBodyDeadline::Deadline() const {
  if (FIdleMs <= 0)
    return Clock::time_point::max();
  const Clock::time_point idleEnd = FLastProgress + std::chrono::milliseconds(FIdleMs);
  return FMinimumRate > 0 ? std::min(idleEnd, FEnd) : idleEnd;
}

void TIdBodyDeadline::Received(int64_t octets) {
  FLastProgress = Clock::now();
  if (FMinimumRate > 0)
    FEnd += std::chrono::microseconds(octets * 1000000 / FMinimumRate);
}

bool TIdBodyReservation::Reserve(int64_t octets) {
  const int64_t before = FHeld.fetch_add(octets);
  if (FLimit >= 0 && octets > FLimit - before) {
    FHeld -= octets;
    return false;
  }
  FReserved += octets;
  return true;
}

TIdHTTPRequestLoop::TIdHTTPRequestLoop(TIdHTTPRequestLimits limits, const IIdTextEncoding* encoding,
                                       Clock::time_point firstByteAt, TzalOutputQueue* aWriter)
    : Reader(limits, encoding), FirstByteAt(firstByteAt), IdleSince(Clock::now()),
      Writer(aWriter ? *aWriter : OwnWriter) {}

}  // namespace zal
