#pragma once
// TzalWSFrameReader: the RFC 6455 reader of one connection. It is socket-free
// and push-driven: Read takes the bytes waiting in the connection's input
// buffer, consumes whole frames only (a frame whose header or payload is still
// incomplete is left in the buffer for the next call), assembles fragments into
// messages and reports messages, fragments and control frames through its
// events. Protocol violations raise TzalWSException carrying the close code.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>

#include "support/zalStream.h"
#include "support/zalTypes.h"
#include "websocket/zalWebSocket_Frame.h"
#include "websocket/zalWebSocket_UTF8.h"

namespace zal {

// What the framing layer needs from the negotiated compression extension set.
class TzalWSFrameExtension {
public:
  virtual ~TzalWSFrameExtension() = default;
  // Appends the application data of a received data frame (first byte, payload
  // unmasked) to `aOutput`, inflated when the frame is compressed. Raises
  // TzalWSException: 1002 for RSV1 where it is not allowed, 1007 for corrupt
  // data, 1009 past the message size limit.
  virtual void ReadStream(uint8_t aByte, std::span<const uint8_t> aPayload, TIdBytes& aOutput) = 0;
  // Appends the payload to send in the data frame with first byte `aByte` to
  // `aOutput`, compressed where the extension says, and sets RSV1 in `aByte`.
  virtual void WriteStream(uint8_t& aByte, std::span<const uint8_t> aPayload, TIdBytes& aOutput) = 0;
};

struct TzalWSReaderOptions {
  bool MaskRequired = true;  // the server role refuses unmasked frames (5.1)
  bool ValidateUTF8 = false;
  TwsFragmentedMessages FragmentedMessages = frgOnlyBuffer;
  uint64_t MaxFrameSize = 16 * 1024 * 1024;    // payload octets of one frame
  uint64_t MaxMessageSize = 16 * 1024 * 1024;  // plain octets of one message
  // A call returns after one complete message or this many consumed octets,
  // so one chatty peer cannot keep its thread from other work.
  size_t ReadStepSize = 64 * 1024;
};

struct TzalWSReaderEvents {
  std::function<void(const std::string& Text)> OnMessage;
  std::function<void(const TMemoryStream& Data)> OnBinary;
  // `Continuation`: more fragments follow.
  std::function<void(const TMemoryStream& Data, TOpcode OpCode, bool Continuation)> OnFragmented;
  std::function<void(std::span<const uint8_t> Payload)> OnPing;
  std::function<void(std::span<const uint8_t> Payload)> OnPong;
  // `Code` is 1005 for a close frame without a body.
  std::function<void(int Code, const std::string& Reason)> OnClose;
};

class TzalWSFrameReader {
public:
  TzalWSFrameReader() = default;
  explicit TzalWSFrameReader(const TzalWSReaderOptions& options) : FOptions(options) {}

  TzalWSReaderOptions& Options() { return FOptions; }
  TzalWSReaderEvents Events;
  // The negotiated extension, or nullptr; not owned.
  void SetExtension(TzalWSFrameExtension* extension) { FExtension = extension; }

  // Consumes whole frames from the start of `bytes` and returns their length.
  size_t Read(std::span<const uint8_t> bytes);
  // A close frame was read: nothing more is consumed.
  bool Closed() const { return FClosed; }
  // A data message has started and not yet ended.
  bool MessageInProgress() const { return FOpCode != opNone; }

private:
  // Checks the header against RFC 6455 5.2-5.5 and the size limits, before any
  // payload is copied.
  void CheckHeader(const TzalWSFrameHeader& header, TOpcode opcode) const;
  // Returns true when a whole message was delivered.
  bool ReadDataFrame(const TzalWSFrameHeader& header, TOpcode opcode, std::span<const uint8_t> payload);
  void ReadControlFrame(const TzalWSFrameHeader& header, TOpcode opcode, std::span<const uint8_t> payload);
  void AppendPlain(const TzalWSFrameHeader& header, std::span<const uint8_t> payload);
  void CheckText(std::span<const uint8_t> plain, bool fin);
  void DeliverMessage();
  void ReadClose(std::span<const uint8_t> payload);
  void EndMessage();

  TzalWSReaderOptions FOptions;
  TzalWSFrameExtension* FExtension = nullptr;
  bool FClosed = false;
  TOpcode FOpCode = opNone;     // opcode of the message in progress
  uint8_t FMessageRSV = 0;      // RSV bits of its first frame
  uint64_t FMessageLength = 0;  // plain octets received of it
  TMemoryStream FMessage;       // what is buffered of it
  TzalUTF8Validator FUTF8;
  TIdBytes FFramePayload;       // one frame's payload on its way through the extension
  TIdBytes FInflated;
};

}  // namespace zal
