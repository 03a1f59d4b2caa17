#pragma once
// The bytes a connection has yet to send, as whole pieces (a frame, an event,
// a record, an answer's header or body) in the order they were queued. Any
// thread appends; one flusher at a time sends, and no lock is held while it
// does, so a peer that stops reading holds up only the connection's own
// flusher, never a thread that appends.
//
// A piece may also refer to octets that are not in memory: a region of a file
// or a stream (TzalOutputSource), read only as it goes out. A file goes from
// its descriptor to the socket (sendfile) where the transport allows it; other
// sources are read a slice at a time, and only that slice counts as queued.
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <vector>

#include "support/zalIdTextEncoding.h"

namespace zal {

// Octets a piece reads as it is sent.
class TzalOutputSource {
public:
  virtual ~TzalOutputSource() = default;
  // A file descriptor the kernel can send from (at the piece's own offsets), or -1.
  virtual int FileHandle() const { return -1; }
  // The next octets in order, into aBuffer; 0 when there are none.
  virtual size_t Read(std::span<uint8_t> aBuffer) = 0;
};

// Where a flush sends. Each call sends what the transport takes now (fewer
// octets, or none, when it takes no more); failures are exceptions.
class TzalOutputTransport {
public:
  virtual ~TzalOutputTransport() = default;
  // aMore: further octets follow at once (the transport may hold a short piece back for them).
  virtual size_t Send(std::span<const uint8_t> aOctets, bool aMore) = 0;
  // Octets of a file by descriptor, from aOffset; only asked when CanSendFile.
  virtual size_t SendFile(int aHandle, uint64_t aOffset, size_t aLength) = 0;
  virtual bool CanSendFile() const = 0;
};

class TzalOutputQueue {
public:
  // Sends a prefix of the octets; returns how many went (fewer when the
  // transport takes no more now). Failures are exceptions.
  using TSend = std::function<size_t(std::span<const uint8_t>)>;
  // Octets read from a source per slice, when they pass through memory.
  static constexpr size_t SourceSliceSize = 16384;
  // Pieces in memory are joined up to this size while none of them has begun to go out.
  static constexpr size_t JoinedPieceSize = 16384;

  // Queues a whole piece; false, with nothing queued, when the unsent octets
  // would pass aLimit. A piece that finds the queue empty is always taken.
  bool Append(TIdBytes&& aPiece, uint64_t aLimit);
  // Queues aLength octets of a source; they count against no bound until a
  // slice of them is read.
  void Append(std::unique_ptr<TzalOutputSource> aSource, uint64_t aLength);
  // Sends the queued pieces in order until none is left (true) or the
  // transport took less than it was given (false: the rest waits for the next
  // flush). Returns true at once when another thread is flushing: that flush
  // sends what is queued now. A failed send drops the piece it was sending; so
  // does a source that ends before its length, which raises.
  bool Flush(TzalOutputTransport& aTransport);
  bool Flush(const TSend& aSend);
  // An empty buffer to build the next piece in: the storage of a small piece
  // already sent when one is kept, so a steady exchange of small frames
  // allocates nothing.
  TIdBytes SparePiece();
  // Drops every piece not being sent.
  void Clear();
  // Unsent octets held in memory (a source's unread octets are not).
  uint64_t Size() const;
  // Nothing is left to send, in memory or in a source.
  bool Empty() const;

private:
  struct Piece {
    TIdBytes Octets;  // in memory; for a source, the slice read last
    std::unique_ptr<TzalOutputSource> Source;
    uint64_t SourceOffset = 0;  // octets of the source sent or read so far
    uint64_t SourceLeft = 0;    // octets of the source not yet sent or read
  };
  // The front piece's next octets in memory: a new slice of its source when
  // the last one has gone. False when no octet is left to send from memory.
  bool ReadSlice(Piece& aPiece, std::unique_lock<std::mutex>& aLock);
  void DropFront();

  mutable std::mutex FLock;
  std::deque<Piece> FPieces;  // the front one may be in a flusher's hands: only the flusher removes it
  size_t FFrontSent = 0;      // octets of the front piece's Octets already sent
  uint64_t FBytes = 0;        // unsent octets in memory
  uint64_t FSourceBytes = 0;  // unsent octets in sources, not yet read
  bool FFlushing = false;
  TIdBytes FSpare;  // a sent piece's storage, at most MaxSpareCapacity octets
  static constexpr size_t MaxSpareCapacity = 4096;
};

}  // namespace zal
