#include "support/zalFirstBytesScanner.h"

#include <cctype>
#include <cstring>
#include <string_view>

#include "support/zalHelpers.h"
#include "support/zalRequestClassification.h"

namespace zal {

std::vector<std::string> FirstBytesAsLines(std::span<const uint8_t> bytes) {
  const auto* text = reinterpret_cast<const char*>(bytes.data());
  const size_t length = strnlen(text, bytes.size());
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t i = 0; i < length; ++i) {
    if (text[i] != '\n')
      continue;
    const size_t end = i > start && text[i - 1] == '\r' ? i - 1 : i;
    lines.emplace_back(text + start, end - start);
    start = i + 1;
  }
  if (start < length)
    lines.emplace_back(text + start, length - start);
  return lines;
}

namespace {

constexpr std::string_view kPreface = "PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n";
constexpr std::string_view kFlashPolicyRequest = "<policy-file-request/>";
constexpr std::string_view kHTTP1Version = "HTTP/1.";

// RFC 9110 5.6.2 token characters, of which a method is made.
bool IsTokenChar(uint8_t c) {
  return std::isalnum(c) || std::string_view("!#$%&'*+-.^_`|~").find(static_cast<char>(c)) != std::string_view::npos;
}

uint8_t AsciiUpper(uint8_t c) { return c >= 'a' && c <= 'z' ? static_cast<uint8_t>(c - 32) : c; }

std::string_view AsText(std::span<const uint8_t> bytes) {
  return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

}  // namespace

bool TzalFirstBytesScanner::Scan(std::span<const uint8_t> bytes) {
  while (FPhase != phDecided && FExamined < bytes.size()) {
    const uint8_t byte = bytes[FExamined++];
    if (FPrefaceAlive) {
      FPrefaceAlive = byte == static_cast<uint8_t>(kPreface[FExamined - 1]);
      if (FPrefaceAlive && FExamined == kPreface.size()) {
        FPhase = phDecided;
        break;
      }
    }
    if (byte == 0) {  // the header text ends at the first zero octet
      FPhase = phDecided;
      break;
    }
    if (FPhase == phFirstLine)
      ExamineFirstLineByte(byte, bytes);
    else
      ExamineHeaderByte(byte, bytes);
    if (FPhase != phDecided && !FPrefaceAlive && FPhase == phFirstLine && !FFlashAlive && FRequestLine == rlBroken)
      FPhase = phDecided;  // no known first line can come of these bytes
  }
  return FPhase == phDecided;
}

void TzalFirstBytesScanner::ExamineFirstLineByte(uint8_t byte, std::span<const uint8_t> bytes) {
  if (byte == '\n') {
    EndFirstLine(bytes);
    return;
  }
  if (FPendingCR)  // a CR inside the line
    FRequestLine = rlBroken;
  FPendingCR = byte == '\r';
  if (FFlashAlive)
    FFlashAlive = FExamined <= kFlashPolicyRequest.size() && byte == static_cast<uint8_t>(kFlashPolicyRequest[FExamined - 1]);
  if (FPendingCR)
    return;
  switch (FRequestLine) {
    case rlMethod:
      if (byte == ' ' && FPartLength > 0)
        FRequestLine = rlTarget, FPartLength = 0;
      else if (IsTokenChar(byte))
        ++FPartLength;
      else
        FRequestLine = rlBroken;
      break;
    case rlTarget:
      if (byte == ' ' && FPartLength > 0)
        FRequestLine = rlVersion, FPartLength = 0;
      else if (byte > ' ' && byte != 0x7F)
        ++FPartLength;
      else
        FRequestLine = rlBroken;
      break;
    case rlVersion:  // patterns ignore ASCII letter case
      if (AsciiUpper(byte) != static_cast<uint8_t>(kHTTP1Version[FPartLength]))
        FRequestLine = rlBroken;
      else if (++FPartLength == kHTTP1Version.size())
        FRequestLine = rlVersionRest;
      break;
    case rlVersionRest:
    case rlBroken: break;
  }
}

void TzalFirstBytesScanner::EndFirstLine(std::span<const uint8_t> bytes) {
  FPendingCR = false;
  if (FRequestLine == rlVersionRest) {
    FPhase = phHeaders;
    FLineStart = FExamined;
    FIsGet = TextStartsWith(AsText(bytes.first(FExamined)), "GET ");
  } else if (!FPrefaceAlive) {
    FPhase = phDecided;  // a complete first line that is no HTTP/1.x request line
  }
}

// At the end of each header line: the empty line ends the block; a line with
// an Upgrade field naming websocket after a GET request line decides the first row whatever
// follows (the handshake then awaits the rest of its request itself).
void TzalFirstBytesScanner::ExamineHeaderByte(uint8_t byte, std::span<const uint8_t> bytes) {
  if (byte != '\n')
    return;
  std::string_view line = AsText(bytes.subspan(FLineStart, FExamined - 1 - FLineStart));
  if (line.ends_with('\r'))
    line.remove_suffix(1);
  FLineStart = FExamined;
  THeaderField field;
  if (line.empty() || (FIsGet && ParseHeaderField(line, field) && TextIsSame(field.Name, "Upgrade") &&
                       ListHasToken(field.Value, "websocket")))
    FPhase = phDecided;
}

}  // namespace zal
