#pragma once
// The HTTP/1.1 sink: an answer as the octets of RFC 9112 (status line, header
// lines, an empty line, the body), appended to the connection's writer, which
// sends them as the socket takes them. A body in memory is queued as it is; a
// file is queued as a reference to it (sent from its descriptor by the kernel
// on plain TCP), any other stream as itself, read in slices as it goes out.
#include <memory>
#include <string>
#include <vector>

#include "http/zalIdHTTPResponseInfo.h"
#include "support/zalOutputQueue.h"

namespace zal {

class TIdHTTP1ResponseSink : public TIdHTTPResponseSink {
public:
  explicit TIdHTTP1ResponseSink(TzalOutputQueue& aWriter) : FWriter(aWriter) {}

  void WriteResponseHeader(int aStatus, const std::string& aReason, const std::vector<std::string>& aLines,
                           bool aEndOfAnswer) override;
  void WriteResponseBody(TIdBytes aOctets) override;
  void WriteResponseStream(std::unique_ptr<TStream> aStream, int64_t aLength) override;

  // The interim answer that asks the client for its body (RFC 9110 10.1.1).
  void WriteContinue();

private:
  // A piece for the writer, however much it already holds: the loop queues one
  // answer at a time, so a connection holds at most the answer its handler made.
  void Queue(TIdBytes&& aPiece);

  TzalOutputQueue& FWriter;
};

}  // namespace zal
