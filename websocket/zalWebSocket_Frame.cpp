#include "websocket/zalWebSocket_Frame.h"

#include <cstring>

namespace zal {

uint8_t WireOpcode(TOpcode aOpCode) {
  switch (aOpCode) {
    case opText: return 0x1;
    case opBinary: return 0x2;
    case opClose: return 0x8;
    case opPing: return 0x9;
    case opPong: return 0xA;
    default: return 0x0;
  }
}

TOpcode OpcodeOfWire(uint8_t aWire) {
  switch (aWire) {
    case 0x0: return opContinuation;
    case 0x1: return opText;
    case 0x2: return opBinary;
    case 0x8: return opClose;
    case 0x9: return opPing;
    case 0xA: return opPong;
    default: return opNone;
  }
}

bool IsValidCloseCode(int aCode) {
  return (aCode >= 1000 && aCode <= 1003) || (aCode >= 1007 && aCode <= 1014) || (aCode >= 3000 && aCode <= 4999);
}

bool ParseFrameHeader(std::span<const uint8_t> bytes, TzalWSFrameHeader& header) {
  if (bytes.size() < 2)
    return false;
  header.Fin = (bytes[0] & wsFin) != 0;
  header.RSV = bytes[0] & wsRSVMask;
  header.Wire = bytes[0] & wsOpcodeMask;
  header.Masked = (bytes[1] & 0x80) != 0;
  const uint8_t length7 = bytes[1] & 0x7F;
  size_t pos = 2;
  const size_t extended = length7 == 126 ? 2 : length7 == 127 ? 8 : 0;
  if (bytes.size() < pos + extended)
    return false;
  if (extended == 0) {
    header.PayloadLength = length7;
  } else {
    uint64_t length = 0;
    for (size_t i = 0; i < extended; ++i)
      length = (length << 8) | bytes[pos + i];
    pos += extended;
    if (length >> 63)
      throw TzalWSException("Invalid frame length", kCloseProtocolError);  // 5.2: top bit must be 0
    header.PayloadLength = length;
  }
  if (bytes.size() < pos + (header.Masked ? 4 : 0))
    return false;
  if (header.Masked) {
    std::memcpy(header.Mask, bytes.data() + pos, 4);
    pos += 4;
  }
  header.HeaderLength = pos;
  return true;
}

void AppendFrameHeader(TIdBytes& out, uint8_t firstByte, uint64_t length, const uint8_t* mask) {
  const uint8_t maskBit = mask ? 0x80 : 0x00;
  out.push_back(firstByte);
  if (length < 126) {
    out.push_back(static_cast<uint8_t>(maskBit | length));
  } else if (length <= 0xFFFF) {
    out.push_back(maskBit | 126);
    out.push_back(static_cast<uint8_t>(length >> 8));
    out.push_back(static_cast<uint8_t>(length));
  } else {
    out.push_back(maskBit | 127);
    for (int shift = 56; shift >= 0; shift -= 8)
      out.push_back(static_cast<uint8_t>(length >> shift));
  }
  if (mask)
    out.insert(out.end(), mask, mask + 4);
}

void MaskPayload(std::span<uint8_t> data, const uint8_t mask[4], uint64_t offset) {
  uint8_t rotated[4];
  for (int i = 0; i < 4; ++i)
    rotated[i] = mask[(offset + i) & 3];
  uint64_t key8;
  uint8_t key8Bytes[8];
  for (int i = 0; i < 8; ++i)
    key8Bytes[i] = rotated[i & 3];
  std::memcpy(&key8, key8Bytes, 8);
  size_t i = 0;
  for (; i + 8 <= data.size(); i += 8) {
    uint64_t word;
    std::memcpy(&word, data.data() + i, 8);
    word ^= key8;
    std::memcpy(data.data() + i, &word, 8);
  }
  for (; i < data.size(); ++i)
    data[i] ^= rotated[i & 3];
}

}  // namespace zal
