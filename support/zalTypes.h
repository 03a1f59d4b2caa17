#pragma once
// Enumerations shared by several layers of the library. Names and order are fixed:
// other layers store and compare these values.
#include <cstdint>

namespace zal {

// How a connection speaks to its peer once it has been classified.
enum TwsTransport : uint8_t {
  trpUndefined, trpRFC6455, trpHixie76, trpFlash, trpSSE, trpTCP, trpHTTP, trpRFC8441, trpHTTP2
};

// WebSocket handshake variants.
enum TwsSpecification : uint8_t { spRFC6455, spHixie76, spRFC8441 };

// WebSocket frame opcodes (RFC 6455 section 5.2), plus "no frame".
enum TOpcode : uint8_t { opContinuation, opText, opBinary, opClose, opPing, opPong, opNone };

// Where events are delivered: on the calling thread, queued to the main thread,
// or on the main thread while the caller waits.
enum TwsNotifyEvent : uint8_t { neNoSync, neAsynchronous, neSynchronous };

// Send-queue levels for outgoing messages.
enum TwsQueueMsgLevels : uint8_t { qmNone, qmLevel0, qmLevel1, qmLevel2 };

// Which received messages are reported: whole buffers, fragments, or both.
enum TwsFragmentedMessages : uint8_t { frgOnlyBuffer, frgOnlyFragmented, frgAll };

// Position of a message part in a streamed (fragmented) send.
enum TwsStreaming : uint8_t { stmNone, stmFirst, stmContinue, stmLast, stmContinueAndLast };

// Address family of a host or socket.
enum TIdIPVersion : uint8_t { Id_IPv4, Id_IPv6 };

}  // namespace zal
