#include "websocket/zalWebSocket_Reader.h"

#include <cstring>

namespace zal {

namespace {

// Message storage up to this size is kept for the next message; a larger one
// is given back, so one big message does not pin its memory for the
// connection's lifetime.
constexpr size_t kRetainedMessageCapacity = 64 * 1024;

// Empties a buffer for the next message, giving back storage past the
// retained capacity.
void Release(TIdBytes& bytes) {
  if (bytes.capacity() > kRetainedMessageCapacity)
    TIdBytes().swap(bytes);
  else
    bytes.clear();
}

[[noreturn]] void Fail(const char* message, int closeCode = kCloseProtocolError) {
  throw TzalWSException(message, closeCode);
}

}  // namespace

size_t TzalWSFrameReader::Read(std::span<const uint8_t> bytes) {
  size_t consumed = 0;
  while (!FClosed) {
    const std::span<const uint8_t> rest = bytes.subspan(consumed);
    TzalWSFrameHeader header;
    if (!ParseFrameHeader(rest, header))
      break;
    const TOpcode opcode = OpcodeOfWire(header.Wire);
    CheckHeader(header, opcode);
    if (rest.size() - header.HeaderLength < header.PayloadLength)
      break;  // the payload is still on its way
    const std::span<const uint8_t> payload = rest.subspan(header.HeaderLength, header.PayloadLength);
    consumed += header.HeaderLength + header.PayloadLength;
    bool messageDone = false;
    if (IsControlOpcode(opcode))
      ReadControlFrame(header, opcode, payload);
    else
      messageDone = ReadDataFrame(header, opcode, payload);
    if (messageDone || consumed >= FOptions.ReadStepSize)
      break;
  }
  return consumed;
}

void TzalWSFrameReader::CheckHeader(const TzalWSFrameHeader& header, TOpcode opcode) const {
  if (opcode == opNone)
    Fail("Invalid Control OptCode");  // reserved opcodes, 5.2
  if (FOptions.MaskRequired && !header.Masked)
    Fail("Message is not masked");  // 5.1
  if (IsControlOpcode(opcode)) {
    if (!header.Fin)
      Fail("Control Message must not be fragmented");  // 5.5
    if (header.PayloadLength > wsMaxControlPayload)
      Fail("Control frames are only allowed to have payload up to and including 125 octets");
    if (header.RSV)
      Fail(FExtension ? "Invalid value of RSV on a control frame" : "Invalid value of RSV while no Extension Negotiated");
    return;
  }
  const bool messageStart = opcode != opContinuation;
  if (!messageStart && FOpCode == opNone)
    Fail("Unfragmented message after continuation frame with FIN");
  if (messageStart && FOpCode != opNone)
    Fail(opcode == opText ? "OpCode error, received opText after Continuation not finished"
                          : "OpCode error, received opBinary after Continuation not finished");
  // RSV bits mean something only when an extension defines them (5.2); the
  // compression extensions define RSV1 alone and judge where it may appear
  // (RFC 7692 6).
  if (header.RSV & ~(FExtension ? wsRSV1 : 0))
    Fail(FExtension ? "Invalid value of RSV for the negotiated extension"
                    : "Invalid value of RSV while no Extension Negotiated");
  if (header.PayloadLength > FOptions.MaxFrameSize)
    Fail("Frame exceeds MaxFrameSize.", kCloseMessageTooBig);  // 7.4.1
  const uint64_t soFar = messageStart ? 0 : FMessageLength;
  if (!FExtension && header.PayloadLength > FOptions.MaxMessageSize - soFar)
    Fail(kMessageTooBigText, kCloseMessageTooBig);
}

bool TzalWSFrameReader::ReadDataFrame(const TzalWSFrameHeader& header, TOpcode opcode,
                                      std::span<const uint8_t> payload) {
  if (opcode != opContinuation) {
    FOpCode = opcode;
    FMessageRSV = header.RSV;
  }
  AppendPlain(header, payload);
  const bool fin = header.Fin;
  switch (FOptions.FragmentedMessages) {
    case frgOnlyBuffer:
      break;
    case frgOnlyFragmented:
      FMessage.SetPosition(0);
      if (Events.OnFragmented)
        Events.OnFragmented(FMessage, FOpCode, !fin);
      FMessage.SetSize(0);  // each event carries only its own fragment
      if (fin)
        EndMessage();
      return fin;
    case frgAll:
      FMessage.SetPosition(0);
      if (Events.OnFragmented)
        Events.OnFragmented(FMessage, FOpCode, !fin);
      break;
  }
  if (fin)
    DeliverMessage();
  return fin;
}

void TzalWSFrameReader::AppendPlain(const TzalWSFrameHeader& header, std::span<const uint8_t> payload) {
  const auto start = static_cast<size_t>(FMessage.Size());
  FMessage.Seek(0, soEnd);
  if (FExtension) {
    FFramePayload.assign(payload.begin(), payload.end());
    if (header.Masked)
      MaskPayload(FFramePayload, header.Mask);
    FInflated.clear();
    const uint8_t firstByte = (header.Fin ? wsFin : 0) | header.RSV | header.Wire;
    FExtension->ReadStream(firstByte, FFramePayload, FInflated);
    if (FInflated.size() > FOptions.MaxMessageSize - FMessageLength)
      Fail(kMessageTooBigText, kCloseMessageTooBig);
    FMessage.WriteBuffer(FInflated.data(), static_cast<int64_t>(FInflated.size()));
  } else {
    FMessage.WriteBuffer(payload.data(), static_cast<int64_t>(payload.size()));
    if (header.Masked)
      MaskPayload(std::span<uint8_t>(FMessage.Memory() + start, payload.size()), header.Mask);
  }
  const size_t added = static_cast<size_t>(FMessage.Size()) - start;
  FMessageLength += added;
  CheckText(std::span<const uint8_t>(FMessage.Memory() + start, added), header.Fin);
}

// Text is judged as it arrives, so an impossible octet fails at once (8.1).
void TzalWSFrameReader::CheckText(std::span<const uint8_t> plain, bool fin) {
  if (FOpCode != opText || !FOptions.ValidateUTF8)
    return;
  if (!FUTF8.Feed(plain) || (fin && !FUTF8.Complete()))
    Fail("Invalid UTF8 message", kCloseInvalidPayload);
}

void TzalWSFrameReader::DeliverMessage() {
  FMessage.SetPosition(0);
  if (FOpCode == opText) {
    if (Events.OnMessage) {
      const TIdBytes& bytes = FMessage.Bytes();
      Events.OnMessage(std::string(bytes.begin(), bytes.end()));
    }
  } else if (Events.OnBinary) {
    Events.OnBinary(FMessage);
  }
  EndMessage();
}

void TzalWSFrameReader::EndMessage() {
  if (FMessage.Bytes().capacity() > kRetainedMessageCapacity)
    FMessage.Clear();
  else
    FMessage.SetSize(0);
  Release(FFramePayload);
  Release(FInflated);
  FOpCode = opNone;
  FMessageRSV = 0;
  FMessageLength = 0;
  FUTF8.Reset();
}

void TzalWSFrameReader::ReadControlFrame(const TzalWSFrameHeader& header, TOpcode opcode,
                                         std::span<const uint8_t> payload) {
  uint8_t plain[wsMaxControlPayload];
  std::memcpy(plain, payload.data(), payload.size());
  const std::span<uint8_t> bytes(plain, payload.size());
  if (header.Masked)
    MaskPayload(bytes, header.Mask);
  if (opcode == opPing) {
    if (Events.OnPing)
      Events.OnPing(bytes);
  } else if (opcode == opPong) {
    if (Events.OnPong)
      Events.OnPong(bytes);
  } else {
    ReadClose(bytes);
  }
}

// 5.5.1 and 7.4: an optional two-octet code, then an optional UTF-8 reason.
void TzalWSFrameReader::ReadClose(std::span<const uint8_t> payload) {
  FClosed = true;
  if (payload.size() == 1)
    Fail("Invalid Payload length for close code");
  int code = kCloseNoStatus;
  std::string reason;
  if (payload.size() >= 2) {
    code = (payload[0] << 8) | payload[1];
    if (!IsValidCloseCode(code))
      Fail("Invalid close code");
    const std::span<const uint8_t> text = payload.subspan(2);
    if (!IsValidUTF8(text))
      Fail("Invalid UTF8 message", kCloseInvalidPayload);
    reason.assign(text.begin(), text.end());
  }
  if (Events.OnClose)
    Events.OnClose(code, reason);
}

}  // namespace zal
