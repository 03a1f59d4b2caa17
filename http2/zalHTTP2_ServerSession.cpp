#include "http2/zalHTTP2_ServerSession.h"

#include <algorithm>
#include <utility>

namespace zal {

namespace {

constexpr int32_t kLargestInt = 2147483647;

int32_t AsInt(uint32_t aValue) { return static_cast<int32_t>(std::min<uint32_t>(aValue, kLargestInt)); }

// RFC 9113 8.2.2: fields that are specific to an HTTP/1.1 connection.
bool IsConnectionSpecific(std::string_view aLine) {
  const size_t colon = aLine.find(':');
  std::string name(aLine.substr(0, colon));
  std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) { return std::tolower(c); });
  while (!name.empty() && name.back() == ' ')
    name.pop_back();
  return std::find(h2ConnectionHeaderNames.begin(), h2ConnectionHeaderNames.end(), name) !=
         h2ConnectionHeaderNames.end();
}

}  // namespace

std::string TzalHTTP2ServerRequest::Value(std::string_view aName) const {
  for (const std::string& line : Headers)
    if (line.size() > aName.size() && line[aName.size()] == '=' && line.compare(0, aName.size(), aName) == 0)
      return line.substr(aName.size() + 1);
  return {};
}

TzalHTTP2_ServerSession::TzalHTTP2_ServerSession(const TzalHTTP2SessionSettings& aSettings) : FSettings(aSettings) {
  Wire();
  ApplyOwnSettings();
}

void TzalHTTP2_ServerSession::Emit(const TIdBytes& aBytes) {
  if (!FBatching) {
    if (OnWrite)
      OnWrite(TIdBytes(aBytes));
    return;
  }
  FBatch.insert(FBatch.end(), aBytes.begin(), aBytes.end());
  if (FBatch.size() >= WriteBatchSize)
    Flush();
}

void TzalHTTP2_ServerSession::Flush() {
  if (!FBatch.empty() && OnWrite)
    OnWrite(std::move(FBatch));
  FBatch.clear();  // a moved-from vector is valid but unspecified
}

template <typename Framing>
void TzalHTTP2_ServerSession::Batched(Framing aFraming) {
  FBatching = true;
  try {
    aFraming();
  } catch (const TzalHTTP2Exception& e) {
    GoAway(e.ErrorCode());
  } catch (...) {
    FBatching = false;
    Flush();
    throw;
  }
  FBatching = false;
  Flush();
}

void TzalHTTP2_ServerSession::Wire() {
  FRead.OnWriteBytes = [this](TzalHTTP2_Frame*, const TIdBytes& aBytes) { Emit(aBytes); };  // WINDOW_UPDATE, RST_STREAM
  FWrite.OnWriteBytes = FRead.OnWriteBytes;
  FWrite.WriteDataFrames().OnOutputRoom = [this](size_t aFramed) {
    return aFramed + FBatch.size() + QueuedOutput() < WriteBatchSize;
  };
  FWrite.Frame_PushPromise().OnRequestPromisedStreamId = [this](int32_t& aId) {
    aId = FRead.StreamIdentifierCounter().GetNewIdentifier();
  };
  FRead.OnReadFrameSettings = [this](TzalHTTP2_Frame*, TzalHTTP2_Frame_Settings* aSettings) {
    FSettingsReceived = true;
    if (!aSettings->ACK())
      PeerSettings(*aSettings);
  };
  FRead.OnReadFramePing = [this](TzalHTTP2_Frame*, TzalHTTP2_Frame_Ping* aPing) {
    CheckFirstFrame();
    if (aPing->ACK()) {
      if (OnPingAnswered)
        OnPingAnswered(aPing->PayLoad());
      return;
    }
    FWrite.Frame_Ping().SetACK(true);
    FWrite.Frame_Ping().SetPayLoad(aPing->PayLoad());
    FWrite.Frame_Ping().WriteBytes();
  };
  FRead.OnReadFrameWindowUpdate = [this](TzalHTTP2_Frame*, TzalHTTP2_Frame_WindowUpdate* aUpdate) {
    CheckFirstFrame();
    FWrite.SetWriteDataFramesWindowSize(aUpdate->StreamIdentifier(), aUpdate->WindowSizeIncrement());
  };
  FRead.OnReadFrameHeaders = [this](TzalHTTP2_Frame*, TzalHTTP2_Frame_Headers*) { CheckFirstFrame(); };
  FRead.OnReadFrameData = [this](TzalHTTP2_Frame*, TzalHTTP2_Frame_Data*) { CheckFirstFrame(); };
  FRead.OnReadFramePriority = [this](TzalHTTP2_Frame*, TzalHTTP2_Frame_Priority*) { CheckFirstFrame(); };
  FRead.OnReadFrameGoAway = [this](TzalHTTP2_Frame*, TzalHTTP2_Frame_GoAway*) { CheckFirstFrame(); };
  // A stream reset by either side takes its queued DATA with it.
  FRead.OnReadFrameRSTStream = [this](TzalHTTP2_Frame*, TzalHTTP2_Frame_RSTStream* aReset) {
    FWrite.DropWriteStream(aReset->StreamIdentifier());
  };
  FRead.OnStreamReset = [this](TzalHTTP2_Frame*, int32_t aStream) { FWrite.DropWriteStream(aStream); };
  FWrite.OnStreamEndSent = [this](TzalHTTP2_Frame*, int32_t aStream) { FRead.EndStreamSent(aStream); };
  FRead.OnReadStreamResponse = [this](TzalHTTP2_Frame*, TzalHTTP2_StreamResponse* aStream) {
    TzalHTTP2ServerRequest request;
    request.StreamIdentifier = aStream->StreamIdentifier();
    request.Headers = aStream->Frame_Headers()->Headers();
    if (aStream->Frame_Data() != nullptr)
      request.Body = aStream->Frame_Data()->TakeData();
    request.BodyTooLarge = aStream->BodyTooLarge();
    Dispatch(request);
  };
}

// RFC 9113 6.5.2: what this side announces is what its receiving side accepts.
void TzalHTTP2_ServerSession::ApplyOwnSettings() {
  TzalHTTP2_Frame_Settings& ours = FWrite.Frame_Settings();
  ours.SetHeaderTableSize(AsInt(FSettings.HeaderTableSize));
  ours.SetEnablePush(FSettings.EnablePush);
  // The engine's own limits hold also when the options allow more, and what is
  // enforced is what is announced, so the peer can keep to it.
  ours.SetMaxConcurrentStreams(std::min(AsInt(FSettings.MaxConcurrentStreams), FRead.MaxConcurrentStreams()));
  ours.SetInitialWindowSize(AsInt(FSettings.InitialWindowSize));
  ours.SetMaxFrameSize(std::clamp(AsInt(FSettings.MaxFrameSize), 16384, 16777215));
  ours.SetMaxHeaderListSize(std::min(AsInt(FSettings.MaxHeaderListSize), FRead.HPACK().MaxHeaderListSize()));
  ours.SetEnableConnectProtocol(FSettings.EnableConnectProtocol);
  FRead.SetMaxFrameSize(ours.MaxFrameSize());
  FRead.SetReadInitialWindowSize(ours.InitialWindowSize());
  FRead.SetConnectProtocol(ours.EnableConnectProtocol());
  FRead.Limits().MaxBufferedBodySize = FSettings.MaxBufferedBody;
  FRead.SetBodyBudget(FSettings.BodyBudget);
  FRead.SetMaxConcurrentStreams(ours.MaxConcurrentStreams());
  FRead.HPACK().SetDynamicTableSizeLimit(ours.HeaderTableSize());
  FRead.HPACK().SetMaxHeaderListSize(ours.MaxHeaderListSize());
  FRead.OnCanOpenStream = [this] {
    return !FDraining && FWrite.WriteDataFrames().QueuedOctets() <= FSettings.MaxQueuedOutput;
  };
}

void TzalHTTP2_ServerSession::Start() {
  std::lock_guard lock(FLock);
  FWrite.Frame_Settings().SetACK(false);
  FWrite.Frame_Settings().WriteBytes();
  // Until the peer's SETTINGS arrive the sending side uses the protocol defaults.
  const TzalHTTP2_Frame_Settings defaults(h2frServerWrite);
  FWrite.Frame_Settings().Assign(defaults);
}

// RFC 9113 6.5: a SETTINGS frame changes only the parameters it lists.
void TzalHTTP2_ServerSession::PeerSettings(const TzalHTTP2_Frame_Settings& aSettings) {
  TzalHTTP2_Frame_Settings& peer = FWrite.Frame_Settings();
  if (aSettings.Listed(h2SettingsHeaderTableSize)) {
    // RFC 7541 4.2: a smaller table is announced by a size update in the next block.
    TzalHTTP2_HPACK& encoder = FWrite.HPACK();
    encoder.SetDynamicTableSizeLimit(aSettings.HeaderTableSize());
    if (encoder.DynamicTableSize() > aSettings.HeaderTableSize())
      encoder.SetDynamicTableSize(aSettings.HeaderTableSize());
    peer.SetHeaderTableSize(aSettings.HeaderTableSize());
  }
  if (aSettings.Listed(h2SettingsEnablePush))
    peer.SetEnablePush(aSettings.EnablePush());
  if (aSettings.Listed(h2SettingsMaxConcurrentStreams))
    peer.SetMaxConcurrentStreams(aSettings.MaxConcurrentStreams());
  if (aSettings.Listed(h2SettingsMaxFrameSize))
    peer.SetMaxFrameSize(aSettings.MaxFrameSize());
  if (aSettings.Listed(h2SettingsMaxHeaderListSize))
    peer.SetMaxHeaderListSize(aSettings.MaxHeaderListSize());
  if (aSettings.Listed(h2SettingsEnableConnectProtocol))
    peer.SetEnableConnectProtocol(aSettings.EnableConnectProtocol());
  if (aSettings.Listed(h2SettingsInitialWindowSize)) {
    peer.SetInitialWindowSize(aSettings.InitialWindowSize());
    FWrite.SetWriteDataFramesInitialWindowSize(aSettings.InitialWindowSize());
  } else {
    FWrite.WriteDataFrames();  // takes up a new MaxFrameSize
  }
  TzalHTTP2_Frame_Settings ack(h2frServerWrite);
  ack.OnWriteBytes = [this](TzalHTTP2_Frame_Base*, const TIdBytes& aBytes) { Emit(aBytes); };
  ack.SetACK(true);
  ack.WriteBytes();
}

// RFC 9113 3.4: the client's preface ends with its SETTINGS frame.
void TzalHTTP2_ServerSession::CheckFirstFrame() const {
  if (!FSettingsReceived)
    RaiseHTTP2Exception(h2erPROTOCOL_ERROR, "First frame received must be settings.");
}

void TzalHTTP2_ServerSession::ReadBytes(std::span<const uint8_t> aBytes) {
  std::lock_guard lock(FLock);
  if (FClosed)
    return;
  FReceived = FReceived || !aBytes.empty();
  Batched([&] {
    FRead.ReadBytes(aBytes);
    SendPushRequests();
  });
}

void TzalHTTP2_ServerSession::ResumeOutput() {
  std::lock_guard lock(FLock);
  if (!FClosed && OutputHeldBack())
    Batched([this] { FWrite.WriteDataFrames().SendPendingFrames(); });
}

void TzalHTTP2_ServerSession::Dispatch(TzalHTTP2ServerRequest& aRequest) {
  const int32_t previous = FCurrentStream;
  FCurrentStream = aRequest.StreamIdentifier;
  try {
    if (OnRequest)
      OnRequest(*this, aRequest);
    else
      WriteHeaders(aRequest.StreamIdentifier, 404, {}, true);  // no stream is left unanswered
  } catch (...) {
    FCurrentStream = previous;
    throw;
  }
  FCurrentStream = previous;
}

void TzalHTTP2_ServerSession::WriteHeaders(int32_t aStreamIdentifier, int aStatus,
                                           const std::vector<std::string>& aHeaderLines, bool aEndStream) {
  std::lock_guard lock(FLock);
  if (FClosed)
    return;
  TzalHTTP2_Frame_Headers& headers = FWrite.Frame_Headers();
  headers.Clear();
  headers.SetStreamIdentifier(aStreamIdentifier);
  headers.SetEndHeaders(true);
  headers.SetEndStream(aEndStream);
  TzalHTTP2HeaderLines& lines = headers.Headers();
  lines.reserve(aHeaderLines.size() + 1);
  lines.push_back(":status:" + std::to_string(aStatus));
  for (const std::string& line : aHeaderLines)
    if (!IsConnectionSpecific(line))
      lines.push_back(line);
  headers.WriteBytes();
}

void TzalHTTP2_ServerSession::WriteData(int32_t aStreamIdentifier, TIdBytes aData) {
  std::lock_guard lock(FLock);
  if (FClosed)
    return;
  TzalHTTP2_Frame_Data& data = FWrite.Frame_Data();
  data.Clear();
  data.SetStreamIdentifier(aStreamIdentifier);
  data.SetData(std::move(aData));
  data.SetEndStream(true);
  data.WriteBytes();
}

void TzalHTTP2_ServerSession::WriteDataSource(int32_t aStreamIdentifier, TzalHTTP2DataSource aSource,
                                              uint64_t aLength) {
  std::lock_guard lock(FLock);
  if (!FClosed)
    FWrite.WriteDataSource(aStreamIdentifier, std::move(aSource), aLength, true);
}

void TzalHTTP2_ServerSession::ResetStream(int32_t aStreamIdentifier, Th2ErrorCodes aErrorCode) {
  std::lock_guard lock(FLock);
  if (FClosed)
    return;
  TzalHTTP2_Frame_RSTStream& reset = FWrite.Frame_RSTStream();
  reset.SetStreamIdentifier(aStreamIdentifier);
  reset.SetErrorCode(aErrorCode);
  reset.WriteBytes();  // drops the stream's queued DATA
  FRead.StreamReset(aStreamIdentifier);
}

int32_t TzalHTTP2_ServerSession::PushPromise(int32_t aStreamIdentifier, const std::string& aPath,
                                             const std::string& aAuthority, const std::string& aScheme) {
  std::lock_guard lock(FLock);
  // RFC 9113 8.4: push only when both sides allow it, and only from a client stream.
  // RFC 9113 5.1.2: the peer's SETTINGS_MAX_CONCURRENT_STREAMS bounds the streams
  // this side opens; promised streams count already, as each is answered at once.
  const TzalHTTP2_Frame_Settings& peer = FWrite.Frame_Settings();
  if (FClosed || !FSettings.EnablePush || !peer.EnablePush() || (aStreamIdentifier & 1) == 0 ||
      FRead.LocalStreamCount() >= peer.MaxConcurrentStreams())
    return 0;
  TzalHTTP2_Frame_PushPromise& promise = FWrite.Frame_PushPromise();
  promise.Clear();
  promise.SetStreamIdentifier(aStreamIdentifier);
  promise.SetEndHeaders(true);
  promise.Headers() = {":method: GET", ":scheme: " + aScheme, ":authority: " + aAuthority, ":path: " + aPath};
  promise.WriteBytes();
  const int32_t promised = promise.PromisedStreamid();
  TzalHTTP2Request request;
  request.FMethod = h2meGet;
  request.FURL = aPath;
  request.FHost = aAuthority;
  FRead.AddStreamRequest(promised, request);
  FPendingPushes.push_back(promised);
  return promised;
}

void TzalHTTP2_ServerSession::SendPushRequests() {
  std::lock_guard lock(FLock);
  if (FPushSending)
    return;
  FPushSending = true;
  try {
    // A pushed answer may promise more; the loop serves those too.
    for (size_t i = 0; i < FPendingPushes.size() && !FClosed; ++i) {
      const int32_t promised = FPendingPushes[i];
      TzalHTTP2_StreamResponse* stream = FRead.GetStreamResponse(promised);
      if (stream == nullptr)
        continue;  // reset by the client meanwhile
      TzalHTTP2ServerRequest request;
      request.StreamIdentifier = promised;
      request.Pushed = true;
      request.Headers = {":method=GET", ":path=" + stream->Request().FURL, ":authority=" + stream->Request().FHost};
      Dispatch(request);
    }
  } catch (...) {
    FPendingPushes.clear();
    FPushSending = false;
    throw;
  }
  FPendingPushes.clear();
  FPushSending = false;
}

void TzalHTTP2_ServerSession::GoAway(Th2ErrorCodes aErrorCode, const std::string& aText) {
  std::lock_guard lock(FLock);
  if (FClosed)
    return;
  WriteGoAway(aErrorCode, aText);
  FClosed = true;
}

void TzalHTTP2_ServerSession::WriteGoAway(Th2ErrorCodes aErrorCode, const std::string& aText) {
  TzalHTTP2_Frame_GoAway& goAway = FWrite.Frame_GoAway();
  goAway.Clear();
  goAway.SetLastStreamid(FRead.LastStreamIdentifierRecv());
  goAway.SetErrorCode(aErrorCode);
  goAway.SetAdditionalDebugData(aText);
  goAway.WriteBytes();
}

void TzalHTTP2_ServerSession::Drain() {
  if (FClosed || FDraining)
    return;
  WriteGoAway(h2erNO_ERROR, "");
  FDraining = true;
}

void TzalHTTP2_ServerSession::PostDrain() {
  std::lock_guard lock(FPostLock);
  FDrainPosted = true;
}

void TzalHTTP2_ServerSession::PostPing(const TzalHTTP2PingPayload& aPayload) {
  std::lock_guard lock(FPostLock);
  if (FPostedPings.size() == MaxPostedPings)
    FPostedPings.erase(FPostedPings.begin());  // an owner that long busy gets the newest only
  FPostedPings.push_back(aPayload);
}

void TzalHTTP2_ServerSession::PostGoAway(Th2ErrorCodes aErrorCode) {
  std::lock_guard lock(FPostLock);
  if (!FGoAwayPosted)
    FPostedGoAway = aErrorCode;
  FGoAwayPosted = true;
}

void TzalHTTP2_ServerSession::SendPosted() {
  std::vector<TzalHTTP2PingPayload> pings;
  bool goAway, drain;
  Th2ErrorCodes code;
  {
    std::lock_guard lock(FPostLock);
    pings.swap(FPostedPings);
    goAway = std::exchange(FGoAwayPosted, false);
    drain = std::exchange(FDrainPosted, false);
    code = FPostedGoAway;
  }
  for (const TzalHTTP2PingPayload& payload : pings)
    Ping(payload);
  if (goAway)
    GoAway(code);
  if (drain)
    Drain();
}

void TzalHTTP2_ServerSession::Tick(int64_t aNowMs) {
  std::lock_guard lock(FLock);
  SendPosted();
  if (!FClosed)
    CheckStall(aNowMs);
  if (!FClosed)
    CheckIdle(aNowMs);
}

int64_t TzalHTTP2_ServerSession::NextDeadline() {
  std::lock_guard lock(FLock);
  if (FClosed)
    return 0;
  int64_t next = 0;
  const auto earliest = [&next](int64_t at) { next = next == 0 ? at : std::min(next, at); };
  if (FSettings.StallTimeOut > 0 && FWrite.WriteDataFrames().QueuedOctets() > 0)
    earliest(FProgressAt + FSettings.StallTimeOut);
  if (FSettings.IdleTimeOut > 0 && !Busy())
    earliest(FBusyAt + FSettings.IdleTimeOut);
  return next;
}

bool TzalHTTP2_ServerSession::Busy() {
  return FRead.StreamCount() > 0 || FWrite.WriteDataFrames().QueuedOctets() > 0;
}

void TzalHTTP2_ServerSession::CheckIdle(int64_t aNowMs) {
  if (FDraining && !Busy()) {
    FClosed = true;  // every stream taken before the GOAWAY is served
    return;
  }
  const bool busy = std::exchange(FReceived, false) || Busy();
  if (busy || FBusyAt == 0)
    FBusyAt = aNowMs;
  else if (FSettings.IdleTimeOut > 0 && aNowMs - FBusyAt >= FSettings.IdleTimeOut)
    GoAway(h2erNO_ERROR, "Idle time-out.");
}

void TzalHTTP2_ServerSession::CheckStall(int64_t aNowMs) {
  TzalHTTP2_Write_Data_Frames& output = FWrite.WriteDataFrames();
  const uint64_t sent = output.SentOctets();
  if (output.QueuedOctets() == 0 || sent != FSentAtTick || FProgressAt == 0) {
    FSentAtTick = sent;
    FProgressAt = aNowMs;
  } else if (FSettings.StallTimeOut > 0 && aNowMs - FProgressAt >= FSettings.StallTimeOut) {
    GoAway(h2erNO_ERROR, "Output stalled on closed flow-control windows.");
  }
}

void TzalHTTP2_ServerSession::Ping(const TzalHTTP2PingPayload& aPayload) {
  std::lock_guard lock(FLock);
  if (FClosed)
    return;
  FWrite.Frame_Ping().SetACK(false);
  FWrite.Frame_Ping().SetPayLoad(aPayload);
  FWrite.Frame_Ping().WriteBytes();
}

}  // namespace zal
