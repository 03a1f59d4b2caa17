#include "support/zalOutputQueue.h"

namespace zal {

bool TzalOutputQueue::Append(TIdBytes&& aPiece, uint64_t aLimit) {
  if (aPiece.empty())
    return true;
  std::lock_guard lock(FLock);
  if (FBytes > 0 && FBytes + aPiece.size() > aLimit)
    return false;
  FBytes += aPiece.size();
  FPieces.push_back(std::move(aPiece));  // references to the front stay valid
  return true;
}

bool TzalOutputQueue::Flush(const TSend& aSend) {
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
  while (!FPieces.empty()) {
    const TIdBytes& piece = FPieces.front();
    const std::span<const uint8_t> rest = std::span<const uint8_t>(piece).subspan(FFrontSent);
    lock.unlock();
    size_t sent = 0;
    try {
      sent = aSend(rest);
    } catch (...) {
      lock.lock();
      FBytes -= piece.size() - FFrontSent;
      FFrontSent = 0;
      FPieces.pop_front();
      throw;
    }
    lock.lock();
    FBytes -= sent;
    if (sent < rest.size()) {
      FFrontSent += sent;
      return false;
    }
    FFrontSent = 0;
    if (FSpare.capacity() == 0 && FPieces.front().capacity() <= MaxSpareCapacity)
      FSpare = std::move(FPieces.front());
    FPieces.pop_front();
  }
  return true;
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
    FBytes -= FPieces.back().size();
    FPieces.pop_back();
  }
  if (!keepFront) {
    FBytes = 0;
    FFrontSent = 0;
  }
}

uint64_t TzalOutputQueue::Size() const {
  std::lock_guard lock(FLock);
  return FBytes;
}

}  // namespace zal
