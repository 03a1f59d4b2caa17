#pragma once
// TzalHTTP2_Frame: one direction of an HTTP/2 connection (RFC 9113), without a socket.
//
// A receiving engine (h2frServerRead, h2frClientRead) is fed the connection's octets
// through ReadBytes in whatever chunks arrive. It keeps at most one partial frame
// (a header of fewer than 9 octets, or a payload of at most MaxFrameSize octets) and
// one open header block, checks every frame, keeps a record per live stream, answers
// received DATA with WINDOW_UPDATE, answers stream errors with RST_STREAM, and raises
// one event per frame and one per complete request. Connection errors leave ReadBytes
// as TzalHTTP2Exception; the engine then reads nothing more.
//
// A sending engine (h2frServerWrite, h2frClientWrite) owns the templates the owner
// fills and writes, and the flow-controlled DATA queue. Every octet either engine
// produces leaves through OnWriteBytes. Neither engine waits for anything.
#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <span>
#include <vector>

#include "http2/zalHTTP2_Frame.h"
#include "http2/zalHTTP2_Streams.h"

namespace zal {

class TzalHTTP2_Frame;

// The type, stream and END_HEADERS of the last frame whose header was read.
struct TzalHTTP2_Frame_Record {
  Th2FrameType FrameType = h2ftNONE;
  int32_t StreamIdentifier = 0;
  bool EndHeaders = false;
};

template <typename T>
using TzalHTTP2ReadFrameEvent = std::function<void(TzalHTTP2_Frame* Sender, T* aFrame)>;
using TzalHTTP2ReadResponseEvent = std::function<void(TzalHTTP2_Frame* Sender, TzalHTTP2_StreamResponse* Stream)>;
using TzalHTTP2ReadResponseFragmentEvent =
    std::function<void(TzalHTTP2_Frame* Sender, TzalHTTP2_StreamResponse* Stream, std::span<const uint8_t> aBytes)>;
using TzalHTTP2EngineWriteBytesEvent = std::function<void(TzalHTTP2_Frame* Sender, const TIdBytes& aBytes)>;
using TzalHTTP2StreamEvent = std::function<void(TzalHTTP2_Frame* Sender, int32_t aStreamIdentifier)>;

// Limits of a receiving engine; each is documented in the README.
struct TzalHTTP2_EngineLimits {
  int32_t MaxConcurrentStreams = 100;      // streams beyond it: RST_STREAM REFUSED_STREAM
  int32_t MaxHeaderBlockSize = 131072;     // encoded octets of one header block
  int32_t MaxContinuationFrames = 64;      // CONTINUATION frames of one header block
  int64_t MaxRequestBodySize = 67108864;   // body octets of one stream
  int64_t MaxBufferedBodySize = 33554432;  // body octets held for all streams not yet dispatched
  int32_t ControlFrameBudget = 1000;       // PING, SETTINGS, RST_STREAM per interval
  int32_t ResetStreamBudget = 200;         // streams reset by the peer before their answer, per interval
  int32_t BudgetInterval = 1000;           // milliseconds
};

// Request body octets held by every connection of a server, bounded together.
// Connections take octets before they hold them and give them back once the
// body is dispatched or dropped.
class TzalHTTP2BodyBudget {
public:
  explicit TzalHTTP2BodyBudget(int64_t aLimit) : FLimit(aLimit) {}
  // False when aOctets more would pass the limit (0: no limit).
  bool Take(int64_t aOctets);
  void Give(int64_t aOctets) { FUsed -= aOctets; }
  int64_t Used() const { return FUsed; }

private:
  const int64_t FLimit;
  std::atomic<int64_t> FUsed{0};
};

class TzalHTTP2_Frame {
public:
  TzalHTTP2_Frame() = default;
  explicit TzalHTTP2_Frame(Th2FrameRole aFrameRole) : FFrameRole(aFrameRole) {}
  TzalHTTP2_Frame(const TzalHTTP2_Frame&) = delete;
  TzalHTTP2_Frame& operator=(const TzalHTTP2_Frame&) = delete;
  virtual ~TzalHTTP2_Frame();

  Th2FrameRole FrameRole() const { return FFrameRole; }
  // Set before the first template, counter or stream record is created.
  void SetFrameRole(Th2FrameRole aValue) { FFrameRole = aValue; }

  // ---- receiving
  void ReadBytes(std::span<const uint8_t> aBytes);
  // The record of a live stream, or nullptr.
  TzalHTTP2_StreamResponse* GetStreamResponse(int32_t aStreamIdentifier) const {
    return FStreams.Find(aStreamIdentifier);
  }
  // A stream this side promised (RFC 9113 8.4): reserved until its answer ends.
  TzalHTTP2_StreamResponse* AddStreamRequest(int32_t aStreamIdentifier, const TzalHTTP2Request& aRequest);
  // This side ended its direction of the stream (END_STREAM sent): a stream whose
  // both directions ended is closed and forgotten.
  void EndStreamSent(int32_t aStreamIdentifier);
  // This side reset the stream: it is forgotten, and frames the peer had already
  // sent on it are ignored.
  void StreamReset(int32_t aStreamIdentifier);
  size_t StreamCount() const { return FStreams.Count(); }
  // Live streams this side opened or promised (even for a server).
  int LocalStreamCount() const { return FStreams.CountOfParity(!PeerInitiated(1)); }
  int32_t LastStreamIdentifierRecv() const { return FLastStreamIdentifierRecv; }
  const TzalHTTP2_Frame_Record& LastFrame() const { return FLastFrame; }

  int32_t MaxFrameSize() const { return FMaxFrameSize; }
  void SetMaxFrameSize(int32_t aValue) { FMaxFrameSize = aValue; }
  int32_t MinFrameSize() const { return FMinFrameSize; }
  int32_t MaxConcurrentStreams() const { return FLimits.MaxConcurrentStreams; }
  void SetMaxConcurrentStreams(int32_t aValue) { FLimits.MaxConcurrentStreams = aValue; }
  // The SETTINGS_INITIAL_WINDOW_SIZE this side announced: the receive window of each
  // new stream.
  int32_t ReadInitialWindowSize() const { return FReadInitialWindowSize; }
  void SetReadInitialWindowSize(int32_t aValue) { FReadInitialWindowSize = aValue; }
  int64_t ReadWindowSize() const { return FReadWindowSize; }
  TzalHTTP2_EngineLimits& Limits() { return FLimits; }
  // This side announced SETTINGS_ENABLE_CONNECT_PROTOCOL: requests may carry
  // ":protocol" (RFC 8441).
  void SetConnectProtocol(bool aValue) { FConnectProtocol = aValue; }
  // The server-wide bound on held body octets, shared by its connections.
  void SetBodyBudget(std::shared_ptr<TzalHTTP2BodyBudget> aBudget) { FBodyBudget = std::move(aBudget); }
  // Body octets held for streams not yet dispatched.
  int64_t BufferedBody() const { return FBufferedBody; }

  // ---- sending
  void WriteBytes() { DoWriteFrame(); }
  void SetWriteDataFramesInitialWindowSize(int32_t aValue);
  void SetWriteDataFramesWindowSize(int32_t aStreamIdentifier, int32_t aWindowSizeIncrement);
  // Queues a body read in pieces from aSource (aLength octets) as DATA of a stream.
  void WriteDataSource(int32_t aStreamIdentifier, TzalHTTP2DataSource aSource, uint64_t aLength, bool aEndStream);
  // Forgets a stream's send window and queued DATA.
  void DropWriteStream(int32_t aStreamIdentifier);
  TzalHTTP2_Write_Data_Frames& WriteDataFrames();

  // ---- templates and shared objects (created on first use)
  TzalHTTP2_StreamIdentifierCounter& StreamIdentifierCounter();
  TzalHTTP2_HPACK& HPACK();
  TzalHTTP2_Frame_Data& Frame_Data();
  TzalHTTP2_Frame_Headers& Frame_Headers();
  TzalHTTP2_Frame_Priority& Frame_Priority();
  TzalHTTP2_Frame_RSTStream& Frame_RSTStream();
  TzalHTTP2_Frame_Settings& Frame_Settings();
  TzalHTTP2_Frame_PushPromise& Frame_PushPromise();
  TzalHTTP2_Frame_Ping& Frame_Ping();
  TzalHTTP2_Frame_GoAway& Frame_GoAway();
  TzalHTTP2_Frame_WindowUpdate& Frame_WindowUpdate();
  TzalHTTP2_Frame_Continuation& Frame_Continuation();

  TzalHTTP2EngineWriteBytesEvent OnWriteBytes;
  TzalHTTP2ReadFrameEvent<TzalHTTP2_Frame_Data> OnReadFrameData;
  TzalHTTP2ReadFrameEvent<TzalHTTP2_Frame_Headers> OnReadFrameHeaders;
  TzalHTTP2ReadFrameEvent<TzalHTTP2_Frame_Priority> OnReadFramePriority;
  TzalHTTP2ReadFrameEvent<TzalHTTP2_Frame_Settings> OnReadFrameSettings;
  TzalHTTP2ReadFrameEvent<TzalHTTP2_Frame_PushPromise> OnReadFramePushPromise;
  TzalHTTP2ReadFrameEvent<TzalHTTP2_Frame_Ping> OnReadFramePing;
  TzalHTTP2ReadFrameEvent<TzalHTTP2_Frame_GoAway> OnReadFrameGoAway;
  TzalHTTP2ReadFrameEvent<TzalHTTP2_Frame_WindowUpdate> OnReadFrameWindowUpdate;
  TzalHTTP2ReadFrameEvent<TzalHTTP2_Frame_RSTStream> OnReadFrameRSTStream;
  TzalHTTP2ReadFrameEvent<TzalHTTP2_Frame_Continuation> OnReadFrameContinuation;
  // A stream's request (or response) is complete; also raised early, with
  // BodyTooLarge set, when its body passes MaxRequestBodySize.
  TzalHTTP2ReadResponseEvent OnReadStreamResponse;
  TzalHTTP2ReadResponseFragmentEvent OnReadStreamResponseFragment;
  // The receiving engine reset a stream (stream error, refused stream).
  TzalHTTP2StreamEvent OnStreamReset;
  // The sending engine sent a stream's END_STREAM (HEADERS or last DATA).
  TzalHTTP2StreamEvent OnStreamEndSent;
  // Asked before a peer's new stream opens: false refuses it with RST_STREAM
  // REFUSED_STREAM (RFC 9113 8.7), e.g. while the owner's output is over its bound.
  std::function<bool()> OnCanOpenStream;

protected:
  virtual void DoWriteFrame();
  virtual void DoReadFrameData(TzalHTTP2_Frame_Data* aFrame) { Raise(OnReadFrameData, aFrame); }
  virtual void DoReadFrameHeaders(TzalHTTP2_Frame_Headers* aFrame) { Raise(OnReadFrameHeaders, aFrame); }
  virtual void DoReadFrameRSTStream(TzalHTTP2_Frame_RSTStream* aFrame) { Raise(OnReadFrameRSTStream, aFrame); }
  virtual void DoReadFrameSettings(TzalHTTP2_Frame_Settings* aFrame) { Raise(OnReadFrameSettings, aFrame); }
  virtual void DoReadFramePushPromise(TzalHTTP2_Frame_PushPromise* aFrame) { Raise(OnReadFramePushPromise, aFrame); }
  virtual void DoReadFramePing(TzalHTTP2_Frame_Ping* aFrame) { Raise(OnReadFramePing, aFrame); }
  virtual void DoReadFrameGoAway(TzalHTTP2_Frame_GoAway* aFrame) { Raise(OnReadFrameGoAway, aFrame); }
  virtual void DoReadFrameWindowUpdate(TzalHTTP2_Frame_WindowUpdate* aFrame) { Raise(OnReadFrameWindowUpdate, aFrame); }
  virtual void DoReadFrameContinuation(TzalHTTP2_Frame_Continuation* aFrame) { Raise(OnReadFrameContinuation, aFrame); }
  void DoReadFramePriority(TzalHTTP2_Frame_Priority* aFrame) { Raise(OnReadFramePriority, aFrame); }
  virtual void DoReadStreamResponse(TzalHTTP2_StreamResponse* aStream);
  virtual void DoReadStreamResponseFragment(TzalHTTP2_StreamResponse* aStream, std::span<const uint8_t> aBytes);
  virtual void DoFrameWriteBytes(TzalHTTP2_Frame_Base* aSender, const TIdBytes& aBytes);
  virtual void DoWriteDataFrame(TzalHTTP2_Frame_Data* aFrame);

private:
  template <typename Event, typename T>
  void Raise(const Event& aEvent, T* aFrame) {
    if (aEvent)
      aEvent(this, aFrame);
  }
  template <typename T>
  T& Template(std::unique_ptr<T>& aSlot);
  template <typename T>
  T& HeaderTemplate(std::unique_ptr<T>& aSlot);
  TzalHTTP2_Frame_Base* TemplateOf(Th2FrameType aType);

  // Reading, one step per call: the rest of aBytes is returned.
  std::span<const uint8_t> ReadFrameHeaderOctets(std::span<const uint8_t> aBytes);
  std::span<const uint8_t> ReadPayloadOctets(std::span<const uint8_t> aBytes);
  void StartFrame();
  void CheckFrameSequence(const TzalHTTP2_FrameHeader& aHeader);
  void CheckBudgets(const TzalHTTP2_FrameHeader& aHeader);
  void ProcessFrame(std::span<const uint8_t> aPayload);
  void ProcessData(std::span<const uint8_t> aPayload);
  void ProcessHeaders(std::span<const uint8_t> aPayload);
  void ProcessContinuation(std::span<const uint8_t> aPayload);
  void ProcessPushPromise(std::span<const uint8_t> aPayload);
  void ProcessRSTStream(std::span<const uint8_t> aPayload);
  void ProcessWindowUpdate(std::span<const uint8_t> aPayload);
  void StartHeaderBlock(Th2FrameType aType, std::span<const uint8_t> aFragment, int32_t aPromisedStream);
  void HeaderBlockComplete(std::span<const uint8_t> aBlock);
  TzalHTTP2HeaderLines DecodeHeaderBlock(std::span<const uint8_t> aBlock);
  void RequestHeaders(TzalHTTP2HeaderLines& aLines);
  void OpenStream(TzalHTTP2HeaderLines& aLines);
  void ReceivePushPromise(TzalHTTP2HeaderLines& aLines);
  void EndRemoteSide(TzalHTTP2_StreamResponse& aStream);
  void CheckContentLength(TzalHTTP2_StreamResponse& aStream);
  void CollectData(TzalHTTP2_StreamResponse& aStream, const TzalHTTP2_Frame_Data& aFrame);
  bool ReserveBody(int64_t aOctets);
  void ReleaseBody(TzalHTTP2_StreamResponse& aStream);
  void RefuseBody(TzalHTTP2_StreamResponse& aStream);
  void ForgetStream(int32_t aStreamIdentifier);
  void GrantConnectionWindow(int64_t aOctets);
  void GrantStreamWindow(TzalHTTP2_StreamResponse& aStream, int64_t aOctets);
  void WriteWindowUpdate(int32_t aStreamIdentifier, int64_t aIncrement);
  void ResetStream(int32_t aStreamIdentifier, Th2ErrorCodes aErrorCode);
  // How a stream left the live records, remembered for the last few streams.
  enum TStreamEnd : uint8_t { seNotRemembered, seEnded, seResetByUs, seResetByPeer };
  void CloseStream(int32_t aStreamIdentifier, TStreamEnd aEnd = seEnded);
  void RememberClosed(int32_t aStreamIdentifier, TStreamEnd aEnd);
  TStreamEnd HowClosed(int32_t aStreamIdentifier) const;
  void HeadersOnClosedStream(int32_t aStreamIdentifier);
  void CheckPriorityDependency(int32_t aStreamIdentifier, int32_t aDependency) const;
  // Whether the stream identifier belongs to the peer (odd for a server).
  bool PeerInitiated(int32_t aStreamIdentifier) const;
  // A stream without a record: true when it was used before (closed), false when idle.
  bool IsClosedStream(int32_t aStreamIdentifier) const;
  bool RecentlyReset(int32_t aStreamIdentifier) const;
  [[noreturn]] void RaiseIdleStream() const;

  Th2FrameRole FFrameRole = h2frServerRead;
  std::unique_ptr<TzalHTTP2_StreamIdentifierCounter> FStreamIdentifierCounter;
  std::unique_ptr<TzalHTTP2_HPACK> FHPACK;
  TzalHTTP2_StreamResponses FStreams;
  std::unique_ptr<TzalHTTP2_Write_Data_Frames> FWriteDataFrames;
  std::unique_ptr<TzalHTTP2_Frame_Continuation> FFrame_Continuation;
  std::unique_ptr<TzalHTTP2_Frame_Data> FFrame_Data;
  std::unique_ptr<TzalHTTP2_Frame_GoAway> FFrame_GoAway;
  std::unique_ptr<TzalHTTP2_Frame_Headers> FFrame_Headers;
  std::unique_ptr<TzalHTTP2_Frame_Ping> FFrame_Ping;
  std::unique_ptr<TzalHTTP2_Frame_Priority> FFrame_Priority;
  std::unique_ptr<TzalHTTP2_Frame_PushPromise> FFrame_PushPromise;
  std::unique_ptr<TzalHTTP2_Frame_RSTStream> FFrame_RSTStream;
  std::unique_ptr<TzalHTTP2_Frame_Settings> FFrame_Settings;
  std::unique_ptr<TzalHTTP2_Frame_WindowUpdate> FFrame_WindowUpdate;

  // The frame being read.
  uint8_t FHeaderOctets[h2FrameHeaderLength] = {};
  int FHeaderLength = 0;  // octets of FHeaderOctets filled
  TzalHTTP2_FrameHeader FFrame;
  bool FSkipFrame = false;  // an unknown frame type: its payload is skipped
  int32_t FSkipped = 0;     // octets of it skipped so far
  TIdBytes FPayload;        // a payload split across chunks
  TzalHTTP2_Frame_Record FLastFrame;
  bool FFailed = false;     // a connection error was raised

  // The open header block (HEADERS or PUSH_PROMISE and its CONTINUATION frames).
  TIdBytes FHeaderBlock;
  Th2FrameType FHeaderBlockType = h2ftNONE;
  int32_t FHeaderBlockStream = 0;
  int32_t FHeaderBlockPromised = 0;
  uint8_t FHeaderBlockFlags = 0;
  int FContinuationFrames = 0;

  int32_t FMaxFrameSize = h2DefaultMaxFrameSize;
  int32_t FMinFrameSize = h2DefaultMaxFrameSize;
  int32_t FLastStreamIdentifierRecv = 0;  // highest stream the peer opened
  int32_t FHighestLocalStream = 0;        // highest stream this side opened or promised
  int32_t FReadInitialWindowSize = 65535;
  int64_t FReadWindowSize = 65535;        // the connection's receive window as the peer sees it
  int64_t FReadUnacknowledged = 0;        // connection octets received since the last grant
  TzalHTTP2_EngineLimits FLimits;
  bool FConnectProtocol = false;
  std::shared_ptr<TzalHTTP2BodyBudget> FBodyBudget;
  int64_t FBufferedBody = 0;
  struct TClosedStream {
    int32_t StreamIdentifier;
    TStreamEnd End;
  };
  std::deque<TClosedStream> FClosedStreams;  // streams closed lately, oldest first

  int64_t FBudgetStart = 0;
  int32_t FControlFrames = 0;
  int32_t FEarlyResets = 0;
};

}  // namespace zal
