#include "http2/zalHTTP2_Engine.h"

#include <algorithm>
#include <charconv>

#include "support/zalHelpers.h"

namespace zal {

namespace {

constexpr int32_t kConnectionWindow = 65535;  // the connection window is never changed by SETTINGS
constexpr size_t kRememberedClosedStreams = 256;  // closed streams whose late frames are judged by how they closed

[[noreturn]] void RaiseConnectionError(Th2ErrorCodes aCode, const std::string& aMessage) {
  RaiseHTTP2Exception(aCode, aMessage, h2errGO_AWAY, 0);
}

[[noreturn]] void RaiseStreamError(Th2ErrorCodes aCode, const std::string& aMessage, int32_t aStreamIdentifier) {
  RaiseHTTP2Exception(aCode, aMessage, h2errRST_STREAM, aStreamIdentifier);
}

bool CarriesFlags(uint8_t aType) {
  return aType == h2ftDATA || aType == h2ftHEADERS || aType == h2ftSETTINGS || aType == h2ftPUSH_PROMISE ||
         aType == h2ftPING || aType == h2ftCONTINUATION;
}

// The announced length of the first "content-length" line; 0 when it is no number.
int64_t AnnouncedLength(const std::string& aLine) {
  std::string_view value(aLine);
  value.remove_prefix(value.find('=') + 1);
  while (!value.empty() && value.front() == ' ')
    value.remove_prefix(1);
  int64_t length = 0;
  std::from_chars(value.data(), value.data() + value.size(), length);
  return length;
}

}  // namespace

bool TzalHTTP2BodyBudget::Take(int64_t aOctets) {
  int64_t used = FUsed.load();
  do {
    if (FLimit > 0 && used + aOctets > FLimit)
      return false;
  } while (!FUsed.compare_exchange_weak(used, used + aOctets));
  return true;
}

TzalHTTP2_Frame::~TzalHTTP2_Frame() {
  if (FBodyBudget)
    FBodyBudget->Give(FBufferedBody);
}

// ---------------------------------------------------------------- templates

template <typename T>
T& TzalHTTP2_Frame::Template(std::unique_ptr<T>& aSlot) {
  if (!aSlot) {
    aSlot = std::make_unique<T>(FFrameRole);
    aSlot->OnWriteBytes = [this](TzalHTTP2_Frame_Base* aSender, const TIdBytes& aBytes) {
      DoFrameWriteBytes(aSender, aBytes);
    };
  }
  return *aSlot;
}

template <typename T>
T& TzalHTTP2_Frame::HeaderTemplate(std::unique_ptr<T>& aSlot) {
  if (!aSlot) {
    aSlot = std::make_unique<T>(&HPACK(), &StreamIdentifierCounter(), FFrameRole);
    aSlot->OnWriteBytes = [this](TzalHTTP2_Frame_Base* aSender, const TIdBytes& aBytes) {
      DoFrameWriteBytes(aSender, aBytes);
    };
  }
  return *aSlot;
}

TzalHTTP2_StreamIdentifierCounter& TzalHTTP2_Frame::StreamIdentifierCounter() {
  if (!FStreamIdentifierCounter)
    FStreamIdentifierCounter = std::make_unique<TzalHTTP2_StreamIdentifierCounter>(FFrameRole);
  return *FStreamIdentifierCounter;
}

TzalHTTP2_HPACK& TzalHTTP2_Frame::HPACK() {
  if (!FHPACK)
    FHPACK = std::make_unique<TzalHTTP2_HPACK>();
  return *FHPACK;
}

TzalHTTP2_Frame_Data& TzalHTTP2_Frame::Frame_Data() {
  if (!FFrame_Data) {
    Template(FFrame_Data).OnWriteDataFrame = [this](TzalHTTP2_Frame_Base* aSender) {
      DoWriteDataFrame(static_cast<TzalHTTP2_Frame_Data*>(aSender));
    };
  }
  return *FFrame_Data;
}

TzalHTTP2_Frame_Headers& TzalHTTP2_Frame::Frame_Headers() { return HeaderTemplate(FFrame_Headers); }
TzalHTTP2_Frame_Priority& TzalHTTP2_Frame::Frame_Priority() { return Template(FFrame_Priority); }
TzalHTTP2_Frame_RSTStream& TzalHTTP2_Frame::Frame_RSTStream() { return Template(FFrame_RSTStream); }
TzalHTTP2_Frame_Settings& TzalHTTP2_Frame::Frame_Settings() { return Template(FFrame_Settings); }
TzalHTTP2_Frame_PushPromise& TzalHTTP2_Frame::Frame_PushPromise() { return HeaderTemplate(FFrame_PushPromise); }
TzalHTTP2_Frame_Ping& TzalHTTP2_Frame::Frame_Ping() { return Template(FFrame_Ping); }
TzalHTTP2_Frame_GoAway& TzalHTTP2_Frame::Frame_GoAway() { return Template(FFrame_GoAway); }
TzalHTTP2_Frame_WindowUpdate& TzalHTTP2_Frame::Frame_WindowUpdate() { return Template(FFrame_WindowUpdate); }
TzalHTTP2_Frame_Continuation& TzalHTTP2_Frame::Frame_Continuation() { return Template(FFrame_Continuation); }

TzalHTTP2_Frame_Base* TzalHTTP2_Frame::TemplateOf(Th2FrameType aType) {
  switch (aType) {
    case h2ftDATA: return &Frame_Data();
    case h2ftHEADERS: return &Frame_Headers();
    case h2ftPRIORITY: return &Frame_Priority();
    case h2ftRST_STREAM: return &Frame_RSTStream();
    case h2ftSETTINGS: return &Frame_Settings();
    case h2ftPUSH_PROMISE: return &Frame_PushPromise();
    case h2ftPING: return &Frame_Ping();
    case h2ftGOAWAY: return &Frame_GoAway();
    case h2ftWINDOW_UPDATE: return &Frame_WindowUpdate();
    case h2ftCONTINUATION: return &Frame_Continuation();
    default: return nullptr;
  }
}

// ---------------------------------------------------------------- reading

void TzalHTTP2_Frame::ReadBytes(std::span<const uint8_t> aBytes) {
  if (FFailed)
    return;
  try {
    while (!aBytes.empty())
      aBytes = FHeaderLength < h2FrameHeaderLength ? ReadFrameHeaderOctets(aBytes) : ReadPayloadOctets(aBytes);
  } catch (...) {
    FFailed = true;  // the rest of the connection cannot be read in step
    throw;
  }
}

std::span<const uint8_t> TzalHTTP2_Frame::ReadFrameHeaderOctets(std::span<const uint8_t> aBytes) {
  const size_t n = std::min(aBytes.size(), static_cast<size_t>(h2FrameHeaderLength - FHeaderLength));
  std::copy_n(aBytes.begin(), n, FHeaderOctets + FHeaderLength);
  FHeaderLength += static_cast<int>(n);
  if (FHeaderLength == h2FrameHeaderLength) {
    StartFrame();
    if (FFrame.Length == 0)
      ReadPayloadOctets({});
  }
  return aBytes.subspan(n);
}

std::span<const uint8_t> TzalHTTP2_Frame::ReadPayloadOctets(std::span<const uint8_t> aBytes) {
  if (FSkipFrame) {
    // An unknown frame type is skipped exactly, without keeping it (RFC 9113 4.1, 5.5).
    const size_t skip = std::min(static_cast<size_t>(FFrame.Length - FSkipped), aBytes.size());
    FSkipped += static_cast<int32_t>(skip);
    if (FSkipped == FFrame.Length) {
      FSkipFrame = false;
      FSkipped = 0;
      FHeaderLength = 0;
    }
    return aBytes.subspan(skip);
  }
  const size_t need = static_cast<size_t>(FFrame.Length) - FPayload.size();
  const size_t n = std::min(need, aBytes.size());
  std::span<const uint8_t> payload;
  if (FPayload.empty() && aBytes.size() >= need) {
    payload = aBytes.first(need);  // the whole payload is in this chunk: no copy
  } else {
    FPayload.insert(FPayload.end(), aBytes.begin(), aBytes.begin() + static_cast<long>(n));
    if (FPayload.size() < static_cast<size_t>(FFrame.Length))
      return aBytes.subspan(n);
    payload = FPayload;
  }
  FHeaderLength = 0;
  try {
    ProcessFrame(payload);
  } catch (const TzalHTTP2Exception& e) {
    // A stream error ends the stream only; the connection reads on (RFC 9113 5.4.2).
    if (e.ErrorResponse() != h2errRST_STREAM)
      throw;
    FPayload.clear();
    ResetStream(e.StreamIdentifier(), e.ErrorCode());
    return aBytes.subspan(n);
  }
  FPayload.clear();
  return aBytes.subspan(n);
}

void TzalHTTP2_Frame::StartFrame() {
  FFrame = ReadFrameHeader(std::span<const uint8_t>(FHeaderOctets, h2FrameHeaderLength));
  if (!CheckFrameHeader(FFrame, FMaxFrameSize, FHeaderBlockType != h2ftNONE)) {
    FSkipFrame = true;
    return;
  }
  CheckFrameSequence(FFrame);
  CheckBudgets(FFrame);
  if (CarriesFlags(FFrame.Type))
    TemplateOf(static_cast<Th2FrameType>(FFrame.Type))->ReadFlags(FFrame.Flags);
}

void TzalHTTP2_Frame::CheckFrameSequence(const TzalHTTP2_FrameHeader& aHeader) {
  const auto type = static_cast<Th2FrameType>(aHeader.Type);
  if (FHeaderBlockType != h2ftNONE) {
    // RFC 9113 6.10: an open header block continues with CONTINUATION frames of its
    // own stream and nothing else.
    if (type != h2ftCONTINUATION)
      RaiseConnectionError(h2erPROTOCOL_ERROR,
                           "CONTINUATION frame must be preceded by HEADERS, PUSH_PROMISE or CONTINUATION.");
    if (aHeader.StreamIdentifier != FHeaderBlockStream)
      RaiseConnectionError(h2erPROTOCOL_ERROR, "CONTINUATION frame must be on the stream of its header block.");
    // The 2024 CONTINUATION flood: a header block is bounded in frames and octets.
    if (++FContinuationFrames > FLimits.MaxContinuationFrames ||
        FHeaderBlock.size() + static_cast<size_t>(aHeader.Length) > static_cast<size_t>(FLimits.MaxHeaderBlockSize))
      RaiseConnectionError(h2erENHANCE_YOUR_CALM, "Header block too large.");
  } else if (type == h2ftCONTINUATION) {
    RaiseConnectionError(h2erPROTOCOL_ERROR, "CONTINUATION frame must be preceded by Frame with no EndHeaders.");
  }
  const bool blockFrame = type == h2ftHEADERS || type == h2ftPUSH_PROMISE || type == h2ftCONTINUATION;
  FLastFrame = {type, aHeader.StreamIdentifier, !blockFrame || (aHeader.Flags & h2FlagEndHeaders) != 0};
}

void TzalHTTP2_Frame::CheckBudgets(const TzalHTTP2_FrameHeader& aHeader) {
  const uint64_t now = GetTickCount64();
  if (GetTickDiff64(static_cast<uint64_t>(FBudgetStart), now) >= static_cast<uint64_t>(FLimits.BudgetInterval)) {
    FBudgetStart = static_cast<int64_t>(now);
    FControlFrames = 0;
    FEarlyResets = 0;
  }
  const bool control = aHeader.Type == h2ftPING || aHeader.Type == h2ftSETTINGS || aHeader.Type == h2ftRST_STREAM;
  if (control && ++FControlFrames > FLimits.ControlFrameBudget)
    RaiseConnectionError(h2erENHANCE_YOUR_CALM, "Too many control frames.");
}

void TzalHTTP2_Frame::ProcessFrame(std::span<const uint8_t> aPayload) {
  const int32_t id = FFrame.StreamIdentifier;
  switch (FFrame.Type) {
    case h2ftDATA:
      ProcessData(aPayload);
      break;
    case h2ftHEADERS:
      ProcessHeaders(aPayload);
      break;
    case h2ftPRIORITY:
      // RFC 9113 5.1, 6.3: PRIORITY is legal in every state, idle included, and opens nothing.
      Frame_Priority().SetStreamIdentifier(id);
      Frame_Priority().ReadPayload(aPayload);
      CheckPriorityDependency(id, Frame_Priority().StreamDependency());
      DoReadFramePriority(&Frame_Priority());
      break;
    case h2ftRST_STREAM:
      ProcessRSTStream(aPayload);
      break;
    case h2ftSETTINGS:
      Frame_Settings().ReadPayload(aPayload);
      DoReadFrameSettings(&Frame_Settings());
      break;
    case h2ftPUSH_PROMISE:
      ProcessPushPromise(aPayload);
      break;
    case h2ftPING:
      Frame_Ping().ReadPayload(aPayload);
      DoReadFramePing(&Frame_Ping());
      break;
    case h2ftGOAWAY:
      Frame_GoAway().ReadPayload(aPayload);
      DoReadFrameGoAway(&Frame_GoAway());
      break;
    case h2ftWINDOW_UPDATE:
      ProcessWindowUpdate(aPayload);
      break;
    case h2ftCONTINUATION:
      ProcessContinuation(aPayload);
      break;
    default:
      break;
  }
}

// ---------------------------------------------------------------- streams

bool TzalHTTP2_Frame::PeerInitiated(int32_t aStreamIdentifier) const {
  const bool server = FFrameRole == h2frServerRead || FFrameRole == h2frServerWrite;
  return ((aStreamIdentifier & 1) != 0) == server;
}

bool TzalHTTP2_Frame::IsClosedStream(int32_t aStreamIdentifier) const {
  // RFC 9113 5.1.1: a new identifier closes every idle stream below it.
  if (PeerInitiated(aStreamIdentifier))
    return aStreamIdentifier <= FLastStreamIdentifierRecv;
  const int32_t promised = FStreamIdentifierCounter ? FStreamIdentifierCounter->LastStreamIdentifier() : 0;
  return aStreamIdentifier <= std::max(promised, FHighestLocalStream);
}

TzalHTTP2_Frame::TStreamEnd TzalHTTP2_Frame::HowClosed(int32_t aStreamIdentifier) const {
  // The newest entry counts: a stream we reset after it ended was reset by us.
  for (auto it = FClosedStreams.rbegin(); it != FClosedStreams.rend(); ++it)
    if (it->StreamIdentifier == aStreamIdentifier)
      return it->End;
  return seNotRemembered;
}

bool TzalHTTP2_Frame::RecentlyReset(int32_t aStreamIdentifier) const {
  return HowClosed(aStreamIdentifier) == seResetByUs;
}

void TzalHTTP2_Frame::RememberClosed(int32_t aStreamIdentifier, TStreamEnd aEnd) {
  FClosedStreams.push_back({aStreamIdentifier, aEnd});
  if (FClosedStreams.size() > kRememberedClosedStreams)
    FClosedStreams.pop_front();
}

// RFC 9113 5.3.1: a stream cannot depend on itself (a stream error). An idle
// stream cannot be reset (RFC 9113 6.4), so there it ends the connection.
void TzalHTTP2_Frame::CheckPriorityDependency(int32_t aStreamIdentifier, int32_t aDependency) const {
  if ((aDependency & 0x7fffffff) != aStreamIdentifier)
    return;
  if (FStreams.Find(aStreamIdentifier) == nullptr && !IsClosedStream(aStreamIdentifier))
    RaiseConnectionError(h2erPROTOCOL_ERROR, "PRIORITY FRAME: a stream cannot depend on itself.");
  RaiseStreamError(h2erPROTOCOL_ERROR, "PRIORITY FRAME: a stream cannot depend on itself.", aStreamIdentifier);
}

void TzalHTTP2_Frame::RaiseIdleStream() const {
  // RFC 9113 5.1: only HEADERS, PUSH_PROMISE and PRIORITY may name an idle stream.
  RaiseConnectionError(h2erPROTOCOL_ERROR, "Idle Stream only accepts HEADERS or PUSHPROMISE frames.");
}

TzalHTTP2_StreamResponse* TzalHTTP2_Frame::AddStreamRequest(int32_t aStreamIdentifier,
                                                           const TzalHTTP2Request& aRequest) {
  if (TzalHTTP2_StreamResponse* existing = FStreams.Find(aStreamIdentifier))
    return existing;
  FHighestLocalStream = std::max(FHighestLocalStream, aStreamIdentifier);
  const Th2StreamState state = PeerInitiated(aStreamIdentifier) ? h2ssOpen : h2ssReservedLocal;
  TzalHTTP2_StreamResponse& stream = FStreams.Add(aStreamIdentifier, state, FReadInitialWindowSize);
  stream.Request() = aRequest;
  return &stream;
}

void TzalHTTP2_Frame::EndStreamSent(int32_t aStreamIdentifier) {
  TzalHTTP2_StreamResponse* stream = FStreams.Find(aStreamIdentifier);
  if (stream == nullptr)
    return;
  switch (stream->StreamState()) {
    case h2ssOpen:
      // An answer that went out before the request ended (a body over the cap): ask
      // the peer to stop sending without error (RFC 9113 8.1).
      if (stream->BodyTooLarge())
        ResetStream(aStreamIdentifier, h2erNO_ERROR);
      else
        stream->SetStreamState(h2ssHalfClosedLocal);
      break;
    case h2ssReservedLocal:
    case h2ssHalfClosedRemote:
      CloseStream(aStreamIdentifier);
      break;
    default:
      break;
  }
}

void TzalHTTP2_Frame::StreamReset(int32_t aStreamIdentifier) {
  ForgetStream(aStreamIdentifier);
  RememberClosed(aStreamIdentifier, seResetByUs);
}

void TzalHTTP2_Frame::CloseStream(int32_t aStreamIdentifier, TStreamEnd aEnd) {
  if (FStreams.Find(aStreamIdentifier) == nullptr)
    return;
  ForgetStream(aStreamIdentifier);
  RememberClosed(aStreamIdentifier, aEnd);
}

void TzalHTTP2_Frame::ForgetStream(int32_t aStreamIdentifier) {
  if (TzalHTTP2_StreamResponse* stream = FStreams.Find(aStreamIdentifier))
    ReleaseBody(*stream);
  FStreams.Remove(aStreamIdentifier);
}

void TzalHTTP2_Frame::ResetStream(int32_t aStreamIdentifier, Th2ErrorCodes aErrorCode) {
  TzalHTTP2_Frame_RSTStream& rst = Frame_RSTStream();
  rst.SetStreamIdentifier(aStreamIdentifier);
  rst.SetErrorCode(aErrorCode);
  rst.WriteBytes();
  StreamReset(aStreamIdentifier);
  if (OnStreamReset)
    OnStreamReset(this, aStreamIdentifier);
}

// ---------------------------------------------------------------- DATA and windows

void TzalHTTP2_Frame::ProcessData(std::span<const uint8_t> aPayload) {
  const int32_t id = FFrame.StreamIdentifier;
  const auto octets = static_cast<int64_t>(aPayload.size());  // padding included (RFC 9113 6.9)
  // Every DATA frame counts against the connection window, whatever its stream.
  if (octets > FReadWindowSize)
    RaiseConnectionError(h2erFLOW_CONTROL_ERROR, "DATA FRAME: the connection receive window is exceeded.");
  FReadWindowSize -= octets;
  GrantConnectionWindow(octets);
  TzalHTTP2_Frame_Data& frame = Frame_Data();
  frame.SetStreamIdentifier(id);
  frame.ReadPayload(aPayload);  // padding checks; padding is removed per frame
  TzalHTTP2_StreamResponse* stream = FStreams.Find(id);
  if (stream == nullptr) {
    if (!IsClosedStream(id))
      RaiseIdleStream();
    if (RecentlyReset(id))
      return;  // sent before our RST_STREAM reached the peer (RFC 9113 5.1)
    RaiseStreamError(h2erSTREAM_CLOSED, "DATA FRAME: the stream is closed.", id);
  }
  switch (stream->StreamState()) {
    case h2ssOpen:
    case h2ssHalfClosedLocal:
      break;
    case h2ssReservedLocal:
      RaiseConnectionError(h2erPROTOCOL_ERROR,
                           "Reserved Local Stream only accepts RST_STREAM, PRIORITY or WINDOW_UPDATE Frames.");
    case h2ssReservedRemote:
      RaiseConnectionError(h2erPROTOCOL_ERROR,
                           "Reserved Remote Stream only accepts HEADERS, RST_STREAM, PRIORITY or WINDOW_UPDATE Frames.");
    default:
      RaiseStreamError(h2erSTREAM_CLOSED,
                       "Half Closed Remote Stream only accepts RST_STREAM, PRIORITY or WINDOW_UPDATE Frames.", id);
  }
  if (octets > stream->WindowSize())
    RaiseStreamError(h2erFLOW_CONTROL_ERROR, "DATA FRAME: the stream receive window is exceeded.", id);
  stream->SetWindowSize(stream->WindowSize() - octets);
  DoReadFrameData(&frame);
  CollectData(*stream, frame);
  stream = FStreams.Find(id);  // an early answer may have closed it
  if (stream == nullptr)
    return;
  if (frame.EndStream())
    EndRemoteSide(*stream);
  else if (!stream->BodyTooLarge())  // a refused body is not read further (RFC 9113 5.2)
    GrantStreamWindow(*stream, octets);
}

// A body is held until its request is complete. What one stream, the connection
// and the whole server hold is bounded; the stream that would pass a bound is
// answered at once (413) and its body dropped, so memory stays bounded whatever
// windows the peer fills.
void TzalHTTP2_Frame::CollectData(TzalHTTP2_StreamResponse& aStream, const TzalHTTP2_Frame_Data& aFrame) {
  if (aStream.BodyTooLarge())
    return;  // dropped: the answer has been given
  TzalHTTP2_Frame_Data& body = aStream.BodyFrame();
  const auto octets = static_cast<int64_t>(aFrame.Data().size());
  if (static_cast<int64_t>(body.Data().size()) + octets > FLimits.MaxRequestBodySize || !ReserveBody(octets)) {
    RefuseBody(aStream);
    return;
  }
  aStream.SetBuffered(aStream.Buffered() + octets);
  TIdBytes data = body.TakeData();
  data.insert(data.end(), aFrame.Data().begin(), aFrame.Data().end());
  body.SetData(std::move(data));
  DoReadStreamResponseFragment(&aStream, aFrame.Data());
}

bool TzalHTTP2_Frame::ReserveBody(int64_t aOctets) {
  if (FBufferedBody + aOctets > FLimits.MaxBufferedBodySize)
    return false;
  if (FBodyBudget && !FBodyBudget->Take(aOctets))
    return false;
  FBufferedBody += aOctets;
  return true;
}

void TzalHTTP2_Frame::ReleaseBody(TzalHTTP2_StreamResponse& aStream) {
  const int64_t octets = aStream.Buffered();
  aStream.SetBuffered(0);
  FBufferedBody -= octets;
  if (FBodyBudget)
    FBodyBudget->Give(octets);
}

void TzalHTTP2_Frame::RefuseBody(TzalHTTP2_StreamResponse& aStream) {
  ReleaseBody(aStream);
  aStream.SetBodyTooLarge();
  aStream.BodyFrame().SetData({});
  DoReadStreamResponse(&aStream);  // the owner answers 413 at once
}

// RFC 9113 6.9.1: once the octets taken since the last grant reach half the window,
// exactly that amount is granted, so the peer's view never exceeds the window.
void TzalHTTP2_Frame::GrantConnectionWindow(int64_t aOctets) {
  FReadUnacknowledged += aOctets;
  if (FReadUnacknowledged > 0 && FReadUnacknowledged * 2 >= kConnectionWindow) {
    WriteWindowUpdate(0, FReadUnacknowledged);
    FReadWindowSize += FReadUnacknowledged;
    FReadUnacknowledged = 0;
  }
}

void TzalHTTP2_Frame::GrantStreamWindow(TzalHTTP2_StreamResponse& aStream, int64_t aOctets) {
  const int64_t unacknowledged = aStream.Unacknowledged() + aOctets;
  if (unacknowledged > 0 && unacknowledged * 2 >= FReadInitialWindowSize) {
    WriteWindowUpdate(aStream.StreamIdentifier(), unacknowledged);
    aStream.SetWindowSize(aStream.WindowSize() + unacknowledged);
    aStream.SetUnacknowledged(0);
  } else {
    aStream.SetUnacknowledged(unacknowledged);
  }
}

void TzalHTTP2_Frame::WriteWindowUpdate(int32_t aStreamIdentifier, int64_t aIncrement) {
  TzalHTTP2_Frame_WindowUpdate& update = Frame_WindowUpdate();
  update.SetStreamIdentifier(aStreamIdentifier);
  update.SetWindowSizeIncrement(static_cast<int32_t>(aIncrement));
  update.WriteBytes();
}

// The handler of the request may answer it at once and so close the stream: the
// record is not used after the event.
void TzalHTTP2_Frame::EndRemoteSide(TzalHTTP2_StreamResponse& aStream) {
  const int32_t id = aStream.StreamIdentifier();
  const bool bothEnded = aStream.StreamState() == h2ssHalfClosedLocal;
  aStream.SetStreamState(bothEnded ? h2ssClosed : h2ssHalfClosedRemote);
  if (!aStream.Dispatched())
    DoReadStreamResponse(&aStream);
  if (bothEnded)
    CloseStream(id);
}

void TzalHTTP2_Frame::CheckContentLength(TzalHTTP2_StreamResponse& aStream) {
  if (aStream.Frame_Headers() == nullptr || aStream.BodyTooLarge())
    return;
  for (const std::string& line : aStream.Frame_Headers()->Headers()) {
    if (line.compare(0, 15, "content-length=") != 0)
      continue;
    // RFC 9113 8.1.1: a body of another length makes the request malformed.
    if (AnnouncedLength(line) != static_cast<int64_t>(aStream.BodyLength()))
      RaiseStreamError(h2erPROTOCOL_ERROR, "CONTENT-LENGTH is not equal the DATA frame payload length",
                       aStream.StreamIdentifier());
    return;
  }
}

void TzalHTTP2_Frame::DoReadStreamResponse(TzalHTTP2_StreamResponse* aStream) {
  CheckContentLength(*aStream);
  ReleaseBody(*aStream);  // the body is handed out with the request
  aStream->SetDispatched();
  if (OnReadStreamResponse)
    OnReadStreamResponse(this, aStream);
}

void TzalHTTP2_Frame::DoReadStreamResponseFragment(TzalHTTP2_StreamResponse* aStream,
                                                   std::span<const uint8_t> aBytes) {
  if (OnReadStreamResponseFragment && !aBytes.empty())
    OnReadStreamResponseFragment(this, aStream, aBytes);
}

// ---------------------------------------------------------------- header blocks

void TzalHTTP2_Frame::ProcessHeaders(std::span<const uint8_t> aPayload) {
  TzalHTTP2_Frame_Headers& frame = Frame_Headers();
  frame.Clear();
  frame.SetStreamIdentifier(FFrame.StreamIdentifier);
  StartHeaderBlock(h2ftHEADERS, frame.ReadFragment(aPayload), 0);
}

void TzalHTTP2_Frame::ProcessPushPromise(std::span<const uint8_t> aPayload) {
  // RFC 9113 8.4: only a server pushes.
  if (FFrameRole == h2frServerRead)
    RaiseConnectionError(h2erPROTOCOL_ERROR, "PUSH PROMISE FRAME: a client cannot push.");
  TzalHTTP2_Frame_PushPromise& frame = Frame_PushPromise();
  frame.Clear();
  frame.SetStreamIdentifier(FFrame.StreamIdentifier);
  const std::span<const uint8_t> fragment = frame.ReadFragment(aPayload);
  StartHeaderBlock(h2ftPUSH_PROMISE, fragment, frame.PromisedStreamid());
}

void TzalHTTP2_Frame::StartHeaderBlock(Th2FrameType aType, std::span<const uint8_t> aFragment,
                                       int32_t aPromisedStream) {
  FHeaderBlockType = aType;
  FHeaderBlockStream = FFrame.StreamIdentifier;
  FHeaderBlockPromised = aPromisedStream;
  FHeaderBlockFlags = FFrame.Flags;
  FContinuationFrames = 0;
  FHeaderBlock.clear();
  if (aFragment.size() > static_cast<size_t>(FLimits.MaxHeaderBlockSize))
    RaiseConnectionError(h2erENHANCE_YOUR_CALM, "Header block too large.");
  if ((FFrame.Flags & h2FlagEndHeaders) != 0) {
    HeaderBlockComplete(aFragment);  // one frame: decoded where it lies
    return;
  }
  FHeaderBlock.assign(aFragment.begin(), aFragment.end());
}

void TzalHTTP2_Frame::ProcessContinuation(std::span<const uint8_t> aPayload) {
  TzalHTTP2_Frame_Continuation& frame = Frame_Continuation();
  frame.SetStreamIdentifier(FFrame.StreamIdentifier);
  frame.ReadPayload(aPayload);
  DoReadFrameContinuation(&frame);
  FHeaderBlock.insert(FHeaderBlock.end(), aPayload.begin(), aPayload.end());
  if (frame.EndHeaders()) {
    HeaderBlockComplete(FHeaderBlock);
    FHeaderBlock.clear();
  }
}

TzalHTTP2HeaderLines TzalHTTP2_Frame::DecodeHeaderBlock(std::span<const uint8_t> aBlock) {
  TzalHTTP2HeaderLines lines;
  try {
    HPACK().Decode(aBlock, 0, static_cast<int>(aBlock.size()), lines);
  } catch (const TzalHTTP2Exception&) {
    throw;
  } catch (const std::exception& e) {
    // RFC 9113 4.3: a block that cannot be decoded leaves the table out of step.
    RaiseConnectionError(h2erCOMPRESSION_ERROR, e.what());
  }
  return lines;
}

// The whole block of HEADERS or PUSH_PROMISE and its CONTINUATION frames is decoded
// once, here (RFC 9113 4.3); stream errors are raised only after decoding, so the
// HPACK table stays in step whatever happens to the stream.
void TzalHTTP2_Frame::HeaderBlockComplete(std::span<const uint8_t> aBlock) {
  const Th2FrameType type = FHeaderBlockType;
  FHeaderBlockType = h2ftNONE;
  TzalHTTP2HeaderLines lines = DecodeHeaderBlock(aBlock);
  if (type == h2ftPUSH_PROMISE)
    ReceivePushPromise(lines);
  else
    RequestHeaders(lines);
}

void TzalHTTP2_Frame::RequestHeaders(TzalHTTP2HeaderLines& aLines) {
  const int32_t id = FHeaderBlockStream;
  TzalHTTP2_StreamResponse* stream = FStreams.Find(id);
  if (stream == nullptr) {
    if (!PeerInitiated(id))
      RaiseConnectionError(h2erPROTOCOL_ERROR, (id & 1) == 0 ? "Received Stream Identifier is Even."
                                                             : "Received Stream Identifier is Odd.");
    if (id > FLastStreamIdentifierRecv) {
      OpenStream(aLines);
      return;
    }
    HeadersOnClosedStream(id);
    return;
  }
  const bool endStream = (FHeaderBlockFlags & h2FlagEndStream) != 0;
  switch (stream->StreamState()) {
    case h2ssOpen:
    case h2ssHalfClosedLocal:
    case h2ssReservedRemote:
      break;
    case h2ssReservedLocal:
      RaiseConnectionError(h2erPROTOCOL_ERROR,
                           "Reserved Local Stream only accepts RST_STREAM, PRIORITY or WINDOW_UPDATE Frames.");
    default:
      RaiseStreamError(h2erSTREAM_CLOSED,
                       "Half Closed Remote Stream only accepts RST_STREAM, PRIORITY or WINDOW_UPDATE Frames.", id);
  }
  if (stream->Frame_Headers() == nullptr) {
    // The answer to a stream this side opened or was promised (client roles).
    try {
      CheckHeaderList(aLines, FFrameRole);
    } catch (const TzalHTTP2Exception& e) {
      RaiseStreamError(h2erPROTOCOL_ERROR, e.what(), id);
    }
    if (stream->StreamState() == h2ssReservedRemote)
      stream->SetStreamState(h2ssHalfClosedLocal);
    auto frame = std::make_unique<TzalHTTP2_Frame_Headers>(&HPACK(), &StreamIdentifierCounter(), FFrameRole);
    frame->Assign(Frame_Headers());
    frame->Headers() = std::move(aLines);
    stream->SetFrame_Headers(std::move(frame));
  } else {
    // Trailers (RFC 9113 8.1): a last block with END_STREAM and no pseudo-headers.
    if (!endStream)
      RaiseStreamError(h2erPROTOCOL_ERROR, "HEADER FRAME: trailers must end the stream.", id);
    for (const std::string& line : aLines)
      if (!line.empty() && line.front() == ':')
        RaiseStreamError(h2erPROTOCOL_ERROR, "HEADER FRAME: trailers cannot carry PSEUDO-HEADERS.", id);
    stream->Trailers() = std::move(aLines);
  }
  DoReadFrameHeaders(stream->Frame_Headers());
  if (endStream)
    EndRemoteSide(*stream);
}

// RFC 9113 5.1: late frames on a stream we reset are ignored; a stream the peer
// reset answers with a stream error; HEADERS on a stream that ended is a
// connection error STREAM_CLOSED; and an identifier below the highest one that
// never opened a stream breaks the order of RFC 9113 5.1.1 (PROTOCOL_ERROR).
void TzalHTTP2_Frame::HeadersOnClosedStream(int32_t aStreamIdentifier) {
  switch (HowClosed(aStreamIdentifier)) {
    case seResetByUs:
      return;
    case seResetByPeer:
      RaiseStreamError(h2erSTREAM_CLOSED, "HEADER FRAME: the stream is closed.", aStreamIdentifier);
    case seEnded:
      RaiseConnectionError(h2erSTREAM_CLOSED, "HEADER FRAME: the stream is closed.");
    default:
      RaiseConnectionError(h2erPROTOCOL_ERROR, "HEADER FRAME: the stream identifier is lower than a previous one.");
  }
}

void TzalHTTP2_Frame::OpenStream(TzalHTTP2HeaderLines& aLines) {
  const int32_t id = FHeaderBlockStream;
  FLastStreamIdentifierRecv = id;
  // RFC 9113 5.1.2: the stream beyond the limit is refused; its block was decoded.
  if (FStreams.ConcurrentStreams(true) >= FLimits.MaxConcurrentStreams)
    RaiseStreamError(h2erREFUSED_STREAM, "CONCURRENT STREAM limit has been exceeded.", id);
  if (OnCanOpenStream && !OnCanOpenStream())
    RaiseStreamError(h2erREFUSED_STREAM, "New streams are refused while the output queue is full.", id);
  try {
    CheckHeaderList(aLines, FFrameRole, FConnectProtocol);
  } catch (const TzalHTTP2Exception& e) {
    RaiseStreamError(h2erPROTOCOL_ERROR, e.what(), id);  // a malformed request (RFC 9113 8.1.1)
  }
  const bool endStream = (FHeaderBlockFlags & h2FlagEndStream) != 0;
  TzalHTTP2_StreamResponse& stream = FStreams.Add(id, h2ssOpen, FReadInitialWindowSize);
  auto frame = std::make_unique<TzalHTTP2_Frame_Headers>(&HPACK(), &StreamIdentifierCounter(), FFrameRole);
  frame->Assign(Frame_Headers());
  frame->Headers() = std::move(aLines);
  stream.SetFrame_Headers(std::move(frame));
  DoReadFrameHeaders(stream.Frame_Headers());
  if (endStream)
    EndRemoteSide(stream);
}

void TzalHTTP2_Frame::ReceivePushPromise(TzalHTTP2HeaderLines& aLines) {
  const int32_t promised = FHeaderBlockPromised;
  if (!PeerInitiated(promised) || promised <= FLastStreamIdentifierRecv || FStreams.Find(promised) != nullptr)
    RaiseConnectionError(h2erPROTOCOL_ERROR, "PUSH PROMISE FRAME: the promised stream is not a new server stream.");
  FLastStreamIdentifierRecv = promised;
  TzalHTTP2_StreamResponse& stream = FStreams.Add(promised, h2ssReservedRemote, FReadInitialWindowSize);
  TzalHTTP2_Frame_PushPromise& frame = Frame_PushPromise();
  frame.Headers() = std::move(aLines);
  stream.Request().FMethod = frame.Method();
  stream.Request().FURL = frame.URL();
  DoReadFramePushPromise(&frame);
}

// ---------------------------------------------------------------- other frames

void TzalHTTP2_Frame::ProcessRSTStream(std::span<const uint8_t> aPayload) {
  const int32_t id = FFrame.StreamIdentifier;
  TzalHTTP2_Frame_RSTStream& frame = Frame_RSTStream();
  frame.SetStreamIdentifier(id);
  frame.ReadPayload(aPayload);
  TzalHTTP2_StreamResponse* stream = FStreams.Find(id);
  if (stream == nullptr) {
    if (!IsClosedStream(id))
      RaiseIdleStream();
    return;  // a closed stream: nothing left to reset
  }
  // Rapid reset (CVE-2023-44487): streams opened and reset before their answer
  // cost work without limit unless they are budgeted.
  if (PeerInitiated(id) && ++FEarlyResets > FLimits.ResetStreamBudget)
    RaiseConnectionError(h2erENHANCE_YOUR_CALM, "Too many streams reset before their answer.");
  CloseStream(id, seResetByPeer);
  DoReadFrameRSTStream(&frame);
}

void TzalHTTP2_Frame::ProcessWindowUpdate(std::span<const uint8_t> aPayload) {
  const int32_t id = FFrame.StreamIdentifier;
  TzalHTTP2_Frame_WindowUpdate& frame = Frame_WindowUpdate();
  frame.SetStreamIdentifier(id);
  frame.ReadPayload(aPayload);
  if (id != 0 && FStreams.Find(id) == nullptr) {
    if (!IsClosedStream(id))
      RaiseIdleStream();
    return;  // a closed stream has no window left to widen
  }
  DoReadFrameWindowUpdate(&frame);
}

// ---------------------------------------------------------------- sending

void TzalHTTP2_Frame::DoWriteFrame() {
  switch (FFrame.Type) {
    case h2ftHEADERS:
    case h2ftRST_STREAM:
    case h2ftPING:
    case h2ftGOAWAY:
      TemplateOf(static_cast<Th2FrameType>(FFrame.Type))->WriteBytes();
      break;
    default:
      break;
  }
}

void TzalHTTP2_Frame::DoFrameWriteBytes(TzalHTTP2_Frame_Base* aSender, const TIdBytes& aBytes) {
  if (OnWriteBytes)
    OnWriteBytes(this, aBytes);
  if (aSender == FFrame_Headers.get() && FFrame_Headers->EndStream() && OnStreamEndSent)
    OnStreamEndSent(this, FFrame_Headers->StreamIdentifier());
  else if (aSender == FFrame_RSTStream.get() && FWriteDataFrames)
    FWriteDataFrames->RemoveStream(FFrame_RSTStream->StreamIdentifier());
}

TzalHTTP2_Write_Data_Frames& TzalHTTP2_Frame::WriteDataFrames() {
  if (!FWriteDataFrames) {
    FWriteDataFrames = std::make_unique<TzalHTTP2_Write_Data_Frames>();
    FWriteDataFrames->OnWriteBytes = [this](const TIdBytes& aBytes) {
      if (OnWriteBytes)
        OnWriteBytes(this, aBytes);
    };
    FWriteDataFrames->OnStreamEndSent = [this](int32_t aStreamIdentifier) {
      if (OnStreamEndSent)
        OnStreamEndSent(this, aStreamIdentifier);
    };
  }
  FWriteDataFrames->SetMaxFrameSize(Frame_Settings().MaxFrameSize());  // the peer's, once it sent SETTINGS
  return *FWriteDataFrames;
}

void TzalHTTP2_Frame::DoWriteDataFrame(TzalHTTP2_Frame_Data* aFrame) {
  WriteDataFrames().AddFrame(std::make_unique<TzalHTTP2_Write_Data_Frame>(aFrame->StreamIdentifier(),
                                                                         aFrame->TakeData(), aFrame->EndStream()));
}

void TzalHTTP2_Frame::WriteDataSource(int32_t aStreamIdentifier, TzalHTTP2DataSource aSource, uint64_t aLength,
                                      bool aEndStream) {
  WriteDataFrames().AddFrame(
      std::make_unique<TzalHTTP2_Write_Data_Frame>(aStreamIdentifier, std::move(aSource), aLength, aEndStream));
}

void TzalHTTP2_Frame::DropWriteStream(int32_t aStreamIdentifier) {
  if (FWriteDataFrames)
    FWriteDataFrames->RemoveStream(aStreamIdentifier);
}

void TzalHTTP2_Frame::SetWriteDataFramesInitialWindowSize(int32_t aValue) {
  WriteDataFrames().ApplyInitialWindowSize(aValue);
}

void TzalHTTP2_Frame::SetWriteDataFramesWindowSize(int32_t aStreamIdentifier, int32_t aWindowSizeIncrement) {
  WriteDataFrames().UpdateWindowSize(aStreamIdentifier, aWindowSizeIncrement);
}

}  // namespace zal
