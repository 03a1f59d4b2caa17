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
// an incomplete header block after such a line (plus the eight key bytes that
// follow a Hixie-76 upgrade). Anything else can no longer become a known
// protocol and is decided at once. Every byte is examined once: Scan looks only
// at the bytes after those it has seen, so the cost is linear in the input.
class TzalFirstBytesScanner {
public:
  // `bytes` is everything received so far (the previous bytes plus new ones).
  // True when the bytes decide the classification.
  bool Scan(std::span<const uint8_t> bytes);
  bool Decided() const { return FPhase == phDecided; }
  // How many bytes have been examined (each once).
  size_t Examined() const { return FExamined; }

private:
  enum TPhase : uint8_t { phFirstLine, phHeaders, phKeyBytes, phDecided };
  enum TRequestLinePart : uint8_t { rlMethod, rlTarget, rlVersion, rlVersionRest, rlBroken };

  void ExamineFirstLineByte(uint8_t byte);
  void ExamineHeaderByte(uint8_t byte, std::span<const uint8_t> bytes);
  // The request line has ended: wait for its header block, or decide.
  void EndFirstLine();
  // The header block has ended at `end`: decide, or wait for Hixie-76 key bytes.
  void EndHeaderBlock(std::span<const uint8_t> bytes, size_t end);

  TPhase FPhase = phFirstLine;
  size_t FExamined = 0;
  bool FPrefaceAlive = true;  // the bytes so far are a prefix of the HTTP/2 preface
  bool FFlashAlive = true;    // the first line so far is a prefix of "<policy-file-request/>"
  TRequestLinePart FRequestLine = rlMethod;
  size_t FPartLength = 0;      // bytes of the current request-line part
  bool FPendingCR = false;     // the last byte was CR (a line end may follow)
  size_t FLineLength = 0;      // bytes of the current header line, without CR
  size_t FKeyBytesNeeded = 0;  // Hixie-76 key bytes still to come
};

}  // namespace zal
