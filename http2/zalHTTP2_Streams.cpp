#include "http2/zalHTTP2_Streams.h"

#include <algorithm>

namespace zal {

namespace {
constexpr int64_t kMaxWindowSize = 2147483647;  // 2^31-1, RFC 9113 6.9.1
}

// ---------------------------------------------------------------- request

std::string TzalHTTP2Request::GetCookiesHeader() const {
  std::string header;
  for (const std::string& cookie : FCookies) {
    if (!header.empty())
      header += ';';
    header += cookie;
  }
  return header;
}

// ---------------------------------------------------------------- stream records

TzalHTTP2Request& TzalHTTP2_StreamResponse::Request() {
  if (!FRequest)
    FRequest = std::make_unique<TzalHTTP2Request>();
  return *FRequest;
}

TzalHTTP2_Frame_Data& TzalHTTP2_StreamResponse::BodyFrame() {
  if (!FFrame_Data) {
    FFrame_Data = std::make_unique<TzalHTTP2_Frame_Data>(h2frServerRead);
    FFrame_Data->SetStreamIdentifier(FStreamIdentifier);
  }
  return *FFrame_Data;
}

TzalHTTP2_StreamResponse* TzalHTTP2_StreamResponses::Find(int32_t aStreamIdentifier) const {
  const auto it = FItems.find(aStreamIdentifier);
  return it == FItems.end() ? nullptr : it->second.get();
}

TzalHTTP2_StreamResponse& TzalHTTP2_StreamResponses::Add(int32_t aStreamIdentifier, Th2StreamState aState,
                                                        int64_t aWindowSize) {
  auto& slot = FItems[aStreamIdentifier];
  slot = std::make_unique<TzalHTTP2_StreamResponse>(aStreamIdentifier, aState, aWindowSize);
  return *slot;
}

int TzalHTTP2_StreamResponses::ConcurrentStreams(bool aOdd) const {
  int count = 0;
  for (const auto& [id, stream] : FItems) {
    const Th2StreamState state = stream->StreamState();
    if (((id & 1) != 0) == aOdd &&
        (state == h2ssOpen || state == h2ssHalfClosedLocal || state == h2ssHalfClosedRemote))
      ++count;
  }
  return count;
}

int TzalHTTP2_StreamResponses::CountOfParity(bool aOdd) const {
  return static_cast<int>(std::count_if(FItems.begin(), FItems.end(),
                                        [aOdd](const auto& aItem) { return ((aItem.first & 1) != 0) == aOdd; }));
}

// ---------------------------------------------------------------- queued DATA

TzalHTTP2_Write_Data_Frame::TzalHTTP2_Write_Data_Frame(int32_t aStreamIdentifier, TIdBytes aData, bool aEndStream)
    : FStreamIdentifier(aStreamIdentifier), FData(std::move(aData)), FRemaining(FData.size()), FEndStream(aEndStream) {}

TzalHTTP2_Write_Data_Frame::TzalHTTP2_Write_Data_Frame(int32_t aStreamIdentifier, TzalHTTP2DataSource aSource,
                                                       uint64_t aLength, bool aEndStream)
    : FStreamIdentifier(aStreamIdentifier), FSource(std::move(aSource)), FRemaining(aLength), FEndStream(aEndStream) {}

bool TzalHTTP2_Write_Data_Frame::ReadInto(TIdBytes& aOutput, size_t n) {
  n = static_cast<size_t>(std::min<uint64_t>(n, FRemaining));
  if (!FSource) {
    aOutput.insert(aOutput.end(), FData.begin() + static_cast<long>(FOffset),
                   FData.begin() + static_cast<long>(FOffset + n));
    FOffset += n;
    FRemaining -= n;
    return true;
  }
  const size_t start = aOutput.size();
  aOutput.resize(start + n);
  size_t got = 0;
  while (got < n) {
    const size_t read = FSource(std::span<uint8_t>(aOutput.data() + start + got, n - got));
    if (read == 0)
      break;
    got += read;
  }
  aOutput.resize(start + got);
  FRemaining -= got;
  if (got < n) {
    FRemaining = 0;  // the source ended before its announced length
    return false;
  }
  return true;
}

TzalHTTP2_Write_Data_Frames::SendStream& TzalHTTP2_Write_Data_Frames::StreamRecord(int32_t aStreamIdentifier) {
  auto [it, added] = FStreams.try_emplace(aStreamIdentifier);
  if (added)
    it->second.Window = FInitialWindowSize;
  return it->second;
}

int64_t TzalHTTP2_Write_Data_Frames::StreamWindowSize(int32_t aStreamIdentifier) {
  std::lock_guard lock(FLock);
  const auto it = FStreams.find(aStreamIdentifier);
  return it == FStreams.end() ? FInitialWindowSize : it->second.Window;
}

uint64_t TzalHTTP2_Write_Data_Frames::QueuedOctets() {
  std::lock_guard lock(FLock);
  return FQueuedOctets;
}

bool TzalHTTP2_Write_Data_Frames::HeldBack() {
  std::lock_guard lock(FLock);
  return FHeldBack;
}

uint64_t TzalHTTP2_Write_Data_Frames::SentOctets() {
  std::lock_guard lock(FLock);
  return FSentOctets;
}

size_t TzalHTTP2_Write_Data_Frames::StreamCount() {
  std::lock_guard lock(FLock);
  return FStreams.size();
}

void TzalHTTP2_Write_Data_Frames::MarkReady(int32_t aStreamIdentifier, SendStream& aStream) {
  if (!aStream.Ready && !aStream.Items.empty()) {
    aStream.Ready = true;
    FReady.push_back(aStreamIdentifier);
  }
}

void TzalHTTP2_Write_Data_Frames::AddFrame(std::unique_ptr<TzalHTTP2_Write_Data_Frame> aItem) {
  std::lock_guard lock(FLock);
  const int32_t id = aItem->StreamIdentifier();
  SendStream& stream = StreamRecord(id);
  FQueuedOctets += aItem->Remaining();
  stream.Items.push_back(std::move(aItem));
  MarkReady(id, stream);
  SendPendingFrames();
}

bool TzalHTTP2_Write_Data_Frames::SendOneFrame(int32_t aStreamIdentifier, SendStream& aStream,
                                               std::vector<int32_t>& aEnded) {
  TzalHTTP2_Write_Data_Frame& item = *aStream.Items.front();
  const uint64_t remaining = item.Remaining();
  // A frame without octets uses no window (RFC 9113 6.9.1), so it may always go.
  int64_t n = std::min<int64_t>({static_cast<int64_t>(std::min<uint64_t>(remaining, INT64_MAX)), aStream.Window,
                                 FConnectionWindowSize, FMaxFrameSize});
  if (remaining > 0 && n <= 0)
    return false;
  n = std::max<int64_t>(n, 0);
  const size_t headerAt = FOutput.size();
  AppendFrameHeader(FOutput, 0, h2ftDATA, 0, aStreamIdentifier);
  item.ReadInto(FOutput, static_cast<size_t>(n));  // a short source ends its item early
  FQueuedOctets -= remaining - item.Remaining();
  const int32_t sent = static_cast<int32_t>(FOutput.size() - headerAt - h2FrameHeaderLength);
  FSentOctets += static_cast<uint64_t>(sent);
  const bool last = item.Remaining() == 0;
  const uint8_t flags = last && item.EndStream() ? h2FlagEndStream : 0;
  FOutput[headerAt] = static_cast<uint8_t>(sent >> 16);
  FOutput[headerAt + 1] = static_cast<uint8_t>(sent >> 8);
  FOutput[headerAt + 2] = static_cast<uint8_t>(sent);
  FOutput[headerAt + 4] = flags;
  aStream.Window -= sent;
  FConnectionWindowSize -= sent;
  if (last) {
    const bool endStream = item.EndStream();
    aStream.Items.pop_front();
    if (endStream)
      aEnded.push_back(aStreamIdentifier);
  }
  return true;
}

void TzalHTTP2_Write_Data_Frames::Flush(std::vector<int32_t>& aEnded) {
  if (!FOutput.empty() && OnWriteBytes)
    OnWriteBytes(FOutput);
  FOutput.clear();
  for (int32_t id : aEnded) {
    FStreams.erase(id);
    if (OnStreamEndSent)
      OnStreamEndSent(id);
  }
  aEnded.clear();
}

void TzalHTTP2_Write_Data_Frames::SendPendingFrames() {
  std::lock_guard lock(FLock);
  std::vector<int32_t> ended;
  FHeldBack = false;
  // Each turn takes one stream from the front; it goes to the back while it still has
  // data and window, and leaves the turn list when its window is used up.
  while (!FReady.empty()) {
    if (OnOutputRoom && !OnOutputRoom(FOutput.size())) {
      FHeldBack = true;
      break;
    }
    const int32_t id = FReady.front();
    FReady.pop_front();
    auto it = FStreams.find(id);
    if (it == FStreams.end())
      continue;
    SendStream& stream = it->second;
    stream.Ready = false;
    if (stream.Items.empty())
      continue;
    if (!SendOneFrame(id, stream, ended)) {
      if (stream.Window > 0) {  // blocked by the connection window: keep its turn
        stream.Ready = true;
        FReady.push_front(id);
        break;
      }
      continue;  // no stream window: back in turn on its WINDOW_UPDATE
    }
    MarkReady(id, stream);
    if (FOutput.size() >= WriteBatchSize)
      Flush(ended);
  }
  Flush(ended);
}

void TzalHTTP2_Write_Data_Frames::ApplyInitialWindowSize(int64_t aValue) {
  std::lock_guard lock(FLock);
  const int64_t delta = aValue - FInitialWindowSize;
  for (auto& [id, stream] : FStreams)
    if (stream.Window + delta > kMaxWindowSize)
      RaiseHTTP2Exception(h2erFLOW_CONTROL_ERROR, "SETTINGS_INITIAL_WINDOW_SIZE makes a stream window exceed 2^31-1.");
  FInitialWindowSize = aValue;
  std::vector<int32_t> ids;
  for (auto& [id, stream] : FStreams) {
    stream.Window += delta;
    ids.push_back(id);
  }
  std::sort(ids.begin(), ids.end());  // streams take turns in the order they were opened
  for (int32_t id : ids)
    MarkReady(id, FStreams[id]);
  SendPendingFrames();
}

void TzalHTTP2_Write_Data_Frames::UpdateWindowSize(int32_t aStreamIdentifier, int64_t aIncrement) {
  std::lock_guard lock(FLock);
  if (aStreamIdentifier <= 0) {
    if (FConnectionWindowSize + aIncrement > kMaxWindowSize)
      RaiseHTTP2Exception(h2erFLOW_CONTROL_ERROR, "WINDOW UPDATE FRAME: Window Size Increment has exceed 2^30.");
    FConnectionWindowSize += aIncrement;
  } else {
    SendStream& stream = StreamRecord(aStreamIdentifier);
    if (stream.Window + aIncrement > kMaxWindowSize) {
      RemoveStream(aStreamIdentifier);
      RaiseHTTP2Exception(h2erFLOW_CONTROL_ERROR, "WINDOW UPDATE FRAME: Window Size Increment has exceed 2^30.",
                          h2errRST_STREAM, aStreamIdentifier);
    }
    stream.Window += aIncrement;
    MarkReady(aStreamIdentifier, stream);
  }
  SendPendingFrames();
}

void TzalHTTP2_Write_Data_Frames::RemoveStream(int32_t aStreamIdentifier) {
  std::lock_guard lock(FLock);
  const auto it = FStreams.find(aStreamIdentifier);
  if (it == FStreams.end())
    return;
  for (const auto& item : it->second.Items)
    FQueuedOctets -= item->Remaining();
  FStreams.erase(it);  // its entry in FReady is skipped when reached
}

}  // namespace zal
