#include "http/zalIdHTTPRequestReader.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <string_view>

namespace zal {

namespace {

constexpr uint8_t kCR = '\r';
constexpr uint8_t kLF = '\n';

TIdHTTPReadResult Progress(size_t consumed) { return {hreNeedMore, consumed, {}}; }

std::string_view AsText(std::span<const uint8_t> bytes) {
  return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

bool HoldsLineEnd(std::span<const uint8_t> text) {
  return std::find_if(text.begin(), text.end(), [](uint8_t c) { return c == kCR || c == kLF; }) != text.end();
}

}  // namespace

TIdHTTPRequestReader::TIdHTTPRequestReader(TIdHTTPRequestLimits limits, const IIdTextEncoding* encoding)
    : FLimits(limits), FEncoding(encoding ? encoding : &IdTextEncoding(tekASCII)) {}

TIdHTTPReadResult TIdHTTPRequestReader::Feed(std::span<const uint8_t> input) {
  size_t consumed = 0;
  for (;;) {
    const TState before = FState;
    TIdHTTPReadResult step;
    const std::span<const uint8_t> rest = input.subspan(consumed);
    switch (FState) {
      case rsRequestLine: step = ReadRequestLine(rest); break;
      case rsFieldLines: step = ReadFieldLines(rest); break;
      case rsBodyStart: step = StartBody(); break;
      case rsContentBody: step = ReadContentBody(rest); break;
      case rsChunkSize: step = ReadChunkSize(rest); break;
      case rsChunkData: step = ReadChunkData(rest); break;
      case rsChunkEnd: step = ReadChunkEnd(rest); break;
      case rsTrailer: step = ReadTrailer(rest); break;
      case rsComplete:
        FState = rsRequestLine;
        step = {hreComplete, 0, {}};
        break;
      case rsRefused: step = Refuse(FRefusalStatus); break;
    }
    consumed += step.Consumed;
    const bool stalled = step.Consumed == 0 && FState == before;
    if (step.Event != hreNeedMore || stalled) {
      step.Consumed = consumed;
      return step;
    }
  }
}

// A line ends within MaxLineLength octets or is too long: its end (LF, or the
// CR of CR LF) may start at offset MaxLineLength at the latest.
TIdHTTPRequestReader::TLine TIdHTTPRequestReader::FindLine(std::span<const uint8_t> input, TLineEnd lineEnd) {
  const size_t endLength = lineEnd == leLF ? 1 : 2;
  const size_t maximum =
      FLimits.MaxLineLength > 0 ? static_cast<size_t>(FLimits.MaxLineLength) : std::numeric_limits<size_t>::max() - 2;
  const size_t window = std::min(input.size(), maximum + endLength);
  // A line end is found by its LF, so octets scanned before hold none.
  for (size_t at = std::min(FScanned, window); at < window;) {
    const void* found = std::memchr(input.data() + at, kLF, window - at);
    if (!found)
      break;
    const size_t lf = static_cast<size_t>(static_cast<const uint8_t*>(found) - input.data());
    const bool afterCR = lf > 0 && input[lf - 1] == kCR;
    if (lineEnd == leLF || afterCR) {
      FScanned = 0;
      return {true, false, afterCR ? lf - 1 : lf, lf + 1};
    }
    at = lf + 1;  // a bare LF inside a line that must end with CR LF
  }
  FScanned = window;
  return {false, window == maximum + endLength, 0, 0};
}

bool TIdHTTPRequestReader::NextLine(std::span<const uint8_t> input, TLineEnd lineEnd, int tooLongStatus, TLine& line,
                                    TIdHTTPReadResult& otherwise) {
  line = FindLine(input, lineEnd);
  if (line.TooLong)
    otherwise = Refuse(tooLongStatus);
  else if (!line.Whole)
    otherwise = Progress(0);
  return line.Whole;
}

std::string TIdHTTPRequestReader::LineText(std::span<const uint8_t> input, const TLine& line) const {
  return FEncoding->GetString(input.first(line.Length));
}

TIdHTTPReadResult TIdHTTPRequestReader::Refuse(int status, size_t consumed) {
  FState = rsRefused;
  FRefusalStatus = status;
  return {hreRefused, consumed, {}};
}

// RFC 9112 3: a request line longer than the line limit is answered 414.
TIdHTTPReadResult TIdHTTPRequestReader::ReadRequestLine(std::span<const uint8_t> input) {
  TLine line;
  if (TIdHTTPReadResult otherwise; !NextLine(input, leLF, 414, line, otherwise))
    return otherwise;
  FRequestLine = LineText(input, line);
  FHeaders.Clear();
  FFieldLines = 0;
  FFieldBytes = 0;
  FBodyReceived = 0;
  FFraming = {};
  if (FRequestLine.find(' ') == std::string::npos) {
    FRequestLineUnparsable = true;
    return Refuse(400, line.WithEnd);
  }
  if (const int refusal = RequestLineRefusal(FRequestLine))
    return Refuse(refusal, line.WithEnd);
  FState = rsFieldLines;
  return Progress(line.WithEnd);
}

bool TIdHTTPRequestReader::CountFieldLine(size_t length) {
  ++FFieldLines;
  FFieldBytes += static_cast<int64_t>(length) + 2;
  return (FLimits.MaxHeaderLines <= 0 || FFieldLines <= FLimits.MaxHeaderLines) &&
         (FLimits.MaxHeaderBlockSize < 0 || FFieldBytes <= FLimits.MaxHeaderBlockSize);
}

// RFC 6585 5: a head too large in lines, octets or one line is answered 431.
TIdHTTPReadResult TIdHTTPRequestReader::ReadFieldLines(std::span<const uint8_t> input) {
  TLine line;
  if (TIdHTTPReadResult otherwise; !NextLine(input, leLF, 431, line, otherwise))
    return otherwise;
  if (line.Length == 0) {
    if (!HeaderLinesAreWellFormed(FHeaders.Lines()))
      return Refuse(400, line.WithEnd);
    FFraming = RequestFramingOf(FHeaders);
    FState = rsBodyStart;
    return {hreHead, line.WithEnd, {}};
  }
  std::string text = LineText(input, line);
  if (!CountFieldLine(text.size()))
    return Refuse(431);
  FHeaders.Add(std::move(text));
  return Progress(line.WithEnd);
}

bool TIdHTTPRequestReader::ExceedsMaximumBodySize(int64_t more) const {
  return FLimits.MaxBodySize >= 0 && more > FLimits.MaxBodySize - FBodyReceived;
}

int TIdHTTPRequestReader::BodyRefusal() const {
  if (FFraming.RefusalStatus != 0)
    return FFraming.RefusalStatus;
  if (FFraming.Framing == bfContentLength && ExceedsMaximumBodySize(FFraming.Length))
    return 413;  // RFC 9110 15.5.14
  return 0;
}

TIdHTTPReadResult TIdHTTPRequestReader::StartBody() {
  if (const int refusal = BodyRefusal())
    return Refuse(refusal);
  switch (FFraming.Framing) {
    case bfContentLength:
      FLeft = FFraming.Length;
      FState = rsContentBody;
      break;
    case bfChunked:
      FState = rsChunkSize;
      break;
    case bfNone:
      FState = rsComplete;  // RFC 9112 6.3: no declared length, no body
      break;
  }
  return Progress(0);
}

TIdHTTPReadResult TIdHTTPRequestReader::ReadContentBody(std::span<const uint8_t> input) {
  if (FLeft == 0) {
    FState = rsComplete;
    return Progress(0);
  }
  if (input.empty())
    return Progress(0);
  const size_t count = static_cast<size_t>(std::min<int64_t>(FLeft, static_cast<int64_t>(input.size())));
  FLeft -= static_cast<int64_t>(count);
  FBodyReceived += static_cast<int64_t>(count);
  return {hreBody, count, input.first(count)};
}

// RFC 9112 7.1: chunk-size [ chunk-ext ] CRLF, chunk-data CRLF, ... last-chunk,
// trailer section, CRLF. Inside this framing only CR LF ends a line: a bare CR
// or LF is what request smuggling feeds on, and is refused.
TIdHTTPReadResult TIdHTTPRequestReader::ReadChunkSize(std::span<const uint8_t> input) {
  TLine line;
  if (TIdHTTPReadResult otherwise; !NextLine(input, leCRLF, 400, line, otherwise))
    return otherwise;
  const std::span<const uint8_t> text = input.first(line.Length);
  const std::optional<int64_t> size = ChunkSizeOf(AsText(text));
  if (HoldsLineEnd(text) || !size)
    return Refuse(400);
  if (*size == 0) {
    FFieldLines = 0;
    FFieldBytes = 0;
    FState = rsTrailer;
  } else if (ExceedsMaximumBodySize(*size)) {
    return Refuse(413);
  } else {
    FLeft = *size;
    FState = rsChunkData;
  }
  return Progress(line.WithEnd);
}

TIdHTTPReadResult TIdHTTPRequestReader::ReadChunkData(std::span<const uint8_t> input) {
  if (FLeft == 0) {
    FState = rsChunkEnd;
    return Progress(0);
  }
  return ReadContentBody(input);
}

TIdHTTPReadResult TIdHTTPRequestReader::ReadChunkEnd(std::span<const uint8_t> input) {
  if ((!input.empty() && input[0] != kCR) || (input.size() > 1 && input[1] != kLF))
    return Refuse(400);
  if (input.size() < 2)
    return Progress(0);
  FState = rsChunkSize;
  return Progress(2);
}

// Trailer fields are read within the head's limits and dropped.
TIdHTTPReadResult TIdHTTPRequestReader::ReadTrailer(std::span<const uint8_t> input) {
  TLine line;
  if (TIdHTTPReadResult otherwise; !NextLine(input, leCRLF, 431, line, otherwise))
    return otherwise;
  if (HoldsLineEnd(input.first(line.Length)))
    return Refuse(400);
  if (line.Length == 0) {
    FState = rsComplete;
    return Progress(line.WithEnd);
  }
  if (!CountFieldLine(LineText(input, line).size()))
    return Refuse(431);
  return Progress(line.WithEnd);
}

}  // namespace zal
