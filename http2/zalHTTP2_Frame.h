#pragma once
// HTTP/2 frame codec (RFC 7540 section 6, RFC 8441): one reusable class per frame type
// that turns a received payload into fields and fields into frames on the wire. A frame
// object never touches a socket: serialised frames go to its OnWriteBytes handler.
#include <array>
#include <cstdint>
#include <functional>
#include <istream>
#include <span>
#include <string>
#include <vector>

#include "http2/zalHTTP2_HPACK.h"
#include "http2/zalHTTP2_Helpers.h"
#include "http2/zalHTTP2_Types.h"

namespace zal {

class TzalHTTP2_Frame_Base;

using TzalHTTP2WriteBytesEvent = std::function<void(TzalHTTP2_Frame_Base* Sender, const TIdBytes& aBytes)>;
using TzalHTTP2NotifyEvent = std::function<void(TzalHTTP2_Frame_Base* Sender)>;
using TzalHTTP2RequestPushPromisedIdEvent = std::function<void(int32_t& PushPromisedId)>;
using TzalHTTP2PingPayload = std::array<uint8_t, 8>;
using TzalHTTP2HeaderLines = std::vector<std::string>;

inline constexpr int32_t h2MaxStreamIdentifier = 0x7FFFFFFF;

// The 9-octet frame header (RFC 7540 section 4.1).
struct TzalHTTP2_FrameHeader {
  int32_t Length = 0;
  uint8_t Type = h2ftNONE;
  uint8_t Flags = 0;
  int32_t StreamIdentifier = 0;  // the reserved bit removed
};

// Reads the header from the first 9 octets of aBytes (EIdException when there are fewer).
TzalHTTP2_FrameHeader ReadFrameHeader(std::span<const uint8_t> aBytes);
// Appends a frame header to aOutput; the reserved bit is sent as 0.
void AppendFrameHeader(TIdBytes& aOutput, int32_t aLength, Th2FrameType aType, uint8_t aFlags, int32_t aStreamIdentifier);
// The rules every received frame header obeys, in order: unknown type inside an open
// header block, length above aMaxFrameSize, PING length, and the stream identifier
// rules of each type. Returns false for an unknown type that is to be skipped.
bool CheckFrameHeader(const TzalHTTP2_FrameHeader& aHeader, int32_t aMaxFrameSize, bool aHeaderBlockOpen);

// Hands out new stream identifiers: odd ones for the write roles, even ones for the
// read roles, each larger than the last.
class TzalHTTP2_StreamIdentifierCounter {
public:
  explicit TzalHTTP2_StreamIdentifierCounter(Th2FrameRole aFrameRole) : FFrameRole(aFrameRole) {}
  int32_t GetNewIdentifier();
  int32_t LastStreamIdentifier() const { return FNewStreamIdentifier; }
  Th2FrameRole FrameRole() const { return FFrameRole; }

private:
  int32_t FNewStreamIdentifier = 0;
  Th2FrameRole FFrameRole;
};

class TzalHTTP2_Frame_Base {
public:
  explicit TzalHTTP2_Frame_Base(Th2FrameRole aFrameRole);
  virtual ~TzalHTTP2_Frame_Base() = default;
  TzalHTTP2_Frame_Base(const TzalHTTP2_Frame_Base&) = delete;
  TzalHTTP2_Frame_Base& operator=(const TzalHTTP2_Frame_Base&) = delete;

  // Copies role, stream identifier and frame length; subclasses add their own fields.
  virtual void Assign(const TzalHTTP2_Frame_Base& aSource);
  // Cuts aPayload into frames of at most 16384 octets (and at most aLimit octets in
  // all when aLimit is positive), hands them to OnWriteBytes in one call and returns
  // the payload octets left unsent. Only DATA keeps its offset between calls.
  virtual int WriteFrames(Th2FrameType aFrameType, uint8_t aLastFlags, uint8_t aOtherFlags, int32_t aStreamIdentifier,
                          std::span<const uint8_t> aPayload, int aLimit);

  void Clear() { DoClear(); }
  void ClearFlags() { DoClearFlags(); }
  void ReadFlags(uint8_t aByte);
  void ReadPayload(std::span<const uint8_t> aBytes);
  void WriteBytes() { DoWriteBytes(); }

  Th2FrameRole FrameRole() const { return FFrameRole; }
  int32_t StreamIdentifier() const { return FStreamIdentifier; }
  void SetStreamIdentifier(int32_t aValue) { FStreamIdentifier = aValue; }
  int32_t FrameLength() const { return FFrameLength; }
  void SetFrameLength(int32_t aValue) { FFrameLength = aValue; }
  TzalHTTP2_StreamIdentifierCounter* StreamIdentifierCounter() const { return FStreamIdentifierCounter; }
  void SetStreamIdentifierCounter(TzalHTTP2_StreamIdentifierCounter* aValue) { FStreamIdentifierCounter = aValue; }
  int Offset() const { return FOffset; }

  TzalHTTP2WriteBytesEvent OnWriteBytes;

protected:
  virtual void DoClearFlags() {}
  virtual void DoClear() {}
  virtual void DoReadFlags(uint8_t) {}
  virtual void DoReadPayload(std::span<const uint8_t> aBytes) { DoValidatePayload(aBytes); }
  virtual void DoValidatePayload(std::span<const uint8_t>) {}
  virtual void DoWriteBytes() {}
  // Hands aOutput to OnWriteBytes when it is assigned.
  void Emit(const TIdBytes& aOutput);

  int FOffset = 0;
  TzalHTTP2_StreamIdentifierCounter* FStreamIdentifierCounter = nullptr;
  int32_t FFrameLength = 0;
  Th2FrameRole FFrameRole;
  int32_t FStreamIdentifier = 0;
};

class TzalHTTP2_Frame_Data : public TzalHTTP2_Frame_Base {
public:
  explicit TzalHTTP2_Frame_Data(Th2FrameRole aFrameRole);
  void Assign(const TzalHTTP2_Frame_Base& aSource) override;

  // Reads the whole stream from its start into Data and sets EndStream; without a
  // stream Data is only emptied.
  void SetStream(std::istream* aStream);
  // Writes the DATA frames of this object under the flow-control limit aLimit (see
  // WriteFrames); a later call continues where this one stopped. Returns the octets
  // left. The payload (with padding when it fits one frame) is built on the first call.
  int WriteDataFrames(int aLimit);

  bool EndStream() const { return FEndStream; }
  void SetEndStream(bool aValue) { FEndStream = aValue; }
  bool Padded() const { return FPadded; }
  void SetPadded(bool aValue) { FPadded = aValue; }
  const TIdBytes& Data() const { return FData; }
  void SetData(TIdBytes aValue) { FData = std::move(aValue); }
  // Moves the data out (the object keeps none), so a queued body is not copied.
  TIdBytes TakeData() { return std::move(FData); }
  std::string DataString() const { return OctetsToText(FData); }
  int PadLength() const { return FPadLength; }
  void SetPadLength(int aValue) { FPadLength = aValue; }
  int32_t StreamIdentifierRequest() const { return FStreamIdentifierRequest; }
  void SetStreamIdentifierRequest(int32_t aValue) { FStreamIdentifierRequest = aValue; }

  TzalHTTP2NotifyEvent OnWriteDataFrame;

protected:
  void DoClearFlags() override;
  void DoClear() override;
  void DoReadFlags(uint8_t aByte) override;
  void DoReadPayload(std::span<const uint8_t> aBytes) override;
  void DoValidatePayload(std::span<const uint8_t> aBytes) override;
  void DoWriteBytes() override;

private:
  void BuildPayload(int aLimit);

  TIdBytes FPayLoad;
  TIdBytes FData;
  bool FEndStream = false;
  bool FPadded = false;
  int FPadLength = 0;
  int32_t FStreamIdentifierRequest = 0;
  bool FPayloadBuilt = false;
  bool FSendPadded = false;
};

// Common part of the frames that carry a header block (HEADERS, PUSH_PROMISE).
class TzalHTTP2_Frame_HPACK_Base : public TzalHTTP2_Frame_Base {
public:
  TzalHTTP2_Frame_HPACK_Base(TzalHTTP2_HPACK* aHPACK, TzalHTTP2_StreamIdentifierCounter* aStreamIdentifierCounter,
                             Th2FrameRole aFrameRole);

  // The header block of lines "name: value" (pseudo-headers ":name: value").
  TIdBytes EncodeHeaderList(const TzalHTTP2HeaderLines& aHeaders);
  // Takes the next identifier from the shared counter (0 without one).
  int32_t NewStreamIdentifier();
  int32_t LastNewStreamIdentifier() const { return FNewStreamIdentifier; }
  TzalHTTP2_HPACK* HPACK() const { return FHPACK; }

protected:
  // Decodes aBytes[aOffset, aEnd) into aHeaders with the shared decoder.
  void DecodeHeaderBlock(std::span<const uint8_t> aBytes, int aOffset, int aEnd, TzalHTTP2HeaderLines& aHeaders);
  // Sends aPayload as one frame of aFrameType, or, when it is longer than one frame,
  // as that frame followed by CONTINUATION frames; END_HEADERS (when aEndHeaders) goes
  // on the last frame only. All frames go to OnWriteBytes in one call.
  void WriteHeaderBlockFrames(Th2FrameType aFrameType, uint8_t aFlags, bool aEndHeaders, const TIdBytes& aPayload);
  // Header block start and end after the pad-length octet and padding (RFC 7540 6.2, 6.6).
  static void ReadPadding(std::span<const uint8_t> aBytes, bool aPadded, int& aPadLength, int& aPosition, int& aEnd);

  int32_t FNewStreamIdentifier = 0;
  TzalHTTP2_HPACK* FHPACK;
};

class TzalHTTP2_Frame_Headers : public TzalHTTP2_Frame_HPACK_Base {
public:
  using TzalHTTP2_Frame_HPACK_Base::TzalHTTP2_Frame_HPACK_Base;
  void Assign(const TzalHTTP2_Frame_Base& aSource) override;

  bool EndHeaders() const { return FEndHeaders; }
  void SetEndHeaders(bool aValue) { FEndHeaders = aValue; }
  bool EndStream() const { return FEndStream; }
  void SetEndStream(bool aValue) { FEndStream = aValue; }
  bool Padded() const { return FPadded; }
  void SetPadded(bool aValue) { FPadded = aValue; }
  bool Priority() const { return FPriority; }
  void SetPriority(bool aValue) { FPriority = aValue; }
  TzalHTTP2HeaderLines& Headers() { return FHeaders; }
  const TzalHTTP2HeaderLines& Headers() const { return FHeaders; }
  int PadLength() const { return FPadLength; }
  int32_t StreamDependency() const { return FStreamDependency; }
  int Weight() const { return FWeight; }
  // Value of ":status" (0 when absent or not a number), of "location", and the
  // charset parameter of "content-type" without quotes, from decoded lines.
  int Status() const;
  std::string Location() const;
  std::string Charset() const;
  // Checks the pad length and priority fields of a received payload (flags already
  // read), keeps PadLength, StreamDependency and Weight, and returns the header block
  // fragment between them and the padding (RFC 9113 6.2).
  std::span<const uint8_t> ReadFragment(std::span<const uint8_t> aBytes);

protected:
  void DoClearFlags() override;
  void DoClear() override;
  void DoReadFlags(uint8_t aByte) override;
  void DoReadPayload(std::span<const uint8_t> aBytes) override;
  void DoValidatePayload(std::span<const uint8_t> aBytes) override;
  void DoWriteBytes() override;

private:
  bool FEndHeaders = false;
  bool FEndStream = false;
  bool FPadded = false;
  bool FPriority = false;
  int FPadLength = 0;
  int32_t FStreamDependency = 0;
  int FWeight = 0;
  TzalHTTP2HeaderLines FHeaders;
};

class TzalHTTP2_Frame_Priority : public TzalHTTP2_Frame_Base {
public:
  using TzalHTTP2_Frame_Base::TzalHTTP2_Frame_Base;
  void Assign(const TzalHTTP2_Frame_Base& aSource) override;
  int32_t StreamDependency() const { return FStreamDependency; }
  void SetStreamDependency(int32_t aValue) { FStreamDependency = aValue; }
  int Weight() const { return FWeight; }
  void SetWeight(int aValue) { FWeight = aValue; }

protected:
  void DoClear() override;
  void DoReadPayload(std::span<const uint8_t> aBytes) override;
  void DoValidatePayload(std::span<const uint8_t> aBytes) override;

private:
  int32_t FStreamDependency = 0;
  int FWeight = 0;
};

class TzalHTTP2_Frame_RSTStream : public TzalHTTP2_Frame_Base {
public:
  using TzalHTTP2_Frame_Base::TzalHTTP2_Frame_Base;
  void Assign(const TzalHTTP2_Frame_Base& aSource) override;
  // The stream a RST_STREAM resets is the frame's own stream (the base field).
  int32_t ErrorCode() const { return FErrorCode; }
  void SetErrorCode(int32_t aValue) { FErrorCode = aValue; }

protected:
  void DoClear() override;
  void DoReadPayload(std::span<const uint8_t> aBytes) override;
  void DoValidatePayload(std::span<const uint8_t> aBytes) override;
  void DoWriteBytes() override;

private:
  int32_t FErrorCode = 0;
};

class TzalHTTP2_Frame_Settings : public TzalHTTP2_Frame_Base {
public:
  static constexpr int32_t DefaultHeaderTableSize = 4096;
  static constexpr int32_t DefaultMaxConcurrentStreams = 2147483647;
  static constexpr int32_t DefaultInitialWindowSize = 65535;
  static constexpr int32_t DefaultMaxFrameSize = 16384;
  static constexpr int32_t LargestMaxFrameSize = 16777215;
  static constexpr int32_t DefaultMaxHeaderListSize = 2147483647;

  explicit TzalHTTP2_Frame_Settings(Th2FrameRole aFrameRole);
  void Assign(const TzalHTTP2_Frame_Base& aSource) override;

  bool ACK() const { return FACK; }
  void SetACK(bool aValue) { FACK = aValue; }
  bool EnableConnectProtocol() const { return FEnableConnectProtocol; }
  void SetEnableConnectProtocol(bool aValue) { FEnableConnectProtocol = aValue; }
  bool EnablePush() const { return FEnablePush; }
  void SetEnablePush(bool aValue) { FEnablePush = aValue; }
  int32_t HeaderTableSize() const { return FHeaderTableSize; }
  void SetHeaderTableSize(int32_t aValue) { FHeaderTableSize = aValue; }
  int32_t InitialWindowSize() const { return FInitialWindowSize; }
  void SetInitialWindowSize(int32_t aValue) { FInitialWindowSize = aValue; }
  int32_t MaxConcurrentStreams() const { return FMaxConcurrentStreams; }
  void SetMaxConcurrentStreams(int32_t aValue) { FMaxConcurrentStreams = aValue; }
  int32_t MaxFrameSize() const { return FMaxFrameSize; }
  void SetMaxFrameSize(int32_t aValue) { FMaxFrameSize = aValue; }
  int32_t MaxHeaderListSize() const { return FMaxHeaderListSize; }
  void SetMaxHeaderListSize(int32_t aValue) { FMaxHeaderListSize = aValue; }
  // Whether the last payload read listed the setting (RFC 9113 6.5: a SETTINGS frame
  // changes only the parameters it lists).
  bool Listed(uint16_t aIdentifier) const { return aIdentifier < 16 && (FListed & (1u << aIdentifier)) != 0; }

protected:
  void DoClearFlags() override;
  void DoClear() override;
  void DoReadFlags(uint8_t aByte) override;
  void DoReadPayload(std::span<const uint8_t> aBytes) override;
  void DoValidatePayload(std::span<const uint8_t> aBytes) override;
  void DoWriteBytes() override;

private:
  void ReadSetting(uint16_t aIdentifier, std::span<const uint8_t> aValue);

  uint16_t FListed = 0;

  bool FACK = false;
  bool FEnableConnectProtocol = false;
  bool FEnablePush = true;
  int32_t FHeaderTableSize = DefaultHeaderTableSize;
  int32_t FInitialWindowSize = DefaultInitialWindowSize;
  int32_t FMaxConcurrentStreams = DefaultMaxConcurrentStreams;
  int32_t FMaxFrameSize = DefaultMaxFrameSize;
  int32_t FMaxHeaderListSize = DefaultMaxHeaderListSize;
};

class TzalHTTP2_Frame_PushPromise : public TzalHTTP2_Frame_HPACK_Base {
public:
  using TzalHTTP2_Frame_HPACK_Base::TzalHTTP2_Frame_HPACK_Base;
  void Assign(const TzalHTTP2_Frame_Base& aSource) override;

  bool EndHeaders() const { return FEndHeaders; }
  void SetEndHeaders(bool aValue) { FEndHeaders = aValue; }
  TzalHTTP2HeaderLines& Headers() { return FHeaders; }
  const TzalHTTP2HeaderLines& Headers() const { return FHeaders; }
  bool Padded() const { return FPadded; }
  void SetPadded(bool aValue) { FPadded = aValue; }
  int PadLength() const { return FPadLength; }
  int32_t PromisedStreamid() const { return FPromisedStreamid; }
  void SetPromisedStreamid(int32_t aValue) { FPromisedStreamid = aValue; }
  // The method whose text equals the ":method" value exactly (h2meHead when none does)
  // and the ":path" value, from decoded lines.
  Th2Methods Method() const;
  std::string URL() const;
  // Checks the pad length, keeps PadLength and PromisedStreamid, and returns the
  // header block fragment of a received payload (RFC 9113 6.6).
  std::span<const uint8_t> ReadFragment(std::span<const uint8_t> aBytes);

  TzalHTTP2RequestPushPromisedIdEvent OnRequestPromisedStreamId;

protected:
  void DoClearFlags() override;
  void DoClear() override;
  void DoReadFlags(uint8_t aByte) override;
  void DoReadPayload(std::span<const uint8_t> aBytes) override;
  void DoValidatePayload(std::span<const uint8_t> aBytes) override;
  void DoWriteBytes() override;

private:
  bool FEndHeaders = false;
  TzalHTTP2HeaderLines FHeaders;
  bool FPadded = false;
  int FPadLength = 0;
  int32_t FPromisedStreamid = 0;
};

class TzalHTTP2_Frame_Ping : public TzalHTTP2_Frame_Base {
public:
  using TzalHTTP2_Frame_Base::TzalHTTP2_Frame_Base;
  void Assign(const TzalHTTP2_Frame_Base& aSource) override;
  bool ACK() const { return FACK; }
  void SetACK(bool aValue) { FACK = aValue; }
  const TzalHTTP2PingPayload& PayLoad() const { return FPayLoad; }
  void SetPayLoad(const TzalHTTP2PingPayload& aValue) { FPayLoad = aValue; }

protected:
  void DoClearFlags() override;
  void DoClear() override;
  void DoReadFlags(uint8_t aByte) override;
  void DoReadPayload(std::span<const uint8_t> aBytes) override;
  void DoValidatePayload(std::span<const uint8_t> aBytes) override;
  void DoWriteBytes() override;

private:
  bool FACK = false;
  TzalHTTP2PingPayload FPayLoad{};
};

class TzalHTTP2_Frame_GoAway : public TzalHTTP2_Frame_Base {
public:
  using TzalHTTP2_Frame_Base::TzalHTTP2_Frame_Base;
  void Assign(const TzalHTTP2_Frame_Base& aSource) override;
  const std::string& AdditionalDebugData() const { return FAdditionalDebugData; }
  void SetAdditionalDebugData(std::string aValue) { FAdditionalDebugData = std::move(aValue); }
  int32_t ErrorCode() const { return FErrorCode; }
  void SetErrorCode(int32_t aValue) { FErrorCode = aValue; }
  int32_t LastStreamid() const { return FLastStreamid; }
  void SetLastStreamid(int32_t aValue) { FLastStreamid = aValue; }

protected:
  void DoClear() override;
  void DoReadPayload(std::span<const uint8_t> aBytes) override;
  void DoValidatePayload(std::span<const uint8_t> aBytes) override;
  void DoWriteBytes() override;

private:
  std::string FAdditionalDebugData;
  int32_t FErrorCode = 0;
  int32_t FLastStreamid = 0;
};

class TzalHTTP2_Frame_Continuation : public TzalHTTP2_Frame_Base {
public:
  using TzalHTTP2_Frame_Base::TzalHTTP2_Frame_Base;
  void Assign(const TzalHTTP2_Frame_Base& aSource) override;
  bool EndHeaders() const { return FEndHeaders; }
  void SetEndHeaders(bool aValue) { FEndHeaders = aValue; }
  const TIdBytes& PayLoad() const { return FPayLoad; }

protected:
  void DoClearFlags() override;
  void DoClear() override;
  void DoReadFlags(uint8_t aByte) override;
  void DoReadPayload(std::span<const uint8_t> aBytes) override;

private:
  bool FEndHeaders = false;
  TIdBytes FPayLoad;
};

class TzalHTTP2_Frame_WindowUpdate : public TzalHTTP2_Frame_Base {
public:
  using TzalHTTP2_Frame_Base::TzalHTTP2_Frame_Base;
  void Assign(const TzalHTTP2_Frame_Base& aSource) override;
  int32_t WindowSizeIncrement() const { return FWindowSizeIncrement; }
  void SetWindowSizeIncrement(int32_t aValue) { FWindowSizeIncrement = aValue; }

protected:
  void DoClear() override;
  void DoReadPayload(std::span<const uint8_t> aBytes) override;
  void DoValidatePayload(std::span<const uint8_t> aBytes) override;
  void DoWriteBytes() override;

private:
  int32_t FWindowSizeIncrement = 0;
};

// The rules of a received request (aFrameRole h2frServerRead) or response
// (h2frClientRead) header list of decoded lines "name=value" (RFC 9113 section 8.3).
// aConnectProtocol: this side announced SETTINGS_ENABLE_CONNECT_PROTOCOL, so a
// request may carry ":protocol" (RFC 8441 section 4).
void CheckHeaderList(const TzalHTTP2HeaderLines& aHeaders, Th2FrameRole aFrameRole, bool aConnectProtocol = false);

}  // namespace zal
