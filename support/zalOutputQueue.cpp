#include "support/zalOutputQueue.h"

#include <algorithm>

#include "support/zalIdException.h"

namespace zal {

namespace {

// The most octets one call hands the kernel from a file.
constexpr uint64_t kMaxFileSend = uint64_t{1} << 30;

class TSendOnly : public TzalOutputTransport {
public:
  explicit TSendOnly(const TzalOutputQueue::TSend& aSend) : FSend(aSend) {}
  size_t Send(std::span<const uint8_t> aOctets, bool) override { return FSend(aOctets); }
  size_t SendFile(int, uint64_t, size_t) override { return 0; }
  bool CanSendFile() const override { return false; }

private:
  const TzalOutputQueue::TSend& FSend;
};

}  // namespace

bool TzalOutputQueue::Append(TIdBytes&& aPiece, uint64_t aLimit) {
  if (aPiece.empty())
    return true;
  std::lock_guard lock(FLock);
  if (FBytes > 0 && FBytes + aPiece.size() > aLimit)
    return false;
  FBytes += aPiece.size();
  // A small piece joins the one before it while that one has not begun to go
  // out: an answer's header and short body, or a burst of small frames, leave
  // in one send (under TLS, one record).
  if (!FPieces.empty() && (FPieces.size() > 1 || (!FFlushing && FFrontSent == 0))) {
    Piece& last = FPieces.back();
    if (!last.Source && last.Octets.size() + aPiece.size() <= JoinedPieceSize) {
      last.Octets.insert(last.Octets.end(), aPiece.begin(), aPiece.end());
      return true;
    }
  }
  FPieces.push_back(Piece{std::move(aPiece), nullptr});  // references to the front stay valid
  return true;
}

void TzalOutputQueue::Append(std::unique_ptr<TzalOutputSource> aSource, uint64_t aLength) {
  if (aLength == 0)
    return;
  std::lock_guard lock(FLock);
  FSourceBytes += aLength;
  FPieces.push_back(Piece{TIdBytes(), std::move(aSource), 0, aLength});
}

bool TzalOutputQueue::Flush(const TSend& aSend) {
  TSendOnly transport(aSend);
  return Flush(transport);
}

bool TzalOutputQueue::Flush(TzalOutputTransport& aTransport) {
  std::unique_lock lock(FLock);
  if (FFlushing)
    return true;
  FFlushing = true;
  struct EndsFlush {
    TzalOutputQueue& queue;
    std::unique_lock<std::mutex>& lock;
    ~EndsFlush() {
      if (!lock.owns_lock())
        lock.lock();
      queue.FFlushing = false;
    }
  } ends{*this, lock};
  try {
    while (!FPieces.empty()) {
      Piece& piece = FPieces.front();
      const bool fromFile = FFrontSent == piece.Octets.size() && piece.SourceLeft > 0 &&
                            piece.Source->FileHandle() >= 0 && aTransport.CanSendFile();
      if (fromFile) {
        const size_t length = static_cast<size_t>(std::min(piece.SourceLeft, kMaxFileSend));
        lock.unlock();
        const size_t sent = aTransport.SendFile(piece.Source->FileHandle(), piece.SourceOffset, length);
        lock.lock();
        piece.SourceOffset += sent;
        piece.SourceLeft -= sent;
        FSourceBytes -= sent;
        if (sent < length)
          return false;
      } else if (ReadSlice(piece, lock)) {
        const std::span<const uint8_t> rest = std::span<const uint8_t>(piece.Octets).subspan(FFrontSent);
        const bool more = FPieces.size() > 1 || piece.SourceLeft > 0;
        lock.unlock();
        const size_t sent = aTransport.Send(rest, more);
        lock.lock();
        FBytes -= sent;
        FFrontSent += sent;
        if (sent < rest.size())
          return false;
      }
      if (FFrontSent == piece.Octets.size() && piece.SourceLeft == 0)
        DropFront();
    }
  } catch (...) {
    if (!lock.owns_lock())
      lock.lock();
    DropFront();
    throw;
  }
  return true;
}

bool TzalOutputQueue::ReadSlice(Piece& aPiece, std::unique_lock<std::mutex>& aLock) {
  if (FFrontSent < aPiece.Octets.size())
    return true;
  if (aPiece.SourceLeft == 0)
    return false;
  const size_t length = static_cast<size_t>(std::min<uint64_t>(aPiece.SourceLeft, SourceSliceSize));
  // The slice counts as in memory from now on, so that a read that fails
  // leaves the counts right for dropping the piece.
  aPiece.Octets.resize(length);
  aPiece.SourceOffset += length;
  aPiece.SourceLeft -= length;
  FSourceBytes -= length;
  FBytes += length;
  FFrontSent = 0;
  aLock.unlock();  // only the flusher touches the front piece
  size_t read = 0;
  while (read < length) {
    const size_t count = aPiece.Source->Read(std::span<uint8_t>(aPiece.Octets).subspan(read));
    if (count == 0)
      break;
    read += count;
  }
  aLock.lock();
  if (read < length)
    throw EIdException("The body ended " + std::to_string(length - read + aPiece.SourceLeft) +
                       " octets before the length it was queued with.");
  return true;
}

void TzalOutputQueue::DropFront() {
  Piece& piece = FPieces.front();
  FBytes -= piece.Octets.size() - FFrontSent;
  FSourceBytes -= piece.SourceLeft;
  FFrontSent = 0;
  if (FSpare.capacity() == 0 && !piece.Source && piece.Octets.capacity() <= MaxSpareCapacity)
    FSpare = std::move(piece.Octets);
  FPieces.pop_front();
}

TIdBytes TzalOutputQueue::SparePiece() {
  std::lock_guard lock(FLock);
  TIdBytes spare = std::move(FSpare);
  FSpare = TIdBytes();
  spare.clear();
  return spare;
}

void TzalOutputQueue::Clear() {
  std::lock_guard lock(FLock);
  const bool keepFront = FFlushing && !FPieces.empty();
  while (FPieces.size() > (keepFront ? 1u : 0u)) {
    FBytes -= FPieces.back().Octets.size();
    FSourceBytes -= FPieces.back().SourceLeft;
    FPieces.pop_back();
  }
  if (!keepFront) {
    FBytes = 0;
    FSourceBytes = 0;
    FFrontSent = 0;
  }
}

uint64_t TzalOutputQueue::Size() const {
  std::lock_guard lock(FLock);
  return FBytes;
}

bool TzalOutputQueue::Empty() const {
  std::lock_guard lock(FLock);
  return FBytes == 0 && FSourceBytes == 0;
}

}  // namespace zal
