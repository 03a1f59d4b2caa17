#pragma once
// The per-connection object: one per accepted connection, stored in the
// context's Data while the component owns it. The chain of classes grows from
// the transport-independent base to the server side of a socket connection.
//
// Sending: every frame is built by one writer (WriteFrame) under the write
// lock FCS, whichever thread sends it, and appended whole to the connection's
// output queue; only the connection's own thread sends what is queued
// (FlushOutput), with no lock held. A fragmented message holds the data
// channel from its first to its last frame, so other threads' data frames wait
// while control frames may go between its fragments (RFC 6455 5.4).
//
// Reading: the connection's own thread calls ReadStep; the frame readers take
// whole frames from the input buffer and leave partial ones there.
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "http/zalIdHTTPRequestLoop.h"
#include "http2/zalHTTP2_ServerConnection.h"
#include "server/zalWebSocket_Options.h"
#include "support/zalCriticalSection.h"
#include "support/zalFirstBytesScanner.h"
#include "support/zalObject.h"
#include "support/zalOutputQueue.h"
#include "support/zalStream.h"
#include "support/zalTypes.h"
#include "transport/zalIdStepDriver.h"
#include "websocket/zalWebSocket_Extensions.h"
#include "websocket/zalWebSocket_Handshake.h"
#include "websocket/zalWebSocket_Hixie76.h"
#include "websocket/zalWebSocket_Reader.h"
#include "websocket/zalWebSocket_TCPGather.h"

namespace zal {

class TIdBuffer;
class TIdContext;
class TIdTCPConnection;
class TStream;
class TzalWSConnection;

// The response lines of a handshake, which the application may change.
using TzalWSHandshakeEvent = std::function<void(TzalWSConnection* Connection, std::vector<std::string>& Headers)>;
// A credential check: gives the answer for the user and password in Authenticated.
using TzalWSAuthenticationEvent = std::function<void(TzalWSConnection* Connection, const std::string& aUser,
                                                     const std::string& aPassword, bool& Authenticated)>;

// A change of the connection's state; aType 1: the handshake has been answered.
using TzalWSUpdateEvent = std::function<void(TzalWSConnection* Connection, int aType)>;

enum TwsAuthentication : uint8_t { authNone, authSession, authURL, authBasic, authOAuth2 };

// How (and whether) a connection proved who it is.
struct TzalWSConnectionAuthentication {
  bool FAuthenticated = false;
  TwsAuthentication FAuthType = authNone;
  std::string FUser;
  std::string FPassword;
  std::string FSessionID;
};

// Which messages go through the send queues, and at which level.
using TzalWSQueueOptions = TzalWSQueueServer_Options;

// Limits of one WebSocket connection (see the README's table of limits).
struct TzalWSLimits {
  uint64_t MaxFrameSize = 16 * 1024 * 1024;      // payload octets of one received frame
  uint64_t MaxMessageSize = 16 * 1024 * 1024;    // octets of one received (inflated) message
  uint64_t MaxSendQueueSize = 32 * 1024 * 1024;  // octets waiting in the send queues, in the output queue, or of one message sent
  int CloseTimeOut = 5000;                       // ms to wait for the peer's part of a closing handshake
};

// One message waiting in a send queue.
struct TzalQueueObject {
  int FSize = 0;
  TwsStreaming FStreaming = stmNone;
  std::string FText;
  TOpcode FOpCode = opText;
  std::unique_ptr<TMemoryStream> FStream;  // a copy of the caller's stream
  uint64_t FPingId = 0;                    // opPing: the number the ping was given
  uint64_t Bytes() const { return FText.size() + (FStream ? static_cast<uint64_t>(FStream->Size()) : 0); }
};

using TzalWSConnMessageEvent = std::function<void(TzalWSConnection* Connection, const std::string& Text)>;
using TzalWSConnBinaryEvent = std::function<void(TzalWSConnection* Connection, const TMemoryStream& Data)>;
using TzalWSConnFragmentedEvent =
    std::function<void(TzalWSConnection* Connection, const TMemoryStream& Data, TOpcode OpCode, bool Continuation)>;
using TzalWSConnErrorEvent = std::function<void(TzalWSConnection* Connection, const std::string& Error)>;
using TzalWSSubscriptionEvent = std::function<void(TzalWSConnection* Connection, const std::string& Subscription)>;

class TzalTCPConnection_Base : public TObject {
public:
  // Created on first request: 32 uppercase hexadecimal digits.
  const std::string& Guid();

  bool Enabled() const { return FEnabled.load(); }
  void SetEnabled(bool value) { FEnabled.store(value); }
  bool Disconnected() const { return FDisconnected.load(); }
  void SetDisconnected(bool value);
  TwsTransport Transport() const { return FTransport; }
  void SetTransport(TwsTransport value) { FTransport = value; }
  uint64_t RecBytes() const { return FRecBytes.load(); }
  uint64_t SendBytes() const { return FSendBytes.load(); }
  // The end-of-frame sequence of the raw TCP transport, and how it is searched.
  void AddTCPEndOfFrame(uint8_t aByte) { FTCPEndOfFrame.push_back(aByte); }
  void ClearTCPEndOfFrame() { FTCPEndOfFrame.clear(); }
  TtcpEOFScanBuffer FTCPEndOfFrameScanBuffer = eofScanNone;

  bool FIsInternal = false;           // the watchdog monitor's own connection: no events
  bool FNotifyConnection = true;      // raise OnConnect for this connection
  bool FNotifyDisconnection = true;   // raise OnDisconnect for this connection
  std::string FMsgError;              // last error text delivered through OnError
  std::string FMsgException;          // last exception text delivered through OnException
  std::exception_ptr FException;      // the exception delivered through OnException

  // The owner (the context, then the disconnect notification) holds one
  // reference and every queued event that names the connection holds one more;
  // whoever drops the last one frees the object (TzalWSComponent_Base).
  void AddReference() { FReferences.fetch_add(1, std::memory_order_relaxed); }
  // True when this was the last reference.
  bool DropReference() { return FReferences.fetch_sub(1, std::memory_order_acq_rel) == 1; }

protected:
  // Runs when Disconnected becomes true the first time.
  virtual void Disconnecting() {}

  TzalCriticalSection FCS;  // the write lock: one frame at a time
  std::atomic<bool> FEnabled{false};
  std::atomic<bool> FDisconnected{false};
  std::atomic<uint64_t> FRecBytes{0};
  std::atomic<uint64_t> FSendBytes{0};
  std::atomic<TwsTransport> FTransport{trpUndefined};  // read by the heartbeat and by stops
  TIdBytes FTCPEndOfFrame;

private:
  std::atomic<int> FReferences{1};
  std::mutex FGuidLock;
  std::string FGuid;
};

class TzalTCPConnection : public TzalTCPConnection_Base {};

// The application's operations on a WebSocket connection; every one may be
// called from any thread.
class TzalWSConnection : public TzalTCPConnection {
public:
  ~TzalWSConnection() override;

  // Text (UTF-8) and binary messages. `aSize` > 0 cuts the message into frames
  // of at most that many octets; `aStreaming` sends one part of a message the
  // caller cuts itself.
  void WriteData(const std::string& aText, int aSize = 0, TwsStreaming aStreaming = stmNone);
  void WriteData(TStream& aStream, int aSize = 0, TwsStreaming aStreaming = stmNone);
  // A text that is only ever a message: on an event stream it goes out as data
  // even when it starts like a field ("data:", "event:", "id:", "retry:"),
  // which WriteData passes on as written. Use it for text that comes from
  // somebody else (a peer's message relayed to other clients).
  void WriteDataAsText(const std::string& aText);
  // Sends the text and waits up to aTimeOut ms for the next text message; "" when none came.
  // Must not be called on the connection's own thread.
  std::string WriteAndWaitData(const std::string& aText, int aTimeOut);
  void Ping(const std::string& aText);
  // True once the pong of this very ping (or of a later one) arrived within aTimeOut ms.
  bool Ping(const std::string& aText, int aTimeOut);
  // A ping handed to the connection's own thread through the send queues (the
  // ping level, or level 0 without one): the caller never writes, so a peer that
  // does not read cannot hold it up. Its time counts from this call.
  void PostPing(const std::string& aText);

  // Times of the heartbeat (monotonic milliseconds, 0 = none): the first ping
  // not yet followed by a check that found it answered, the last ping, the last pong.
  int64_t FirstPing() const { return FFirstPing.load(); }
  int64_t LastPing() const { return FLastPing.load(); }
  int64_t LastPong() const { return FLastPong.load(); }
  void ResetFirstPing() { FFirstPing.store(0); }
  // Starts the closing handshake with the code (1000 without one).
  void Close() { Close(1000); }
  void Close(int aCloseCode);
  // Ends the connection: a close frame when CleanDisconnect, then the socket.
  void Disconnect() { Disconnect(1000); }
  void Disconnect(int aCloseCode);

  // Sends what waits in the queues, level 0 first; runs on the connection's thread.
  void ProcessQueues();
  uint64_t QueuedBytes() const { return FQueuedBytes.load(); }
  // Tells the connection's own thread that work was posted for it (a queued
  // message, a ping, a close); any thread.
  virtual void Wake() {}

  int CloseCode() const { return FCloseCode.load(); }
  std::string CloseReason() const;
  // The text that answered a WriteAndWaitData still waiting; empty otherwise.
  std::string MsgReceived() const;
  // Set by the component before it raises the message event; wakes WriteAndWaitData
  // (and is kept only while one waits).
  void SetMsgReceived(const std::string& aText);
  const std::string& Protocol() const { return FProtocol; }
  // The text of the last pong that answered a ping.
  std::string Pong() const;

  // Channel subscriptions: names compared ignoring case, spaces part of the name.
  // Each name of the comma-separated list not yet subscribed is added, then
  // announced through FOnSubscription (outside the lock).
  void DoSubscribe(const std::string& aChannels);
  // Each subscribed name of the list is removed, then announced through FOnUnSubscription.
  void DoUnSubscribe(const std::string& aChannels);
  // True for an empty channel, or when any comma-separated name of it is subscribed.
  bool Subscribed(const std::string& aChannel) const;
  std::vector<std::string> Subscriptions() const;

  TzalWSQueueOptions FQueueOptions;
  TzalWSLimits FLimits;
  bool FValidateUTF8 = false;
  bool FCleanDisconnect = true;
  bool FRaiseDisconnectExceptions = true;
  TwsFragmentedMessages FFragmentedMessages = frgOnlyBuffer;
  bool FMasked = false;  // frames written by this side carry a mask (client role)
  TwsSpecification FSpecification = spRFC6455;
  std::string FProtocol;  // the registered sub-protocol names, comma-separated

  TzalWSConnMessageEvent FOnMessage;
  TzalWSConnBinaryEvent FOnBinary;
  TzalWSConnFragmentedEvent FOnFragmented;
  TzalWSConnErrorEvent FOnError;  // failures found on a thread that cannot raise them
  TzalWSSubscriptionEvent FOnSubscription;
  TzalWSSubscriptionEvent FOnUnSubscription;

protected:
  virtual void DoWriteData(const std::string& aText, int aSize, TwsStreaming aStreaming) = 0;
  virtual void DoWriteData(TStream& aStream, int aSize, TwsStreaming aStreaming) = 0;
  virtual void DoPing(const std::string& aText, uint64_t aPingId) = 0;
  virtual void SendClose(int aCloseCode) = 0;
  virtual void DoDisconnect(const std::string& aMessage, int aCloseCode) = 0;
  // Whether the writer has sent what it holds, so that queued messages may
  // join it (on the connection's own thread).
  virtual bool WriterHasRoom() { return true; }
  void Disconnecting() override;

  // A ping was answered: it and every older one are done (RFC 6455 5.5.3).
  void PingsAnswered(uint64_t aPingId, const std::string& aText);
  uint64_t NextPingId() { return ++FPingSequence; }
  // Records the time of a ping about to be sent (the first one's is kept), on
  // transports where a ping reaches the peer: Hixie-76 has no ping, so no
  // answer can be awaited there.
  void NotePingSent();

  std::atomic<int> FCloseCode{0};
  std::atomic<int64_t> FFirstPing{0}, FLastPing{0}, FLastPong{0};  // monotonic ms

  // Guards the reason, the received text, the pong state; FSignal wakes waiters.
  mutable std::mutex FStateLock;
  std::condition_variable FSignal;
  std::string FCloseReason;
  std::string FMsgReceived;  // guarded by FStateLock; kept only while FAnswerWaiters > 0
  int FAnswerWaiters = 0;     // guarded by FStateLock: WriteAndWaitData calls waiting

private:
  void Enqueue(TwsQueueMsgLevels aLevel, std::unique_ptr<TzalQueueObject> aItem);
  void EnqueuePing(TwsQueueMsgLevels aLevel, const std::string& aText, uint64_t aPingId);
  // A message that can never fit the send bound ends the connection with 1008.
  bool RefuseOversize(uint64_t aBytes);
  void Send(TzalQueueObject& aItem);

  struct SendQueue {
    std::mutex Lock;
    std::deque<std::unique_ptr<TzalQueueObject>> Items;
  };
  static bool HasItems(SendQueue& aQueue);
  std::unique_ptr<TzalQueueObject> TakeNext(SendQueue& aQueue);
  SendQueue FQueues[3];
  std::atomic<uint64_t> FQueuedBytes{0};
  std::atomic<uint64_t> FPingSequence{0};
  uint64_t FPingsAnswered = 0;  // guarded by FStateLock
  mutable std::mutex FSubscriptionsLock;
  std::vector<std::string> FSubscriptions;
  std::string FPong;            // guarded by FStateLock
};

class TzalWSConnection_Base_Sock : public TzalWSConnection {
public:
  TzalWSConnection_Base_Sock();
  ~TzalWSConnection_Base_Sock() override;
  void Wake() override;
  // A step never waits: it tells the driver what the next step waits for.
  // Octets from the peer and posted work end that wait; aTimeOutMs (-1: none)
  // ends it too, and so does room in the socket when aWritable. Without
  // aReadable the peer's octets neither end the wait nor are read, unless
  // another call of the same step asks for them (a step that reads no more
  // until its output has gone). Several calls in one step keep the earliest
  // deadline. A step that asks for nothing is followed at once by the next one.
  void AwaitNextStep(int aTimeOutMs = -1, bool aWritable = false, bool aReadable = true);
  // The driver's one wait between two steps, on the connection's own thread:
  // what the last step asked for, then the octets that came are pulled into
  // the input buffer. Under an event loop (a step driver) the loop waits
  // instead: this tells it what the step asked for and returns.
  void WaitForNextStep();
  // Under an event loop, before a step: the octets that came for the wait the
  // last step asked for are pulled into the input buffer, as the connection's
  // own wait would have done.
  void TakeArrivedInput();
  // The event loop that runs the connection's steps, or nullptr when its own
  // thread waits; cleared (under a lock, so that wakes stop) when the
  // connection leaves its TCP connection.
  void SetStepDriver(TIdStepDriver* aDriver);
  // Whether the last step asked the driver to wait (on the connection's own thread).
  bool StepAwaits() const { return FStepAwaits; }
  // Milliseconds a waiting connection keeps its input block before it frees it.
  static constexpr int IdleBlockReleaseMs = 50;
  // While one lives on the connection's own thread, a step runs there: what it
  // queues goes out at the step's end, without waking the connection.
  class TStepScope {
  public:
    explicit TStepScope(const TzalWSConnection_Base_Sock& aConnection);
    ~TStepScope();
    TStepScope(const TStepScope&) = delete;
    TStepScope& operator=(const TStepScope&) = delete;

  private:
    const void* FPrevious;
  };
  // HTTP/2 frames, whole, for the writer; any thread, under the session's lock.
  // Once the connection has ended they are dropped.
  void QueueHTTP2Frames(TIdBytes&& aFrames) {
    if (!Disconnected())
      QueueBytes(std::move(aFrames));
  }

  // The TCP connection is read without a lock on the connection's own thread,
  // which alone sets it; other threads reach it only through the writer (under
  // the write lock) and DisconnectTCP.
  TIdTCPConnection* TCPConnection() const { return FTCPConnection; }
  // Waits for a frame being written by another thread, so that nobody writes
  // to a TCP connection that is about to be freed.
  void SetTCPConnection(TIdTCPConnection* connection);
  // Closes the TCP connection without notifying the peer; any thread.
  void DisconnectTCP();
  // Work for the connection's own thread, from any thread: it runs in its
  // next step, in the order posted, or is dropped if the connection ends first.
  void Post(std::function<void()> aTask);
  // Runs what was posted, on the connection's own thread. A task that throws
  // leaves the later ones for the next step.
  void RunPosted();

  // The read step on the connection's own thread: sends what the queues hold,
  // reads the frames waiting in the input buffer (within one fair share) and
  // answers control frames. False once the connection is to be torn down.
  // Protocol errors raise TzalWSException after the connection was closed.
  bool ReadStep();
  // The negotiated extension, or nullptr; not owned.
  void SetExtension(TzalWSFrameExtension* aExtension);
  TzalWSFrameReader& Reader() { return FReader; }
  // One server-sent event (see SSEEventText), queued whole under the write lock.
  void WriteSSE(const std::string& aText);
  // Sends what the output queue holds; on the connection's own thread only.
  // A failed send drops the rest and raises the transport's exception.
  void SendOutput();
  // SendOutput, where a failed send raises TzalWSException "Error writing
  // message ..." (nothing when this side is ending the connection).
  void FlushOutput();
  uint64_t OutputBytes() const { return FOutput.Size(); }
  // The writer, for a step that sends its output without waiting (HTTP/1.1 answers).
  TzalOutputQueue& Output() { return FOutput; }
  // Closing as states of the connection's steps (DrainStep): what is queued
  // goes out first (within the send time-out), then our side is shut down
  // (after a TLS close_notify when aCloseNotify) and whatever the peer still
  // sends is dropped until its FIN, for at most aDrainMs, so the close never
  // meets unread data (which would send an RST). True while it drains.
  bool ShutdownGracefully(int aDrainMs, bool aCloseNotify = false);
  bool Draining() const { return FClosing; }
  // Queued output waits for the socket to take it.
  bool OutputWaiting() const { return FOutputHeld; }
  // One step of the drain; false once it has ended and closed the TCP connection.
  bool DrainStep();
  // Ends the TCP connection. Inside its own step at once, or once its queued
  // output has gone or its drain has ended; from any other thread the request
  // is left to the connection's next step, which the call wakes.
  void EndConnection();
  // ms queued output may wait without an octet moving before the connection
  // ends as a failed send (0: no limit).
  int FSendTimeOut = 0;

  int FReadTimeOut = 10;  // ms of one wait for the first bytes, when the server counts empty waits

protected:
  void DoWriteData(const std::string& aText, int aSize, TwsStreaming aStreaming) override;
  void DoWriteData(TStream& aStream, int aSize, TwsStreaming aStreaming) override;
  void DoPing(const std::string& aText, uint64_t aPingId) override;
  void SendClose(int aCloseCode) override;
  void DoDisconnect(const std::string& aMessage, int aCloseCode) override;
  bool WriterHasRoom() override;
  void Disconnecting() override;

  // The one writer: a whole frame, queued under the write lock.
  void WriteFrame(uint8_t aFirstByte, std::span<const uint8_t> aPayload);
  // A data frame through the extension, under the write lock.
  void WriteDataFrame(TOpcode aOpCode, bool aFin, std::span<const uint8_t> aPayload);
  void WriteMessage(std::span<const uint8_t> aData, TOpcode aOpCode, int aSize, TwsStreaming aStreaming);
  void WriteFragments(std::span<const uint8_t> aData, TOpcode aOpCode, bool aContinuationOnly, size_t aSize);
  // Appends a whole piece to the output queue; a reader too slow for the
  // bound is dropped (RefuseSlowReader). Under the write lock.
  void QueueBytes(TIdBytes&& aBytes);
  void QueueBytes(std::span<const uint8_t> aBytes) { QueueBytes(TIdBytes(aBytes.begin(), aBytes.end())); }

private:
  void BindReaderEvents();
  // The output queue would pass MaxSendQueueSize: the connection ends with 1008
  // at once, without a closing handshake that a peer which does not read could
  // never complete.
  void RefuseSlowReader();
  // The octets taken from the input buffer (0: what is there is not yet a whole frame).
  size_t ReadFrames();
  // True while the connection drains after its close frame.
  bool FailConnection(int aCloseCode);
  void AnswerClose(int aCode, const std::string& aReason);
  void AnswerPong(std::span<const uint8_t> aPayload);
  void AcquireDataChannel();
  void ReleaseDataChannel();

  TIdTCPConnection* FTCPConnection = nullptr;  // written under FCS and FTCPConnectionLock
  std::mutex FTCPConnectionLock;               // DisconnectTCP from other threads
  TzalWSFrameReader FReader;
  TzalWSHixie76Reader FHixie76Reader;
  TzalTCPGatherer FTCPGatherer;
  TzalWSFrameExtension* FExtension = nullptr;
  TzalOutputQueue FOutput;
  void WaitForWork(int aTimeOutMs, bool aWritable, bool aReadable);
  // The eventfd, made on first use.
  int WakeHandle();
  // An eventfd, made by the first wait of a connection that waits itself: Wake makes it readable.
  std::atomic<int> FWakeHandle{-1};
  std::mutex FDriverLock;                  // Wake from other threads against the driver's removal
  TIdStepDriver* FStepDriver = nullptr;    // written under FDriverLock, on the connection's own thread
  std::atomic<bool> FStepDriven{false};
  bool FAwaitedInput = false;              // driven: the last step asked for the peer's octets
  // What the last step asked the driver to wait for (AwaitNextStep).
  bool FStepAwaits = false;
  bool FStepWritable = false;
  bool FStepReadable = true;
  std::chrono::steady_clock::time_point FStepDeadline = std::chrono::steady_clock::time_point::max();
  std::atomic<bool> FWakePending{false};  // written to and not yet drained
  std::mutex FPostedLock;
  std::deque<std::function<void()>> FPosted;
  TIdBytes FDeflateScratch;  // guarded by FCS
  // The last read found only the start of a frame in the input buffer: the
  // next step waits for more rather than examining it again at once.
  bool FPartialFrame = false;
  int FPartialSize = 0;  // the size of the input buffer when it was found partial
  std::atomic<bool> FDoDisconnect{false};
  std::atomic<bool> FCloseSent{false};
  std::atomic<bool> FCloseReceived{false};
  std::atomic<int64_t> FCloseDeadline{0};
  // The closing states, on the connection's own thread only: FClosing from
  // ShutdownGracefully on; FDrainDeadline (monotonic ms) once our FIN is out.
  bool FClosing = false;
  bool FCloseNotify = false;
  int FDrainMs = 0;
  int64_t FDrainDeadline = 0;
  // Output the socket did not take in the last send, and when an octet last moved.
  bool FOutputHeld = false;
  std::chrono::steady_clock::time_point FSendProgress{};
  void ShutdownSending();
  bool EndDrain();

  // Pings sent and not yet answered, oldest first.
  struct PendingPing {
    uint64_t Id;
    std::string Text;
  };
  std::mutex FPingLock;
  std::deque<PendingPing> FPendingPings;

  // The thread whose fragmented message holds the data channel.
  std::mutex FChannelLock;
  std::condition_variable FChannelFree;
  std::thread::id FChannelOwner;
};

class TzalWSConnection_Sock : public TzalWSConnection_Base_Sock {};

class TzalWSConnectionServer : public TzalWSConnection_Sock {
public:
  // The opening handshake on the request in FHeadersRequest, whose header block
  // the connection loop has removed from the input buffer (any bytes after it
  // stay there: the Hixie-76 key octets, which came with it or never will).
  // Writes the 101 answer and enables the connection. A refused handshake is
  // answered with 400, 403 or 426 (RFC 6455 4.2.1, 4.4) and raises
  // TzalWSHandshakeException; the connection stays not enabled.
  void DoHandshake();
  void CheckOrigin();
  void NegotiateExtensions();
  std::string SelectProtocol();
  // For server-sent events: FProtocol keeps the first of its names that occurs
  // in the URL (letter case ignored), or becomes empty.
  void SelectProtocolFromURL();
  void AssignTransport(TwsTransport Value) { FTransport = Value; }
  // A code other than 1000 closes the connection with it right after its handshake.
  void SetAuthenticationCloseCode(int aCloseCode) { FAuthenticationCloseCode = aCloseCode; }

  // Authentication before the handshake; each gives FAuthenticated.
  // Raises OnAuthentication with the stored user and password and keeps its
  // answer; without a handler the answer stays as it is.
  void DoAuthentication();
  // "user:password" decoded from a Basic header, split at the first colon;
  // without a colon it is refused and changes nothing.
  bool AuthenticateBasic(const std::string& aCredentials);
  // A target /zal/auth/url/<user>/<password>[/...].
  bool AuthenticateURL(const std::string& aTarget);
  // The session request /zal/req/auth/session/<user>[/<password>]: when the
  // credentials pass, answers with the session ID, the active extensions and
  // the sub-protocols (one per line), else with 404.
  void AnswerSessionRequest(const std::string& aTarget);
  // Made on first request from a new GUID (32 upper-case hexadecimal digits).
  const std::string& SessionID();

  TwsSpecification Specification() const { return FSpecification; }
  const std::vector<std::string>& HeadersResponse() const { return FHeadersResponse; }
  const TzalWSHandShakeServer* Handshake() const { return FHandshake.get(); }
  TzalWSExtensions& Extensions() { return FExtensions; }
  // The request target of the first request line ("GET *" or "POST *").
  const std::string& URL();

  // Answers written straight onto the connection, each in one write. On HTTP/2
  // they are HEADERS (and DATA) on the given stream, or on the stream being
  // dispatched when it is 0; the text of a status answer is not sent there.
  // An answer of the server's own (an HTTP status, the policy file, frames),
  // whole, through the writer; it leaves as far as the socket takes it now.
  void QueueAnswer(TIdBytes&& aBytes);
  void SendResponseCode(int code, const std::string& text);
  void SendRedirect(const std::string& target);
  // A 200 answer with the rest of the stream as its body; the connection closes after it.
  void SendResponse(TStream& content, const std::string& contentType, int32_t aStreamIdentifier = 0);
  // SendResponse of the text, converted to ISO-8859-1.
  void SendResponseHTTP(const std::string& aContent, const std::string& aContentType);
  // A built-in resource (a comma-separated list of file names, see
  // TzalWSHTTPResponse) with {%host%}, {%port%} and {%ssl%} replaced (letter
  // case ignored) by this connection's local address, port and "s" on TLS.
  // Without a text: 404 "Not Found" when aNotFound, else nothing is written
  // and the result is false. On trpHTTP the connection is closed after the answer.
  bool SendFileResponse(const std::string& aFileName, const std::string& aContentType, int32_t aStreamIdentifier,
                        bool aNotFound);
  // The answer to an upgrade that is not accepted (400, 403 or 426, RFC 6455
  // 4.2.2 and 4.4), read to its end by the client; the connection closes after it.
  void RefuseUpgrade(int aStatusCode);

  TzalWSHandshakeEvent OnHandshake;
  TzalWSUpdateEvent OnUpdate;
  TzalWSAuthenticationEvent OnAuthentication;  // the component's check, bound when its authentication is on

  std::vector<std::string> FHeadersRequest;  // the first bytes, split into lines
  int FReadCount = 0;                        // idle steps, for the idle rule
  int FFirstBytesWaitedWith = -1;            // input octets when the last first-bytes wait began (-1: none yet)
  TzalFirstBytesScanner FFirstBytes;         // how far the first bytes have been examined
  std::chrono::steady_clock::time_point FFirstBytesDeadline{};  // classified or closed by then
  std::chrono::steady_clock::time_point FFirstByteTime{};  // when the request's first byte was seen
  bool FTLSHandshake = false;  // the TLS handshake, the connection's first phase, has not ended yet
  std::chrono::steady_clock::time_point FReadStartSSLDeadline{};  // TLS start rule: set at the lone first byte
  // A classified request whose dispatch needs more octets than have come (the
  // rest of an upgrade's header block, a post's body): the first-bytes step
  // dispatches it again once Ready holds for the input, at Deadline, or when
  // the peer has closed.
  struct TInputGate {
    std::function<bool(const TIdBuffer&)> Ready;
    std::chrono::steady_clock::time_point Deadline;
  };
  std::optional<TInputGate> FInputGate;
  TzalWSConnectionAuthentication FAuthentication;
  int FAuthenticationCloseCode = 1000;
  std::atomic<bool> FCustomHeartBeat{false};  // the application answered OnBeforeHeartBeat with Handled
  bool FServerSSL = false;
  std::string FServerOriginsAllowed;
  TIdContext* FContext = nullptr;
  TIdIPVersion FIPVersion = Id_IPv4;
  std::unique_ptr<TzalHTTP2_ServerConnection> FHTTP2;  // the HTTP/2 side, once the preface arrived
  std::unique_ptr<TIdHTTPRequestLoop> FHTTP1;  // the HTTP/1.1 request loop, while it runs
  // Makes aHTTP2 the connection's HTTP/2 side: pings and Close go through it.
  void AttachHTTP2(std::unique_ptr<TzalHTTP2_ServerConnection> aHTTP2);

protected:
  // On HTTP/2: a PING whose acknowledgement answers Ping, and GOAWAY for Close,
  // both sent by the connection's own thread.
  void DoPing(const std::string& aText, uint64_t aPingId) override;
  void SendClose(int aCloseCode) override;

private:
  bool SpeaksTLS() const;
  // Stores the credentials of that kind and gives the check's answer.
  bool CheckCredentials(TwsAuthentication aType, std::string_view aUser, std::string_view aPassword);
  void PrepareHandshake();
  std::array<uint8_t, 8> TakeKey3();
  void WriteAnswer(const std::string& bytes);

  // The negotiated extension set as the frame reader and writer call it.
  class FrameExtension : public TzalWSFrameExtension {
  public:
    explicit FrameExtension(TzalWSExtensions& extensions) : FExtensions(extensions) {}
    void ReadStream(uint8_t aByte, std::span<const uint8_t> aPayload, TIdBytes& aOutput) override {
      FExtensions.ReadStream(aByte, aPayload, aOutput);
    }
    void WriteStream(uint8_t& aByte, std::span<const uint8_t> aPayload, TIdBytes& aOutput) override {
      FExtensions.WriteStream(aByte, aPayload, aOutput);
    }

  private:
    TzalWSExtensions& FExtensions;
  };

  std::unique_ptr<TzalWSHandShakeServer> FHandshake;
  std::vector<std::string> FHeadersResponse;
  TzalWSExtensions FExtensions;
  FrameExtension FFrameExtension{FExtensions};
  std::string FURL;
};

}  // namespace zal
