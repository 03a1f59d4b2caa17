#pragma once
// WebSocket compression extensions: permessage-deflate (RFC 7692) and the older
// x-webkit-deflate-frame. A connection negotiates at most one of them (both
// claim RSV1) from the client's Sec-WebSocket-Extensions offer; the frame
// reader and writer then pass every data frame through TzalWSExtensions.
//
// Streams: each direction has one raw deflate stream for the connection's
// life, made on the first compressed message. permessage-deflate compresses a
// message as one stream, flushing at every fragment (Z_SYNC_FLUSH) and removing
// the 00 00 FF FF tail at the message end only (RFC 7692 7.2.1); without
// context takeover the stream is reset between messages. x-webkit-deflate-frame
// does the same for every frame on its own, always with context takeover.
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "server/zalWebSocket_Options.h"
#include "support/zalIdTextEncoding.h"
#include "websocket/zalWebSocket_ZLib.h"

namespace zal {

enum TwsApplicationMode : uint8_t { appNone, appServer, appClient };

class TzalWSExtension_Base {
public:
  TzalWSExtension_Base() = default;
  TzalWSExtension_Base(TzalWSExtension_Base&&) = default;
  TzalWSExtension_Base& operator=(TzalWSExtension_Base&&) = default;
  virtual ~TzalWSExtension_Base() = default;

  bool Active() const { return FActive; }
  bool Enabled() const { return FEnabled; }
  void SetEnabled(bool value) { FEnabled = value; }
  TwsApplicationMode Mode() const { return FMode; }
  void SetMode(TwsApplicationMode value) { FMode = value; }

  // "Sec-WebSocket-Extensions: " and the negotiated token with its parameters.
  std::string GetHeaderExtension() const { return "Sec-WebSocket-Extensions: " + FHeaderExtension; }
  virtual std::string GetName() const = 0;
  // Accepts or declines one offer (one comma-separated item of the header);
  // an accepted offer fixes the parameters and activates the extension.
  bool Negotiate(std::string_view aOffer);

  // Receiving: the first byte of each data frame, in order. False when RSV1 is
  // set where the extension does not allow it (RFC 6455 5.2).
  virtual bool DecodeHeader(uint8_t aByte) = 0;
  // Whether the frame whose header was decoded last carries compressed data.
  bool MessageCompressed() const { return FMessageCompressed; }
  // Inflates a compressed frame's payload (`aFin`: the frame ends its message)
  // and appends it to `aOutput`, which must not grow past `aMaxOutput`: false
  // when it would. Raises EDecompressionError on corrupt data.
  virtual bool DeflateFrame(std::span<const uint8_t> aPayload, bool aFin, TIdBytes& aOutput, size_t aMaxOutput) = 0;
  // Sending: sets RSV1 in the first byte of a data frame when its payload is compressed.
  virtual void EncodeHeader(uint8_t& aByte) = 0;
  // Compresses the payload of the data frame whose first byte is `aByte` and
  // appends it to `aOutput`.
  virtual void InflateFrame(uint8_t aByte, std::span<const uint8_t> aPayload, TIdBytes& aOutput) = 0;

  // Bytes zlib holds for this connection's streams.
  size_t StateBytes() const;

protected:
  virtual bool DecodeExtension(std::string_view aExtension) = 0;

  // Compresses one unit (a message or part of one) and, at its end, removes the
  // 00 00 FF FF tail of the sync flush (RFC 7692 7.2.1). A unit whose end adds
  // nothing to the stream gets the single octet 00, an empty stored block once
  // the receiver appends the tail (RFC 7692 7.2.3.6).
  void CompressUnit(std::span<const uint8_t> payload, bool endOfUnit, TIdBytes& output);
  // Inflates one unit and, at its end, the 00 00 FF FF tail (RFC 7692 7.2.2).
  bool InflateUnit(std::span<const uint8_t> payload, bool endOfUnit, TIdBytes& output, size_t maxOutput);
  // The deflate parameters of the sending direction and whether each side
  // keeps its window between units.
  virtual int CompressionLevel() const = 0;
  virtual int CompressionWindowBits() const = 0;
  virtual int CompressionMemLevel() const = 0;
  virtual bool CompressionTakeover() const = 0;
  virtual bool DecompressionTakeover() const = 0;

  bool FActive = false;
  bool FEnabled = false;
  TwsApplicationMode FMode = appNone;
  std::string FHeaderExtension;
  bool FMessageCompressed = false;

private:
  std::unique_ptr<TzalRawDeflater> FDeflater;
  std::unique_ptr<TzalRawInflater> FInflater;
};

class TzalWSExtension_PerMessage_Deflate : public TzalWSExtension_Base {
public:
  // Window bits lie in 8-15: "Invalid Value for WindowBits %d" otherwise.
  int ServerMaxWindowBits() const { return FServerMaxWindowBits; }
  void SetServerMaxWindowBits(int value);
  int ClientMaxWindowBits() const { return FClientMaxWindowBits; }
  void SetClientMaxWindowBits(int value);
  bool ServerNoContextTakeOver() const { return FServerNoContextTakeOver; }
  void SetServerNoContextTakeOver(bool value) { FServerNoContextTakeOver = value; }
  bool ClientNoContextTakeOver() const { return FClientNoContextTakeOver; }
  void SetClientNoContextTakeOver(bool value) { FClientNoContextTakeOver = value; }
  int MemLevel() const { return FMemLevel; }
  void SetMemLevel(int value) { FMemLevel = value; }
  // Copies Enabled and the parameters; nothing becomes active.
  void Assign(const TzalWSPerMessageDeflate_Options& options);

  std::string GetName() const override;
  bool DecodeHeader(uint8_t aByte) override;
  bool DeflateFrame(std::span<const uint8_t> aPayload, bool aFin, TIdBytes& aOutput, size_t aMaxOutput) override;
  void EncodeHeader(uint8_t& aByte) override;
  void InflateFrame(uint8_t aByte, std::span<const uint8_t> aPayload, TIdBytes& aOutput) override;

protected:
  bool DecodeExtension(std::string_view aExtension) override;
  int CompressionLevel() const override { return 1; }
  int CompressionWindowBits() const override;
  int CompressionMemLevel() const override { return FMemLevel; }
  bool CompressionTakeover() const override;
  bool DecompressionTakeover() const override;

private:
  int FServerMaxWindowBits = 15;
  bool FServerNoContextTakeOver = false;
  int FClientMaxWindowBits = 15;
  bool FClientNoContextTakeOver = false;
  int FMemLevel = 9;
};

class TzalWSExtension_DeflateFrame : public TzalWSExtension_Base {
public:
  int WindowBits() const { return FWindowBits; }
  void SetWindowBits(int value);
  void Assign(const TzalWSDeflateFrame_Options& options);

  std::string GetName() const override { return "x-webkit-deflate-frame"; }
  bool DecodeHeader(uint8_t aByte) override;
  bool DeflateFrame(std::span<const uint8_t> aPayload, bool aFin, TIdBytes& aOutput, size_t aMaxOutput) override;
  void EncodeHeader(uint8_t& aByte) override;
  void InflateFrame(uint8_t aByte, std::span<const uint8_t> aPayload, TIdBytes& aOutput) override;

protected:
  bool DecodeExtension(std::string_view aExtension) override;
  int CompressionLevel() const override { return -1; }  // zlib's default
  int CompressionWindowBits() const override { return FWindowBits; }
  int CompressionMemLevel() const override { return 1; }
  bool CompressionTakeover() const override { return true; }
  bool DecompressionTakeover() const override { return true; }

private:
  int FWindowBits = 15;
};

// The extension set of one connection (and of the server's options).
//
// The frame layer calls, for each data frame (text, binary, continuation):
//   receiving: ReadStream with the frame's first byte and payload, in order;
//   sending:   WriteStream with the frame's first byte (FIN and opcode set),
//              in the order the frames go on the wire. The compressor's state
//              must follow the wire, so the writer compresses and writes under
//              one lock.
class TzalWSExtensions {
public:
  void Assign(const TzalWSExtensions_Options& options);
  void AssignMode(TwsApplicationMode value);
  TzalWSExtension_DeflateFrame& DeflateFrame() { return FDeflateFrame; }
  TzalWSExtension_PerMessage_Deflate& PerMessage_Deflate() { return FPerMessage_Deflate; }

  // The largest message ReadStream inflates, in octets; 0 means no bound.
  int64_t MaxMessageSize() const { return FMaxMessageSize; }
  void SetMaxMessageSize(int64_t value) { FMaxMessageSize = value; }

  // Negotiation of the header value: the first offer (in the client's order)
  // that an enabled extension accepts makes it the connection's only active one.
  void DecodeExtensions(std::string_view aExtensions);
  bool ExtensionNegotiated() const { return FExtensionNegotiated; }
  bool CompressionActive() const { return ActiveExtension() != nullptr; }
  // Adds the response line of the active extension (server role).
  void WriteHeader(std::vector<std::string>& aHeader) const;
  // The names of the active extensions.
  std::vector<std::string> BuildExtensionList() const;

  // Appends the application data of a received data frame to `aOutput`:
  // inflated when the frame is compressed, unchanged otherwise. Raises
  // TzalWSException: 1002 for RSV1 where it is not allowed, 1007 for corrupt
  // compressed data ("Error Deflating Frame."), 1009 when the message inflates
  // past MaxMessageSize.
  void ReadStream(uint8_t aByte, std::span<const uint8_t> aPayload, TIdBytes& aOutput);
  // Appends the payload to send in the data frame with first byte `aByte` to
  // `aOutput`, compressed when an extension is active, and sets RSV1 in `aByte`
  // where the extension says. Raises TzalWSException "Error Inflating Frame."
  // when compression fails.
  void WriteStream(uint8_t& aByte, std::span<const uint8_t> aPayload, TIdBytes& aOutput);

  size_t StateBytes() const;

private:
  TzalWSExtension_Base* ActiveExtension() const;

  bool FExtensionNegotiated = false;
  TzalWSExtension_DeflateFrame FDeflateFrame;
  TzalWSExtension_PerMessage_Deflate FPerMessage_Deflate;
  TwsApplicationMode FMode = appNone;
  int64_t FMaxMessageSize = TzalWSOptionsServer().MaxMessageSize;
  int64_t FMessageBytes = 0;  // inflated so far of the message being read
};

}  // namespace zal
