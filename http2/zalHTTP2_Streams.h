#pragma once
// Stream records of an HTTP/2 engine (RFC 9113 section 5.1) and the flow-controlled
// queue of outgoing DATA (RFC 9113 sections 5.2 and 6.9).
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "http2/zalHTTP2_Frame.h"

namespace zal {

// A request as the engine keeps it for a stream the server promised (RFC 9113 8.4).
class TzalHTTP2Request {
public:
  TzalHTTP2Request() = default;

  void AddCookie(const std::string& aName, const std::string& aValue) { FCookies.push_back(aName + "=" + aValue); }
  void ClearCookies() { FCookies.clear(); }
  // The cookies as "name=value" pairs separated by ";".
  std::string GetCookiesHeader() const;

  std::string FAccept = "text/html,application/xhtml+xml,application/xml;q=0.9,*/*;q=0.8";
  std::string FAcceptCharSet, FAcceptEncoding, FAcceptLanguage;
  bool FBasicAuthentication = false;
  bool FBearerAuthentication = false;
  std::string FBearerToken, FCacheControl, FCharSet, FConnection, FContentDisposition, FContentType,
      FContentVersion;
  double FDate = 0;
  std::string FETag;
  double FExpires = 0;
  std::string FFrom, FHost;
  double FLastModified = 0;
  std::string FReferer, FTransferEncoding;
  std::string FUserAgent = "Mozilla/5.0 (zalWebSockets 4.4.6)";
  std::vector<std::string> FCustomHeaders;
  std::string FID;
  Th2Methods FMethod = h2meGet;
  std::string FPassword, FURL, FUsername;
  std::vector<std::string> FCookies;
};

// One stream as a receiving engine sees it: its state, the decoded request (or
// response) header lines, the collected body and the receive window the peer uses.
class TzalHTTP2_StreamResponse {
public:
  TzalHTTP2_StreamResponse(int32_t aStreamIdentifier, Th2StreamState aState, int64_t aWindowSize)
      : FStreamIdentifier(aStreamIdentifier), FStreamState(aState), FWindowSize(aWindowSize) {}

  int32_t StreamIdentifier() const { return FStreamIdentifier; }
  Th2StreamState StreamState() const { return FStreamState; }
  void SetStreamState(Th2StreamState aValue) { FStreamState = aValue; }
  // The request kept for a promised stream (created on first use).
  TzalHTTP2Request& Request();
  bool HasRequest() const { return FRequest != nullptr; }
  // The HEADERS frame that opened the stream (decoded lines), nullptr before it.
  TzalHTTP2_Frame_Headers* Frame_Headers() const { return FFrame_Headers.get(); }
  void SetFrame_Headers(std::unique_ptr<TzalHTTP2_Frame_Headers> aFrame) { FFrame_Headers = std::move(aFrame); }
  // The body collected from every DATA frame (nullptr without DATA).
  TzalHTTP2_Frame_Data* Frame_Data() const { return FFrame_Data.get(); }
  TzalHTTP2_Frame_Data& BodyFrame();
  // Fields of a trailing header block (RFC 9113 8.1), "name=value".
  TzalHTTP2HeaderLines& Trailers() { return FTrailers; }
  size_t BodyLength() const { return FFrame_Data ? FFrame_Data->Data().size() : 0; }

  // Receive window as the peer sees it, and octets received since the last grant.
  int64_t WindowSize() const { return FWindowSize; }
  void SetWindowSize(int64_t aValue) { FWindowSize = aValue; }
  int64_t Unacknowledged() const { return FUnacknowledged; }
  void SetUnacknowledged(int64_t aValue) { FUnacknowledged = aValue; }
  // The body passed the size cap: it is dropped and no longer collected.
  bool BodyTooLarge() const { return FBodyTooLarge; }
  void SetBodyTooLarge() { FBodyTooLarge = true; }
  // Body octets counted against the engine's and the server's bounds.
  int64_t Buffered() const { return FBuffered; }
  void SetBuffered(int64_t aValue) { FBuffered = aValue; }
  // The request has been handed out (OnReadStreamResponse raised).
  bool Dispatched() const { return FDispatched; }
  void SetDispatched() { FDispatched = true; }

private:
  int32_t FStreamIdentifier;
  Th2StreamState FStreamState;
  int64_t FWindowSize;
  int64_t FUnacknowledged = 0;
  int64_t FBuffered = 0;
  bool FBodyTooLarge = false;
  bool FDispatched = false;
  std::unique_ptr<TzalHTTP2Request> FRequest;
  std::unique_ptr<TzalHTTP2_Frame_Headers> FFrame_Headers;
  std::unique_ptr<TzalHTTP2_Frame_Data> FFrame_Data;
  TzalHTTP2HeaderLines FTrailers;
};

// The live streams of an engine, found by identifier in constant time. Closed
// streams are removed; Count is what the concurrency limit compares.
class TzalHTTP2_StreamResponses {
public:
  TzalHTTP2_StreamResponse* Find(int32_t aStreamIdentifier) const;
  TzalHTTP2_StreamResponse& Add(int32_t aStreamIdentifier, Th2StreamState aState, int64_t aWindowSize);
  void Remove(int32_t aStreamIdentifier) { FItems.erase(aStreamIdentifier); }
  size_t Count() const { return FItems.size(); }
  // Streams counted against SETTINGS_MAX_CONCURRENT_STREAMS: open or half-closed
  // streams of the given parity (RFC 9113 5.1.2).
  int ConcurrentStreams(bool aOdd) const;
  // Streams of the given parity in any state.
  int CountOfParity(bool aOdd) const;

private:
  std::unordered_map<int32_t, std::unique_ptr<TzalHTTP2_StreamResponse>> FItems;
};

// Reads up to aBuffer.size() octets of a body into aBuffer and returns how many it read.
using TzalHTTP2DataSource = std::function<size_t(std::span<uint8_t> aBuffer)>;

// One body queued for a stream: either octets held by the item or a source read in
// pieces as the windows open. The last frame carries END_STREAM when EndStream.
class TzalHTTP2_Write_Data_Frame {
public:
  TzalHTTP2_Write_Data_Frame(int32_t aStreamIdentifier, TIdBytes aData, bool aEndStream);
  TzalHTTP2_Write_Data_Frame(int32_t aStreamIdentifier, TzalHTTP2DataSource aSource, uint64_t aLength,
                             bool aEndStream);

  int32_t StreamIdentifier() const { return FStreamIdentifier; }
  uint64_t Remaining() const { return FRemaining; }
  bool EndStream() const { return FEndStream; }
  // Appends the next n octets to aOutput; false when the source ended early.
  bool ReadInto(TIdBytes& aOutput, size_t n);

private:
  int32_t FStreamIdentifier;
  TIdBytes FData;
  size_t FOffset = 0;
  TzalHTTP2DataSource FSource;
  uint64_t FRemaining;
  bool FEndStream;
};

// The outgoing DATA of a sending engine under flow control. Each stream has a send
// window (kept from its first WINDOW_UPDATE on, also before any DATA is queued) and
// the connection has one; a frame takes min(stream, connection) and at most the
// peer's SETTINGS_MAX_FRAME_SIZE. Streams with data and window take turns, one frame
// each, so a stream without window never holds the others back.
class TzalHTTP2_Write_Data_Frames {
public:
  // Bound on the octets of one OnWriteBytes call, so a large window is not built
  // into one huge buffer.
  static constexpr size_t WriteBatchSize = 262144;

  int64_t InitialWindowSize() const { return FInitialWindowSize; }
  int64_t ConnectionWindowSize() const { return FConnectionWindowSize; }
  int MaxFrameSize() const { return FMaxFrameSize; }
  void SetMaxFrameSize(int aValue) { FMaxFrameSize = aValue; }
  // Send window of a stream: its own once known, else the initial window.
  int64_t StreamWindowSize(int32_t aStreamIdentifier);
  // Octets queued and not yet sent, over all streams.
  uint64_t QueuedOctets();
  // DATA payload octets sent so far: a count that moves whenever output progresses.
  uint64_t SentOctets();
  // Streams that have queued DATA or a window of their own.
  size_t StreamCount();

  void AddFrame(std::unique_ptr<TzalHTTP2_Write_Data_Frame> aItem);
  // Sends, round-robin, as much queued DATA as the windows and the writer's room
  // allow.
  void SendPendingFrames();
  // The last SendPendingFrames stopped because the writer had no room: the owner
  // calls it again once the writer has drained.
  bool HeldBack();
  // RFC 9113 6.9.2: a new SETTINGS_INITIAL_WINDOW_SIZE moves every stream window by
  // new - old (it may go negative); a window above 2^31-1 is FLOW_CONTROL_ERROR.
  void ApplyInitialWindowSize(int64_t aValue);
  // RFC 9113 6.9.1: stream 0 widens the connection window only. Overflow past
  // 2^31-1 is FLOW_CONTROL_ERROR (connection or stream error).
  void UpdateWindowSize(int32_t aStreamIdentifier, int64_t aIncrement);
  // Forgets a stream: its window and queued DATA (after RST_STREAM).
  void RemoveStream(int32_t aStreamIdentifier);

  std::function<void(const TIdBytes& aBytes)> OnWriteBytes;
  // Whether the writer takes more DATA, given the octets framed by this call and
  // not yet handed to OnWriteBytes. Unassigned: always. A body is read from its
  // source only as the writer drains, so a peer that stops reading holds at most
  // a writer's worth of it in memory.
  std::function<bool(size_t aFramed)> OnOutputRoom;
  // The last DATA frame (END_STREAM) of a stream went out.
  std::function<void(int32_t aStreamIdentifier)> OnStreamEndSent;

private:
  struct SendStream {
    int64_t Window = 0;
    std::deque<std::unique_ptr<TzalHTTP2_Write_Data_Frame>> Items;
    bool Ready = false;  // in FReady
  };
  SendStream& StreamRecord(int32_t aStreamIdentifier);
  void MarkReady(int32_t aStreamIdentifier, SendStream& aStream);
  // Writes one frame of aStream's first item into FOutput; true when it was sent.
  bool SendOneFrame(int32_t aStreamIdentifier, SendStream& aStream, std::vector<int32_t>& aEnded);
  void Flush(std::vector<int32_t>& aEnded);

  std::recursive_mutex FLock;
  std::unordered_map<int32_t, SendStream> FStreams;
  std::deque<int32_t> FReady;  // streams with queued DATA, in turn order
  int64_t FInitialWindowSize = 65535;
  int64_t FConnectionWindowSize = 65535;
  int FMaxFrameSize = h2DefaultMaxFrameSize;
  uint64_t FQueuedOctets = 0;  // the sum of every queued item's Remaining
  uint64_t FSentOctets = 0;
  bool FHeldBack = false;
  TIdBytes FOutput;
};

}  // namespace zal
