#pragma once
// A push reader of HTTP/1.1 requests (RFC 9112): it takes the octets a
// connection has received, consumes what it can and reports one event at a
// time: the head (request line and field lines) is complete, octets of the
// body, the message is complete, more input is needed, or the request is
// refused with a status.
//
// It keeps no partial copy of its input: a line is taken only once it is
// whole, so bytes it did not consume stay with the caller, who gives them
// again, followed by what arrived since, on the next call. Body octets are
// handed out as views into the input. Bytes after a complete request (the next
// pipelined one) are not consumed.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "http/zalIdHeaderList.h"
#include "http/zalIdHTTPRequestParser.h"
#include "support/zalIdTextEncoding.h"

namespace zal {

// How large the parts of one request may be.
struct TIdHTTPRequestLimits {
  int MaxLineLength = 16384;           // octets of one line before its end; 0 or less: none
  int MaxHeaderLines = 1024;           // field lines of the head, and of a chunked trailer; 0 or less: none
  int64_t MaxHeaderBlockSize = 65536;  // octets of those lines, two per line end counted; below 0: none
  int64_t MaxBodySize = 32 * 1024 * 1024;  // octets of the body; below 0: none
};

enum TIdHTTPReadEvent : uint8_t { hreNeedMore, hreHead, hreBody, hreComplete, hreRefused };

struct TIdHTTPReadResult {
  TIdHTTPReadEvent Event = hreNeedMore;
  size_t Consumed = 0;             // octets of the input taken, the event's included
  std::span<const uint8_t> Body;  // hreBody: the body octets, a view into the input
};

class TIdHTTPRequestReader {
public:
  // `encoding` turns the octets of a line into text (ASCII when none is given).
  explicit TIdHTTPRequestReader(TIdHTTPRequestLimits limits = {}, const IIdTextEncoding* encoding = nullptr);

  // Consumes from the start of `input` up to the next event. After an event
  // other than hreNeedMore the caller calls again with what was not consumed.
  // After hreComplete the next call starts the next request; after hreRefused
  // every call refuses again.
  TIdHTTPReadResult Feed(std::span<const uint8_t> input);

  // The head, valid from hreHead until the next request's line is complete.
  const std::string& RequestLine() const { return FRequestLine; }
  // The field lines as received, continuation lines included; the caller may
  // take them.
  TIdHeaderList& Headers() { return FHeaders; }
  // How the body is delimited, known from hreHead on. A refusal because of it
  // comes with the next call, so that the caller may first judge the head.
  const TIdRequestFraming& Framing() const { return FFraming; }
  // From hreHead on: the status the body's framing or declared length is
  // refused with (0: none), which the next call reports.
  int BodyRefusal() const;

  // After hreRefused: the status that answers the request.
  int RefusalStatus() const { return FRefusalStatus; }
  // After hreRefused: the request line holds no space at all, so it names no
  // method and no version (answered 400 too).
  bool RequestLineUnparsable() const { return FRequestLineUnparsable; }

private:
  enum TState : uint8_t {
    rsRequestLine,
    rsFieldLines,
    rsBodyStart,
    rsContentBody,
    rsChunkSize,
    rsChunkData,
    rsChunkEnd,
    rsTrailer,
    rsComplete,
    rsRefused
  };
  // Whether a line ends at LF (a CR before it dropped) or only at CR LF.
  enum TLineEnd : uint8_t { leLF, leCRLF };
  struct TLine {
    bool Whole = false;        // false: more input is needed
    bool TooLong = false;      // no end within MaxLineLength
    size_t Length = 0;         // octets of the line without its end
    size_t WithEnd = 0;        // octets to consume
  };

  TLine FindLine(std::span<const uint8_t> input, TLineEnd lineEnd);
  // The next whole line; otherwise false with `otherwise` the result to give:
  // more input needed, or a line too long refused with `tooLongStatus`.
  bool NextLine(std::span<const uint8_t> input, TLineEnd lineEnd, int tooLongStatus, TLine& line,
                TIdHTTPReadResult& otherwise);
  std::string LineText(std::span<const uint8_t> input, const TLine& line) const;
  TIdHTTPReadResult Refuse(int status, size_t consumed = 0);
  TIdHTTPReadResult ReadRequestLine(std::span<const uint8_t> input);
  TIdHTTPReadResult ReadFieldLines(std::span<const uint8_t> input);
  TIdHTTPReadResult StartBody();
  TIdHTTPReadResult ReadContentBody(std::span<const uint8_t> input);
  TIdHTTPReadResult ReadChunkSize(std::span<const uint8_t> input);
  TIdHTTPReadResult ReadChunkData(std::span<const uint8_t> input);
  TIdHTTPReadResult ReadChunkEnd(std::span<const uint8_t> input);
  TIdHTTPReadResult ReadTrailer(std::span<const uint8_t> input);
  // Counts one field line (head or trailer) against the limits; false past them.
  bool CountFieldLine(size_t length);
  bool ExceedsMaximumBodySize(int64_t more) const;

  TIdHTTPRequestLimits FLimits;
  const IIdTextEncoding* FEncoding;
  TState FState = rsRequestLine;
  size_t FScanned = 0;  // octets at the input's start known to hold no line end
  std::string FRequestLine;
  TIdHeaderList FHeaders;
  int FFieldLines = 0;
  int64_t FFieldBytes = 0;
  TIdRequestFraming FFraming;
  int64_t FBodyReceived = 0;
  int64_t FLeft = 0;  // octets of the body or the current chunk still to come
  int FRefusalStatus = 0;
  bool FRequestLineUnparsable = false;
};

}  // namespace zal
