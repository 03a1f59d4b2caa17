#pragma once
// Vocabulary of the HTTP/2 engine (RFC 7540, RFC 8441): frame types, error codes,
// frame roles, stream states, request methods, settings identifiers and flag bits,
// and the exception every protocol violation raises.
#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "support/zalIdException.h"

namespace zal {

// Frame types; the ordinal is the type octet on the wire (RFC 7540 section 6).
enum Th2FrameType : uint8_t {
  h2ftDATA, h2ftHEADERS, h2ftPRIORITY, h2ftRST_STREAM, h2ftSETTINGS, h2ftPUSH_PROMISE,
  h2ftPING, h2ftGOAWAY, h2ftWINDOW_UPDATE, h2ftCONTINUATION,
  h2ftNONE  // no frame read yet; never on the wire
};

// Error codes; the ordinal is the 32-bit code on the wire (RFC 7540 section 7).
enum Th2ErrorCodes : uint8_t {
  h2erNO_ERROR, h2erPROTOCOL_ERROR, h2erINTERNAL_ERROR, h2erFLOW_CONTROL_ERROR,
  h2erSETTINGS_TIMEOUT, h2erSTREAM_CLOSED, h2erFRAME_SIZE_ERROR, h2erREFUSED_STREAM,
  h2erCANCEL, h2erCOMPRESSION_ERROR, h2erCONNECT_ERROR, h2erENHANCE_YOUR_CALM,
  h2erINADEQUATE_SECURITY, h2erHTTP_1_1_REQUIRED
};

// How an error is answered: GOAWAY ends the connection, RST_STREAM one stream.
enum Th2ErrorResponse : uint8_t { h2errGO_AWAY, h2errRST_STREAM };

// Side and direction of a frame object or engine.
enum Th2FrameRole : uint8_t { h2frClientRead, h2frClientWrite, h2frServerRead, h2frServerWrite };

enum Th2StreamState : uint8_t {
  h2ssIdle, h2ssReservedLocal, h2ssReservedRemote, h2ssOpen, h2ssHalfClosedLocal,
  h2ssHalfClosedRemote, h2ssClosed
};

enum Th2Methods : uint8_t {
  h2meHead, h2meGet, h2mePost, h2meOptions, h2meTrace, h2mePut, h2meDelete, h2meConnect, h2mePatch
};

// Method texts, indexed by Th2Methods.
inline constexpr std::array<std::string_view, 9> h2MethodNames = {
    "HEAD", "GET", "POST", "OPTIONS", "TRACE", "PUT", "DELETE", "CONNECT", "PATCH"};

// Pseudo-header names; the first four are the request pseudo-headers.
inline constexpr std::array<std::string_view, 5> h2PseudoHeaderNames = {
    ":method", ":scheme", ":path", ":authority", ":status"};
inline constexpr size_t h2RequestPseudoHeaderCount = 4;

// Connection-specific header fields, forbidden in HTTP/2 (RFC 7540 section 8.1.2.2).
inline constexpr std::array<std::string_view, 5> h2ConnectionHeaderNames = {
    "connection", "keep-alive", "proxy-connection", "transfer-encoding", "upgrade"};

// Settings identifiers (RFC 7540 section 6.5.2, RFC 8441 section 3).
inline constexpr uint16_t h2SettingsHeaderTableSize = 1;
inline constexpr uint16_t h2SettingsEnablePush = 2;
inline constexpr uint16_t h2SettingsMaxConcurrentStreams = 3;
inline constexpr uint16_t h2SettingsInitialWindowSize = 4;
inline constexpr uint16_t h2SettingsMaxFrameSize = 5;
inline constexpr uint16_t h2SettingsMaxHeaderListSize = 6;
inline constexpr uint16_t h2SettingsEnableConnectProtocol = 8;

// Flag bits.
inline constexpr uint8_t h2FlagEndStream = 0x01;   // DATA, HEADERS
inline constexpr uint8_t h2FlagAck = 0x01;         // SETTINGS, PING
inline constexpr uint8_t h2FlagEndHeaders = 0x04;  // HEADERS, PUSH_PROMISE, CONTINUATION
inline constexpr uint8_t h2FlagPadded = 0x08;      // DATA, HEADERS, PUSH_PROMISE
inline constexpr uint8_t h2FlagPriority = 0x20;    // HEADERS

inline constexpr int h2FrameHeaderLength = 9;
inline constexpr int h2DefaultMaxFrameSize = 16384;

// A protocol violation: the error code to send and whether it ends the connection
// (GOAWAY) or resets one stream (RST_STREAM on FStreamIdentifier).
class TzalHTTP2Exception : public EIdException {
public:
  TzalHTTP2Exception(Th2ErrorCodes aErrorCode, const std::string& Msg,
                     Th2ErrorResponse aErrorResponse = h2errGO_AWAY, int32_t aStreamIdentifier = 0)
      : EIdException(Msg),
        FErrorCode(aErrorCode),
        FErrorResponse(aErrorResponse),
        FStreamIdentifier(aStreamIdentifier) {}

  Th2ErrorCodes ErrorCode() const { return FErrorCode; }
  Th2ErrorResponse ErrorResponse() const { return FErrorResponse; }
  int32_t StreamIdentifier() const { return FStreamIdentifier; }

private:
  Th2ErrorCodes FErrorCode;
  Th2ErrorResponse FErrorResponse;
  int32_t FStreamIdentifier;
};

}  // namespace zal
