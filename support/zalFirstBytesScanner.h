#pragma once
// The first bytes of a new connection: as header lines, and a scanner that
// tells, as they arrive, when they are enough to classify the connection.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace zal {

// The first bytes as header lines: the text up to the first zero octet, split at
// line ends (CR LF or LF).
std::vector<std::string> FirstBytesAsLines(std::span<const uint8_t> bytes);

// Follows a new connection's first bytes as they arrive and tells when they
// decide the classification. It keeps waiting while the bytes are a prefix of
// the HTTP/2 connection preface or of "<policy-file-request/>", an incomplete
// HTTP/1.x request line (RFC 9112 3: method SP request-target SP "HTTP/1."), or
// an incomplete header block after such a line, unless a header line has already
// made a GET request a WebSocket upgrade (that row wins whatever follows).
// Anything else can no longer become a known protocol and is decided at once.
// Every byte is examined once: Scan looks only at the bytes after those it has
// seen (a header line is looked at once more when it ends), so the cost is
// linear in the input.
class TzalFirstBytesScanner {
public:
  // `bytes` is everything received so far (the previous bytes plus new ones).
  // True when the bytes decide the classification.
  bool Scan(std::span<const uint8_t> bytes);
  bool Decided() const { return FPhase == phDecided; }
  // The bytes so far are the start of an HTTP/1.x request not yet complete: a
  // request line not yet broken (and no prefix of the HTTP/2 preface), or a
  // complete one whose header block has not ended.
  bool MayBeHTTP1Request() const {
    return FPhase == phHeaders || (FPhase == phFirstLine && FRequestLine != rlBroken && !FPrefaceAlive);
  }
  // No line end has come yet.
  bool InFirstLine() const { return FPhase == phFirstLine; }
  // How many bytes have been examined (each once).
  size_t Examined() const { return FExamined; }

private:
  enum TPhase : uint8_t { phFirstLine, phHeaders, phDecided };
  enum TRequestLinePart : uint8_t { rlMethod, rlTarget, rlVersion, rlVersionRest, rlBroken };

  void ExamineFirstLineByte(uint8_t byte, std::span<const uint8_t> bytes);
  void ExamineHeaderByte(uint8_t byte, std::span<const uint8_t> bytes);
  // The first line has ended: wait for its header block, or decide.
  void EndFirstLine(std::span<const uint8_t> bytes);

  TPhase FPhase = phFirstLine;
  size_t FExamined = 0;
  bool FPrefaceAlive = true;  // the bytes so far are a prefix of the HTTP/2 preface
  bool FFlashAlive = true;    // the first line so far is a prefix of "<policy-file-request/>"
  TRequestLinePart FRequestLine = rlMethod;
  size_t FPartLength = 0;   // bytes of the current request-line part
  bool FPendingCR = false;  // the last byte of the first line was CR (a line end may follow)
  bool FIsGet = false;      // the request line is a GET
  size_t FLineStart = 0;    // where the current header line starts
};

}  // namespace zal
