#pragma once
// TzalHTTP2_ServerSession: the HTTP/2 side of one server connection, without a
// socket. It owns the receiving and the sending engine, sends the server's SETTINGS,
// answers SETTINGS, PING and WINDOW_UPDATE, turns protocol errors into RST_STREAM or
// GOAWAY, hands every complete request to OnRequest and frames the answers as
// HEADERS and DATA under flow control.
//
// Every octet leaves through OnWrite, which appends whole frames to the
// connection's one writer, and only while the session's lock is held, so frames
// written from other threads never interleave with the worker's. Nothing here
// sends: the owner's thread flushes the writer with no lock held, and calls
// ResumeOutput when it has drained, since DATA is framed only while the writer
// holds less than WriteBatchSize octets.
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <vector>

#include "http2/zalHTTP2_Engine.h"

namespace zal {

// The SETTINGS this server announces; they also bound what its receiving side accepts.
// The last two bound its output and are not announced.
struct TzalHTTP2SessionSettings {
  uint32_t HeaderTableSize = 4096;
  bool EnablePush = true;
  uint32_t MaxConcurrentStreams = 2147483647;
  uint32_t InitialWindowSize = 65535;
  uint32_t MaxFrameSize = 16384;
  uint32_t MaxHeaderListSize = 2147483647;
  bool EnableConnectProtocol = false;
  // Milliseconds queued DATA may wait without any of it going out (the peer keeps
  // its windows closed); then GOAWAY and the connection ends. 0: no limit.
  int StallTimeOut = 60000;
  // Octets of queued DATA not yet framed (framed DATA waiting in the writer is
  // at most WriteBatchSize); while more are queued, new streams are refused.
  uint64_t MaxQueuedOutput = 16777216;
  // Milliseconds a connection without streams, queued output or received octets
  // may stay; then GOAWAY NO_ERROR and the connection ends. 0: no limit.
  int IdleTimeOut = 60000;
  // Request body octets held for streams not yet dispatched, on this connection
  // and (BodyBudget, shared) on every connection of the server; the stream that
  // would pass either bound is answered 413.
  int64_t MaxBufferedBody = 33554432;
  std::shared_ptr<TzalHTTP2BodyBudget> BodyBudget = nullptr;
};

class TzalHTTP2_ServerSession;

// One complete request: decoded lines "name=value" (pseudo-headers included), the
// body, the stream it came on (or the promised stream of a pushed request).
struct TzalHTTP2ServerRequest {
  TzalHTTP2HeaderLines Headers;
  TIdBytes Body;
  int32_t StreamIdentifier = 0;
  bool Pushed = false;
  bool BodyTooLarge = false;  // the body passed MaxRequestBodySize and was dropped

  // The value of the first line with that name ("" when none).
  std::string Value(std::string_view aName) const;
};

class TzalHTTP2_ServerSession {
public:
  explicit TzalHTTP2_ServerSession(const TzalHTTP2SessionSettings& aSettings);

  // Sends the server's SETTINGS (the server's connection preface).
  void Start();
  // Feeds received octets, then dispatches the pushed requests they led to. What
  // this writes is collected and handed to OnWrite at the end (in pieces of at most
  // WriteBatchSize), so one read step costs one write. Protocol errors are answered
  // here; after a connection error (GOAWAY sent) Closed() is true and the owner
  // disconnects.
  void ReadBytes(std::span<const uint8_t> aBytes);
  static constexpr size_t WriteBatchSize = 262144;
  bool Closed() const { return FClosed; }
  // On the owning thread, once the writer has drained: frames the DATA held back
  // for want of room.
  void ResumeOutput();
  // DATA waits for the writer to drain (then ResumeOutput).
  bool OutputHeldBack() { return FWrite.WriteDataFrames().HeldBack(); }

  // Answers: HEADERS with ":status" and aHeaderLines ("name: value"); connection-
  // specific fields are dropped (RFC 9113 8.2.2). Without a body the HEADERS end
  // the stream.
  void WriteHeaders(int32_t aStreamIdentifier, int aStatus, const std::vector<std::string>& aHeaderLines,
                    bool aEndStream);
  // DATA that ends the stream: octets held, or a body read in pieces.
  void WriteData(int32_t aStreamIdentifier, TIdBytes aData);
  void WriteDataSource(int32_t aStreamIdentifier, TzalHTTP2DataSource aSource, uint64_t aLength);
  void ResetStream(int32_t aStreamIdentifier, Th2ErrorCodes aErrorCode);
  // PUSH_PROMISE for aPath on aStreamIdentifier (a client stream); the pushed request
  // is dispatched by SendPushRequests. Returns the promised stream, or 0 when push is
  // off (ours or the peer's).
  int32_t PushPromise(int32_t aStreamIdentifier, const std::string& aPath, const std::string& aAuthority,
                      const std::string& aScheme);
  // Dispatches the pushed requests promised so far (and those they promise).
  void SendPushRequests();
  // GOAWAY with the highest stream processed (RFC 9113 6.8); the session is closed.
  void GoAway(Th2ErrorCodes aErrorCode, const std::string& aText = "");
  void Ping(const TzalHTTP2PingPayload& aPayload);

  // From any thread: a PING or a GOAWAY that the owning thread sends at its next
  // Tick, so no other thread ever waits on the socket (heartbeat, Close).
  void PostPing(const TzalHTTP2PingPayload& aPayload);
  void PostGoAway(Th2ErrorCodes aErrorCode);
  // A graceful end (RFC 9113 6.8): GOAWAY NO_ERROR with the last stream taken;
  // newer streams are refused, the streams taken are served, and once none is
  // left (or queued output) the session is closed.
  void PostDrain();
  // On the owning thread, between reads: sends what was posted, and ends with
  // GOAWAY a connection whose queued DATA has not moved for StallTimeOut ms, or
  // that has been idle for IdleTimeOut ms.
  void Tick(int64_t aNowMs);
  // When Tick has something to check next (monotonic ms; 0: nothing until
  // octets come or work is posted).
  int64_t NextDeadline();

  // The stream being dispatched (0 outside a dispatch).
  int32_t CurrentStream() const { return FCurrentStream; }
  TzalHTTP2_Frame& ReadEngine() { return FRead; }
  TzalHTTP2_Frame& WriteEngine() { return FWrite; }
  std::recursive_mutex& Lock() { return FLock; }

  std::function<void(TIdBytes&& aBytes)> OnWrite;
  // The octets the writer holds, not yet sent (unassigned: none).
  std::function<uint64_t()> OnQueuedOutput;
  std::function<void(TzalHTTP2_ServerSession& aSession, TzalHTTP2ServerRequest& aRequest)> OnRequest;
  // The peer acknowledged a PING of ours (RFC 9113 6.7).
  std::function<void(const TzalHTTP2PingPayload& aPayload)> OnPingAnswered;

private:
  void Wire();
  void ApplyOwnSettings();
  void PeerSettings(const TzalHTTP2_Frame_Settings& aSettings);
  void CheckFirstFrame() const;
  void Dispatch(TzalHTTP2ServerRequest& aRequest);
  void Emit(const TIdBytes& aBytes);
  void Flush();
  uint64_t QueuedOutput() const { return OnQueuedOutput ? OnQueuedOutput() : 0; }
  // Runs aFraming with what it writes collected into one piece for OnWrite;
  // a protocol error becomes GOAWAY.
  template <typename Framing>
  void Batched(Framing aFraming);
  void SendPosted();
  void WriteGoAway(Th2ErrorCodes aErrorCode, const std::string& aText);
  void Drain();
  bool Busy();
  void CheckStall(int64_t aNowMs);
  void CheckIdle(int64_t aNowMs);

  TzalHTTP2SessionSettings FSettings;
  TzalHTTP2_Frame FRead{h2frServerRead};
  TzalHTTP2_Frame FWrite{h2frServerWrite};
  std::recursive_mutex FLock;
  bool FSettingsReceived = false;
  std::atomic<bool> FClosed{false};  // also read by a stop waiting for the connection
  int32_t FCurrentStream = 0;
  std::vector<int32_t> FPendingPushes;
  bool FPushSending = false;
  bool FBatching = false;  // inside ReadBytes: output is collected in FBatch
  TIdBytes FBatch;
  int64_t FProgressAt = 0;    // the last Tick that found the output empty or moving
  uint64_t FSentAtTick = 0;   // DATA octets sent as of that Tick
  int64_t FBusyAt = 0;        // the last Tick that found streams, output or received octets
  bool FReceived = false;     // octets arrived since the last Tick

  // What other threads posted, guarded by FPostLock (never held while writing).
  static constexpr size_t MaxPostedPings = 16;
  std::mutex FPostLock;
  std::vector<TzalHTTP2PingPayload> FPostedPings;
  bool FGoAwayPosted = false;
  bool FDrainPosted = false;
  bool FDraining = false;  // GOAWAY NO_ERROR sent; the streams taken are being finished
  Th2ErrorCodes FPostedGoAway = h2erNO_ERROR;
};

}  // namespace zal
