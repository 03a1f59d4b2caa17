#pragma once
// TIdIOHandler: buffered reading and writing over one connection. Raw bytes are
// received into the input buffer and served from it as lines, counted byte
// blocks, streams and typed values; writes go out directly or through an
// optional write buffer. Transport variants (plain TCP, TLS, event-driven)
// replace only the raw primitives: ReceiveRaw, SendRaw, Readable, SourceAvailable.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <vector>

#include "support/zalIdException.h"
#include "support/zalIdTextEncoding.h"
#include "support/zalOutputQueue.h"
#include "transport/zalIdBuffer.h"
#include "transport/zalIdStack.h"

namespace zal {

// Octets handed to one raw send. The send time-out (SO_SNDTIMEO) bounds a stall,
// which ends only when a whole piece has gone: a peer must take at least one
// piece per time-out.
constexpr int IdSendPieceSize = 65536;

class TStream;
class TIdConnectionIntercept;
class TIdIOHandler;

enum TIdMaxLineAction : uint8_t { maException, maSplit };
enum TIdStatus : uint8_t { hsResolving, hsConnecting, hsConnected, hsDisconnecting, hsDisconnected, hsStatusText };
enum TWorkMode : uint8_t { wmRead, wmWrite };

// Time-out arguments of the reading operations.
enum : int {
  IdTimeoutDefault = -1,   // the handler's ReadTimeout
  IdTimeoutInfinite = -2,  // wait without limit
};
constexpr int IdMaxLineLengthDefault = 16384;
constexpr int IdDefaultRecvBufferSize = 32768;
constexpr int IdDefaultSendBufferSize = 32768;

class EIdReadTimeout : public EIdException {
public:
  EIdReadTimeout() : EIdException("Read timed out.") {}
};
class EIdNotConnected : public EIdException {
public:
  EIdNotConnected() : EIdException("Not Connected") {}
};
class EIdClosedSocket : public EIdException {
public:
  EIdClosedSocket() : EIdException("Disconnected.") {}
};
class EIdReadLnMaxLineLengthExceeded : public EIdException {
public:
  EIdReadLnMaxLineLengthExceeded() : EIdException("Max line length exceeded.") {}
};
class EIdMaxCaptureLineExceeded : public EIdException {
public:
  EIdMaxCaptureLineExceeded() : EIdException("Maximum number of line allowed exceeded") {}
};
class EIdIOHandlerStreamDataTooLarge : public EIdException {
public:
  EIdIOHandlerStreamDataTooLarge() : EIdException("Data is too large for stream") {}
};
class EIdIOHandlerRequiresLargeStream : public EIdException {
public:
  EIdIOHandlerRequiresLargeStream() : EIdException("Set LargeStream to True to send streams greater than 2GB") {}
};
class EIdNoDataToRead : public EIdException {
public:
  EIdNoDataToRead() : EIdException("No data to read.") {}
};
// "File \"%s\" not found".
class EIdFileNotFound : public EIdException {
public:
  explicit EIdFileNotFound(const std::string& fileName) : EIdException("File \"" + fileName + "\" not found") {}
};

using TIdStrings = std::vector<std::string>;
using TIdStatusEvent = std::function<void(TIdIOHandler& sender, TIdStatus status, const std::string& text)>;
using TIdWorkEvent = std::function<void(TIdIOHandler& sender, TWorkMode mode, int64_t count)>;

class TIdIOHandler {
public:
  TIdIOHandler();
  virtual ~TIdIOHandler();
  TIdIOHandler(const TIdIOHandler&) = delete;
  TIdIOHandler& operator=(const TIdIOHandler&) = delete;

  // Life cycle. Close may be called from another thread to end a blocked read.
  virtual void Open();
  virtual void AfterAccept() {}
  virtual void Close();
  void CloseGracefully() { FClosedGracefully = true; }
  bool Opened() const { return FOpened; }
  bool ClosedGracefully() const { return FClosedGracefully; }
  virtual bool Connected();

  // ---- reading -------------------------------------------------------------
  std::string ReadLn(const IIdTextEncoding* byteEncoding = nullptr);
  std::string ReadLn(const std::string& terminator, const IIdTextEncoding* byteEncoding = nullptr);
  // The line up to `terminator` (empty: LF, which also strips a CR before it).
  // A time-out returns "" with ReadLnTimedOut set; `maxLineLength` < 0 takes MaxLineLength.
  std::string ReadLn(const std::string& terminator, int timeout, int maxLineLength,
                     const IIdTextEncoding* byteEncoding = nullptr);
  // Exactly `byteCount` bytes (appended or over the start of `buffer`); a
  // negative count takes whatever is buffered, filling once when empty.
  void ReadBytes(TIdBytes& buffer, int byteCount, bool append = true);
  std::string ReadString(int byteCount, const IIdTextEncoding* byteEncoding = nullptr);
  // Copies `byteCount` bytes to the stream (nullptr drops them). -1 reads the count
  // from the connection first, unless `readUntilDisconnect`.
  void ReadStream(TStream* stream, int64_t byteCount = -1, bool readUntilDisconnect = false);
  uint8_t ReadByte();
  // One character in the encoding, returned as UTF-8.
  std::string ReadChar(const IIdTextEncoding* byteEncoding = nullptr);
  uint16_t ReadUInt16(bool convert = true);
  int16_t ReadInt16(bool convert = true);
  uint32_t ReadUInt32(bool convert = true);
  int32_t ReadInt32(bool convert = true);
  uint64_t ReadUInt64(bool convert = true);
  int64_t ReadInt64(bool convert = true);
  uint16_t ReadWord(bool convert = true) { return ReadUInt16(convert); }
  int16_t ReadSmallInt(bool convert = true) { return ReadInt16(convert); }
  uint32_t ReadLongWord(bool convert = true) { return ReadUInt32(convert); }
  int32_t ReadLongInt(bool convert = true) { return ReadInt32(convert); }
  // Appends `readLinesCount` lines; a negative count is read first as a big-endian Int32.
  void ReadStrings(TIdStrings& dest, int readLinesCount = -1, const IIdTextEncoding* byteEncoding = nullptr);
  // Lines up to the line equal to `delim` (consumed, not stored).
  void Capture(TIdStrings& dest, const std::string& delim = ".", bool usesDotTransparency = true,
               const IIdTextEncoding* byteEncoding = nullptr);
  // As above, each line written to the stream followed by CR LF.
  void Capture(TStream& dest, const std::string& delim = ".", bool usesDotTransparency = true,
               const IIdTextEncoding* byteEncoding = nullptr);
  void Discard(int64_t byteCount);
  void DiscardAll();
  bool InputBufferIsEmpty() const { return !FInputBuffer || FInputBuffer->Size() == 0; }
  std::string InputBufferAsString(const IIdTextEncoding* byteEncoding = nullptr);
  void InputBufferToStream(TStream& stream, int byteCount = -1);
  // True when the call brought new bytes into the input buffer; never raises
  // for a closed peer or a time-out.
  virtual bool CheckForDataOnSource(int timeout = 0);
  // Raises EIdConnClosedGracefully when closed and (nothing is buffered or `ignoreBuffer`).
  virtual void CheckForDisconnect(bool raiseExceptionIfDisconnected = true, bool ignoreBuffer = false);
  // Whether the source has data within `msec` (-1 and -2: without limit).
  virtual bool Readable(int msec = IdTimeoutDefault) = 0;
  // Octets already received that a read delivers without the socket (TLS
  // plaintext not yet taken): a wait on the socket alone would miss them.
  virtual bool HasPendingInput() { return false; }
  // One fill of the input buffer: the byte count, 0 when closed, -1 on time-out.
  int FillInputBuffer(bool raiseExceptionIfDisconnected = true, int timeout = IdTimeoutDefault,
                      bool raiseExceptionOnTimeout = true);

  // ---- writing -------------------------------------------------------------
  void Write(const TIdBytes& buffer, int length = -1, int offset = 0);
  void Write(std::span<const uint8_t> buffer);
  void Write(const std::string& out, const IIdTextEncoding* byteEncoding = nullptr);
  void Write(const char* out, const IIdTextEncoding* byteEncoding = nullptr) { Write(std::string(out), byteEncoding); }
  void Write(uint8_t value);
  void Write(char value, const IIdTextEncoding* byteEncoding = nullptr);
  void Write(int16_t value, bool convert = true);
  void Write(uint16_t value, bool convert = true);
  void Write(int32_t value, bool convert = true);
  void Write(uint32_t value, bool convert = true);
  void Write(int64_t value, bool convert = true);
  void Write(uint64_t value, bool convert = true);
  // Optionally the line count (big-endian Int32), then each line with WriteLn.
  void Write(const TIdStrings& value, bool writeLinesCount = false, const IIdTextEncoding* byteEncoding = nullptr);
  // `size` < 0: from the position to the end; 0: the whole stream from its start.
  void Write(TStream& stream, int64_t size = 0, bool writeByteCount = false);
  void WriteLn(const std::string& out = "", const IIdTextEncoding* byteEncoding = nullptr);
  void WriteLn(const IIdTextEncoding* byteEncoding) { WriteLn(std::string(), byteEncoding); }
  // WriteLn, with one more "." in front of a line that starts with ".".
  void WriteLnRFC(const std::string& out = "", const IIdTextEncoding* byteEncoding = nullptr);
  void WriteRFCStrings(const TIdStrings& strings, bool writeTerminator = true,
                       const IIdTextEncoding* byteEncoding = nullptr);
  // Sends the file's content; returns its size.
  int64_t WriteFile(const std::string& fileName, bool enableTransferFile = false);
  // Sends at once, bypassing the write buffer.
  void WriteDirect(const TIdBytes& buffer, int length = -1, int offset = 0);
  void WriteDirect(std::span<const uint8_t> buffer);
  // Sends what `queue` holds as far as the transport takes it now, never
  // waiting for the peer; files go by sendfile where nothing has to see their
  // octets. True when everything has gone, the transport holding nothing back
  // (TLS records) either; false when the driver must wait for the socket to
  // take more. A failed send closes the connection and raises. Through an
  // intercept each piece goes whole, as a blocking write.
  bool SendQueued(TzalOutputQueue& queue);
  // Counts the octets SendQueued has handed to the socket (under TLS, records
  // too): a send moved some when it changed.
  uint64_t SentWithoutWaiting() const { return FSentWithoutWaiting; }
  // The queued octets SendQueued has sent (plaintext under TLS).
  uint64_t QueuedOctetsSent() const { return FQueuedOctetsSent; }
  void WriteBufferOpen(int threshold = -1);
  void WriteBufferFlush(int byteCount = -1);
  void WriteBufferClose();
  void WriteBufferClear();
  void WriteBufferCancel();
  bool WriteBufferingActive() const;

  // ---- properties ----------------------------------------------------------
  TIdBuffer& InputBuffer() { return *FInputBuffer; }
  TIdConnectionIntercept* Intercept() const { return FIntercept; }
  virtual void SetIntercept(TIdConnectionIntercept* value) { FIntercept = value; }
  int ReadTimeout() const { return FReadTimeOut; }
  void SetReadTimeout(int value) { FReadTimeOut = value; }
  int RecvBufferSize() const { return FRecvBufferSize; }
  void SetRecvBufferSize(int value) { FRecvBufferSize = value > 0 ? value : IdDefaultRecvBufferSize; }
  int SendBufferSize() const { return FSendBufferSize; }
  void SetSendBufferSize(int value) { FSendBufferSize = value > 0 ? value : IdDefaultSendBufferSize; }
  int MaxLineLength() const { return FMaxLineLength; }
  void SetMaxLineLength(int value) { FMaxLineLength = value; }
  TIdMaxLineAction MaxLineAction() const { return FMaxLineAction; }
  void SetMaxLineAction(TIdMaxLineAction value) { FMaxLineAction = value; }
  int MaxCapturedLines() const { return FMaxCapturedLines; }
  void SetMaxCapturedLines(int value) { FMaxCapturedLines = value; }
  bool LargeStream() const { return FLargeStream; }
  void SetLargeStream(bool value) { FLargeStream = value; }
  bool ReadLnSplit() const { return FReadLnSplit; }
  bool ReadLnTimedOut() const { return FReadLnTimedOut; }
  const IIdTextEncoding* DefStringEncoding() const { return FDefStringEncoding; }
  void SetDefStringEncoding(const IIdTextEncoding* value) { FDefStringEncoding = value; }
  int WriteBufferThreshold() const { return FWriteBufferThreshold; }
  // Client-side settings, kept for completeness; the server does not use them.
  int ConnectTimeout() const { return FConnectTimeout; }
  void SetConnectTimeout(int value) { FConnectTimeout = value; }
  const std::string& Destination() const { return FDestination; }
  void SetDestination(const std::string& value) { FDestination = value; }
  const std::string& Host() const { return FHost; }
  void SetHost(const std::string& value) { FHost = value; }
  int Port() const { return FPort; }
  void SetPort(int value) { FPort = value; }

  TIdStatusEvent OnStatus;
  TIdWorkEvent OnWork;

protected:
  // One raw receive into `buffer`: the byte count, 0 for an orderly close, or
  // the negated socket error code (zalIdStack's numbering) for a failure;
  // -Id_WSAEWOULDBLOCK when bytes were taken but none can be delivered yet.
  virtual int ReceiveRaw(uint8_t* buffer, int length) = 0;
  // One raw send: the bytes sent, or the negated socket error code.
  virtual int SendRaw(const uint8_t* bytes, int length) = 0;
  // Whether the underlying source (the socket) exists.
  virtual bool SourceAvailable() const = 0;
  // Whether TransferFileRaw can send file contents without copying them through here.
  virtual bool CanTransferFile() const { return false; }
  // Sends up to `length` bytes of the file from `offset`; the count sent, or the
  // negated socket error code.
  virtual int TransferFileRaw(int, int64_t, int) { return -Id_WSAEOPNOTSUPP; }

  // One send that never waits: the octets taken, -Id_WSAEWOULDBLOCK when the
  // socket takes none now, or the negated socket error code; `more`: other
  // octets follow at once. By default the blocking SendRaw.
  virtual int SendRawNow(const uint8_t* bytes, int length, bool) { return SendRaw(bytes, length); }
  // TransferFileRaw, never waiting; where CanTransferFile.
  virtual int TransferFileRawNow(int, int64_t, int) { return -Id_WSAEOPNOTSUPP; }
  // Sends what the transport holds back from earlier sends: 0 once nothing is
  // left, -Id_WSAEWOULDBLOCK while some is, or the negated socket error code.
  virtual int SendHeldRaw() { return 0; }
  uint64_t FSentWithoutWaiting = 0;
  uint64_t FQueuedOctetsSent = 0;

  void DoStatus(TIdStatus status, const std::string& text = std::string());
  void DoWork(TWorkMode mode, int64_t count);
  const IIdTextEncoding* ChooseEncoding(const IIdTextEncoding* byteEncoding) const;

private:
  // Receives once and appends the (intercepted) bytes, their count in `appended`;
  // returns ReceiveRaw's result.
  int ReceiveIntoInputBuffer(int& appended);
  // Handles a failed raw receive; returns -1 for a time-out, else 0 (closed).
  int HandleReceiveError(int errorCode, bool raiseExceptionIfDisconnected, bool raiseExceptionOnTimeout);
  // Handles a failed raw send: closes the connection and raises.
  [[noreturn]] void HandleSendError(int errorCode);
  void SendAll(const uint8_t* bytes, size_t length);
  class TQueueTransport;
  // The non-waiting sends of SendQueued: the octets taken (0 when none fit now).
  size_t SendNow(std::span<const uint8_t> octets, bool more);
  size_t SendFileNow(int fileHandle, uint64_t offset, size_t length);
  // SendHeldRaw: true once nothing is held back.
  bool SendHeld();
  void TransferFile(int fileHandle, int64_t size);
  // Fills until at least `byteCount` bytes are buffered; raises when the peer is gone.
  void WaitForBytes(int byteCount);
  // One more fill for ReadLn within the line's time-out (the first fill always
  // runs, later ones only while time is left); false when it has passed.
  bool FillForLine(int timeout, std::chrono::steady_clock::time_point start, bool firstFill);
  std::string ExtractLine(int lineLength, int removeLength, const IIdTextEncoding* encoding);
  uint64_t ReadValue(int size, bool convert);
  void WriteValue(uint64_t value, int size, bool convert);
  // Sends whole blocks of `blockSize` octets at once; returns the tail left over.
  std::span<const uint8_t> WriteWholeBlocks(std::span<const uint8_t> bytes, size_t blockSize);
  // Octets that would complete the write buffer's open block (0 when unbuffered,
  // without a threshold, or on a block boundary).
  int64_t WriteBlockRoom();
  // Reads the stream's byte count announced by the peer.
  int64_t ReadStreamByteCount();
  void MoveBufferedToStream(TStream* stream, int64_t& remaining);
  template <typename Store>
  void CaptureLines(const std::string& delim, bool usesDotTransparency, const IIdTextEncoding* byteEncoding,
                    Store store);

  bool FLargeStream = false;
  std::atomic<bool> FClosedGracefully{false};
  int FConnectTimeout = 0;
  std::string FDestination;
  std::string FHost;
  std::unique_ptr<TIdBuffer> FInputBuffer;
  TIdConnectionIntercept* FIntercept = nullptr;
  int FMaxCapturedLines = -1;
  TIdMaxLineAction FMaxLineAction = maException;
  int FMaxLineLength = IdMaxLineLengthDefault;
  std::atomic<bool> FOpened{false};
  int FPort = 0;
  bool FReadLnSplit = false;
  bool FReadLnTimedOut = false;
  int FReadTimeOut = IdTimeoutDefault;
  int FRecvBufferSize = IdDefaultRecvBufferSize;
  int FSendBufferSize = IdDefaultSendBufferSize;
  // Present only while write buffering is open. Guarded by FWriteBufferLock,
  // because Close (which drops it) may run on another thread.
  std::unique_ptr<TIdBuffer> FWriteBuffer;
  int FWriteBufferThreshold = 0;
  const IIdTextEncoding* FDefStringEncoding;
  mutable std::mutex FWriteBufferLock;
  TIdBytes FInterceptScratch;  // reused receive block when an intercept transforms input
};

}  // namespace zal
