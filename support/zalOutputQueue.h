#pragma once
// The bytes a connection has yet to send, as whole pieces (a frame, an event,
// a record) in the order they were queued. Any thread appends; one flusher at a
// time sends, and no lock is held while it does, so a peer that stops reading
// holds up only the connection's own flusher, never a thread that appends.
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <span>
#include <vector>

#include "support/zalIdTextEncoding.h"

namespace zal {

class TzalOutputQueue {
public:
  // Sends a prefix of the octets; returns how many went (fewer when the
  // transport takes no more now). Failures are exceptions.
  using TSend = std::function<size_t(std::span<const uint8_t>)>;

  // Queues a whole piece; false, with nothing queued, when the unsent octets
  // would pass aLimit. A piece that finds the queue empty is always taken.
  bool Append(TIdBytes&& aPiece, uint64_t aLimit);
  // Sends the queued pieces in order until none is left (true) or aSend took
  // less than it was given (false: the rest waits for the next flush). Returns
  // true at once when another thread is flushing: that flush sends what is
  // queued now. A failed send drops the piece it was sending.
  bool Flush(const TSend& aSend);
  // An empty buffer to build the next piece in: the storage of a small piece
  // already sent when one is kept, so a steady exchange of small frames
  // allocates nothing.
  TIdBytes SparePiece();
  // Drops every piece not being sent.
  void Clear();
  uint64_t Size() const;
  bool Empty() const { return Size() == 0; }

private:
  mutable std::mutex FLock;
  std::deque<TIdBytes> FPieces;  // the front one may be in a flusher's hands: only the flusher removes it
  size_t FFrontSent = 0;         // octets of the front piece already sent
  uint64_t FBytes = 0;           // unsent octets
  bool FFlushing = false;
  TIdBytes FSpare;  // a sent piece's storage, at most MaxSpareCapacity octets
  static constexpr size_t MaxSpareCapacity = 4096;
};

}  // namespace zal
