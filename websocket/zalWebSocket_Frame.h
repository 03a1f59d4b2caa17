#pragma once
// The RFC 6455 frame format (section 5.2): header parsing and building,
// payload masking, opcodes and the close-code rules of section 7.4.
//
// Wire layout: byte 0 = FIN (0x80), RSV1-RSV3 (0x70), opcode (0x0F); byte 1 =
// MASK (0x80) and a 7-bit length; 126 is followed by a 16-bit and 127 by a
// 64-bit length, most significant octet first; then the 4-octet masking key
// when MASK is set; then the payload.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "support/zalIdTextEncoding.h"
#include "support/zalTypes.h"
#include "websocket/zalWebSocket_Exception.h"

namespace zal {

// Status codes of RFC 6455 section 7.4.1 used here besides those of
// zalWebSocket_Exception.h.
constexpr int kCloseNormal = 1000;
constexpr int kCloseNoStatus = 1005;  // reported for a close frame without a body; never sent
constexpr int kClosePolicyViolation = 1008;

constexpr uint8_t wsFin = 0x80;
constexpr uint8_t wsRSV1 = 0x40;
constexpr uint8_t wsRSVMask = 0x70;
constexpr uint8_t wsOpcodeMask = 0x0F;
constexpr size_t wsMaxControlPayload = 125;  // RFC 6455 5.5
constexpr size_t wsMaxHeaderSize = 14;

// Wire value of an opcode (opNone is written as 0).
uint8_t WireOpcode(TOpcode aOpCode);
// The opcode of a wire value; opNone for the reserved values 0x3-0x7 and 0xB-0xF.
TOpcode OpcodeOfWire(uint8_t aWire);
inline bool IsControlOpcode(TOpcode aOpCode) { return aOpCode == opClose || aOpCode == opPing || aOpCode == opPong; }

// A close code a peer may send (RFC 6455 7.4.1/7.4.2 and the IANA registry):
// 1000-1003, 1007-1014 and 3000-4999. Everything else is refused on receipt
// with 1002 and never written.
bool IsValidCloseCode(int aCode);

struct TzalWSFrameHeader {
  bool Fin = false;
  uint8_t RSV = 0;        // the RSV bits as they sit in byte 0 (0x70 mask)
  uint8_t Wire = 0;       // the opcode's wire value
  bool Masked = false;
  uint8_t Mask[4] = {};
  uint64_t PayloadLength = 0;
  size_t HeaderLength = 0;  // octets before the payload
};

// Parses the header at the start of `bytes`. Returns false while the header is
// incomplete. A 64-bit length with the top bit set fails with 1002 (5.2).
bool ParseFrameHeader(std::span<const uint8_t> bytes, TzalWSFrameHeader& header);

// Appends a header for `length` payload octets: byte 0 is `firstByte` (FIN,
// RSV and opcode), the shortest length form, and the key when `mask` is given.
void AppendFrameHeader(TIdBytes& out, uint8_t firstByte, uint64_t length, const uint8_t* mask = nullptr);

// XORs `data` with the key; `offset` is the position of data[0] in the payload.
void MaskPayload(std::span<uint8_t> data, const uint8_t mask[4], uint64_t offset = 0);

}  // namespace zal
